// The compiled circuit program and the residual model against the scalar
// tree walk (series_impedance_with_params), over random circuits, random
// values and the special cases of the element formulas.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "circuit/circuit.hpp"
#include "circuit/kernels.hpp"
#include "circuit/program.hpp"
#include "fit/residuals.hpp"
#include "util/simd.hpp"
#include "ulps.hpp"

using namespace velotz;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

using velotz::testing::ulps;

// The impedance by the scalar tree walk.
Cx reference(const NodeList& series, const std::vector<double>& p, double w) {
    ParamCursor cursor{p.data(), p.data() + p.size()};
    return series_impedance_with_params(series, w, cursor);
}

// A random tree: up to `width` nodes per series list, groups of 1-3
// branches nested up to `depth` levels; now and then an empty group or an
// empty branch.
NodeList random_series(std::mt19937_64& rng, int depth, int width) {
    std::uniform_int_distribution<int> count(1, width);
    std::uniform_int_distribution<int> kind(0, kKindCount - 1);
    std::uniform_int_distribution<int> pick(0, 9);
    NodeList out;
    const int n = count(rng);
    for (int i = 0; i < n; ++i) {
        const int roll = pick(rng);
        if (depth > 0 && roll < 3) {
            std::vector<NodeList> branches;
            const int b = roll == 0 ? (pick(rng) < 2 ? 0 : 1) : 1 + pick(rng) % 3;
            for (int k = 0; k < b; ++k) {
                branches.push_back(pick(rng) == 0 ? NodeList{} : random_series(rng, depth - 1, width));
            }
            out.push_back(Node::parallel(std::move(branches)));
        } else {
            const Kind k = static_cast<Kind>(kind(rng));
            out.push_back(Node::leaf(Element::make(k, kind_info(k).defaults)));
        }
    }
    return out;
}

// Random values: mostly positive and log-uniform, exponents in (0, 1), and
// with a small probability a special value.
std::vector<double> random_values(std::mt19937_64& rng, const NodeList& series) {
    static const double specials[] = {0.0, -0.0, 0.5, 1.0, -1.0, kInf, -kInf, std::nan(""), 1e-300, 1e300};
    std::uniform_real_distribution<double> decade(-6.0, 4.0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::uniform_int_distribution<int> pick(0, 39);
    std::vector<double> p;
    for (const Leaf& leaf : collect_leaves(series)) {
        const KindInfo& info = kind_info(leaf.element->kind);
        for (int f = 0; f < info.field_count; ++f) {
            const std::string field = info.fields[f];
            const int roll = pick(rng);
            if (roll < 4) {
                p.push_back(specials[static_cast<std::size_t>(pick(rng)) % std::size(specials)]);
            } else if (field == "alpha" || field == "gamma") {
                // The exact special exponents come up often.
                static const double exponents[] = {0.0, 0.5, 1.0};
                p.push_back(roll < 10 ? exponents[roll % 3] : unit(rng));
            } else {
                p.push_back(std::pow(10.0, decade(rng)));
            }
        }
    }
    return p;
}

std::vector<double> test_omegas(std::mt19937_64& rng) {
    // Both sides of every switch: ω ≤ 0, NaN, infinities, extremes, and the
    // points where √(ωτ/2) crosses the saturation threshold 20 (ωτ = 800)
    // for the default τ of Wo and Ws (10) and for τ = 1.
    std::vector<double> w = {0.0, -0.0, -3.0, std::nan(""), kInf, -kInf, 1e-300, 1e300, 5e-324, 80.0,
                             std::nextafter(80.0, 0.0), std::nextafter(80.0, 1e9), 800.0,
                             std::nextafter(800.0, 0.0), std::nextafter(800.0, 1e9)};
    std::uniform_real_distribution<double> decade(-4.0, 7.0);
    for (int i = 0; i < 40; ++i) w.push_back(std::pow(10.0, decade(rng)));
    return w;
}

}  // namespace

