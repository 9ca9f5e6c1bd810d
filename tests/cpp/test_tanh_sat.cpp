// tanh_sat: its accuracy on 0 < y <= x <= 20 against a long double reference,
// the C library formula everywhere else, and the vector kernel (the copy the
// loader picks and the baseline copy) against the scalar function bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "circuit/kernels.hpp"
#include "elements/complex.hpp"
#include "util/tanh_sat.hpp"
#include "ulps.hpp"

namespace velotz::portable_kernels {
void tanh_sat(Cx* dst, const Cx* z, std::size_t n);
}  // namespace velotz::portable_kernels

using namespace velotz;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kPi = 3.14159265358979323846;

bool same(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) || (std::isnan(a) && std::isnan(b));
}

// The formula with the C library's functions (what tanh_sat computes off
// the vector domain).
Cx libm_formula(Cx z) {
    if (std::fabs(z.re) > 20.0) return {std::copysign(1.0, z.re), 0.0};
    const double d = std::cosh(2.0 * z.re) + std::cos(2.0 * z.im);
    return {std::sinh(2.0 * z.re) / d, std::sin(2.0 * z.im) / d};
}

using velotz::testing::ulp_error;

struct Errors {
    double re = 0.0, im = 0.0, libm = 0.0;  // libm: the C library formula, for comparison
};

void check(double x, double y, Errors& worst) {
    static_assert(std::numeric_limits<long double>::digits >= 64, "the reference needs a 64-bit significand");
    const long double X = 2.0L * x, Y = 2.0L * y;
    const long double d = std::cosh(X) + std::cos(Y);
    const long double re = std::sinh(X) / d, im = std::sin(Y) / d;
    const Cx got = tanh_sat({x, y});
    const double er = ulp_error(got.re, re), ei = ulp_error(got.im, im);
    if (er > worst.re) worst.re = er;
    if (ei > worst.im) worst.im = ei;
    const Cx lib = libm_formula({x, y});
    worst.libm = std::max({worst.libm, ulp_error(lib.re, re), ulp_error(lib.im, im)});
    EXPECT_LE(er, 1.0) << std::hexfloat << "x=" << x << " y=" << y;
    EXPECT_LE(ei, 1.0) << std::hexfloat << "x=" << x << " y=" << y;
}

// Over the whole domain 0 < y <= x <= 20: x from 1e-30 to 20 and y from
// 1e-12·x to x (log-uniform), the diagonal y = x that Wo and Ws use, and 2y
// next to every multiple of π/2 below 40, where the reduced argument is
// smallest, and both sides of x = 1/4, where sinh 2x switches from its
// series to exponentials. Bound: 1 ulp in each component.
TEST(TanhSat, WithinOneUlpOfLongDoubleOnTheDomain) {
    std::mt19937_64 rng(20240607);
    std::uniform_real_distribution<double> ux(-30.0, std::log10(20.0)), uf(-12.0, 0.0);
    Errors worst;
    for (int i = 0; i < 200000; ++i) {
        const double x = std::pow(10.0, ux(rng));
        const double y = std::min(x, x * std::pow(10.0, uf(rng)));
        check(x, y, worst);
        check(x, x, worst);
    }
    for (int k = 1; k <= 25; ++k) {
        double y = static_cast<double>(k * kPi / 4.0);
        for (int step = 0; step < 40; ++step) y = std::nextafter(y, 0.0);
        for (int step = 0; step < 80; ++step, y = std::nextafter(y, kInf)) {
            check(y, y, worst);
            check(20.0, y, worst);
            check(std::min(20.0, 1.5 * y), y, worst);
        }
    }
    std::uniform_real_distribution<double> near_switch(0.2, 0.3);
    for (int i = 0; i < 50000; ++i) {
        const double x = near_switch(rng);
        check(x, x * std::pow(10.0, uf(rng)), worst);
    }
    check(std::nextafter(0.25, 0.0), std::nextafter(0.25, 0.0), worst);
    check(0.25, 0.25, worst);
    check(20.0, 20.0, worst);
    check(0x1p-1074, 0x1p-1074, worst);
    check(1e-300, 1e-310, worst);
    std::printf("tanh_sat: worst error %.3f ulp (re), %.3f ulp (im); C library formula %.3f ulp\n", worst.re,
                worst.im, worst.libm);
    EXPECT_LE(worst.re, 1.0);
    EXPECT_LE(worst.im, 1.0);
}

