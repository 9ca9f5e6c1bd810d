// The double-double logarithm, the exp of a double-double argument and the
// powers of the element formulas built on them (util/exp_log.hpp), against
// long double references, against the C library's pow, at special values,
// and the vector kernels against the scalar code and the baseline copy.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "circuit/kernels.hpp"
#include "util/exp_log.hpp"
#include "ulps.hpp"

namespace velotz::portable_kernels {
void recip(Cx* dst, const Cx* a, std::size_t n);
void log_dd(double* hi, double* lo, const double* x, std::size_t n);
void axis_pow(double* out, const double* w, const double* lnw_hi, const double* lnw_lo, double x, double lnx_hi,
              double lnx_lo, double p, std::size_t n);
}  // namespace velotz::portable_kernels

using namespace velotz;

namespace {

static_assert(std::numeric_limits<long double>::digits >= 64, "the references need a 64-bit significand");

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using velotz::testing::ulp_error;
using velotz::testing::ulps;

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

// A positive normal double with uniformly random exponent and significand.
double random_normal(std::mt19937_64& rng) {
    std::uniform_int_distribution<std::uint64_t> exponent(1, 2046);
    std::uniform_int_distribution<std::uint64_t> significand(0, (1ULL << 52) - 1);
    return std::bit_cast<double>((exponent(rng) << 52) | significand(rng));
}

double pow_of(double w, double x, double p) {
    double wh, wl, xh, xl;
    explog::ln_dd(w, wh, wl);
    xh = xl = 0.0;
    if (x != 1.0) explog::ln_dd(x, xh, xl);
    return explog::axis_pow(w, wh, wl, x, xh, xl, p);
}

// log_dd of w into hi/lo by the copy chosen at run time; that copy and the
// baseline copy must give the scalar code's bits.
void log_dd_kernels_match_scalar(const std::vector<double>& w, std::vector<double>& hi, std::vector<double>& lo) {
    const std::size_t n = w.size();
    std::vector<double> phi(n), plo(n);
    kernels::log_dd(hi.data(), lo.data(), w.data(), n);
    portable_kernels::log_dd(phi.data(), plo.data(), w.data(), n);
    for (std::size_t j = 0; j < n; ++j) {
        double sh, sl;
        explog::ln_dd(w[j], sh, sl);
        ASSERT_TRUE(same_bits(hi[j], sh) && same_bits(lo[j], sl)) << w[j];
        ASSERT_TRUE(same_bits(phi[j], sh) && same_bits(plo[j], sl)) << w[j];
    }
}

}  // namespace

TEST(ExpLog, LogIsADoubleDoubleOverTheWholeNormalRange) {
    std::mt19937_64 rng(11);
    double worst = 0.0;
    for (int i = 0; i < 400000; ++i) {
        // Every binade, and densely around 1 where ln x is small.
        const double x = i % 4 == 0 ? 1.0 + std::ldexp(std::uniform_real_distribution<double>(-1, 1)(rng), -(i % 40))
                                    : random_normal(rng);
        double hi, lo;
        explog::ln_dd(x, hi, lo);
        const long double want = std::log(static_cast<long double>(x));
        // The long double reference is good to 2^-63 relative; the
        // double-double is good to 2^-66 absolute.
        const long double err = std::fabs((static_cast<long double>(hi) + lo) - want);
        const long double allowed = std::ldexp(1.0L, -62) * std::fmax(std::fabs(want), 0x1p-4L);
        ASSERT_LE(err, allowed) << std::hexfloat << x;
        // hi on its own is the double log to within 1 ulp of the C library.
        ASSERT_LE(ulps(hi, std::log(x)), 1u) << std::hexfloat << x;
        if (want != 0) worst = std::max(worst, static_cast<double>(err / std::fmax(std::fabs(want), 0x1p-4L)));
    }
    std::printf("ln_dd: largest error %.3g relative (2^%.1f)\n", worst, std::log2(worst));
}