TEST(CircuitProgram, EqualsTheScalarEvaluationOverRandomCircuits) {
    std::mt19937_64 rng(20261207);
    std::uint64_t max_ulps = 0;
    std::size_t compared = 0;
    for (int trial = 0; trial < 400; ++trial) {
        const NodeList series = random_series(rng, 3, 4);
        const CircuitProgram program(series);
        ASSERT_EQ(program.param_count(), param_count(series));
        const SpectrumGrid grid(test_omegas(rng));
        CircuitProgram::Workspace ws;
        ws.reserve(program, grid.size());
        // The same workspace serves several vectors: nothing of the previous
        // evaluation may leak into the next.
        for (int round = 0; round < 3; ++round) {
            std::vector<double> p = random_values(rng, series);
            p.push_back(42.0);  // values beyond those the leaves read are ignored
            const Cx* z = program.evaluate(p.data(), grid, 0, grid.size(), ws);
            for (std::size_t j = 0; j < grid.size(); ++j) {
                const Cx want = reference(series, p, grid.omega[j]);
                const std::uint64_t d = std::max(ulps(z[j].re, want.re), ulps(z[j].im, want.im));
                max_ulps = std::max(max_ulps, d);
                ++compared;
                ASSERT_EQ(d, 0u) << "trial " << trial << " omega " << grid.omega[j] << ": (" << z[j].re << ", "
                                 << z[j].im << ") vs (" << want.re << ", " << want.im << ")";
                // Signed zeros are kept as well (a NaN's sign carries no
                // meaning: arithmetic leaves it unspecified).
                if (!std::isnan(want.re)) {
                    ASSERT_EQ(std::signbit(z[j].re), std::signbit(want.re));
                }
                if (!std::isnan(want.im)) {
                    ASSERT_EQ(std::signbit(z[j].im), std::signbit(want.im));
                }
            }
        }
    }
    EXPECT_EQ(max_ulps, 0u);
    EXPECT_GT(compared, 50000u);
}

// evaluate_into's fused blocks against the scalar tree walk, bit for bit
// and sign for sign, at every instruction-set level: random circuits over a
// grid long enough for several blocks, where the special frequencies share
// groups of four with ordinary ones and ordinary groups stand alone, read
// from several offsets and lengths (full blocks, tails, a single point).
TEST(CircuitProgram, FusedBlocksEqualTheScalarEvaluationAtEveryLevel) {
    struct Restore {
        ~Restore() { simd::use_level(-1); }
    } restore;
    std::mt19937_64 rng(20261208);
    std::size_t compared = 0;
    for (int trial = 0; trial < 100; ++trial) {
        const NodeList series = random_series(rng, 3, 4);
        const CircuitProgram program(series);
        std::vector<double> w = test_omegas(rng);
        std::shuffle(w.begin(), w.end(), rng);
        for (int i = 0; i < 450; ++i) w.push_back(std::pow(10.0, -3.0 + 0.02 * i));
        const SpectrumGrid grid(w, trial % 5 != 0);  // now and then the powers compute ln ω themselves
        const std::vector<double> p = random_values(rng, series);
        const std::size_t ranges[][2] = {{0, w.size()}, {3, 130}, {w.size() - 1, 1}, {64, 256}, {17, 300}};
        for (int level = simd::kBaseline; level <= simd::best_level(); ++level) {
            ASSERT_EQ(simd::use_level(level), level);
            for (const auto& r : ranges) {
                CircuitProgram::Workspace ws;
                ws.reserve(program, r[1]);
                std::vector<Cx> z(r[1]);
                program.evaluate_into(p.data(), grid, r[0], r[1], ws, z.data());
                for (std::size_t j = 0; j < r[1]; ++j) {
                    const Cx want = reference(series, p, w[r[0] + j]);
                    ++compared;
                    ASSERT_EQ(std::max(ulps(z[j].re, want.re), ulps(z[j].im, want.im)), 0u)
                        << "trial " << trial << " level " << level << " omega " << w[r[0] + j] << ": (" << z[j].re
                        << ", " << z[j].im << ") vs (" << want.re << ", " << want.im << ")";
                    if (!std::isnan(want.re)) {
                        ASSERT_EQ(std::signbit(z[j].re), std::signbit(want.re));
                    }
                    if (!std::isnan(want.im)) {
                        ASSERT_EQ(std::signbit(z[j].im), std::signbit(want.im));
                    }
                }
            }
        }
    }
    EXPECT_GT(compared, 50000u);
}

