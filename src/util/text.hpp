#pragma once
// Number formatting and quoting of user texts shared by every message and
// representation the module produces.
#include <string>
#include <string_view>
#include <vector>

namespace velotz {

// Circuit texts and representations: plain decimal for 0, ±inf and
// 1e-4 <= |v| < 1e6 (no fractional part for integral values: 1, 0.001,
// 250000), otherwise exponent form (1e-6, 1.5e-7, 2.5e6); NaN prints NaN.
std::string format_number(double v);

// Shortest round-trip form with at least one fractional digit in
// [1e-4, 1e16) and for zero (1.0, 0.001, 0.0), exponent form otherwise
// (1e-6, 1.5e-7, 1e16); inf, -inf, NaN.
std::string format_debug(double v);

// Exponent form with `digits` digits after the point, correctly rounded,
// exponent without "+" or leading zeros: 1.234000e-3, 0.000000e0; NaN, inf.
std::string format_exp(double v, int digits);

// A user text in double quotes with backslash escapes for quotes,
// backslashes and control characters: R0.x -> "R0.x", a"b -> "a\"b".
std::string quote(std::string_view utf8);

// "[" + quoted items joined by ", " + "]".
std::string quote_list(const std::vector<std::string>& items);

// UTF-8 <-> code points. Invalid sequences decode to U+FFFD.
std::u32string utf8_to_u32(std::string_view s);
std::string u32_to_utf8(std::u32string_view s);

}  // namespace velotz
