// Tests of parameter constraints inside the core: the start values made to
// respect a mask, and the fit model's free vector, its expansion and its
// counted Jacobian.

#include "circuit/param_mask.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "fit/fit_model.hpp"

namespace velotz {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

NodeList circuit(const char* text, const std::vector<double>& values) {
    auto tree = parse(text);
    EXPECT_TRUE(tree.has_value()) << text;
    return rebuild(*tree, values);
}

TEST(ApplyMask, FixedValuesReplaceGuessesAndCustomBoundsHoldTheRest) {
    const NodeList tree = circuit("R0-R1-R2-CPE1", {7.0, 1.0, 1.0, 1e-4, 0.9});
    ParamMask mask = ParamMask::none(5);
    mask.fixed[0] = true;
    mask.bounds[1] = Bounds{5.0, kInf};   // open above: a guess at or below 5 moves to 10
    mask.bounds[2] = Bounds{2.0, 3.0};    // finite: clamped
    mask.bounds[4] = Bounds{0.5, 0.8};
    std::vector<double> guess = {100.0, 4.0, 9.0, 2e-4, std::nan("")};
    apply_mask(tree, mask, guess);
    EXPECT_EQ(guess[0], 7.0);
    EXPECT_EQ(guess[1], 10.0);
    EXPECT_EQ(guess[2], 3.0);
    EXPECT_EQ(guess[3], 2e-4);  // no custom bounds: untouched
    EXPECT_EQ(guess[4], 0.65);  // NaN in a finite box: its middle
}

TEST(FitModel, WithoutConstraintsEveryParameterIsFreeAndVectorsPassThrough) {
    const NodeList tree = circuit("R0-(R1,C1)", {1.0, 2.0, 3e-3});
    const FitModel plain(tree);
    EXPECT_FALSE(plain.constrained());
    EXPECT_EQ(plain.free_count(), 3u);
    EXPECT_EQ(plain.values(), param_values(tree));
    const std::vector<double> p = {4.0, 5.0, 6e-3};
    std::vector<double> scratch;
    EXPECT_EQ(&plain.expand(p, scratch), &p);  // no copy
    // A mask that constrains nothing is the same as none.
    const FitModel empty(std::make_shared<const NodeList>(tree), std::make_shared<const ParamMask>(ParamMask::none(3)));
    EXPECT_FALSE(empty.constrained());
    EXPECT_EQ(empty.mask(), nullptr);
}

TEST(FitModel, FixedParametersLeaveTheFreeVectorAndReturnOnExpansion) {
    const NodeList tree = circuit("R0-(R1,C1)", {1.0, 2.0, 3e-3});
    ParamMask mask = ParamMask::none(3);
    mask.fixed[1] = true;
    mask.bounds[2] = Bounds{1e-4, 1e-2};
    const FitModel model(std::make_shared<const NodeList>(tree), std::make_shared<const ParamMask>(mask));
    EXPECT_EQ(model.free_count(), 2u);
    EXPECT_EQ(model.names(), (std::vector<std::string>{"R0.r", "C1.c"}));
    EXPECT_EQ(model.values(), (std::vector<double>{1.0, 3e-3}));
    ASSERT_EQ(model.bounds().size(), 2u);
    EXPECT_EQ(model.bounds()[1].hi, 1e-2);
    std::vector<double> scratch;
    EXPECT_EQ(model.expand({8.0, 9e-3}, scratch), (std::vector<double>{8.0, 2.0, 9e-3}));
    EXPECT_EQ(param_values(model.rebuild({8.0, 9e-3})), (std::vector<double>{8.0, 2.0, 9e-3}));
    EXPECT_EQ(model.with_values({8.0, 9e-3}).values(), (std::vector<double>{8.0, 9e-3}));
}

TEST(FitModel, JacobianKeepsTheFreeColumnsAndCountsEveryComputedOne) {
    const NodeList tree = circuit("R0-(R1,C1)", {1.0, 2.0, 3e-3});
    ParamMask mask = ParamMask::none(3);
    mask.fixed[0] = true;
    const FitModel model(std::make_shared<const NodeList>(tree), std::make_shared<const ParamMask>(mask));
    const std::vector<double> omegas = {1.0, 10.0, 100.0};
    const std::vector<Cx> data = {{1.0, -1.0}, {2.0, -0.5}, {1.5, -0.1}};
    const std::vector<double> weights = {1.0, 1.0, 1.0};
    const Measurement m{omegas, data, weights};
    EvalCounter counter{0};
    auto cols = model.jacobian_columns({2.0, 3e-3}, m, counter);
    ASSERT_TRUE(cols.has_value());
    ASSERT_EQ(cols->size(), 2u);
    // The full Jacobian is computed (3 columns, 2 evaluations each).
    EXPECT_EQ(counter.load(), 6u);
    EvalCounter full_counter{0};
    auto full = jacobian_columns(tree, {1.0, 2.0, 3e-3}, m, full_counter);
    ASSERT_TRUE(full.has_value());
    EXPECT_EQ((*cols)[0], (*full)[1]);
    EXPECT_EQ((*cols)[1], (*full)[2]);
}


// The evaluator a fit compiles once: with parameters fixed at several places
// and columns held, one evaluator reused across calls at changing free
// vectors gives the residuals and the free columns of the full evaluation
// bit for bit, zeros for held columns, and counts as the full Jacobian does.
TEST(FitEvaluator, MatchesTheFullEvaluationAcrossReusedCalls) {
    const NodeList tree = circuit("R0-(R1,CPE1)-(R2,W2)", {1.0, 2.0, 3e-3, 0.8, 4.0, 0.5});
    const std::vector<double> omegas = {0.5, 3.0, 20.0, 150.0, 1e3};
    const std::vector<Cx> data = {{7.0, -3.0}, {6.0, -2.0}, {4.0, -1.5}, {2.0, -0.5}, {1.2, -0.1}};
    const std::vector<double> weights = {7.6, 6.3, 4.3, 2.1, 1.2};
    const Measurement m{omegas, data, weights};
    const std::size_t rows = 2 * omegas.size();
    for (const std::vector<std::size_t>& fixed : {std::vector<std::size_t>{},
                                                   std::vector<std::size_t>{0},
                                                   std::vector<std::size_t>{2, 5},
                                                   std::vector<std::size_t>{1, 3, 4}}) {
        ParamMask mask = ParamMask::none(6);
        for (std::size_t i : fixed) mask.fixed[i] = true;
        const FitModel model(std::make_shared<const NodeList>(tree), std::make_shared<const ParamMask>(mask));
        FitEvaluator evaluator(model, m);
        const std::size_t n = model.free_count();
        for (int call = 0; call < 3; ++call) {
            std::vector<double> free = model.values();
            for (std::size_t k = 0; k < n; ++k) free[k] *= 1.0 + 0.1 * (call + static_cast<int>(k));
            std::vector<double> full = param_values(tree);
            for (std::size_t k = 0; k < n; ++k) full[model.free_index()[k]] = free[k];

            EvalCounter counter{0}, reference_counter{0};
            std::vector<double> r, want_r;
            ASSERT_TRUE(evaluator.residuals(free, counter, r));
            ASSERT_TRUE(residuals_into(tree, full, m, reference_counter, want_r));
            EXPECT_EQ(r, want_r);

            std::vector<bool> held(n, false);
            if (n > 1) held[static_cast<std::size_t>(call) % n] = true;
            std::vector<double> jac(rows * n, -1.0);
            ASSERT_TRUE(evaluator.jacobian(free, counter, jac.data(), &held));
            auto want = jacobian_columns(tree, full, m, reference_counter);
            ASSERT_TRUE(want.has_value());
            EXPECT_EQ(counter.load(), reference_counter.load());  // 1 + 2 per parameter of the full vector
            EXPECT_EQ(counter.load(), 1u + 2u * 6u);
            for (std::size_t k = 0; k < n; ++k) {
                const std::vector<double> got(jac.begin() + static_cast<std::ptrdiff_t>(k * rows),
                                              jac.begin() + static_cast<std::ptrdiff_t>((k + 1) * rows));
                if (held[k]) {
                    EXPECT_EQ(got, std::vector<double>(rows, 0.0));
                } else {
                    EXPECT_EQ(got, (*want)[model.free_index()[k]]) << "column " << k;
                }
            }
            EXPECT_EQ(evaluator.cost(free, counter), half_sum_of_squares(want_r));
        }
        // A short free vector: with fixed parameters the rest keep the
        // model's values (as FitModel::expand), without it fails.
        if (n > 1) {
            EvalCounter counter{0};
            std::vector<double> r;
            const std::vector<double> values = model.values();
            const std::vector<double> part(values.begin(), values.end() - 1);
            EXPECT_EQ(evaluator.residuals(part, counter, r), !fixed.empty());
            std::vector<double> want_r;
            if (!fixed.empty()) {
                ASSERT_TRUE(residuals_into(tree, param_values(tree), m, counter, want_r));
                EXPECT_EQ(r, want_r);
            }
        }
    }
}

}  // namespace
}  // namespace velotz