// The fused blocks of one workspace serve programs of different sizes and
// lengths in turn, and a full evaluate() after them still reads zeros
// where it should.
TEST(CircuitProgram, FusedBlocksShareAWorkspaceWithEvaluate) {
    auto small = parse("R0-(R1,C1)");
    auto large = parse("R0-(R1,CPE1)-(R2-W2,CPE2)-(R3,(R4,C4)-L5)");
    ASSERT_TRUE(small && large);
    std::vector<double> w;
    for (int i = 0; i < 300; ++i) w.push_back(std::pow(10.0, -2.0 + 0.03 * i));
    const SpectrumGrid grid(w);
    const std::vector<double> ps = {5.0, 20.0, 1e-3};
    const std::vector<double> pl = {10.0, 50.0, 1e-4, 0.85, 80.0, 30.0, 1e-3, 0.9, 7.0, 3.0, 2e-5, 1e-6};
    CircuitProgram::Workspace ws;
    for (const NodeList* tree : {&*large, &*small, &*large}) {
        const CircuitProgram program(*tree);
        const std::vector<double>& p = tree == &*small ? ps : pl;
        for (std::size_t count : {std::size_t{300}, std::size_t{7}, std::size_t{129}}) {
            ws.reserve(program, count);
            std::vector<Cx> fused(count);
            program.evaluate_into(p.data(), grid, 300 - count, count, ws, fused.data());
            const Cx* full = program.evaluate(p.data(), grid, 300 - count, count, ws);
            for (std::size_t j = 0; j < count; ++j) {
                const Cx want = reference(*tree, p, w[300 - count + j]);
                ASSERT_EQ(fused[j].re, want.re);
                ASSERT_EQ(fused[j].im, want.im);
                ASSERT_EQ(full[j].re, want.re);
                ASSERT_EQ(full[j].im, want.im);
            }
        }
    }
}

