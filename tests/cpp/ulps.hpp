#pragma once
// Distances in units in the last place, shared by the tests of the kernels.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace velotz::testing {

// 0 for equal bits (and for two NaNs), the count of representable doubles
// between a and b otherwise; NaN against a number is "infinitely" far.
inline std::uint64_t ulps(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b) ? 0 : UINT64_MAX;
    auto key = [](double v) {
        const auto bits = std::bit_cast<std::int64_t>(v);
        return bits < 0 ? std::numeric_limits<std::int64_t>::min() - bits : bits;
    };
    const std::int64_t ka = key(a), kb = key(b);
    return ka > kb ? static_cast<std::uint64_t>(ka - kb) : static_cast<std::uint64_t>(kb - ka);
}

// Error of `got` against the extended-precision reference `want`, in units
// of the last place of the double nearest `want`.
inline double ulp_error(double got, long double want) {
    const double w = static_cast<double>(want);
    const double ulp = std::nextafter(std::fabs(w), std::numeric_limits<double>::infinity()) - std::fabs(w);
    return static_cast<double>(std::fabs(static_cast<long double>(got) - want) / ulp);
}

}  // namespace velotz::testing
