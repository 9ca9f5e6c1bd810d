// Arcs read from the distribution of relaxation times for starting values:
// peaks of gamma, the Zarc width-exponent relation, and the relaxations of
// spectra written here from the Zarc formula.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

#include "start/start_drt.hpp"

using namespace velotz;

namespace {

using C = std::complex<double>;

C zarc(double w, double r, double tau, double alpha) { return r / (1.0 + std::pow(C(0.0, w * tau), alpha)); }

// 60 log-spaced frequencies from 1e5 to 1e-2 Hz.
template <class Model>
void spectrum(Model model, std::vector<double>& f, std::vector<Cx>& z) {
    for (int i = 0; i < 60; ++i) {
        const double fr = std::pow(10.0, 5.0 - 7.0 * i / 59.0);
        const C v = model(2.0 * std::numbers::pi * fr);
        f.push_back(fr);
        z.push_back({v.real(), v.imag()});
    }
}

}  // namespace

TEST(DrtPeaks, AreaWidthAndPositionOfGaussians) {
    // two Gaussians in ln tau, areas 3 and 5, FWHM 0.4 and 0.6 decades
    std::vector<double> tau, gamma;
    const double s1 = 0.4 * std::numbers::ln10 / (2 * std::sqrt(2 * std::numbers::ln2));
    const double s2 = 0.6 * std::numbers::ln10 / (2 * std::sqrt(2 * std::numbers::ln2));
    const double y1 = std::log(1e-3), y2 = std::log(1e-1);
    for (int i = 0; i <= 800; ++i) {
        const double y = std::log(1e-6) + i * std::log(1e6) / 800;
        const double g = 3 / (s1 * std::sqrt(2 * std::numbers::pi)) * std::exp(-0.5 * std::pow((y - y1) / s1, 2)) +
                         5 / (s2 * std::sqrt(2 * std::numbers::pi)) * std::exp(-0.5 * std::pow((y - y2) / s2, 2));
        tau.push_back(std::exp(y));
        gamma.push_back(g);
    }
    const auto peaks = drt_peaks(tau, gamma, 0.01);
    ASSERT_EQ(peaks.size(), 2u);
    const double expect[2][3] = {{1e-3, 3.0, 0.4}, {1e-1, 5.0, 0.6}};
    for (int k = 0; k < 2; ++k) {
        EXPECT_NEAR(std::log10(peaks[k].tau / expect[k][0]), 0.0, 0.01);
        EXPECT_NEAR(peaks[k].r, expect[k][1], 0.01 * expect[k][1]);
        EXPECT_NEAR(peaks[k].width, expect[k][2], 0.01);
        EXPECT_FALSE(peaks[k].at_edge);
    }
}

TEST(DrtPeaks, RiseIntoTheEndOfTheGridIsAnEdge) {
    std::vector<double> tau, gamma;
    for (int i = 0; i < 50; ++i) {
        tau.push_back(std::pow(10.0, -4 + 0.1 * i));
        gamma.push_back(std::exp(0.2 * i));
    }
    const auto peaks = drt_peaks(tau, gamma, 0.01);
    ASSERT_EQ(peaks.size(), 1u);
    EXPECT_TRUE(peaks[0].at_edge);
    EXPECT_TRUE(drt_peaks(tau, std::vector<double>(50, 0.0), 0.01).empty());
}

TEST(ZarcDrtWidth, MatchesTheClosedFormDistribution) {
    // gamma of a Zarc is proportional to 1 / (cosh(alpha x) - cos((1 - alpha) pi)), x = ln(tau / tau0)
    for (double alpha : {0.5, 0.7, 0.85, 0.95}) {
        const double c = std::cos((1 - alpha) * std::numbers::pi);
        const double top = 1 / (1 - c);
        double x = 0;
        while (1 / (std::cosh(alpha * x) - c) > 0.5 * top) x += 1e-5;
        EXPECT_NEAR(zarc_drt_width(alpha), 2 * x / std::numbers::ln10, 1e-4) << alpha;
        EXPECT_NEAR(zarc_alpha_from_width(zarc_drt_width(alpha)), alpha, 1e-6);
    }
    EXPECT_DOUBLE_EQ(zarc_alpha_from_width(100.0), 0.4);
}

TEST(DrtRelaxations, SeparatesTwoArcsThatMinusImZMerges) {
    // 0.8 decade apart: -Im Z shows a single peak
    std::vector<double> f;
    std::vector<Cx> z;
    spectrum([](double w) { return 5.0 + zarc(w, 40.0, 1e-3, 0.9) + zarc(w, 60.0, 1e-3 * std::pow(10.0, 0.8), 0.9); },
             f, z);
    ASSERT_EQ(analyse_spectrum(f, z).relaxations.size(), 1u);
    const auto arcs = drt_relaxations(f, z);
    ASSERT_EQ(arcs.size(), 2u);
    EXPECT_GT(arcs[0].omega, arcs[1].omega);
    EXPECT_NEAR(std::log10(1 / arcs[0].omega), -3.0, 0.15);
    EXPECT_NEAR(std::log10(1 / arcs[1].omega), -2.2, 0.15);
    EXPECT_NEAR(arcs[0].r + arcs[1].r, 100.0, 5.0);
    EXPECT_NEAR(arcs[0].r, 40.0, 10.0);
    for (const auto& a : arcs) {
        EXPECT_GE(a.alpha, 0.75);
        EXPECT_LE(a.alpha, 1.0);
    }
}

TEST(DrtRelaxations, LeavesOutACapacitiveTailAndTooShortSpectra) {
    std::vector<double> f;
    std::vector<Cx> z;
    spectrum([](double w) { return 5.0 + zarc(w, 40.0, 1e-4, 0.85) + 1.0 / C(0.0, w * 1e-2); }, f, z);
    // The tail's rise into the end of the grid is far larger than the arc;
    // it is not an arc, and the arc is still found. (Without noise the
    // regularisation is weak and leaves small side lobes beside the arc.)
    const auto arcs = drt_relaxations(f, z);
    ASSERT_FALSE(arcs.empty());
    std::size_t big = 0;
    for (std::size_t k = 0; k < arcs.size(); ++k) {
        EXPECT_LT(1 / arcs[k].omega, 1e-2);
        if (arcs[k].r > arcs[big].r) big = k;
    }
    EXPECT_NEAR(std::log10(1 / arcs[big].omega), -4.0, 0.15);
    EXPECT_NEAR(arcs[big].r, 40.0, 10.0);
    EXPECT_NEAR(arcs[big].alpha, 0.85, 0.05);
    f.resize(4);
    z.resize(4);
    EXPECT_TRUE(drt_relaxations(f, z).empty());
}