// Each fused block kernel against the scalar operations it stands for, at
// every instruction-set level: random accumulators and operands with special
// values mixed in (zeros of both signs, infinities, NaN, extremes), groups
// of four that are all ordinary, all on one axis, or mixed, and tails.
TEST(Kernels, FusedBlockKernelsEqualTheScalarOperationsAtEveryLevel) {
    struct Restore {
        ~Restore() { simd::use_level(-1); }
    } restore;
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> decade(-8.0, 8.0);
    std::uniform_int_distribution<int> pick(0, 19);
    const double odd[] = {0.0, -0.0, kInf, -kInf, std::nan(""), 5e-324, 1e-160, 1e160, -1e300, 1e-300};
    auto value = [&](int mode) {
        const int roll = pick(rng);
        if (mode == 0 && roll < 3) return odd[static_cast<std::size_t>(pick(rng)) % std::size(odd)];
        const double v = std::pow(10.0, decade(rng));
        return roll % 3 ? v : -v;
    };
    enum Op { Const, AxisL, AxisC, Warburg, Cpe, PartRecip, PartRdiv, Values, Recip, Count };
    for (int trial = 0; trial < 600; ++trial) {
        const std::size_t n = 1 + static_cast<std::size_t>(trial % 23);
        const int mode = trial % 4;  // 0: specials mixed in, 1: ordinary, 2: real axis, 3: imaginary axis
        std::vector<double> are(n), aim(n), sre(n), sim(n), w(n), rp(n);
        std::vector<Cx> part(n);
        for (std::size_t j = 0; j < n; ++j) {
            are[j] = value(mode);
            aim[j] = value(mode);
            sre[j] = mode == 3 ? 0.0 : value(mode);
            sim[j] = mode == 2 ? 0.0 : value(mode);
            part[j] = {sre[j], sim[j]};
            w[j] = mode == 0 ? value(0) : std::fabs(value(1));
            rp[j] = std::fabs(value(mode == 0 ? 0 : 1));
        }
        const double x = value(mode == 0 ? 0 : 1), p = 0.73, cp = std::cos(p * 1.5707963267948966),
                     sp = std::sin(p * 1.5707963267948966);
        auto scalar = [&](int op, std::size_t j) -> Cx {
            switch (op) {
                case Const: return Cx{x, 0.0};
                case AxisL: return Cx{0.0 * w[j] * x, w[j] * x};
                case AxisC: return recip(Cx{0.0 * w[j] * x, w[j] * x});
                case Warburg: return Cx{x / rp[j], -x / rp[j]};
                case Cpe: {
                    const Cx s = w[j] > 0.0 && w[j] <= std::numeric_limits<double>::max()
                                     ? Cx{rp[j] * cp, rp[j] * sp}
                                     : cpow(Cx{0.0 * w[j], w[j]}, p);
                    return recip(x * s);
                }
                case PartRecip: return recip(x * part[j]);
                case PartRdiv: return rdiv(x, part[j]);
                case Values: return part[j];
                default: return recip(part[j]);
            }
        };
        for (int level = simd::kBaseline; level <= simd::best_level(); ++level) {
            ASSERT_EQ(simd::use_level(level), level);
            for (int op = Const; op < Count; ++op) {
                std::vector<double> dre(n), dim(n);
                const kernels::Split dst{dre.data(), dim.data()};
                const kernels::SplitIn acc{are.data(), aim.data()};
                switch (op) {
                    case Const: kernels::block_const_add(dst, acc, x, 0.0, n); break;
                    case AxisL: kernels::block_axis_add(dst, acc, w.data(), x, false, n); break;
                    case AxisC: kernels::block_axis_add(dst, acc, w.data(), x, true, n); break;
                    case Warburg: kernels::block_warburg_add(dst, acc, rp.data(), x, n); break;
                    case Cpe: kernels::block_cpe_add(dst, acc, w.data(), rp.data(), p, cp, sp, x, n); break;
                    case PartRecip: kernels::block_part_add(dst, acc, part.data(), x, true, n); break;
                    case PartRdiv: kernels::block_part_add(dst, acc, part.data(), x, false, n); break;
                    case Values: kernels::block_values_add(dst, acc, part.data(), n); break;
                    default: kernels::block_recip_add(dst, acc, {sre.data(), sim.data()}, n); break;
                }
                for (std::size_t j = 0; j < n; ++j) {
                    const Cx want = Cx{are[j], aim[j]} + scalar(op, j);
                    ASSERT_EQ(ulps(dre[j], want.re), 0u) << "op " << op << " level " << level << " j " << j;
                    ASSERT_EQ(ulps(dim[j], want.im), 0u) << "op " << op << " level " << level << " j " << j;
                    if (!std::isnan(want.re)) {
                        ASSERT_EQ(std::signbit(dre[j]), std::signbit(want.re)) << "op " << op;
                    }
                    if (!std::isnan(want.im)) {
                        ASSERT_EQ(std::signbit(dim[j]), std::signbit(want.im)) << "op " << op;
                    }
                }
            }
            std::vector<Cx> out(n);
            kernels::block_interleave(out.data(), {sre.data(), sim.data()}, n);
            for (std::size_t j = 0; j < n; ++j) {
                ASSERT_EQ(ulps(out[j].re, sre[j]), 0u);
                ASSERT_EQ(ulps(out[j].im, sim[j]), 0u);
            }
        }
    }
}

