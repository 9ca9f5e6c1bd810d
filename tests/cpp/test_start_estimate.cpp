// The spectrum analysis behind Circuit.estimate_start: what it reads from
// ideal spectra written here from the element formulas.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "start/start_estimate.hpp"

using namespace velotz;

namespace {

using C = std::complex<double>;
constexpr double kTau = 6.283185307179586;

struct Data {
    std::vector<double> f;
    std::vector<Cx> z;
};

// log-spaced frequencies from 10^lo to 10^hi Hz, impedance from `model(omega)`
template <class Model>
Data make(double lo, double hi, int n, Model model) {
    Data d;
    for (int i = 0; i < n; ++i) {
        const double f = std::pow(10.0, lo + (hi - lo) * i / (n - 1));
        const C z = model(kTau * f);
        d.f.push_back(f);
        d.z.push_back({z.real(), z.imag()});
    }
    return d;
}

C zarc(double w, double r, double tau, double alpha) { return r / (1.0 + std::pow(C(0.0, w * tau), alpha)); }

}  // namespace

TEST(StartEstimate, ReadsInterceptPeakAndDepressionOfOneArc) {
    const Data d = make(-2, 6, 81, [](double w) { return 12.0 + zarc(w, 300.0, 1e-3, 0.75); });
    const SpectrumShape s = analyse_spectrum(d.f, d.z);
    ASSERT_TRUE(s.usable);
    EXPECT_NEAR(s.r_hf, 12.0, 0.5);
    EXPECT_NEAR(s.r_lf, 312.0, 5.0);
    EXPECT_FALSE(s.inductive);
    ASSERT_EQ(s.relaxations.size(), 1u);
    EXPECT_NEAR(std::log10(s.relaxations[0].omega), 3.0, 0.06);  // omega = 1 / tau
    EXPECT_NEAR(s.relaxations[0].alpha, 0.75, 0.08);
    EXPECT_NEAR(s.relaxations[0].r, 300.0, 30.0);
}

TEST(StartEstimate, TwoSeparatedArcsComeHighestFrequencyFirst) {
    const Data d = make(-3, 6, 91, [](double w) { return 1.0 + zarc(w, 10.0, 1e-5, 0.95) + zarc(w, 50.0, 1e-1, 0.9); });
    const SpectrumShape s = analyse_spectrum(d.f, d.z);
    ASSERT_EQ(s.relaxations.size(), 2u);
    EXPECT_NEAR(std::log10(s.relaxations[0].omega), 5.0, 0.1);
    EXPECT_NEAR(std::log10(s.relaxations[1].omega), 1.0, 0.1);
    EXPECT_NEAR(s.relaxations[0].r, 10.0, 1.5);
    EXPECT_NEAR(s.relaxations[1].r, 50.0, 7.0);
}

TEST(StartEstimate, InductiveTailGivesInductanceAndIsRemovedFromThePeaks) {
    const double l = 2e-6;
    const Data d = make(-1, 6, 71, [&](double w) { return C(0.0, w * l) + 0.5 + zarc(w, 2.0, 1e-2, 1.0); });
    const SpectrumShape s = analyse_spectrum(d.f, d.z);
    EXPECT_TRUE(s.inductive);
    // at the top frequency the arc's own -Im Z is tiny next to omega*L
    EXPECT_NEAR(s.inductance, l, 0.01 * l);
    ASSERT_EQ(s.relaxations.size(), 1u);
    EXPECT_NEAR(std::log10(s.relaxations[0].omega), 2.0, 0.06);
}

TEST(StartEstimate, WarburgTailHasHalfSlope) {
    const Data d = make(-3, 3, 61, [](double w) { return 5.0 + 20.0 / std::sqrt(w) * C(1.0, -1.0); });
    const SpectrumShape s = analyse_spectrum(d.f, d.z);
    EXPECT_NEAR(s.tail_slope, -0.5, 1e-9);
    EXPECT_NEAR(s.tail_im * std::sqrt(s.tail_omega), 20.0, 1e-9);
    EXPECT_TRUE(s.relaxations.empty());
}

TEST(StartEstimate, ReInterpolationIsLinearInLogFrequency) {
    const Data d = make(0, 2, 3, [](double w) { return C(std::log10(w / kTau), -1.0); });
    const SpectrumShape s = analyse_spectrum(d.f, d.z);
    EXPECT_DOUBLE_EQ(s.re_at(std::log(kTau * 10.0)), 1.0);
    EXPECT_NEAR(s.re_at(std::log(kTau * std::sqrt(10.0))), 0.5, 1e-12);
    EXPECT_DOUBLE_EQ(s.re_at(-100.0), 0.0);  // constant beyond the ends
    EXPECT_DOUBLE_EQ(s.re_at(100.0), 2.0);
}

TEST(StartEstimate, UnusableSpectrumKeepsTheCircuitValues) {
    auto tree = parse("R0-(R1,C1)");
    ASSERT_TRUE(tree.has_value());
    const std::vector<double> f{1.0, std::nan(""), -3.0, 10.0};
    const std::vector<Cx> z{{1.0, -1.0}, {1.0, -1.0}, {1.0, -1.0}, {2.0, 0.0}};
    EXPECT_FALSE(analyse_spectrum(f, z).usable);
    const StartEstimate e = estimate_start(*tree, f, z, Weighting::Modulus);
    EXPECT_EQ(e.values, param_values(*tree));
}
