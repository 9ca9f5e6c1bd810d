// Tests of the statistics beside a fit's standard errors: Student's t
// quantiles, the incomplete beta function behind them, the covariance and
// correlation matrices, confidence intervals and information criteria.

#include "fit/uncertainty.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

namespace velotz {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Reference quantiles from scipy.stats.t.ppf and norm.ppf (an independent
// implementation).
struct QuantileCase {
    double p, dof, t;
};

TEST(StudentT, QuantilesAgreeWithAReferenceImplementation) {
    const QuantileCase cases[] = {
        {0.975, 3, 3.1824463052837078},      {0.975, 10, 2.228138851986274},
        {0.975, 116, 1.9806260024590894},    {0.995, 5, 4.032142983555228},
        {0.9, 1000, 1.2823987214609247},     {0.975, 1e5, 1.9599877075346095},
        {0.6, 7, 0.2631668613520229},        {0.999999, 3, 103.29946777942898},
        {0.975, kInf, 1.959963984540054},
    };
    for (const auto& c : cases) {
        EXPECT_NEAR(student_t_quantile(c.p, c.dof), c.t, 1e-11 * c.t) << c.p << " " << c.dof;
        EXPECT_NEAR(student_t_quantile(1.0 - c.p, c.dof), -c.t, 1e-9 * c.t) << c.p << " " << c.dof;
    }
}

TEST(StudentT, QuantilesMatchTheClosedFormsForOneAndTwoDegrees) {
    // dof 1 is the Cauchy distribution, t = tan(pi (p - 1/2)); dof 2 has
    // t = (2p - 1) / sqrt(2 p (1 - p)).
    for (double p : {0.51, 0.6, 0.75, 0.9, 0.95, 0.975, 0.995, 0.9999}) {
        const double cauchy = std::tan(std::numbers::pi * (p - 0.5));
        EXPECT_NEAR(student_t_quantile(p, 1.0), cauchy, 1e-12 * cauchy) << p;
        const double two = (2 * p - 1) / std::sqrt(2 * p * (1 - p));
        EXPECT_NEAR(student_t_quantile(p, 2.0), two, 1e-12 * two) << p;
    }
    EXPECT_EQ(student_t_quantile(0.5, 4.0), 0.0);
}

TEST(StudentT, TailAndQuantileAreInverse) {
    for (double dof : {1.0, 2.5, 9.0, 60.0, 4000.0}) {
        for (double t : {0.01, 0.7, 2.0, 5.0}) {
            const double tail = student_t_upper_tail(t, dof);
            EXPECT_NEAR(student_t_quantile(1.0 - tail, dof), t, 1e-8 * t) << dof << " " << t;
            EXPECT_NEAR(student_t_upper_tail(-t, dof), 1.0 - tail, 1e-15);
        }
    }
    EXPECT_NEAR(student_t_upper_tail(2.0, 4.0), 0.05805826175840778, 1e-15);
    EXPECT_NEAR(student_t_upper_tail(30.0, 2.0), 0.0005546313409798295, 1e-17);
    // Far tails keep their relative precision (scipy.stats.t.sf).
    EXPECT_NEAR(student_t_upper_tail(40.0, 9.0), 9.491499224669911e-12, 1e-24);
    EXPECT_NEAR(student_t_upper_tail(10.0, 5000.0), 1.2604373558220076e-23, 1e-35);
}

TEST(StudentT, RefusesArgumentsOutsideTheDomain) {
    for (double p : {0.0, 1.0, -0.1, 1.5, std::nan("")}) EXPECT_TRUE(std::isnan(student_t_quantile(p, 5.0))) << p;
    for (double dof : {0.0, -1.0, std::nan("")}) {
        EXPECT_TRUE(std::isnan(student_t_quantile(0.9, dof)));
        EXPECT_TRUE(std::isnan(student_t_upper_tail(1.0, dof)));
    }
}

TEST(IncompleteBeta, AgreesWithAReferenceAndItsSymmetry) {
    // scipy.special.betainc
    EXPECT_NEAR(incomplete_beta(2.5, 0.5, 0.3, 0.7), 0.018927124071945658, 1e-15);
    EXPECT_NEAR(incomplete_beta(0.5, 3.0, 0.999, 0.001), 0.9999999996873826, 1e-15);
    EXPECT_NEAR(incomplete_beta(50.0, 0.5, 0.99, 0.01), 0.3173043978741973, 1e-13);
    for (double x : {0.05, 0.3, 0.5, 0.8, 0.99}) {
        EXPECT_NEAR(incomplete_beta(3.0, 1.5, x, 1 - x), 1.0 - incomplete_beta(1.5, 3.0, 1 - x, x), 1e-14) << x;
    }
    // I_x(a, 1) = x^a.
    EXPECT_NEAR(incomplete_beta(2.0, 1.0, 0.3, 0.7), 0.09, 1e-15);
    EXPECT_EQ(incomplete_beta(2.0, 3.0, 0.0, 1.0), 0.0);
    EXPECT_EQ(incomplete_beta(2.0, 3.0, 1.0, 0.0), 1.0);
    EXPECT_TRUE(std::isnan(incomplete_beta(-1.0, 3.0, 0.5, 0.5)));
}

TEST(Covariance, IsScaledSymmetricAndKeepsTheDiagonalBits) {
    // An inverse whose halves differ in the last place, as LU gives them.
    const std::vector<double> inverse = {4.0, 0.1 + 0.2, -1.0, 0.3, 9.0, 0.5, -1.0000000000000002, 0.5, 2.0};
    const double s2 = 0.37;
    const std::vector<double> cov = scaled_covariance(inverse, 3, s2);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(cov[i * 3 + i], s2 * inverse[i * 3 + i]);
        for (std::size_t j = 0; j < 3; ++j) EXPECT_EQ(cov[i * 3 + j], cov[j * 3 + i]);
    }
    EXPECT_NEAR(cov[0 * 3 + 2], -0.37, 1e-15);
}

TEST(Covariance, CorrelationHasAUnitDiagonalAndNaNForAVarianceWithoutScale) {
    const std::vector<double> cov = {4.0, 3.0, 1.0,   //
                                     3.0, 9.0, 0.0,   //
                                     1.0, 0.0, 0.0};  // third variance zero
    const std::vector<double> r = correlation(cov, 3);
    EXPECT_EQ(r[0], 1.0);
    EXPECT_EQ(r[4], 1.0);
    EXPECT_DOUBLE_EQ(r[1], 0.5);
    EXPECT_EQ(r[1], r[3]);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(std::isnan(r[i * 3 + 2]));
        EXPECT_TRUE(std::isnan(r[2 * 3 + i]));
    }
    // Rounding past one is clipped.
    const std::vector<double> tight = {1.0, 1.0000000000000002, 1.0000000000000002, 1.0};
    EXPECT_EQ(correlation(tight, 2)[1], 1.0);
}