// The reciprocal, CPE and kept-part kernels test eight entries at once for
// their usual branch: one odd entry anywhere in a run of 24 (a zero part, parts whose
// product underflows, a modulus out of range, NaN, infinity, ω not positive)
// sends its group down the exact path, and every entry still equals the
// scalar operations, at every level.
TEST(Kernels, OneOddEntryAmongEightEqualsTheScalarOperations) {
    constexpr std::size_t n = 24;
    struct Odd {
        double re, im, w;
    };
    const Odd odds[] = {{0.0, 0.3, 1.0},     {-0.0, 2.9, 1.0},     {0.3, 0.0, 1.0},    {2.9, -0.0, 1.0},
                        {1e-160, 1e-170, 1.0}, {1e200, 1e200, 1.0}, {1e-150, 1e-150, 1.0}, {std::nan(""), 1.0, 1.0},
                        {kInf, 1.0, 1.0},    {1.0, 1.0, 0.0},      {1.0, 1.0, -2.0},   {1.0, 1.0, kInf}};
    struct Restore {
        ~Restore() { simd::use_level(-1); }
    } restore;
    const double p = 0.81, cp = std::cos(p * 1.5707963267948966), sp = std::sin(p * 1.5707963267948966), q = 3e-5;
    for (std::size_t at = 0; at < n; ++at) {
        for (const Odd& odd : odds) {
            std::vector<double> are(n), aim(n), sre(n), sim(n), w(n), rp(n), dre(n), dim(n);
            for (std::size_t j = 0; j < n; ++j) {
                are[j] = 1.0 + 0.25 * static_cast<double>(j);
                aim[j] = -2.0 / (1.0 + static_cast<double>(j));
                sre[j] = 0.5 + static_cast<double>(j);
                sim[j] = -0.125 * static_cast<double>(j + 1);
                w[j] = std::pow(10.0, -1.0 + 0.3 * static_cast<double>(j));
                rp[j] = std::pow(w[j], p);
            }
            sre[at] = odd.re;
            sim[at] = odd.im;
            // A sum starting from -0 keeps the sign of a zero part visible.
            are[at] = aim[at] = -0.0;
            rp[at] = std::fabs(odd.re);
            w[at] = odd.w;
            const kernels::Split dst{dre.data(), dim.data()};
            const kernels::SplitIn acc{are.data(), aim.data()};
            for (int level = simd::kBaseline; level <= simd::best_level(); ++level) {
                ASSERT_EQ(simd::use_level(level), level);
                std::vector<Cx> part(n);
                for (std::size_t j = 0; j < n; ++j) part[j] = {sre[j], sim[j]};
                for (int op = 0; op < 5; ++op) {
                    if (op == 0) {
                        kernels::block_recip_add(dst, acc, {sre.data(), sim.data()}, n);
                    } else if (op == 3 || op == 4) {
                        kernels::block_part_add(dst, acc, part.data(), q, op == 3, n);
                    } else if (op == 2) {
                        // The reciprocal written interleaved, as a run's last step.
                        std::vector<Cx> out(n);
                        kernels::block_recip_add_into(out.data(), acc, {sre.data(), sim.data()}, n);
                        for (std::size_t j = 0; j < n; ++j) {
                            dre[j] = out[j].re;
                            dim[j] = out[j].im;
                        }
                    } else {
                        kernels::block_cpe_add(dst, acc, w.data(), rp.data(), p, cp, sp, q, n);
                    }
                    for (std::size_t j = 0; j < n; ++j) {
                        Cx v;
                        if (op == 3) {
                            v = recip(q * part[j]);
                        } else if (op == 4) {
                            v = rdiv(q, part[j]);
                        } else if (op != 1) {
                            v = recip(Cx{sre[j], sim[j]});
                        } else {
                            const Cx s = w[j] > 0.0 && w[j] <= std::numeric_limits<double>::max()
                                             ? Cx{rp[j] * cp, rp[j] * sp}
                                             : cpow(Cx{0.0 * w[j], w[j]}, p);
                            v = recip(q * s);
                        }
                        const Cx want = Cx{are[j], aim[j]} + v;
                        ASSERT_EQ(ulps(dre[j], want.re), 0u) << "op " << op << " at " << at << " j " << j;
                        ASSERT_EQ(ulps(dim[j], want.im), 0u) << "op " << op << " at " << at << " j " << j;
                        if (!std::isnan(want.re)) {
                            ASSERT_EQ(std::signbit(dre[j]), std::signbit(want.re));
                        }
                        if (!std::isnan(want.im)) {
                            ASSERT_EQ(std::signbit(dim[j]), std::signbit(want.im));
                        }
                    }
                }
            }
        }
    }
}