// Outside 0 < y <= x <= 20 nothing changes: saturation above |x| = 20, NaN
// and infinities, zeros of either sign, y <= 0, y > x, x < 0.
std::vector<Cx> off_domain_points() {
    std::vector<Cx> z;
    const double xs[] = {0.0, -0.0, 1e-310, 0.25, 1.0, 7.5, 20.0, std::nextafter(20.0, kInf), -3.0, -20.5, 40.0,
                         kInf, -kInf, kNaN};
    const double ys[] = {0.0, -0.0, -1e-310, -0.25, -1.0, 0.5, 3.0, 21.0, 1e6, kInf, -kInf, kNaN};
    for (double x : xs)
        for (double y : ys) {
            if (hyper::in_domain(x, y)) continue;
            z.push_back({x, y});
        }
    return z;
}

TEST(TanhSat, OffTheDomainIsTheLibraryFormula) {
    const std::vector<Cx> z = off_domain_points();
    ASSERT_GT(z.size(), 100u);
    for (const Cx& v : z) {
        const Cx got = tanh_sat(v), want = libm_formula(v);
        EXPECT_TRUE(same(got.re, want.re) && same(got.im, want.im)) << std::hexfloat << v.re << " " << v.im;
    }
}

// The kernel (the copy chosen at load time and the baseline copy) equals the
// scalar function bit for bit: groups of four inside the domain, groups that
// mix in points off it, and a tail of fewer than four.
TEST(TanhSat, KernelEqualsScalarBitForBit) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<Cx> z;
    for (int i = 0; i < 4000; ++i) {
        const double x = 20.0 * std::pow(u(rng), 3.0);
        z.push_back({x, x * u(rng)});
    }
    for (double w = 1e-3; w < 1e7; w *= 1.1) {
        const double r = std::sqrt(w * 0.37 / 2.0);  // csqrt(s·tau) for tau = 0.37
        z.push_back({r, r});
    }
    const std::vector<Cx> off = off_domain_points();
    for (std::size_t i = 0; i < off.size(); ++i) z.insert(z.begin() + static_cast<std::ptrdiff_t>(7 * i + 3), off[i]);
    z.push_back({1.0, 0.5});
    z.push_back({2.0, 1.5});
    for (std::size_t n : {z.size(), z.size() - 1, z.size() - 2, std::size_t{3}}) {
        std::vector<Cx> fast(n), portable(n);
        kernels::tanh_sat(fast.data(), z.data(), n);
        portable_kernels::tanh_sat(portable.data(), z.data(), n);
        for (std::size_t j = 0; j < n; ++j) {
            const Cx want = tanh_sat(z[j]);
            ASSERT_TRUE(same(fast[j].re, want.re) && same(fast[j].im, want.im))
                << std::hexfloat << z[j].re << " " << z[j].im;
            ASSERT_TRUE(same(portable[j].re, want.re) && same(portable[j].im, want.im))
                << std::hexfloat << z[j].re << " " << z[j].im;
        }
    }
    // In place, as the leaf loop calls it.
    std::vector<Cx> inplace(z);
    kernels::tanh_sat(inplace.data(), inplace.data(), inplace.size());
    for (std::size_t j = 0; j < z.size(); ++j) {
        const Cx want = tanh_sat(z[j]);
        ASSERT_TRUE(same(inplace[j].re, want.re) && same(inplace[j].im, want.im));
    }
}

}  // namespace
