// Topology matching of user circuits against the trained networks.
#include <gtest/gtest.h>

#include <cmath>

#include "start/registry.hpp"

using namespace velotz;

namespace {

NodeList tree(const char* text) {
    auto t = parse(text);
    EXPECT_TRUE(t.has_value()) << text;
    return t ? *t : NodeList{};
}

std::string model_name(const char* text) {
    auto m = find_for_topology(tree(text));
    return m ? MODEL_SPECS[m->model_index].name : "";
}

}  // namespace

TEST(Canonical, KeysIgnoreOrderAndLabels) {
    EXPECT_EQ(canonical(tree("R0-(R1,C1)")).first, "[([C],[R]),R]");
    EXPECT_EQ(canonical(tree("(C7,R3)-R9")).first, "[([C],[R]),R]");
    EXPECT_EQ(canonical(tree("L0-R0-(R1,C1)")).first, "[([C],[R]),L,R]");
    EXPECT_EQ(canonical(tree("R0-(R1-W1,CPE1)")).first, "[([Cpe],[R,W]),R]");
    // Nesting counts: a resistor alone and wrapped in a group differ.
    EXPECT_NE(canonical(tree("R0")).first, canonical(tree("(R0)")).first);
    EXPECT_EQ(canonical(tree("(R0)")).first, "[([R])]");
}

struct RegistryCase {
    const char* circuit;
    const char* model;
};

class RegistrySearch : public ::testing::TestWithParam<RegistryCase> {};

TEST_P(RegistrySearch, FindsTheFirstMatchingModel) {
    EXPECT_EQ(model_name(GetParam().circuit), GetParam().model);
}

INSTANTIATE_TEST_SUITE_P(
    Circuits, RegistrySearch,
    ::testing::Values(RegistryCase{"R7-(R2,C5)", "rc"}, RegistryCase{"(R1,C1)-R0-L3", "rc_l"},
                      RegistryCase{"(CPE9,R4)-R1", "rq"}, RegistryCase{"(R2,C2)-R0-(R1,C1)", "two_rc"},
                      RegistryCase{"(CPE1,W1-R1)-R0", "randles"}, RegistryCase{"(W1-R1,CPE1)-R0", "randles"},
                      RegistryCase{"R0-Zarc1", "rq"}, RegistryCase{"R0-K1", "rc"}, RegistryCase{"K1-R0-K2", "two_rc"},
                      RegistryCase{"L0-R0-Zarc1-(R2,CPE2)", "two_rq_l"},
                      RegistryCase{"R0-(R1,CPE1)-(Wo2-R2,CPE2)", "sei_randles_wo"}, RegistryCase{"R0-(R1,W1)", ""},
                      RegistryCase{"R0-(R1,C1)-C2", ""}, RegistryCase{"(R0-(R1,C1))", ""}));

TEST(Mapping, FollowsCanonicalSpans) {
    auto m = find_for_topology(tree("R5-(C2,R9)"));
    ASSERT_TRUE(m);
    EXPECT_FALSE(m->match.expanded);
    EXPECT_EQ(m->match.mapping, (Mapping{0, 2, 1}));
    // The first written R–C block takes the model's first block.
    auto two = find_for_topology(tree("(R2,C2)-R0-(R1,C1)"));
    ASSERT_TRUE(two);
    EXPECT_EQ(two->match.mapping, (Mapping{1, 2, 0, 3, 4}));
}

TEST(Mapping, ExpansionConvertsBack) {
    NodeList user = tree("R0-Zarc1");
    auto m = find_for_topology(user);
    ASSERT_TRUE(m);
    EXPECT_TRUE(m->match.expanded);
    EXPECT_EQ(m->match.mapping, (Mapping{0, 1, 2, 3}));
    const double r0 = 3.0, r = 40.0, q = 2e-4, alpha = 0.8;
    auto back = convert_expanded(user, {r0, r, q, alpha});
    ASSERT_EQ(back.size(), 4u);
    EXPECT_EQ(back[0], r0);
    EXPECT_EQ(back[1], r);
    EXPECT_DOUBLE_EQ(back[2], std::pow(r * q, 1.0 / alpha));
    EXPECT_EQ(back[3], alpha);

    auto k = convert_expanded(tree("R0-K1"), {1.0, 10.0, 1e-3});
    EXPECT_EQ(k, (std::vector<double>{1.0, 10.0, 10.0 * 1e-3}));

    auto nan_alpha = convert_expanded(tree("Zarc1"), {2.0, 0.5, std::nan("")});
    EXPECT_DOUBLE_EQ(nan_alpha[1], std::pow(1.0, 1e6));
    EXPECT_TRUE(std::isnan(nan_alpha[2]));
}

// The search reuses the registry's canonical forms and the user's own: it
// must find what trying match_or_expand on each parsed registry circuit in
// order finds, mapping and flag included.
TEST(RegistrySearch, EqualsMatchOrExpandOnEachEntryInOrder) {
    const char* circuits[] = {
        "R0-(R1,C1)", "(C1,R1)-R0", "R0-K1", "K1-R0", "R0-Zarc1", "L0-R0-Zarc1-Zarc2", "Zarc2-L0-R0-(R1,CPE1)",
        "R0-(R1-W1,CPE1)", "R0-(W1-R1,CPE1)", "(CPE2,R2)-(R1,CPE1)-R0", "R0-(R1,CPE1)-(R2-Wo2,CPE2)",
        "R0-(R1,CPE1)-(R2-W2,CPE2)", "R0-(R1-Wo1,CPE1)", "R0", "(R0)", "K1", "L0-R0-K1-(R2,C2)",
        "R0-((R1,C1),C2)", "R0-(R1,CPE1)-(R2,CPE2)-(R3,CPE3)", "R0-(Zarc1,C1)", "L0-K1-R0"};
    for (const char* text : circuits) {
        const NodeList user = tree(text);
        std::optional<RegistryMatch> want;
        for (std::size_t i = 0; i < MODEL_SPECS.size() && !want; ++i) {
            auto model = parse(MODEL_SPECS[i].circuit);
            if (!model) continue;
            if (auto m = match_or_expand(*model, user)) want = RegistryMatch{i, std::move(*m)};
        }
        const auto got = find_for_topology(user);
        ASSERT_EQ(got.has_value(), want.has_value()) << text;
        if (!got) continue;
        EXPECT_EQ(got->model_index, want->model_index) << text;
        EXPECT_EQ(got->match.mapping, want->match.mapping) << text;
        EXPECT_EQ(got->match.expanded, want->match.expanded) << text;
    }
}

#include <filesystem>
#include <fstream>
#include <iterator>

#include "nn/guesser.hpp"

TEST(Registry, ShippedNetworksMustMatchTheirEntries) {
    const auto path = std::filesystem::path(__FILE__).parent_path().parent_path() / "data" / "tiny.eisnn";
    std::ifstream in(path, std::ios::binary);
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto g = Guesser::from_bytes(bytes.data(), bytes.size());
    ASSERT_TRUE(g);  // trained for R0-(R1,CPE1)
    EXPECT_FALSE(check_against_registry({"rq", "R0-(R1,CPE1)", 32}, *g));
    EXPECT_EQ(check_against_registry({"rc", "R0-(R1,C1)", 16}, *g),
              "weight file has an unparsable value for \"model \\\"rc\\\" is registered as \\\"R0-(R1,C1)\\\" but its "
              "weights were trained for \\\"R0-(R1,CPE1)\\\"\"");
}
