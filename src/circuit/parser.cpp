// Recursive-descent parser of circuit texts such as "R0-(R1,CPE1)".
//
//   circuit  := series END
//   series   := item ("-" item)*
//   item     := "(" body | "p(" body | element
//   body     := series ("," series)* ")"
//   element  := [A-Za-z]+ [0-9]+
//
// Positions are 0-based indices into the text's characters (code points).
#include <string>
#include <unordered_set>

#include "circuit/circuit.hpp"
#include "util/text.hpp"

namespace velotz {
namespace {

using Chars = std::u32string;

bool is_letter(char32_t c) { return (c >= U'A' && c <= U'Z') || (c >= U'a' && c <= U'z'); }
bool is_digit(char32_t c) { return c >= U'0' && c <= U'9'; }

std::expected<NodeList, ParseError> parse_series(const Chars& s, std::size_t& pos, std::size_t depth);

std::expected<Node, ParseError> parse_parallel_body(const Chars& s, std::size_t& pos, std::size_t depth) {
    std::vector<NodeList> branches;
    auto first = parse_series(s, pos, depth);
    if (!first) return std::unexpected(first.error());
    branches.push_back(std::move(*first));
    for (;;) {
        if (pos < s.size() && s[pos] == U',') {
            ++pos;
            auto next = parse_series(s, pos, depth);
            if (!next) return std::unexpected(next.error());
            branches.push_back(std::move(*next));
        } else if (pos < s.size() && s[pos] == U')') {
            ++pos;
            return Node::parallel(std::move(branches));
        } else {
            return std::unexpected(ParseError{ParseError::Kind::UnexpectedEnd});
        }
    }
}

std::expected<Node, ParseError> parse_element(const Chars& s, std::size_t& pos) {
    if (pos >= s.size()) return std::unexpected(ParseError{ParseError::Kind::UnexpectedEnd});
    const std::size_t start = pos;
    while (pos < s.size() && is_letter(s[pos])) ++pos;
    if (pos == start) return std::unexpected(ParseError{ParseError::Kind::UnexpectedChar, pos});
    const std::size_t letters_end = pos;
    while (pos < s.size() && is_digit(s[pos])) ++pos;
    if (pos == letters_end) return std::unexpected(ParseError{ParseError::Kind::UnexpectedChar, pos});
    // Letters and digits are ASCII, so the code points convert byte for byte.
    std::string code(s.begin() + static_cast<std::ptrdiff_t>(start), s.begin() + static_cast<std::ptrdiff_t>(letters_end));
    std::string label(s.begin() + static_cast<std::ptrdiff_t>(start), s.begin() + static_cast<std::ptrdiff_t>(pos));
    auto element = Element::default_for_code(code);
    if (!element) return std::unexpected(ParseError{ParseError::Kind::UnknownCode, start, std::move(code)});
    return Node::leaf(*element, std::move(label));
}

std::expected<Node, ParseError> parse_item(const Chars& s, std::size_t& pos, std::size_t depth) {
    std::size_t open = 0;
    if (pos < s.size() && s[pos] == U'(') {
        open = 1;
    } else if (pos + 1 < s.size() && s[pos] == U'p' && s[pos + 1] == U'(') {
        open = 2;
    }
    if (open == 0) return parse_element(s, pos);
    if (depth >= kMaxNesting) return std::unexpected(ParseError{ParseError::Kind::TooDeep, pos + open - 1});
    pos += open;
    return parse_parallel_body(s, pos, depth + 1);
}

std::expected<NodeList, ParseError> parse_series(const Chars& s, std::size_t& pos, std::size_t depth) {
    NodeList out;
    auto first = parse_item(s, pos, depth);
    if (!first) return std::unexpected(first.error());
    out.push_back(std::move(*first));
    while (pos < s.size() && s[pos] == U'-') {
        ++pos;
        auto next = parse_item(s, pos, depth);
        if (!next) return std::unexpected(next.error());
        out.push_back(std::move(*next));
    }
    return out;
}

}  // namespace

std::string ParseError::display() const {
    switch (kind) {
        case Kind::UnexpectedChar:
            return "unexpected character at position " + std::to_string(pos);
        case Kind::UnexpectedEnd:
            return "unexpected end of input";
        case Kind::UnknownCode:
            return "unknown element code " + quote(text) + " at position " + std::to_string(pos);
        case Kind::TrailingInput:
            return "unexpected trailing input at position " + std::to_string(pos);
        case Kind::DuplicateLabel:
            return "duplicate element label " + quote(text);
        case Kind::TooDeep:
            return "parallel groups nested more than " + std::to_string(kMaxNesting) + " deep at position " +
                   std::to_string(pos);
    }
    return {};
}

std::expected<NodeList, ParseError> parse(std::string_view text) {
    const Chars s = utf8_to_u32(text);
    std::size_t pos = 0;
    auto series = parse_series(s, pos, 0);
    if (!series) return std::unexpected(series.error());
    if (pos != s.size()) return std::unexpected(ParseError{ParseError::Kind::TrailingInput, pos});
    std::unordered_set<std::string> seen;
    for (const Leaf& leaf : collect_leaves(*series)) {
        const std::string& label = **leaf.label;
        if (!seen.insert(label).second) return std::unexpected(ParseError{ParseError::Kind::DuplicateLabel, 0, label});
    }
    return series;
}

std::string parse_error_message(const ParseError& error, std::string_view text) {
    std::string msg = error.display();
    if (error.has_position()) {
        msg += "\n\n  ";
        msg += text;
        msg += "\n  ";
        msg += std::string(error.pos, ' ');
        msg += "^";
    }
    msg +=
        "\n\nsyntax:\n"
        "  - every element needs a numeric label, e.g. \"R0\" and \"C1\", not \"R\" and \"C\"\n"
        "  - connect elements in series with '-', e.g. \"R0-C1\"\n"
        "  - connect elements in parallel with '(...)' or 'p(...)', e.g. \"R0-(R1,C1)\" or \"R0-p(R1,C1)\"\n"
        "\navailable elements (code, parameters, [units]):";
    for (const char* code : CODES) {
        auto element = Element::default_for_code(code);
        if (!element) std::abort();  // every CODES entry is an accepted code
        const KindInfo& info = kind_info(element->kind);
        std::string line = "\n  ";
        line += code;
        line += std::string(4 - std::min<std::size_t>(4, std::char_traits<char>::length(code)), ' ');
        line += "  ";
        for (int f = 0; f < info.field_count; ++f) {
            if (f) line += ", ";
            line += info.fields[f];
            line += " [";
            line += info.units[f];
            line += "]";
        }
        msg += line;
    }
    return msg;
}

}  // namespace velotz