TEST(ExpLog, LogOfOneAndOfPowersOfTwo) {
    double hi, lo;
    explog::ln_dd(1.0, hi, lo);
    EXPECT_EQ(hi, 0.0);
    EXPECT_EQ(lo, 0.0);
    for (int k = -1022; k <= 1023; k += 7) {
        explog::ln_dd(std::ldexp(1.0, k), hi, lo);
        const long double want = k * std::log(2.0L);
        EXPECT_LE(std::fabs((static_cast<long double>(hi) + lo) - want), std::ldexp(1.0L, -62) * std::fabs(want) + 1e-30L)
            << k;
    }
}

TEST(ExpLog, LogRejectsWhatIsNotAPositiveNormalNumber) {
    for (double x : {0.0, -0.0, 0x1p-1074, 0x0.fffffffffffffp-1022, -1.0, -kInf, kInf, kNaN, -kNaN}) {
        double hi = 0.0, lo = 0.0;
        explog::ln_dd(x, hi, lo);
        EXPECT_TRUE(std::isnan(hi) && std::isnan(lo)) << x;
    }
    double hi, lo;
    explog::ln_dd(0x1p-1022, hi, lo);
    EXPECT_LE(ulps(hi, std::log(0x1p-1022)), 1u);
    explog::ln_dd(std::numeric_limits<double>::max(), hi, lo);
    EXPECT_LE(ulps(hi, std::log(std::numeric_limits<double>::max())), 1u);
}

TEST(ExpLog, ExpIsWithinHalfAnUlpAndABitOverTheFastRange) {
    std::mt19937_64 rng(12);
    std::uniform_real_distribution<double> wide(-699.999, 699.999), narrow(-1.0, 1.0), small(-1e-3, 1e-3);
    double worst = 0.0;
    for (int i = 0; i < 400000; ++i) {
        const double hi = i % 3 == 0 ? wide(rng) : i % 3 == 1 ? narrow(rng) : small(rng);
        // A low part only where hi + lo is exact in long double.
        const double lo = std::fabs(hi) < 1.0 ? narrow(rng) * std::ldexp(std::fabs(hi), -54) : 0.0;
        const double got = explog::exp_dd<explog::ScalarOps>(hi, lo);
        const double e = ulp_error(got, std::exp(static_cast<long double>(hi) + lo));
        ASSERT_LE(e, 0.53) << std::hexfloat << hi << " " << lo;
        worst = std::max(worst, e);
        ASSERT_LE(ulps(got, std::exp(hi + lo)), 1u) << std::hexfloat << hi;
    }
    EXPECT_EQ(explog::exp_dd<explog::ScalarOps>(0.0, 0.0), 1.0);
    std::printf("exp_dd: largest error %.4f ulp\n", worst);
}

// exp as a double-double (the tanh of the diffusion elements reads it):
// relative error below 2^-58 over |x| <= 40 and over the whole fast range,
// and the high part alone within an ulp of exp_dd's rounded value.
TEST(ExpLog, ExpAsADoubleDoubleIsGoodTo58Bits) {
    std::mt19937_64 rng(13);
    std::uniform_real_distribution<double> tanh_range(0.0, 40.0), wide(-699.0, 699.0), tiny(-1e-6, 1e-6);
    long double worst = 0.0L;
    for (int i = 0; i < 300000; ++i) {
        const double x = i % 3 == 0 ? tanh_range(rng) : i % 3 == 1 ? wide(rng) : tiny(rng);
        double eh, el;
        explog::exp_dd2<explog::ScalarOps>(x, eh, el);
        const long double want = std::exp(static_cast<long double>(x));
        const long double rel = std::fabs((static_cast<long double>(eh) + el - want) / want);
        ASSERT_LT(rel, 0x1p-58L) << std::hexfloat << x;
        ASSERT_LE(ulps(eh, explog::exp_dd<explog::ScalarOps>(x, 0.0)), 1u) << std::hexfloat << x;
        worst = std::max(worst, rel);
    }
    std::printf("exp_dd2: largest relative error 2^%.1f\n", static_cast<double>(std::log2(worst)));
}

