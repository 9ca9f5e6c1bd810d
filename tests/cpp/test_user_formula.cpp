// User formulas: values against the built-in CPE (same bits) and std::complex
// formulas, derivatives against central differences, the column of parse
// errors, the checks of a definition and the registry under threads.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <string>
#include <thread>
#include <vector>

#include "elements/element.hpp"
#include "elements/user_formula.hpp"
#include "ulps.hpp"
#include "util/exp_log.hpp"

using namespace velotz;
using velotz::user::Formula;
using velotz::user::FormulaError;
using C = std::complex<double>;

namespace {

void explog_ln(double x, double& hi, double& lo) { explog::ln_dd(x, hi, lo); }

std::vector<double> log_omegas(std::size_t n, double lo = -3.0, double hi = 7.0) {
    std::vector<double> w(n);
    for (std::size_t k = 0; k < n; ++k) w[k] = std::pow(10.0, lo + (hi - lo) * static_cast<double>(k) / (n - 1));
    return w;
}

std::vector<Cx> eval(const Formula& f, const std::vector<double>& p, const std::vector<double>& w) {
    std::vector<Cx> out(w.size());
    Formula::Workspace ws;
    f.evaluate(p.data(), w.data(), w.size(), out.data(), ws);
    return out;
}

double rel_err(Cx got, std::complex<double> want) {
    return std::abs(std::complex<double>(got.re, got.im) - want) / std::abs(want);
}

TEST(UserFormula, CpeGivesTheBitsOfTheBuiltInCpe) {
    const Formula f = Formula::compile("1/(q*s^alpha)", {"q", "alpha"});
    const auto w = log_omegas(301);
    for (double alpha : {0.0, 0.3, 0.5, 0.77, 0.999, 1.0, 1.2}) {
        const std::vector<double> p = {2.5e-4, alpha};
        const auto got = eval(f, p, w);
        for (std::size_t k = 0; k < w.size(); ++k) {
            const Cx want = Element::impedance_of(Kind::Cpe, p.data(), w[k]);
            EXPECT_EQ(velotz::testing::ulps(got[k].re, want.re), 0u) << alpha << " " << w[k];
            EXPECT_EQ(velotz::testing::ulps(got[k].im, want.im), 0u) << alpha << " " << w[k];
        }
    }
}

TEST(UserFormula, GivenLogarithmsGiveTheSameBits) {
    // Two powers of s share the logarithms; given or computed, the same bits.
    const Formula f = Formula::compile("1/(q*s^alpha) + q*s^(alpha/2)", {"q", "alpha"});
    const auto w = log_omegas(129);
    const std::vector<double> p = {3e-3, 0.71};
    std::vector<double> hi(w.size()), lo(w.size());
    for (std::size_t k = 0; k < w.size(); ++k) explog_ln(w[k], hi[k], lo[k]);
    std::vector<Cx> given(w.size());
    Formula::Workspace ws;
    f.evaluate(p.data(), w.data(), hi.data(), lo.data(), w.size(), given.data(), ws);
    const auto computed = eval(f, p, w);
    for (std::size_t k = 0; k < w.size(); ++k) {
        EXPECT_EQ(velotz::testing::ulps(given[k].re, computed[k].re), 0u);
        EXPECT_EQ(velotz::testing::ulps(given[k].im, computed[k].im), 0u);
        const C s(0, w[k]);
        EXPECT_LT(rel_err(given[k], 1.0 / (p[0] * std::pow(s, p[1])) + p[0] * std::pow(s, p[1] / 2)), 1e-14);
    }
}

struct Reference {
    const char* formula;
    std::vector<std::string> fields;
    std::vector<double> values;
    std::complex<double> (*want)(const std::vector<double>&, double);
};

class UserFormulaValues : public ::testing::TestWithParam<Reference> {};

TEST_P(UserFormulaValues, MatchStdComplex) {
    const Reference& r = GetParam();
    const Formula f = Formula::compile(r.formula, r.fields);
    const auto w = log_omegas(97);
    const auto got = eval(f, r.values, w);
    for (std::size_t k = 0; k < w.size(); ++k) {
        EXPECT_LT(rel_err(got[k], r.want(r.values, w[k])), 1e-12) << r.formula << " at " << w[k];
        const Cx one = f.value_at(r.values.data(), w[k]);
        EXPECT_EQ(velotz::testing::ulps(one.re, got[k].re), 0u);
        EXPECT_EQ(velotz::testing::ulps(one.im, got[k].im), 0u);
    }
}


INSTANTIATE_TEST_SUITE_P(
    Formulas, UserFormulaValues,
    ::testing::Values(
        // Havriliak–Negami
        Reference{"r/(1 + (s*tau)^a)^b", {"r", "tau", "a", "b"}, {10.0, 1e-3, 0.8, 0.6},
                  [](const std::vector<double>& p, double w) {
                      return p[0] / std::pow(1.0 + std::pow(C(0, w) * p[1], p[2]), p[3]);
                  }},
        // bounded (transmissive) diffusion
        Reference{"r*tanh(sqrt(s*tau))/sqrt(s*tau)", {"r", "tau"}, {3.0, 2.0},
                  [](const std::vector<double>& p, double w) {
                      const C u = std::sqrt(C(0, w) * p[1]);
                      return p[0] * std::tanh(u) / u;
                  }},
        Reference{"r*coth(sqrt(s*tau))/sqrt(s*tau)", {"r", "tau"}, {3.0, 2e-3},
                  [](const std::vector<double>& p, double w) {
                      const C u = std::sqrt(C(0, w) * p[1]);
                      return p[0] / std::tanh(u) / u;
                  }},
        Reference{"r + j*x - -exp(-s*t)*cosh(a) / sinh(b + s*1e-6) + log(2 + s) ** 2 - s^-2 * 3e-1",
                  {"r", "x", "t", "a", "b"}, {1.0, 2.0, 1e-4, 0.3, 0.7},
                  [](const std::vector<double>& p, double w) {
                      const C s(0, w);
                      return p[0] + C(0, 1) * p[1] + std::exp(-s * p[2]) * std::cosh(p[3]) / std::sinh(p[4] + s * 1e-6) +
                             std::pow(std::log(2.0 + s), 2) - std::pow(s, -2) * 0.3;
                  }},
        // an exponent that is a field applied to a complex base; a constant
        Reference{"(r + s)^(a*pi/4)", {"r", "a"}, {5.0, 0.9},
                  [](const std::vector<double>& p, double w) {
                      return std::pow(C(p[0], w), p[1] * 3.14159265358979323846 / 4);
                  }},
        Reference{"2*r + .5", {"r"}, {4.0}, [](const std::vector<double>& p, double) { return C(2 * p[0] + .5, 0); }}));

TEST_P(UserFormulaValues, DerivativesMatchCentralDifferences) {
    const Reference& r = GetParam();
    const Formula f = Formula::compile(r.formula, r.fields);
    const auto w = log_omegas(23, -2.0, 5.0);
    const std::size_t n = w.size(), nf = r.values.size();
    std::vector<Cx> out(n), d(n * nf);
    Formula::Workspace ws;
    f.evaluate_with_derivatives(r.values.data(), w.data(), n, out.data(), d.data(), ws);
    const auto plain = eval(f, r.values, w);
    for (std::size_t k = 0; k < n; ++k) {
        EXPECT_EQ(velotz::testing::ulps(out[k].re, plain[k].re), 0u);
        EXPECT_EQ(velotz::testing::ulps(out[k].im, plain[k].im), 0u);
    }
    for (std::size_t fi = 0; fi < nf; ++fi) {
        auto up = r.values, down = r.values;
        const double h = 1e-6 * std::fabs(r.values[fi]);
        up[fi] += h;
        down[fi] -= h;
        const auto zp = eval(f, up, w), zm = eval(f, down, w);
        for (std::size_t k = 0; k < n; ++k) {
            const C fd = (C(zp[k].re, zp[k].im) - C(zm[k].re, zm[k].im)) / (2 * h);
            const C an(d[fi * n + k].re, d[fi * n + k].im);
            const double scale = std::max(std::abs(fd), std::abs(C(out[k].re, out[k].im)) / std::fabs(r.values[fi]));
            EXPECT_LT(std::abs(an - fd), 1e-6 * scale + 1e-300) << r.formula << " field " << fi << " at " << w[k];
        }
    }
}

struct BadFormula {
    const char* formula;
    std::size_t column;
    const char* message;
};

class UserFormulaErrors : public ::testing::TestWithParam<BadFormula> {};

TEST_P(UserFormulaErrors, PointAtTheColumn) {
    const BadFormula& b = GetParam();
    try {
        (void)Formula::compile(b.formula, {"q", "alpha"});
        FAIL() << "accepted " << b.formula;
    } catch (const FormulaError& e) {
        EXPECT_EQ(e.column(), b.column) << b.formula << ": " << e.what();
        EXPECT_NE(std::string(e.what()).find(b.message), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("at position " + std::to_string(b.column)), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Formulas, UserFormulaErrors,
                         ::testing::Values(BadFormula{"1/(q*s^beta)", 7, "unknown name 'beta'"},
                                           BadFormula{"1/(q*s^alpha", 2, "'(' is not closed"},
                                           BadFormula{"q*s)", 3, "unmatched ')'"},
                                           BadFormula{"q*", 2, "found end of formula"},
                                           BadFormula{"q $ s", 2, "unexpected '$'"},
                                           BadFormula{"2q", 1, "followed by a name"},
                                           BadFormula{"1.2.3*q", 0, "invalid number"},
                                           BadFormula{"tanh q", 5, "needs '('"},
                                           BadFormula{"exp(q s)", 6, "expected ')'"},
                                           BadFormula{"\xce\xb1 + q", 0, "character"},
                                           BadFormula{"q + \xce\xb1", 4, "character"},
                                           BadFormula{"__import__(q)", 0, "unknown name '__import__'"},
                                           BadFormula{"", 0, "end of formula"}));

TEST(UserFormula, CaretLinesPointUnderTheColumn) {
    EXPECT_EQ(user::caret_lines("1/(q*s^beta)", 7), "1/(q*s^beta)\n       ^");
}

TEST(UserFormula, FieldNamesAreChecked) {
    for (const std::vector<std::string>& fields : std::vector<std::vector<std::string>>{
             {"q", "q"}, {"s"}, {"tanh"}, {"pi"}, {"1q"}, {"a-b"}, {}}) {
        EXPECT_THROW((void)Formula::compile("1", fields), FormulaError) << (fields.empty() ? "" : fields[0]);
    }
}

TEST(UserKind, DefinitionsAreChecked) {
    using user::make_user_kind;
    for (const char* code : {"Cpe", "CPE", "cpe", "R", "tlmq", "Q1", "Q_", "", "Qé"}) {
        EXPECT_THROW(make_user_kind(code, {"q"}, "q", {}, {}, {}, {}), FormulaError) << code;
    }
    EXPECT_THROW(make_user_kind("Qa", {"q"}, "q", {"ohm", "s"}, {}, {}, {}), FormulaError);
    EXPECT_THROW(make_user_kind("Qa", {"q"}, "q", {}, {1.0, 2.0}, {}, {}), FormulaError);
    EXPECT_THROW(make_user_kind("Qa", {"q"}, "q", {}, {}, {2.0}, {1.0}), FormulaError);
    EXPECT_THROW(make_user_kind("Qa", {"q"}, "q", {}, {0.5}, {1.0}, {2.0}), FormulaError);
    EXPECT_THROW(make_user_kind("Qa", {"a", "b", "c", "d", "e"}, "a", {}, {}, {}, {}), FormulaError);
    const auto k = make_user_kind("Qa", {"q", "alpha"}, "1/(q*s^alpha)", {}, {}, {}, {});
    // Default bounds and values follow the built-in fields of the same names.
    EXPECT_EQ(k.lower, (std::vector<double>{field_bounds("q").lo, 0.0}));
    EXPECT_EQ(k.upper[1], 1.0);
    EXPECT_EQ(k.defaults, (std::vector<double>{1.0, 1.0}));
    EXPECT_EQ(k.units, (std::vector<std::string>{"-", "-"}));
}

TEST(UserKind, RegistryRefusesADifferentRedefinitionAndServesThreads) {
    auto& reg = user::Registry::instance();
    auto make = [](const char* code, const char* formula) {
        return user::make_user_kind(code, {"q", "alpha"}, formula, {}, {}, {}, {});
    };
    const std::size_t first = reg.define(make("Qtest", "1/(q*s^alpha)"));
    EXPECT_EQ(reg.define(make("Qtest", "1/(q*s^alpha)")), first);
    EXPECT_THROW(reg.define(make("Qtest", "1/(q*s^(alpha))")), FormulaError);
    EXPECT_EQ(reg.find("Qtest"), first);
    EXPECT_EQ(reg.find("Qnone"), user::Registry::npos);

    // Threads define the same codes and evaluate them at once.
    std::vector<std::thread> threads;
    std::vector<int> ok(8, 0);
    const auto w = log_omegas(64);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            const std::string code = std::string("Qthread") + static_cast<char>('a' + t % 4);
            const std::size_t index = reg.define(make(code.c_str(), "q/(1 + s^alpha)"));
            const auto kind = reg.get(index);
            const std::vector<double> p = {2.0, 0.5 + 0.05 * t};
            const auto z = eval(*kind->formula, p, w);
            ok[t] = kind->code == code && z.size() == w.size() &&
                    rel_err(z[5], p[0] / (1.0 + std::pow(C(0, w[5]), p[1]))) < 1e-13;
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < 8; ++t) EXPECT_EQ(ok[t], 1) << t;
    for (char c = 'a'; c < 'e'; ++c) EXPECT_NE(reg.find(std::string("Qthread") + c), user::Registry::npos);
}

}  // namespace