TEST(CircuitProgram, EvaluatesAnyRangeOfTheGrid) {
    auto tree = parse("R0-(R1,CPE1)-(R2-W2,CPE2)");
    ASSERT_TRUE(tree);
    const std::vector<double> p = {10.0, 50.0, 1e-4, 0.85, 80.0, 30.0, 1e-3, 0.9};
    std::vector<double> w;
    for (int i = 0; i < 37; ++i) w.push_back(std::pow(10.0, -2.0 + 0.2 * i));
    const SpectrumGrid grid(w);
    const CircuitProgram program(*tree);
    CircuitProgram::Workspace ws;
    ws.reserve(program, 10);
    const Cx* z = program.evaluate(p.data(), grid, 20, 10, ws);
    for (std::size_t j = 0; j < 10; ++j) {
        const Cx want = reference(*tree, p, w[20 + j]);
        EXPECT_EQ(z[j].re, want.re);
        EXPECT_EQ(z[j].im, want.im);
    }
}

TEST(CircuitProgram, EmptyCircuitAndEmptyGroup) {
    const SpectrumGrid grid(std::vector<double>{1.0, 2.0});
    const NodeList empty;
    const CircuitProgram none(empty);
    CircuitProgram::Workspace ws;
    ws.reserve(none, grid.size());
    const Cx* z = none.evaluate(nullptr, grid, 0, grid.size(), ws);
    EXPECT_TRUE(z[0].re == 0.0 && z[0].im == 0.0 && !std::signbit(z[0].re));

    NodeList group;
    group.push_back(Node::parallel({}));
    const CircuitProgram program(group);
    CircuitProgram::Workspace ws2;
    ws2.reserve(program, grid.size());
    z = program.evaluate(nullptr, grid, 0, grid.size(), ws2);
    EXPECT_FALSE(std::isfinite(z[1].re));
    EXPECT_FALSE(std::isfinite(z[1].im));
}

// The Jacobian's columns against the central difference of two scalar
// residual evaluations, bit for bit, over random circuits, including
// parameters beyond those the leaves read and columns asked to be zero.
TEST(ResidualModel, JacobianIsTheCentralDifferenceOfTheScalarResidualsBitForBit) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> unit(0.5, 1.5);
    for (int trial = 0; trial < 300; ++trial) {
        const NodeList series = random_series(rng, 2, 3);
        std::vector<double> w;
        for (int j = 0; j < 25; ++j) w.push_back(std::pow(10.0, -3.0 + 0.4 * j));
        if (trial % 5 == 0) w.push_back(0.0);
        std::vector<Cx> data;
        std::vector<double> weights;
        for (double wj : w) {
            data.push_back({unit(rng), -unit(rng) / (1.0 + wj)});
            weights.push_back(trial % 2 ? 1.0 : std::hypot(data.back().re, data.back().im));
        }
        std::vector<double> p = random_values(rng, series);
        p.push_back(3.0);  // read by no leaf
        const std::size_t n = p.size();
        std::vector<bool> zero(n, false);
        if (trial % 3 == 0) zero[static_cast<std::size_t>(trial) % n] = true;

        ResidualModel model(series, Measurement{w, data, weights});
        EvalCounter counter{0};
        // A residual evaluation at other values first: the Jacobian must not
        // take its arrays for those of its own base point.
        std::vector<double> other = p;
        other[static_cast<std::size_t>(trial) % n] += 0.25;
        std::vector<double> r;
        ASSERT_TRUE(model.residuals(trial % 2 ? other : p, counter, r));
        std::vector<double> jac(2 * w.size() * n, -7.0);
        ASSERT_TRUE(model.jacobian(p, counter, jac.data(), &zero));
        EXPECT_EQ(counter.load(), 2 * n + 1);

        for (std::size_t k = 0; k < n; ++k) {
            const double h = jacobian_step(p[k]);
            std::vector<double> plus = p, minus = p;
            plus[k] = p[k] + h;
            minus[k] = p[k] - h;
            for (std::size_t j = 0; j < w.size(); ++j) {
                const Cx zp = reference(series, plus, w[j]);
                const Cx zm = reference(series, minus, w[j]);
                const double want_re =
                    zero[k] ? 0.0 : ((zp.re - data[j].re) / weights[j] - (zm.re - data[j].re) / weights[j]) / (h + h);
                const double want_im =
                    zero[k] ? 0.0 : ((zp.im - data[j].im) / weights[j] - (zm.im - data[j].im) / weights[j]) / (h + h);
                const double got_re = jac[k * 2 * w.size() + 2 * j];
                const double got_im = jac[k * 2 * w.size() + 2 * j + 1];
                ASSERT_EQ(ulps(got_re, want_re), 0u) << "trial " << trial << " column " << k << " point " << j;
                ASSERT_EQ(ulps(got_im, want_im), 0u) << "trial " << trial << " column " << k << " point " << j;
            }
        }
        // The residuals of the same model after the Jacobian (its arrays are
        // reused) are those of the scalar walk.
        ASSERT_TRUE(model.residuals(p, counter, r));
        EXPECT_EQ(counter.load(), 2 * n + 2);
        for (std::size_t j = 0; j < w.size(); ++j) {
            const Cx z = reference(series, p, w[j]);
            ASSERT_EQ(ulps(r[2 * j], (z.re - data[j].re) / weights[j]), 0u);
            ASSERT_EQ(ulps(r[2 * j + 1], (z.im - data[j].im) / weights[j]), 0u);
        }
    }
}