// The quotient of two double-doubles, rounded once: within 0.5 ulp and a
// hundredth of the exact quotient (numerators of either sign, denominators in
// [1, 1e18] as the tanh's cosh 2x + cos 2y takes them).
TEST(ExpLog, DoubleDoubleQuotientIsRoundedOnce) {
    std::mt19937_64 rng(14);
    std::uniform_real_distribution<double> unit(-1.0, 1.0), dec(0.0, 18.0);
    double worst = 0.0;
    for (int i = 0; i < 300000; ++i) {
        const double ah = unit(rng) * std::pow(10.0, dec(rng) - 9.0), al = ah * 0x1p-54 * unit(rng);
        const double bh = std::pow(10.0, dec(rng)), bl = bh * 0x1p-54 * unit(rng);
        const double got = explog::div_dd(ah, al, bh, bl);
        const long double want = (static_cast<long double>(ah) + al) / (static_cast<long double>(bh) + bl);
        const double e = ulp_error(got, want);
        ASSERT_LE(e, 0.51) << std::hexfloat << ah << " " << al << " / " << bh << " " << bl;
        worst = std::max(worst, e);
    }
    std::printf("div_dd: largest error %.4f ulp\n", worst);
}

// ω^p and (ω·x)^p over the range of angular frequencies a spectrum has and
// exponents in [0, 1] and a little beyond: within 0.515 ulp of the exact
// value (so within 1 ulp of the correctly rounded one) and within 1 ulp of
// std::pow.
TEST(ExpLog, PowerAgainstLongDoubleAndTheCLibrary) {
    std::mt19937_64 rng(13);
    std::uniform_real_distribution<double> decade_w(-6.0, 9.0), decade_x(-9.0, 5.0), unit(0.0, 1.0);
    const double extra[] = {1.25, 1.5, 2.0, 3.7, -0.3, -1.0};
    double worst = 0.0;
    std::uint64_t worst_pow = 0;
    for (int i = 0; i < 300000; ++i) {
        const double w = std::pow(10.0, decade_w(rng));
        const double x = i % 2 ? 1.0 : std::pow(10.0, decade_x(rng));
        const double p = i % 10 == 0 ? extra[(i / 10) % 6] : unit(rng);
        const double got = pow_of(w, x, p);
        const long double pl = p * (std::log(static_cast<long double>(w)) + std::log(static_cast<long double>(x)));
        const double e = ulp_error(got, std::exp(pl));
        // The reference itself is off by up to about 2^-63·|p·ln(ω·x)|
        // relative, 2^-10·|p·ln(ω·x)| ulp.
        const double ref_error = static_cast<double>(std::fabs(pl)) * 0x1p-10;
        ASSERT_LE(e, 0.515 + ref_error) << std::hexfloat << w << " " << x << " " << p;
        worst = std::max(worst, e - ref_error);
        if (x == 1.0) {
            const std::uint64_t d = ulps(got, std::pow(w, p));
            ASSERT_LE(d, 1u) << std::hexfloat << w << " " << p;
            worst_pow = std::max(worst_pow, d);
        }
    }
    std::printf("axis_pow: largest error %.4f ulp (less the reference's), largest difference from std::pow %llu ulp\n", worst,
                static_cast<unsigned long long>(worst_pow));
}

