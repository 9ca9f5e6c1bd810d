#include "util/text.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <system_error>

namespace velotz {
namespace {

// Shortest round-trip digits of a finite, non-zero |v| as d[.ddd] and a
// decimal exponent, taken from std::to_chars' scientific form.
struct Sci {
    std::string mantissa;  // "1" or "1.5"
    int exponent;
};

Sci shortest_scientific(double v) {
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string s(buf, res.ptr);
    auto e = s.find('e');
    Sci out;
    out.mantissa = s.substr(0, e);
    out.exponent = std::stoi(s.substr(e + 1));
    return out;
}

std::string exponent_form(double v) {
    Sci s = shortest_scientific(v);
    return s.mantissa + "e" + std::to_string(s.exponent);
}

std::string shortest_fixed(double v) {
    char buf[400];
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
    return std::string(buf, res.ptr);
}

}  // namespace

std::string format_number(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    double a = std::fabs(v);
    if (v == 0.0 || (a >= 1e-4 && a < 1e6)) return shortest_fixed(v);
    return exponent_form(v);
}

std::string format_debug(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    double a = std::fabs(v);
    if (v == 0.0 || (a >= 1e-4 && a < 1e16)) {
        std::string s = shortest_fixed(v);
        if (s.find('.') == std::string::npos) s += ".0";
        return s;
    }
    return exponent_form(v);
}

std::string format_exp(double v, int digits) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    char buf[128];
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, digits);
    std::string s(buf, res.ptr);
    auto e = s.find('e');
    int exponent = std::stoi(s.substr(e + 1));
    return s.substr(0, e) + "e" + std::to_string(exponent);
}

std::u32string utf8_to_u32(std::string_view s) {
    std::u32string out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        char32_t cp;
        int extra;
        if (c < 0x80) { cp = c; extra = 0; }
        else if ((c & 0xE0) == 0xC0) { cp = c & 0x1F; extra = 1; }
        else if ((c & 0xF0) == 0xE0) { cp = c & 0x0F; extra = 2; }
        else if ((c & 0xF8) == 0xF0) { cp = c & 0x07; extra = 3; }
        else { out.push_back(0xFFFD); ++i; continue; }
        bool ok = true;
        for (int k = 1; k <= extra; ++k) {
            if (i + k >= s.size() || (static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) { ok = false; break; }
            cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        }
        if (!ok) { out.push_back(0xFFFD); ++i; continue; }
        out.push_back(cp);
        i += extra + 1;
    }
    return out;
}

std::string u32_to_utf8(std::u32string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char32_t cp : s) {
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

std::string quote(std::string_view utf8) {
    std::string out = "\"";
    for (char32_t cp : utf8_to_u32(utf8)) {
        switch (cp) {
            case U'"': out += "\\\""; break;
            case U'\\': out += "\\\\"; break;
            case U'\n': out += "\\n"; break;
            case U'\r': out += "\\r"; break;
            case U'\t': out += "\\t"; break;
            case U'\0': out += "\\0"; break;
            default:
                if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) {
                    char buf[16];
                    std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
                    out += buf;
                } else {
                    char32_t one[1] = {cp};
                    out += u32_to_utf8(std::u32string_view(one, 1));
                }
        }
    }
    out += "\"";
    return out;
}

std::string quote_list(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) out += ", ";
        out += quote(items[i]);
    }
    out += "]";
    return out;
}

}  // namespace velotz
