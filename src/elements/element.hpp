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

// User: an element defined at run time (user_formula.hpp); it has no row in
// kKinds, its code, fields and formula are entry Element::user of the
// registry of user kinds.
enum class Kind : std::uint8_t { R, C, L, La, Cpe, W, Wo, Ws, G, Gs, K, Zarc, Tlmq, T, User };

// One row of the catalogue per variant, in variant order.
struct KindInfo {
    Kind kind;
    const char* code;        // canonical code: labels, names, representations; accepted in circuit texts
    const char* help_code;   // spelling in the parser's element list (CODES); also accepted
    int field_count;
    std::array<const char*, 4> fields;
    std::array<const char*, 4> units;
    std::array<double, 4> defaults;
};

// The element catalogue. Everything else about an element's names is
// derived from it: the CODES list of the parser's help text (help_code),
// the codes accepted in circuit texts (code and help_code), the help lines
// (fields and units), the parameter names and units, the Python classes.
inline constexpr std::array<KindInfo, 14> kKinds = {{
    {Kind::R, "R", "R", 1, {"r"}, {"ohm"}, {1.0}},
    {Kind::C, "C", "C", 1, {"c"}, {"F"}, {0.001}},
    {Kind::L, "L", "L", 1, {"l"}, {"H"}, {1e-6}},
    {Kind::La, "La", "La", 2, {"l", "alpha"}, {"H*s", "-"}, {1e-6, 0.8}},
    {Kind::Cpe, "Cpe", "CPE", 2, {"q", "alpha"}, {"ohm^-1*s^alpha", "-"}, {0.001, 0.8}},
    {Kind::W, "W", "W", 1, {"aw"}, {"ohm*s^-0.5"}, {1.0}},
    {Kind::Wo, "Wo", "Wo", 2, {"z0", "tau"}, {"ohm", "s"}, {1.0, 10.0}},
    {Kind::Ws, "Ws", "Ws", 2, {"z0", "tau"}, {"ohm", "s"}, {1.0, 10.0}},
    {Kind::G, "G", "G", 2, {"rg", "tg"}, {"ohm", "s"}, {1.0, 1.0}},
    {Kind::Gs, "Gs", "Gs", 3, {"rg", "tg", "phi"}, {"ohm", "s", "-"}, {1.0, 1.0, 1.0}},
    {Kind::K, "K", "K", 2, {"r", "tau_k"}, {"ohm", "s"}, {1.0, 0.001}},
    {Kind::Zarc, "Zarc", "Zarc", 3, {"r", "tau_k", "gamma"}, {"ohm", "s", "-"}, {1.0, 0.001, 0.8}},
    {Kind::Tlmq, "Tlmq", "TLMQ", 3, {"r_ion", "qs", "gamma"}, {"ohm", "F*s^(gamma-1)", "-"}, {1.0, 0.001, 0.8}},
    {Kind::T, "T", "T", 4, {"a", "b", "k_tau", "tau"}, {"ohm*m^2", "ohm*m^2", "-", "s"}, {1.0, 1.0, 1.0, 1.0}},
}};
inline constexpr int kKindCount = static_cast<int>(kKinds.size());  // the built-in kinds

// Row k describes Kind k, and each row names exactly field_count fields.
consteval bool catalogue_is_consistent() {
    for (std::size_t k = 0; k < kKinds.size(); ++k) {
        const KindInfo& info = kKinds[k];
        if (static_cast<std::size_t>(info.kind) != k || info.field_count < 1 || info.field_count > 4) return false;
        for (int f = 0; f < 4; ++f) {
            if ((info.fields[f] != nullptr) != (f < info.field_count)) return false;
            if ((info.units[f] != nullptr) != (f < info.field_count)) return false;
        }
    }
    return true;
}
static_assert(catalogue_is_consistent(), "kKinds must list every Kind in order with its fields");

constexpr const KindInfo& kind_info(Kind k) { return kKinds[static_cast<std::size_t>(k)]; }
constexpr const KindInfo& kind_info(int index) { return kind_info(static_cast<Kind>(index)); }

// The spellings of the parser's element list, in order.
inline constexpr std::array<const char*, kKindCount> CODES = [] {
    std::array<const char*, kKindCount> codes{};
    for (std::size_t k = 0; k < codes.size(); ++k) codes[k] = kKinds[k].help_code;
    return codes;
}();

struct Bounds {
    double lo;
    double hi;
};

// Default physical bounds of a field: (0, 1) for alpha and gamma, otherwise
// (1e-12, +inf).
Bounds field_bounds(std::string_view field_name);

// Fields of a user kind are at most this many (the values live in Element::v).
inline constexpr int kMaxUserFields = 4;

struct Element {
    Kind kind = Kind::R;
    std::array<double, 4> v{};  // the first field_count() entries are used
    std::uint32_t user = 0;     // Kind::User: the index in the registry of user kinds

    // The element of an accepted code with default values, or nothing.
    // Codes are matched exactly and case-sensitively.
    static std::optional<Element> default_for_code(std::string_view code);

    static Element make(Kind k, std::span<const double> values);
    // This element's kind (and user index) with the given values.
    Element with_values(std::span<const double> values) const;

    int field_count() const { return kind == Kind::User ? user_field_count(user) : kind_info(kind).field_count; }
    // The canonical code, the name and unit of field f (built-in or user kind).
    const char* code() const;
    const char* field_name(int f) const;
    const char* field_unit(int f) const;
    // Default bounds of field f: field_bounds of its name for built-in
    // kinds, the definition's bounds for user kinds.
    Bounds bounds(int f) const;
    static int user_field_count(std::uint32_t index);
    // A user kind's element with its default values.
    static Element user_default(std::uint32_t index);
    std::span<const double> values() const { return {v.data(), static_cast<std::size_t>(field_count())}; }

    Cx impedance(double omega) const {
        return kind == Kind::User ? user_impedance(user, v.data(), omega) : impedance_of(kind, v.data(), omega);
    }
    // Impedance of user kind `index` with the fields `fields`.
    static Cx user_impedance(std::uint32_t index, const double* fields, double omega);

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
