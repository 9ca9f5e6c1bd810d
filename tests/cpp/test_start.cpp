// The start decision shared by fit, the batch fit, guess and estimate_start.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "start/start_estimate.hpp"
#include "start/registry.hpp"
#include "start/start.hpp"

using namespace velotz;

namespace {

NodeList tree(const char* text) {
    auto t = parse(text);
    EXPECT_TRUE(t.has_value()) << text;
    return t ? *t : NodeList{};
}

struct Spectrum {
    std::vector<double> f;
    std::vector<Cx> z;
};

// R0-(R1,C1) with R0 = 10, R1 = 100, C1 = 1e-5 from 100 kHz to 10 mHz.
Spectrum rc_spectrum() {
    const NodeList truth = rebuild(tree("R0-(R1,C1)"), {10.0, 100.0, 1e-5});
    Spectrum s;
    for (int k = 0; k < 40; ++k) {
        const double f = std::pow(10.0, 5.0 - 7.0 * k / 39.0);
        s.f.push_back(f);
        s.z.push_back(impedance(truth, 6.283185307179586 * f));
    }
    return s;
}

struct DecisionCase {
    const char* circuit;
    std::optional<bool> guess_init;
    const char* weights;  // null: none
    bool values_given;
    StartSource source;
    bool warns;
};

class Decision : public ::testing::TestWithParam<DecisionCase> {};

TEST_P(Decision, FollowsThePolicy) {
    const DecisionCase& c = GetParam();
    StartOptions options{c.guess_init, c.weights ? std::optional<std::string>(c.weights) : std::nullopt,
                         c.values_given};
    const StartChoice choice = choose_start(tree(c.circuit), options);
    EXPECT_EQ(choice.source, c.source);
    EXPECT_EQ(!choice.warning.empty(), c.warns);
    if (c.source == StartSource::File) {
        EXPECT_EQ(choice.weights_path, std::optional<std::string>(c.weights));
    }
}

constexpr auto kUnset = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    Policy, Decision,
    ::testing::Values(
        // guess_init unset: guess unless the values were given; warn when no network matches.
        DecisionCase{"R0-(R1,C1)", kUnset, nullptr, false, StartSource::Network, false},
        DecisionCase{"R0-(R1,C1)", kUnset, nullptr, true, StartSource::Circuit, false},
        DecisionCase{"R0-Zarc1", kUnset, nullptr, false, StartSource::Network, false},
        DecisionCase{"R0-(R1,W1)", kUnset, nullptr, false, StartSource::Circuit, true},
        DecisionCase{"R0-(R1,W1)", kUnset, nullptr, true, StartSource::Circuit, false},
        // A weight file makes an unset guess_init guess, even for given values, and never warns.
        DecisionCase{"R0-(R1,W1)", kUnset, "net.eisnn", true, StartSource::File, false},
        DecisionCase{"R0-(R1,C1)", kUnset, "net.eisnn", false, StartSource::File, false},
        // True always guesses (and fails later rather than warning); False never does.
        DecisionCase{"R0-(R1,W1)", true, nullptr, true, StartSource::Network, false},
        DecisionCase{"R0-(R1,C1)", true, "net.eisnn", true, StartSource::File, false},
        DecisionCase{"R0-(R1,C1)", false, nullptr, false, StartSource::Circuit, false},
        DecisionCase{"R0-(R1,W1)", false, "net.eisnn", false, StartSource::Circuit, false}));

TEST(StartWarning, NamesEveryNetwork) {
    const std::string text = choose_start(tree("R0-(R1,W1)"), StartOptions{}).warning;
    EXPECT_EQ(text.rfind("There is no ML model to guess initial parameters for this circuit. ", 0), 0u);
    EXPECT_NE(text.find("pass guess_init=False to silence this. Models available for 'rc', 'rc_l', "),
              std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 18), ", 'sei_randles_wo'");
}

TEST(StartCircuit, KeepsTheCircuitsOwnValues) {
    const Spectrum s = rc_spectrum();
    const NodeList given = rebuild(tree("R0-(R1,C1)"), {1.0, 2.0, 3.0});
    auto start = start_circuit(StartChoice{}, given, nullptr, s.f, s.z);
    ASSERT_TRUE(start);
    EXPECT_EQ(param_values(*start), (std::vector<double>{1.0, 2.0, 3.0}));
}