// Outside the fast domain the power is the C library's, bit for bit; close
// to its edges it is still within 1 ulp of it.
TEST(ExpLog, PowerFallsBackToTheCLibraryAtSpecialValues) {
    const double bases[] = {0.0,  -0.0, 0x1p-1074, 0x1p-1060, 0x0.fffffffffffffp-1022, -1.0, -1e-300, kInf, -kInf,
                            kNaN, 1e300, std::numeric_limits<double>::max()};
    const double exps[] = {0.3, 0.9, -0.5, 1.7, 2.5, -3.0, 1e300, -1e300, kInf, -kInf, kNaN};
    for (double w : bases) {
        for (double p : exps) {
            const double got = pow_of(w, 1.0, p);
            const double want = std::pow(w, p);
            EXPECT_TRUE(same_bits(got, want) || (std::isnan(got) && std::isnan(want)))
                << std::hexfloat << w << "^" << p << " = " << got << " want " << want;
        }
    }
    // Factors that make ω·x overflow, underflow or leave the normal range.
    const double pairs[][2] = {{1e200, 1e200}, {1e-200, 1e-200}, {1e-300, 1e-10}, {1e10, -2.0}, {1e10, kInf}};
    for (const auto& wx : pairs) {
        for (double p : exps) {
            const double got = pow_of(wx[0], wx[1], p);
            const double want = std::pow(wx[0] * wx[1], p);
            EXPECT_TRUE(same_bits(got, want) || (std::isnan(got) && std::isnan(want))) << wx[0] << " " << wx[1] << " " << p;
        }
    }
    // Results near overflow and underflow: p·ln ω just inside and just
    // outside ±700.
    for (double t : {699.9, 699.9999999, 700.0, 700.1, 709.7, 709.8, -699.9, -700.0, -708.0, -745.0, -745.2}) {
        for (double w : {1e300, 1e-300, 1e100, 2.0}) {
            const double p = t / std::log(w);
            const double got = pow_of(w, 1.0, p);
            EXPECT_LE(ulps(got, std::pow(w, p)), 1u) << w << "^" << p;
        }
    }
    // A huge exponent with a base next to 1 stays finite and accurate.
    EXPECT_LE(ulps(pow_of(1.0 + 0x1p-52, 1.0, 1e15), std::pow(1.0 + 0x1p-52, 1e15)), 1u);
    EXPECT_EQ(pow_of(1.0, 1.0, 0.37), 1.0);
}

// Blocks of four where some lanes leave the fast domain, lengths that are
// not multiples of four: the kernels equal the scalar functions, and the
// copy chosen at run time (AVX2 where the processor has it) equals the
// baseline copy, bit for bit.
TEST(ExpLog, KernelsEqualTheScalarCodeAndTheBaselineCopy) {
    std::mt19937_64 rng(14);
    std::uniform_real_distribution<double> decade(-8.0, 12.0), unit(0.0, 1.0);
    std::uniform_int_distribution<int> pick(0, 29);
    const double specials[] = {0.0, -0.0, -3.0, 0x1p-1074, 0x1p-1030, kInf, -kInf, kNaN, 1e308, 1.0};
    for (int trial = 0; trial < 300; ++trial) {
        const std::size_t n = 1 + static_cast<std::size_t>(trial * 7 % 61);
        std::vector<double> w(n);
        for (double& v : w) {
            const int r = pick(rng);
            v = r < 10 && trial % 3 == 0 ? specials[r] : std::pow(10.0, decade(rng));
        }
        std::vector<double> hi(n), lo(n);
        log_dd_kernels_match_scalar(w, hi, lo);
        if (HasFatalFailure()) return;
        const double x = trial % 2 ? 1.0 : std::pow(10.0, decade(rng) - 4.0);
        double xh = 0.0, xl = 0.0;
        if (x != 1.0) explog::ln_dd(x, xh, xl);
        const double p = trial % 5 == 0 ? 1.0 + 3.0 * unit(rng) : trial % 7 == 0 ? -unit(rng) : unit(rng);
        std::vector<double> out(n), pout(n);
        kernels::axis_pow(out.data(), w.data(), hi.data(), lo.data(), x, xh, xl, p, n);
        portable_kernels::axis_pow(pout.data(), w.data(), hi.data(), lo.data(), x, xh, xl, p, n);
        for (std::size_t j = 0; j < n; ++j) {
            const double want = explog::axis_pow(w[j], hi[j], lo[j], x, xh, xl, p);
            ASSERT_TRUE(same_bits(out[j], want)) << w[j] << " " << p;
            ASSERT_TRUE(same_bits(pout[j], out[j])) << w[j] << " " << p;
        }
    }
}

