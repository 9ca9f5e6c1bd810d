#pragma once
// The element impedance formulas as inline templates over the variant, so
// that a loop over frequencies can call one variant's formula without a
// dispatch per frequency. Element::impedance_prepared is the same code behind
// a switch; both give the same bits for the same inputs.
#include <cmath>

#include "elements/complex.hpp"
#include "elements/element.hpp"
#include "util/exp_log.hpp"

namespace velotz::formula {

// s·x for the Laplace variable s = (0·ω, ω) and a real x.
inline Cx s_times(double omega, double x) { return {0.0 * omega * x, omega * x}; }

// 1 + s·x.
inline Cx one_plus_s_times(double omega, double x) { return {1.0 + 0.0 * omega * x, omega * x}; }

// coth z and csch z for the T element, from sinh and cosh of x + jy; both
// saturate to (sign x, 0) and 0 once |x| > 20.
inline void coth_csch(Cx z, Cx& coth, Cx& csch) {
    if (std::fabs(z.re) > 20.0) {
        coth = {std::copysign(1.0, z.re), 0.0};
        csch = {0.0, 0.0};
        return;
    }
    double sx = std::sinh(z.re), cx = std::cosh(z.re);
    double sy = std::sin(z.im), cy = std::cos(z.im);
    Cx sinh_z{sx * cy, cx * sy};
    Cx cosh_z{cx * cy, sx * sy};
    coth = cdiv(cosh_z, sinh_z);
    csch = recip(sinh_z);
}

// cpow(z, p) for z = s·x, using the prepared direction when z lies on the
// positive imaginary axis; there cpow reduces to |z|^p·(cos pπ/2, sin pπ/2),
// with |z|^p = rp given by the caller: axis_power below, or the vector
// kernel that computes the same bits for a block of frequencies.
inline Cx pow_of_s_times(Cx z, double p, const Element::Prepared& pre, double rp) {
    if (pre.on_axis && z.re == 0.0 && z.im > 0.0) return {rp * pre.cos_p, rp * pre.sin_p};
    return cpow(z, p);
}

// |s·x|^p = (ω·x)^p for a prepared element on the axis: exp(p·ln(ω·x)) with
// ln ω computed here, as the spectrum grid computes it once per frequency.
inline double axis_power(const Element::Prepared& pre, double w) {
    double hi, lo;
    explog::ln_dd(w, hi, lo);
    return explog::axis_pow(w, hi, lo, pre.x, pre.ln_x_hi, pre.ln_x_lo, pre.p);
}

// Whether variant K raises s·x to a fractional power.
template <Kind K>
inline constexpr bool kTakesPower = K == Kind::Cpe || K == Kind::Zarc || K == Kind::La || K == Kind::Tlmq;

// Variants whose impedance is their first field combined with a part that
// does not depend on it: rdiv(p[0], D) for K, Zarc, Wo, G and Gs, and
// recip(p[0]·P) for Cpe. A change of the first field alone (a Jacobian
// column) reuses D or P.
template <Kind K>
inline constexpr bool kFirstFieldOutside =
    K == Kind::Cpe || K == Kind::K || K == Kind::Zarc || K == Kind::Wo || K == Kind::G || K == Kind::Gs;

// Variants whose formula reads tanh_sat once per frequency: Wo and Ws
// (factor u = csqrt(s·tau), argument u) and Gs (factor v = csqrt(1 + s·tg),
// argument phi·v). The formula is the factor, tanh_sat of the argument and
// from_tanh; a loop over frequencies may compute the tanh_sat values of a
// block at once (kernels::tanh_sat, the same bits) between the two.
template <Kind K>
inline constexpr bool kTanhBlock = K == Kind::Wo || K == Kind::Ws || K == Kind::Gs;

template <Kind K>
inline Cx tanh_factor(const double* p, double w) {
    if constexpr (K == Kind::Gs) {
        return csqrt(one_plus_s_times(w, p[1]));
    } else {
        return csqrt(s_times(w, p[1]));
    }
}

template <Kind K>
inline Cx tanh_argument(const double* p, Cx f) {
    if constexpr (K == Kind::Gs) {
        return p[2] * f;
    } else {
        return f;
    }
}

// Wo, Gs: the part f·th (the impedance is p[0] over it); Ws: the impedance
// p[0]·th / f.
template <Kind K>
inline Cx from_tanh(const double* p, Cx f, Cx th) {
    if constexpr (K == Kind::Ws) {
        return cdiv(p[0] * th, f);
    } else {
        return f * th;
    }
}

// The part D or P of the variants above; rp is |s·x|^p for Cpe and Zarc
// (read only when the element is prepared on the axis).
template <Kind K>
inline Cx outside_part(const double* p, const Element::Prepared& pre, double w, double rp) {
    if constexpr (K == Kind::Cpe) {
        return pow_of_s_times(Cx{0.0 * w, w}, p[1], pre, rp);
    } else if constexpr (K == Kind::K) {
        return one_plus_s_times(w, p[1]);
    } else if constexpr (K == Kind::Zarc) {
        return Cx{1.0, 0.0} + pow_of_s_times(s_times(w, p[1]), p[2], pre, rp);
    } else if constexpr (K == Kind::G) {
        return csqrt(one_plus_s_times(w, p[1]));
    } else {
        static_assert(K == Kind::Wo || K == Kind::Gs);
        const Cx f = tanh_factor<K>(p, w);
        return from_tanh<K>(p, f, tanh_sat(tanh_argument<K>(p, f)));
    }
}

// The impedance from the first field and the part D or P.
template <Kind K>
inline Cx with_first_field(double p0, Cx part) {
    if constexpr (K == Kind::Cpe) {
        return recip(p0 * part);
    } else {
        return rdiv(p0, part);
    }
}

// Impedance of variant K with fields p at angular frequency w; sqrt_w is
// std::sqrt(w) (only the W element reads it), rp is |s·x|^p (see
// outside_part).
template <Kind K>
inline Cx impedance(const double* p, const Element::Prepared& pre, double w, double sqrt_w, double rp) {
    if constexpr (kFirstFieldOutside<K>) {
        // Cpe: 1/(q·cpow(s, alpha)); K: r/(1 + s·tau_k);
        // Zarc: r/(1 + cpow(s·tau_k, gamma)); Wo: z0/(u·tanh_sat(u)) with
        // u = csqrt(s·tau); G: rg/csqrt(1 + s·tg); Gs: rg/(v·tanh_sat(phi·v)).
        return with_first_field<K>(p[0], outside_part<K>(p, pre, w, rp));
    } else if constexpr (K == Kind::R) {
        return {p[0], 0.0};
    } else if constexpr (K == Kind::C) {
        return recip(s_times(w, p[0]));
    } else if constexpr (K == Kind::L) {
        return s_times(w, p[0]);
    } else if constexpr (K == Kind::La) {
        return pow_of_s_times(s_times(w, p[0]), p[1], pre, rp);
    } else if constexpr (K == Kind::W) {
        return {p[0] / sqrt_w, -p[0] / sqrt_w};
    } else if constexpr (K == Kind::Ws) {
        const Cx f = tanh_factor<K>(p, w);
        return from_tanh<K>(p, f, tanh_sat(tanh_argument<K>(p, f)));
    } else if constexpr (K == Kind::Tlmq) {
        Cx zq = recip(p[1] * pow_of_s_times(Cx{0.0 * w, w}, p[2], pre, rp));
        Cx num = csqrt(p[0] * zq);
        // r_ion / Zq formed as r_ion·conj(Zq)/|Zq|².
        double n2 = norm_sqr(zq);
        Cx ratio = Cx{p[0] * zq.re / n2, -p[0] * zq.im / n2};
        return cdiv(num, tanh_sat(csqrt(ratio)));
    } else {
        static_assert(K == Kind::T);
        Cx beta = csqrt(Cx{p[2] + 0.0 * w * p[3], w * p[3]});
        Cx coth, csch;
        coth_csch(beta, coth, csch);
        return cdiv(p[0] * coth, beta) + cdiv(p[1] * csch, beta);
    }
}

// Calls f.template operator()<K>() for the runtime variant `kind`.
template <class F>
inline decltype(auto) dispatch(Kind kind, F&& f) {
    switch (kind) {
        case Kind::R: return f.template operator()<Kind::R>();
        case Kind::C: return f.template operator()<Kind::C>();
        case Kind::L: return f.template operator()<Kind::L>();
        case Kind::La: return f.template operator()<Kind::La>();
        case Kind::Cpe: return f.template operator()<Kind::Cpe>();
        case Kind::W: return f.template operator()<Kind::W>();
        case Kind::Wo: return f.template operator()<Kind::Wo>();
        case Kind::Ws: return f.template operator()<Kind::Ws>();
        case Kind::G: return f.template operator()<Kind::G>();
        case Kind::Gs: return f.template operator()<Kind::Gs>();
        case Kind::K: return f.template operator()<Kind::K>();
        case Kind::Zarc: return f.template operator()<Kind::Zarc>();
        case Kind::Tlmq: return f.template operator()<Kind::Tlmq>();
        case Kind::T: return f.template operator()<Kind::T>();
        case Kind::User: break;  // callers evaluate user kinds through their formula first
    }
    return f.template operator()<Kind::R>();
}

}  // namespace velotz::formula
