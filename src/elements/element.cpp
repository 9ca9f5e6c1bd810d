#include "elements/element.hpp"
#include "elements/formulas.hpp"
#include "elements/user_formula.hpp"
#include "util/tanh_sat.hpp"

#include <cmath>
#include <limits>

namespace velotz {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

}  // namespace

Cx csqrt(Cx z) {
    const double x = z.re, y = z.im;
    if (y == 0.0) {
        if (!std::signbit(x)) return {std::sqrt(x), y};
        return {0.0, std::copysign(std::sqrt(-x), y)};
    }
    if (x == 0.0) {
        double t = std::sqrt(std::fabs(y) / 2.0);
        return std::signbit(y) ? Cx{t, -t} : Cx{t, t};
    }
    double r = std::hypot(x, y);
    double theta = std::atan2(y, x);
    double sr = std::sqrt(r);
    double s, c;
    ::sincos(theta / 2.0, &s, &c);
    return {sr * c, sr * s};
}

Cx cpow(Cx z, double p) {
    if (p == 1.0) return z;
    if (p == 0.5) return csqrt(z);
    if (p == 0.0) return {1.0, 0.0};
    double r, theta;
    if (z.re == 0.0 && z.im > 0.0) {
        // On the positive imaginary axis (s·x for ω, x > 0) hypot and atan2
        // are exactly |y| and π/2; skipping them changes no bit.
        r = z.im;
        theta = 1.5707963267948966;
    } else {
        r = std::hypot(z.re, z.im);
        theta = std::atan2(z.im, z.re);
    }
    const double rp = std::pow(r, p);
    double s, c;
    ::sincos(p * theta, &s, &c);
    return {rp * c, rp * s};
}

Cx tanh_sat(Cx z) {
    if (std::fabs(z.re) > 20.0) return {std::copysign(1.0, z.re), 0.0};
    if (hyper::in_domain(z.re, z.im)) {
        // The formula below on 0 < y <= x <= 20, in the form the vector
        // kernel shares (util/tanh_sat.hpp).
        double re, im;
        hyper::tanh_sat_core<explog::ScalarOps>(z.re, z.im, re, im);
        return {re, im};
    }
    double d = std::cosh(2.0 * z.re) + std::cos(2.0 * z.im);
    return {std::sinh(2.0 * z.re) / d, std::sin(2.0 * z.im) / d};
}

Bounds field_bounds(std::string_view name) {
    if (name == "alpha" || name == "gamma") return {0.0, 1.0};
    return {1e-12, kInf};
}

std::optional<Element> Element::default_for_code(std::string_view code) {
    // The canonical code and the help list's spelling (CPE, TLMQ), exactly.
    for (const KindInfo& info : kKinds) {
        if (code == info.code || code == info.help_code) {
            Element e;
            e.kind = info.kind;
            e.v = info.defaults;
            return e;
        }
    }
    // Then the user kinds.
    const std::size_t index = user::Registry::instance().find(code);
    if (index == user::Registry::npos) return std::nullopt;
    return user_default(static_cast<std::uint32_t>(index));
}

Element Element::user_default(std::uint32_t index) {
    Element e;
    e.kind = Kind::User;
    e.user = index;
    const auto entry = user::Registry::instance().get(index);
    for (std::size_t i = 0; i < entry->defaults.size(); ++i) e.v[i] = entry->defaults[i];
    return e;
}

int Element::user_field_count(std::uint32_t index) {
    return static_cast<int>(user::Registry::instance().get(index)->fields.size());
}

// The registry never changes or drops an entry, so its strings live as long
// as the process.
const char* Element::code() const {
    return kind == Kind::User ? user::Registry::instance().get(user)->code.c_str() : kind_info(kind).code;
}
const char* Element::field_name(int f) const {
    return kind == Kind::User ? user::Registry::instance().get(user)->fields[static_cast<std::size_t>(f)].c_str()
                              : kind_info(kind).fields[static_cast<std::size_t>(f)];
}
const char* Element::field_unit(int f) const {
    return kind == Kind::User ? user::Registry::instance().get(user)->units[static_cast<std::size_t>(f)].c_str()
                              : kind_info(kind).units[static_cast<std::size_t>(f)];
}
Bounds Element::bounds(int f) const {
    if (kind != Kind::User) return field_bounds(kind_info(kind).fields[static_cast<std::size_t>(f)]);
    const auto entry = user::Registry::instance().get(user);
    return {entry->lower[static_cast<std::size_t>(f)], entry->upper[static_cast<std::size_t>(f)]};
}

Cx Element::user_impedance(std::uint32_t index, const double* fields, double omega) {
    return user::Registry::instance().get(index)->formula->value_at(fields, omega);
}

Element Element::with_values(std::span<const double> values) const {
    Element e = *this;
    const int n = field_count();
    for (int i = 0; i < n && static_cast<std::size_t>(i) < values.size(); ++i) e.v[i] = values[i];
    return e;
}

Element Element::make(Kind k, std::span<const double> values) {
    Element e;
    e.kind = k;
    const int n = kind_info(k).field_count;
    for (int i = 0; i < n && static_cast<std::size_t>(i) < values.size(); ++i) e.v[i] = values[i];
    return e;
}

bool Element::operator==(const Element& o) const {
    if (kind != o.kind || (kind == Kind::User && user != o.user)) return false;
    for (int i = 0; i < field_count(); ++i) {
        // Bitwise comparison: NaN fields compare equal to themselves.
        if (!(v[i] == o.v[i]) && !(std::isnan(v[i]) && std::isnan(o.v[i]))) return false;
    }
    return true;
}

namespace {

constexpr double kHalfPi = 1.5707963267948966;

}  // namespace

Element::Prepared Element::prepare(Kind kind, const double* p) {
    Prepared pre;
    double exponent = 0.0;
    switch (kind) {
        case Kind::La:
            exponent = p[1];
            pre.x = p[0];
            break;
        case Kind::Cpe:
            exponent = p[1];
            break;
        case Kind::Zarc:
            exponent = p[2];
            pre.x = p[1];
            break;
        case Kind::Tlmq:
            exponent = p[2];
            break;
        // No fractional power of s.
        case Kind::R: case Kind::C: case Kind::L: case Kind::W: case Kind::Wo: case Kind::Ws: case Kind::G:
        case Kind::Gs: case Kind::K: case Kind::T:
        case Kind::User:  // its formula prepares its own powers
            return pre;
    }
    if (exponent == 1.0 || exponent == 0.5 || exponent == 0.0 || std::isnan(exponent)) return pre;
    ::sincos(exponent * kHalfPi, &pre.sin_p, &pre.cos_p);
    pre.p = exponent;
    if (pre.x != 1.0) explog::ln_dd(pre.x, pre.ln_x_hi, pre.ln_x_lo);
    pre.on_axis = true;
    return pre;
}

Cx Element::impedance_of(Kind kind, const double* p, double w) {
    return impedance_prepared(kind, p, prepare(kind, p), w);
}

Cx Element::impedance_prepared(Kind kind, const double* p, const Prepared& pre, double w) {
    // Only the W element reads √ω.
    const double sqrt_w = kind == Kind::W ? std::sqrt(w) : 0.0;
    const double rp = pre.on_axis ? formula::axis_power(pre, w) : 0.0;
    return formula::dispatch(kind, [&]<Kind K>() { return formula::impedance<K>(p, pre, w, sqrt_w, rp); });
}

}  // namespace velotz