TEST(ConfidenceIntervals, OwnScaleWithinFiniteBoundsAndLogScaleAboveAnOpenOne) {
    const double dof = 20.0;
    const double t = student_t_quantile(0.975, dof);
    const std::vector<Bounds> bounds = {{0.0, 1.0}, {1e-12, kInf}, {0.0, 1.0}, {5.0, kInf}, {1e-12, kInf}};
    const std::vector<double> values = {0.5, 200.0, 0.99, 7.0, 1e-12};
    const std::vector<double> se = {0.01, 30.0, 0.05, 1.0, 1e-3};
    const auto iv = confidence_intervals(values, se, bounds, dof, 0.95);
    ASSERT_EQ(iv.size(), 5u);
    EXPECT_DOUBLE_EQ(iv[0].lo, 0.5 - t * 0.01);
    EXPECT_DOUBLE_EQ(iv[0].hi, 0.5 + t * 0.01);
    // Multiplicative about the value (the lower bound 1e-12 is negligible).
    EXPECT_NEAR(iv[1].lo, 200.0 * std::exp(-t * 30.0 / 200.0), 1e-9);
    EXPECT_NEAR(iv[1].hi, 200.0 * std::exp(t * 30.0 / 200.0), 1e-9);
    EXPECT_NEAR(iv[1].lo * iv[1].hi, 200.0 * 200.0, 1e-8);
    // Clipped at the upper bound.
    EXPECT_DOUBLE_EQ(iv[2].lo, 0.99 - t * 0.05);
    EXPECT_EQ(iv[2].hi, 1.0);
    // Log scale above a custom lower bound: log(p - lo).
    EXPECT_NEAR(iv[3].lo, 5.0 + 2.0 * std::exp(-t * 1.0 / 2.0), 1e-12);
    EXPECT_NEAR(iv[3].hi, 5.0 + 2.0 * std::exp(t * 1.0 / 2.0), 1e-12);
    // On its lower bound: no room on the log scale, so its own scale.
    EXPECT_EQ(iv[4].lo, 1e-12);
    EXPECT_DOUBLE_EQ(iv[4].hi, 1e-12 + t * 1e-3);
    for (std::size_t i = 0; i < iv.size(); ++i) {
        EXPECT_LE(iv[i].lo, values[i]);
        EXPECT_GE(iv[i].hi, values[i]);
        EXPECT_GE(iv[i].lo, bounds[i].lo);
    }
}

