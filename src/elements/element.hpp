#pragma once
// The element catalogue: fourteen element variants, their fields, units,
// defaults, bounds and impedance formulas.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "elements/complex.hpp"

namespace velotz {

enum class Kind : std::uint8_t { R, C, L, La, Cpe, W, Wo, Ws, G, Gs, K, Zarc, Tlmq, T };
inline constexpr int kKindCount = 14;

// Per-variant tables, indexed by the variant index.
struct KindInfo {
    const char* code;        // canonical code: labels, names, representations
    const char* help_code;   // spelling in the parser's element list
    int field_count;
    std::array<const char*, 4> fields;
    std::array<const char*, 4> units;
    std::array<double, 4> defaults;
};

const KindInfo& kind_info(Kind k);
inline const KindInfo& kind_info(int index) { return kind_info(static_cast<Kind>(index)); }

// The spellings of the parser's element list, in order.
inline constexpr std::array<const char*, kKindCount> CODES = {
    "R", "C", "L", "La", "CPE", "W", "Wo", "Ws", "G", "Gs", "K", "Zarc", "TLMQ", "T"};

struct Bounds {
    double lo;
    double hi;
};

// Default physical bounds of a field: (0, 1) for alpha and gamma, otherwise
// (1e-12, +inf).
Bounds field_bounds(std::string_view field_name);

struct Element {
    Kind kind = Kind::R;
    std::array<double, 4> v{};  // the first field_count() entries are used

    // The element of an accepted code with default values, or nothing.
    // Codes are matched exactly and case-sensitively.
    static std::optional<Element> default_for_code(std::string_view code);

    static Element make(Kind k, std::span<const double> values);

    int field_count() const { return kind_info(kind).field_count; }
    std::span<const double> values() const { return {v.data(), static_cast<std::size_t>(field_count())}; }

    Cx impedance(double omega) const { return impedance_of(kind, v.data(), omega); }

    // Impedance of a variant at angular frequency omega with its fields read
    // from `fields` (field_count values, in field order).
    static Cx impedance_of(Kind kind, const double* fields, double omega);

    // What an element's formula needs that does not depend on frequency,
    // computed once per parameter vector: for the fractional powers of
    // s·x (La, Cpe, Zarc, Tlmq) the direction (cos pπ/2, sin pπ/2) of the
    // positive imaginary axis raised to the power p.
    // On the axis, |s·x| = ω·x and |s·x|^p = exp(p·(ln ω + ln x)) (see
    // util/exp_log.hpp); x is 1 for Cpe and Tlmq, whose base is s itself.
    struct Prepared {
        double cos_p = 0.0;
        double sin_p = 0.0;
        double p = 0.0;       // the exponent
        double x = 1.0;       // the factor of s in the base
        double ln_x_hi = 0.0;  // ln x as a double-double (NaN unless x is
        double ln_x_lo = 0.0;  // a positive normal finite value)
        bool on_axis = false;  // false: p is 0, 0.5, 1 or NaN, use cpow
    };
    static Prepared prepare(Kind kind, const double* fields);
    // Same value as impedance_of, bit for bit, with the prepared constants.
    static Cx impedance_prepared(Kind kind, const double* fields, const Prepared& pre, double omega);

    bool operator==(const Element& o) const;
};

}  // namespace velotz