TEST(ResidualModel, ShortVectorFailsOnlyWithFrequenciesToEvaluate) {
    auto tree = parse("R0-(R1,C1)");
    ASSERT_TRUE(tree);
    const std::vector<double> w = {1.0, 10.0};
    const std::vector<Cx> data = {{1.0, 0.0}, {1.0, 0.0}};
    const std::vector<double> weights = {1.0, 1.0};
    ResidualModel model(*tree, Measurement{w, data, weights});
    EvalCounter counter{0};
    std::vector<double> r, jac(4 * 2);
    EXPECT_FALSE(model.residuals({1.0, 2.0}, counter, r));
    EXPECT_FALSE(model.jacobian({1.0, 2.0}, counter, jac.data()));
    EXPECT_EQ(counter.load(), 1u + 4u);
    EXPECT_TRUE(std::isnan(model.cost({1.0}, counter)));

    const std::vector<double> none;
    const std::vector<Cx> no_data;
    ResidualModel empty(*tree, Measurement{none, no_data, none});
    EXPECT_TRUE(empty.residuals({1.0}, counter, r));
    EXPECT_TRUE(r.empty());
    EXPECT_TRUE(empty.jacobian({1.0}, counter, jac.data()));
}

// The vector kernels against the scalar operations, entry by entry: runs of
// four values that all take one branch of the complex reciprocal (real axis,
// imaginary axis, usual range), mixed runs, and the values that take Smith's
// scaled division or give non-finite results.
TEST(Kernels, EqualTheScalarOperationsBitForBit) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> decade(-300.0, 300.0);
    std::uniform_int_distribution<int> pick(0, 19);
    const double odd[] = {0.0, -0.0, kInf, -kInf, std::nan(""), 5e-324, 1e-160, 1e160, -1e300, 2.0};
    auto value = [&](int roll) {
        if (roll < 3) return odd[static_cast<std::size_t>(pick(rng)) % std::size(odd)];
        const double v = std::pow(10.0, decade(rng) * (roll < 10 ? 0.01 : 1.0));
        return roll % 2 ? v : -v;
    };
    for (int trial = 0; trial < 3000; ++trial) {
        const std::size_t n = static_cast<std::size_t>(trial % 21);  // blocks of 8 and 4, and tails
        const int mode = trial % 4;  // 0: mixed, 1: real axis, 2: imaginary axis, 3: off the axes
        std::vector<Cx> a(n), b(n);
        for (std::size_t j = 0; j < n; ++j) {
            a[j] = {mode == 2 ? 0.0 : value(pick(rng) + (mode ? 3 : 0)),
                    mode == 1 ? 0.0 : value(pick(rng) + (mode ? 3 : 0))};
            b[j] = {value(pick(rng)), value(pick(rng))};
        }
        std::vector<Cx> r(n), s(n), inplace = a, rd(n), rs(n);
        const double scale = value(pick(rng));
        kernels::recip(r.data(), a.data(), n);
        kernels::recip(inplace.data(), inplace.data(), n);
        kernels::add(s.data(), a.data(), b.data(), n);
        kernels::rdiv(rd.data(), scale, a.data(), n);
        kernels::recip_scaled(rs.data(), scale, a.data(), n);
        // add_pair: b added on the left to one array and on the right to another.
        std::vector<Cx> left = a, right = a, left2(n), right2(n);
        for (std::size_t j = 0; j < n; ++j) left2[j] = right2[j] = {value(pick(rng)), value(pick(rng))};
        std::vector<Cx> left2_in = left2, right2_in = right2;
        kernels::add_pair(left.data(), left2.data(), b.data(), true, n);
        kernels::add_pair(right.data(), right2.data(), b.data(), false, n);
        for (std::size_t j = 0; j < n; ++j) {
            const Cx want[4] = {b[j] + a[j], b[j] + left2_in[j], a[j] + b[j], right2_in[j] + b[j]};
            const Cx got[4] = {left[j], left2[j], right[j], right2[j]};
            for (int c = 0; c < 4; ++c) {
                ASSERT_EQ(ulps(got[c].re, want[c].re), 0u) << "add_pair case " << c;
                ASSERT_EQ(ulps(got[c].im, want[c].im), 0u) << "add_pair case " << c;
            }
        }
        for (std::size_t j = 0; j < n; ++j) {
            const Cx want_rd = rdiv(scale, a[j]);
            const Cx want_rs = recip(scale * a[j]);
            ASSERT_EQ(ulps(rd[j].re, want_rd.re), 0u) << scale << " / " << a[j].re << " " << a[j].im;
            ASSERT_EQ(ulps(rd[j].im, want_rd.im), 0u) << scale << " / " << a[j].re << " " << a[j].im;
            ASSERT_EQ(ulps(rs[j].re, want_rs.re), 0u);
            ASSERT_EQ(ulps(rs[j].im, want_rs.im), 0u);
            if (!std::isnan(want_rd.im)) {
                ASSERT_EQ(std::signbit(rd[j].im), std::signbit(want_rd.im)) << scale << " / " << a[j].re << " " << a[j].im;
            }
            const Cx want = recip(a[j]);
            ASSERT_EQ(ulps(r[j].re, want.re), 0u) << a[j].re << " " << a[j].im;
            ASSERT_EQ(ulps(r[j].im, want.im), 0u) << a[j].re << " " << a[j].im;
            ASSERT_EQ(ulps(inplace[j].re, want.re), 0u);
            ASSERT_EQ(ulps(inplace[j].im, want.im), 0u);
            if (!std::isnan(want.re)) {
                ASSERT_EQ(std::signbit(r[j].re), std::signbit(want.re));
            }
            if (!std::isnan(want.im)) {
                ASSERT_EQ(std::signbit(r[j].im), std::signbit(want.im));
            }
            const Cx sum = a[j] + b[j];
            ASSERT_EQ(ulps(s[j].re, sum.re), 0u);
            ASSERT_EQ(ulps(s[j].im, sum.im), 0u);
        }
        // The weighted differences over the same values as doubles.
        std::vector<double> w(2 * n), out(2 * n), col(2 * n);
        for (double& v : w) v = std::fabs(value(pick(rng))) + 1e-30;
        const double* z = reinterpret_cast<const double*>(a.data());
        const double* zm = reinterpret_cast<const double*>(b.data());
        const double* d = reinterpret_cast<const double*>(s.data());
        kernels::residuals(out.data(), z, d, w.data(), 2 * n);
        kernels::difference(col.data(), z, zm, d, w.data(), 3e-6, 2 * n);
        for (std::size_t i = 0; i < 2 * n; ++i) {
            ASSERT_EQ(ulps(out[i], (z[i] - d[i]) / w[i]), 0u);
            ASSERT_EQ(ulps(col[i], ((z[i] - d[i]) / w[i] - (zm[i] - d[i]) / w[i]) / 3e-6), 0u);
        }
    }
}