TEST(ConfidenceIntervals, ContainTheValueEvenWithoutSpread) {
    // (p - lo) + lo need not round back to p: the interval still holds p.
    const std::vector<Bounds> bounds = {{1e-12, kInf}, {1e-12, kInf}, {0.0, 1.0}};
    const std::vector<double> values = {100.0, 0.1 + 0.2, 0.7};
    const auto iv = confidence_intervals(values, {0.0, 0.0, 0.0}, bounds, 10.0, 0.95);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_LE(iv[i].lo, values[i]);
        EXPECT_GE(iv[i].hi, values[i]);
    }
}

TEST(ConfidenceIntervals, NaNAndInfiniteErrors) {
    const std::vector<Bounds> bounds = {{0.0, 1.0}, {1e-12, kInf}, {1e-12, kInf}};
    const auto iv = confidence_intervals({0.5, 3.0, 3.0}, {std::nan(""), std::nan(""), kInf}, bounds, 10.0, 0.9);
    EXPECT_TRUE(std::isnan(iv[0].lo) && std::isnan(iv[0].hi));
    EXPECT_TRUE(std::isnan(iv[1].lo) && std::isnan(iv[1].hi));
    EXPECT_EQ(iv[2].lo, 1e-12);
    EXPECT_EQ(iv[2].hi, kInf);
    // A level outside (0, 1) or no degrees of freedom: NaN intervals.
    for (const auto& v : confidence_intervals({0.5}, {0.1}, {{0.0, 1.0}}, 0.0, 0.95))
        EXPECT_TRUE(std::isnan(v.lo));
    for (const auto& v : confidence_intervals({0.5}, {0.1}, {{0.0, 1.0}}, 5.0, 1.0)) EXPECT_TRUE(std::isnan(v.lo));
}

TEST(InformationCriteria, FollowTheirDefinitions) {
    const auto ic = information_criteria(0.25, 40, 3);
    EXPECT_DOUBLE_EQ(ic.aic, 40 * std::log(0.25 / 40) + 6);
    EXPECT_DOUBLE_EQ(ic.bic, 40 * std::log(0.25 / 40) + 3 * std::log(40.0));
    EXPECT_EQ(information_criteria(0.0, 40, 3).aic, -kInf);
    EXPECT_TRUE(std::isnan(information_criteria(1.0, 0, 3).bic));
    EXPECT_TRUE(std::isnan(information_criteria(std::nan(""), 10, 3).aic));
}

}  // namespace
}  // namespace velotz
