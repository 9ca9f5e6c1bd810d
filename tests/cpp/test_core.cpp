// Internals of the circuit core that Python cannot observe directly.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "circuit/circuit.hpp"
#include "util/pool.hpp"
#include "util/text.hpp"

using namespace velotz;

namespace {

// Equal values with equal signs (so -0.0 differs from 0.0); any NaN equals
// any NaN, as the sign of a NaN is not specified by the operations producing it.
bool same_bits(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return a == b && std::signbit(a) == std::signbit(b);
}

}  // namespace

TEST(ComplexHelpers, CsqrtOnTheAxesKeepsSigns) {
    struct Case {
        Cx in, out;
    };
    const Case cases[] = {
        {{4.0, 0.0}, {2.0, 0.0}},
        {{4.0, -0.0}, {2.0, -0.0}},
        {{-4.0, 0.0}, {0.0, 2.0}},
        {{-4.0, -0.0}, {0.0, -2.0}},
        {{-0.0, 0.0}, {0.0, 0.0}},
        {{0.0, 8.0}, {2.0, 2.0}},
        {{0.0, -8.0}, {2.0, -2.0}},
        {{-0.0, -8.0}, {2.0, -2.0}},
    };
    for (const Case& c : cases) {
        Cx r = csqrt(c.in);
        EXPECT_TRUE(same_bits(r.re, c.out.re) && same_bits(r.im, c.out.im))
            << c.in.re << "," << c.in.im << " -> " << r.re << "," << r.im;
    }
    Cx general = csqrt({3.0, 4.0});
    EXPECT_NEAR(general.re, 2.0, 1e-15);
    EXPECT_NEAR(general.im, 1.0, 1e-15);
}

TEST(ComplexHelpers, CpowSpecialExponentsAreExact) {
    const Cx z{-0.0, 3.0};
    Cx one = cpow(z, 1.0);
    EXPECT_TRUE(same_bits(one.re, -0.0) && one.im == 3.0);
    Cx zero = cpow({std::nan(""), 1.0}, 0.0);
    EXPECT_EQ(zero.re, 1.0);
    EXPECT_EQ(zero.im, 0.0);
    Cx half = cpow({0.0, 8.0}, 0.5);
    EXPECT_EQ(half.re, 2.0);
    EXPECT_EQ(half.im, 2.0);
    Cx third = cpow({0.0, 8.0}, 1.0 / 3.0);
    EXPECT_NEAR(third.re, std::sqrt(3.0), 1e-14);
    EXPECT_NEAR(third.im, 1.0, 1e-14);
}

TEST(ComplexHelpers, TanhSaturatesStrictlyAboveTwenty) {
    Cx at = tanh_sat({20.0, 0.3});
    EXPECT_NE(at.im, 0.0);  // |x| = 20 still uses the formula
    Cx above = tanh_sat({std::nextafter(20.0, 21.0), 0.3});
    EXPECT_EQ(above.re, 1.0);
    EXPECT_EQ(above.im, 0.0);
    Cx negative = tanh_sat({-25.0, 1.0});
    EXPECT_EQ(negative.re, -1.0);
    EXPECT_EQ(negative.im, 0.0);
}

TEST(ComplexHelpers, DivisionByZeroIsNotFinite) {
    Cx r = recip({0.0, 0.0});
    EXPECT_FALSE(std::isfinite(r.re));
    EXPECT_FALSE(std::isfinite(r.im));
    // Huge and tiny denominators do not overflow through |b|^2.
    Cx big = recip({1e200, 1e200});
    EXPECT_NEAR(big.re, 0.5e-200, 1e-214);
    Cx tiny = recip({0.0, 1e-200});
    EXPECT_DOUBLE_EQ(tiny.im, -1e200);
}

TEST(Tree, CursorRunsOutAndReportsIt) {
    auto tree = parse("R0-(R1,CPE1)");
    ASSERT_TRUE(tree);
    std::vector<double> three = {1.0, 2.0, 3.0};
    ParamCursor cursor{three.data(), three.data() + three.size()};
    series_impedance_with_params(*tree, 1.0, cursor);
    EXPECT_FALSE(cursor.ok);
    std::vector<double> five = {1.0, 2.0, 3e-3, 0.8, 99.0};
    ParamCursor enough{five.data(), five.data() + five.size()};
    Cx z = series_impedance_with_params(*tree, 10.0, enough);
    EXPECT_TRUE(enough.ok);
    Cx direct = impedance(rebuild(*tree, five), 10.0);
    EXPECT_EQ(z.re, direct.re);
    EXPECT_EQ(z.im, direct.im);
}