// Where the exact error of a product is on the edge of what a double holds:
// exponents from the smallest subnormal to 2^899, logarithms next to zero
// (ω next to 1) and large (ω near the ends of the normal range). The copy
// chosen at run time (with a fused multiply-subtract where the processor
// has FMA3), the baseline copy and the scalar code give the same bits.
TEST(ExpLog, PowerKernelsAgreeWhereTheProductErrorIsTiny) {
    const double exponents[] = {0x1p-1074, 0x1p-1022, 0x1p-1000, 0x1p-975, 0x1p-968, 0x1p-960, 1e-200, 1e-20,
                                0.5,       0.999,     -0x1p-990, -1e-17,   0x1p899,  -0x1p899,  0x1.8p898};
    const double omegas[] = {1.0,    1.0 + 0x1p-52, 1.0 - 0x1p-53, 1.0 + 0x1p-30, 0.9999999, 1.0000001,
                             3e-308, 1e-300,        1e300,         1.7e308,       6.283185307179586, 42.0};
    constexpr std::size_t n = std::size(omegas);
    std::vector<double> w(omegas, omegas + n), hi(n), lo(n);
    log_dd_kernels_match_scalar(w, hi, lo);
    if (HasFatalFailure()) return;
    for (const double x : {1.0, 0.5, 1.0 + 0x1p-40, 1e-30}) {
        double xh = 0.0, xl = 0.0;
        if (x != 1.0) explog::ln_dd(x, xh, xl);
        for (const double p : exponents) {
            std::vector<double> out(n), pout(n);
            kernels::axis_pow(out.data(), w.data(), hi.data(), lo.data(), x, xh, xl, p, n);
            portable_kernels::axis_pow(pout.data(), w.data(), hi.data(), lo.data(), x, xh, xl, p, n);
            for (std::size_t j = 0; j < n; ++j) {
                const double want = explog::axis_pow(w[j], hi[j], lo[j], x, xh, xl, p);
                ASSERT_TRUE(same_bits(out[j], want)) << w[j] << " " << x << " " << p;
                ASSERT_TRUE(same_bits(pout[j], want)) << w[j] << " " << x << " " << p;
            }
        }
    }
}

// The reciprocal kernel's fast branches against the baseline copy and the
// scalar recip, with blocks mixing the usual range, the axes, zeros, huge,
// tiny and non-finite parts.
TEST(ExpLog, ReciprocalKernelCopiesAgreeBitForBit) {
    std::mt19937_64 rng(15);
    std::uniform_real_distribution<double> decade(-160.0, 160.0);
    std::uniform_int_distribution<int> pick(0, 19);
    const double specials[] = {0.0, -0.0, kInf, -kInf, kNaN, 1e-300, -1e300, 0x1p-1074};
    for (int trial = 0; trial < 400; ++trial) {
        const std::size_t n = 1 + static_cast<std::size_t>(trial * 5 % 37);
        std::vector<Cx> a(n), fast(n), base(n);
        for (Cx& v : a) {
            auto part = [&] {
                const int r = pick(rng);
                const double sign = r % 2 ? -1.0 : 1.0;
                return r < 8 && trial % 2 ? specials[r] : sign * std::pow(10.0, decade(rng));
            };
            v = {part(), part()};
            if (trial % 5 == 1) v.im = 0.0;
            if (trial % 5 == 2) v.re = -0.0;
        }
        kernels::recip(fast.data(), a.data(), n);
        portable_kernels::recip(base.data(), a.data(), n);
        for (std::size_t j = 0; j < n; ++j) {
            const Cx want = velotz::recip(a[j]);
            ASSERT_TRUE(same_bits(fast[j].re, want.re) && same_bits(fast[j].im, want.im)) << a[j].re << " " << a[j].im;
            ASSERT_TRUE(same_bits(base[j].re, want.re) && same_bits(base[j].im, want.im)) << a[j].re << " " << a[j].im;
        }
    }
}