TEST(StartCircuit, NetworkGuessRespectsFixedParameters) {
    const Spectrum s = rc_spectrum();
    const NodeList circuit = rebuild(tree("R0-(R1,C1)"), {7.0, 1.0, 1.0});
    ParamMask mask = ParamMask::none(3);
    mask.fixed[0] = true;
    const StartChoice choice = network_start(std::nullopt);
    auto free = start_values(choice, circuit, nullptr, s.f, s.z);
    auto held = start_values(choice, circuit, &mask, s.f, s.z);
    auto start = start_circuit(choice, circuit, &mask, s.f, s.z);
    ASSERT_TRUE(free && held && start);
    ASSERT_EQ(free->size(), 3u);
    EXPECT_EQ((*held)[0], 7.0);
    EXPECT_NE((*free)[0], 7.0);
    EXPECT_EQ((*held)[1], (*free)[1]);
    // fit() starts where guess() points.
    EXPECT_EQ(param_values(*start), *held);
    // The network reads the arc: R1 within a factor of two of the truth.
    EXPECT_GT((*free)[1], 50.0);
    EXPECT_LT((*free)[1], 200.0);
}

TEST(StartCircuit, NetworkWithoutMatchFailsWithTheRegistryText) {
    const Spectrum s = rc_spectrum();
    auto start = start_circuit(network_start(std::nullopt), tree("R0-(R1,W1)"), nullptr, s.f, s.z);
    ASSERT_FALSE(start);
    EXPECT_EQ(start.error(),
              "No training data on this circuit. Machine-learning based initial parameters available for " +
                  quoted_model_names());
}

struct MissingFileCase {
    const char* path;
    const char* hint;  // null: the guess service's text alone
};

class MissingFile : public ::testing::TestWithParam<MissingFileCase> {};

TEST_P(MissingFile, NamesTheWeightingKeyword) {
    const Spectrum s = rc_spectrum();
    const MissingFileCase& c = GetParam();
    auto start = start_circuit(network_start(std::string(c.path)), tree("R0-(R1,C1)"), nullptr, s.f, s.z);
    ASSERT_FALSE(start);
    const std::string plain = "reading weights: No such file or directory (os error 2)";
    if (!c.hint) {
        EXPECT_EQ(start.error(), plain);
    } else {
        EXPECT_EQ(start.error(), plain + "; there is no weight file \"" + c.path +
                                     "\": weights= names a .eisnn network file, and the residual weighting is "
                                     "chosen with weight=\"" + c.hint + "\"");
    }
    // guess() has no weight= keyword: the plain text.
    auto values = start_values(network_start(std::string(c.path)), tree("R0-(R1,C1)"), nullptr, s.f, s.z);
    ASSERT_FALSE(values);
    EXPECT_EQ(values.error(), plain);
}

INSTANTIATE_TEST_SUITE_P(Paths, MissingFile,
                         ::testing::Values(MissingFileCase{"modulus", "modulus"}, MissingFileCase{"Unit", "unit"},
                                           MissingFileCase{"no_such_network.eisnn", nullptr},
                                           MissingFileCase{"modulus.eisnn", nullptr}));

TEST(StartValues, EstimateIsTheSpectrumEstimate) {
    const Spectrum s = rc_spectrum();
    const NodeList circuit = tree("R0-(R1,CPE1)");
    auto values = start_values(estimate_start_choice(), circuit, nullptr, s.f, s.z, Weighting::Unit);
    ASSERT_TRUE(values);
    EXPECT_EQ(*values, estimate_start(circuit, s.f, s.z, Weighting::Unit).values);
    ParamMask mask = ParamMask::none(4);
    mask.fixed[3] = true;  // CPE1.alpha stays at its placeholder 0.8
    auto held = start_values(estimate_start_choice(), circuit, &mask, s.f, s.z, Weighting::Unit);
    ASSERT_TRUE(held);
    EXPECT_EQ((*held)[3], 0.8);
    EXPECT_EQ((*held)[0], (*values)[0]);
}

}  // namespace
