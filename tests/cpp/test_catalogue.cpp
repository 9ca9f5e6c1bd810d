// The element catalogue: the codes, the help list and the accepted spellings
// all come from one table.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "circuit/circuit.hpp"
#include "elements/element.hpp"

using namespace velotz;

namespace {

TEST(Catalogue, HelpListInVariantOrder) {
    const std::vector<std::string> expected = {"R", "C", "L", "La", "CPE", "W", "Wo", "Ws", "G", "Gs", "K", "Zarc",
                                               "TLMQ", "T"};
    ASSERT_EQ(CODES.size(), expected.size());
    for (std::size_t k = 0; k < expected.size(); ++k) EXPECT_EQ(CODES[k], expected[k]);
}

struct CodeCase {
    const char* text;
    bool accepted;
    Kind kind;
};

class Codes : public ::testing::TestWithParam<CodeCase> {};

TEST_P(Codes, AcceptedExactly) {
    const CodeCase& c = GetParam();
    auto e = Element::default_for_code(c.text);
    ASSERT_EQ(e.has_value(), c.accepted) << c.text;
    if (e) {
        EXPECT_EQ(e->kind, c.kind);
        const KindInfo& info = kind_info(c.kind);
        for (int f = 0; f < info.field_count; ++f) EXPECT_EQ(e->v[f], info.defaults[f]);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Spellings, Codes,
    ::testing::Values(CodeCase{"R", true, Kind::R}, CodeCase{"C", true, Kind::C}, CodeCase{"L", true, Kind::L},
                      CodeCase{"La", true, Kind::La}, CodeCase{"Cpe", true, Kind::Cpe},
                      CodeCase{"CPE", true, Kind::Cpe}, CodeCase{"W", true, Kind::W}, CodeCase{"Wo", true, Kind::Wo},
                      CodeCase{"Ws", true, Kind::Ws}, CodeCase{"G", true, Kind::G}, CodeCase{"Gs", true, Kind::Gs},
                      CodeCase{"K", true, Kind::K}, CodeCase{"Zarc", true, Kind::Zarc},
                      CodeCase{"Tlmq", true, Kind::Tlmq}, CodeCase{"TLMQ", true, Kind::Tlmq},
                      CodeCase{"T", true, Kind::T}, CodeCase{"cpe", false, Kind::R}, CodeCase{"ZARC", false, Kind::R},
                      CodeCase{"zarc", false, Kind::R}, CodeCase{"tlmq", false, Kind::R},
                      CodeCase{"LA", false, Kind::R}, CodeCase{"WO", false, Kind::R}, CodeCase{"r", false, Kind::R},
                      CodeCase{"", false, Kind::R}, CodeCase{"RC", false, Kind::R}));

TEST(Catalogue, SixteenSpellingsInAll) {
    std::set<std::string> accepted;
    for (const KindInfo& info : kKinds) {
        accepted.insert(info.code);
        accepted.insert(info.help_code);
    }
    EXPECT_EQ(accepted.size(), 16u);
    for (const std::string& code : accepted) EXPECT_TRUE(Element::default_for_code(code)) << code;
}

TEST(Catalogue, HelpLinesFollowTheTable) {
    // The parser's help text lists every CODES entry with its fields and units.
    const std::string help = parse_error_message(ParseError{ParseError::Kind::UnexpectedEnd}, "R0-");
    for (const KindInfo& info : kKinds) {
        std::string line = "\n  " + std::string(info.help_code);
        line += std::string(4 - std::min<std::size_t>(4, line.size() - 3), ' ') + "  ";
        for (int f = 0; f < info.field_count; ++f) {
            if (f) line += ", ";
            line += std::string(info.fields[f]) + " [" + info.units[f] + "]";
        }
        EXPECT_NE(help.find(line), std::string::npos) << line;
    }
}

}  // namespace