TEST(Tree, ExpandSeriesReplacesShorthandsAndKeepsImpedance) {
    auto tree = parse("R0-(K1,Zarc2-C3)");
    ASSERT_TRUE(tree);
    auto valued = rebuild(*tree, {2.0, 5.0, 1e-3, 7.0, 2e-2, 0.7, 1e-4});
    bool expanded = false;
    NodeList out = expand_series(valued, expanded);
    EXPECT_TRUE(expanded);
    EXPECT_EQ(param_count(out), param_count(valued));
    EXPECT_EQ(param_names(out), (std::vector<std::string>{"R0.r", "R0.r", "C0.c", "R1.r", "Cpe0.q", "Cpe0.alpha", "C3.c"}));
    for (double w : {0.1, 3.0, 1e3}) {
        Cx a = impedance(valued, w), b = impedance(out, w);
        EXPECT_NEAR(a.re, b.re, 1e-12 * std::abs(a.re));
        EXPECT_NEAR(a.im, b.im, 1e-12 * std::abs(a.im) + 1e-15);
    }
    bool untouched = false;
    NodeList same = expand_series(*parse("R0-(R1,C1)"), untouched);
    EXPECT_FALSE(untouched);
    EXPECT_EQ(same, *parse("R0-(R1,C1)"));
}

TEST(Pool, EveryIndexRunsExactlyOnceAlsoWhenNested) {
    const std::size_t n = 257;
    std::vector<std::atomic<int>> hits(n * 3);
    parallel_for(n, [&](std::size_t i) {
        parallel_for(3, [&](std::size_t j) { hits[i * 3 + j]++; });
    });
    for (auto& h : hits) EXPECT_EQ(h.load(), 1);
    EXPECT_GE(pool_threads(), 1u);
}

TEST(Pool, ConcurrentCallersEachGetTheirOwnResults) {
    std::vector<std::thread> callers;
    std::vector<long> sums(4, 0);
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&, t] {
            std::vector<long> slots(1000);
            parallel_chunks(slots.size(), 16, [&](std::size_t b, std::size_t e) {
                for (std::size_t i = b; i < e; ++i) slots[i] = static_cast<long>(i) * (t + 1);
            });
            for (long v : slots) sums[t] += v;
        });
    }
    for (auto& c : callers) c.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(sums[t], 499500L * (t + 1));
}

TEST(Text, NumberForms) {
    EXPECT_EQ(format_number(1.0), "1");
    EXPECT_EQ(format_number(2500000.0), "2.5e6");
    EXPECT_EQ(format_number(-std::numeric_limits<double>::infinity()), "-inf");
    EXPECT_EQ(format_debug(10.0), "10.0");
    EXPECT_EQ(format_debug(1e16), "1e16");
    EXPECT_EQ(format_debug(9999999999999998.0), "9999999999999998.0");
    EXPECT_EQ(format_debug(1e-5), "1e-5");
    EXPECT_EQ(format_exp(0.001234, 6), "1.234000e-3");
    EXPECT_EQ(format_exp(12345.678, 6), "1.234568e4");
    EXPECT_EQ(format_exp(0.0, 6), "0.000000e0");
    EXPECT_EQ(quote("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u{1}\"");
}

TEST(BoundCircuit, EqualsTheTreeWalkBitForBit) {
    auto tree = parse("R0-(R1,CPE1)-La2-(Zarc3,(K4,Tlmq5-T6)-W7,C8)-Wo9-Ws10-(G11,Gs12)-L13-()");
    // "()" does not parse; build the empty group by hand below instead.
    ASSERT_FALSE(tree);
    tree = parse("R0-(R1,CPE1)-La2-(Zarc3,(K4,Tlmq5-T6)-W7,C8)-Wo9-Ws10-(G11,Gs12)-L13");
    ASSERT_TRUE(tree);
    NodeList series = *tree;
    series.push_back(Node::parallel({}));  // a group without branches
    const std::size_t n = param_count(series);
    for (double exponent : {0.83, 1.0, 0.5, 0.0, std::nan(""), 1.2}) {
        std::vector<double> p(n);
        for (std::size_t i = 0; i < n; ++i) p[i] = 0.37 + 0.11 * static_cast<double>(i);
        // Every exponent field (alpha, gamma) takes the value under test.
        auto names = param_names(series);
        for (std::size_t i = 0; i < n; ++i) {
            if (names[i].ends_with(".alpha") || names[i].ends_with(".gamma")) p[i] = exponent;
        }
        BoundCircuit bound;
        ASSERT_TRUE(bound.bind(series, p.data(), p.size()));
        for (double w : {1e-3, 0.5, 7.0, 1e4, 0.0, -3.0, std::nan(""), std::numeric_limits<double>::infinity()}) {
            ParamCursor cursor{p.data(), p.data() + p.size()};
            Cx want = series_impedance_with_params(series, w, cursor);
            Cx got = bound.impedance(w);
            EXPECT_TRUE(same_bits(got.re, want.re) && same_bits(got.im, want.im))
                << "exponent " << exponent << " omega " << w << ": " << got.re << "," << got.im << " vs " << want.re
                << "," << want.im;
        }
    }
    BoundCircuit short_bound;
    std::vector<double> too_few(n - 1, 1.0);
    EXPECT_FALSE(short_bound.bind(series, too_few.data(), too_few.size()));
}

TEST(BoundCircuit, GroupWithoutBranchesAloneIsNotFinite) {
    NodeList series;
    series.push_back(Node::parallel({}));
    BoundCircuit bound;
    ASSERT_TRUE(bound.bind(series, nullptr, 0));
    Cx z = bound.impedance(1.0);
    EXPECT_FALSE(std::isfinite(z.re));
    EXPECT_FALSE(std::isfinite(z.im));
}
