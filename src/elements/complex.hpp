#pragma once
// A small complex value type with exactly the operations the element
// formulas use, so that special cases (signed zeros, saturation switches,
// non-finite propagation) behave as written and the compiler can inline.
#include <cmath>

namespace velotz {

struct Cx {
    double re = 0.0;
    double im = 0.0;
};

inline Cx operator+(Cx a, Cx b) { return {a.re + b.re, a.im + b.im}; }
inline Cx operator-(Cx a, Cx b) { return {a.re - b.re, a.im - b.im}; }
inline Cx operator*(Cx a, Cx b) { return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re}; }
// Real scalar times complex: both parts scaled, no cross terms.
inline Cx operator*(double k, Cx a) { return {k * a.re, k * a.im}; }
inline Cx conj(Cx a) { return {a.re, -a.im}; }
inline double norm_sqr(Cx a) { return a.re * a.re + a.im * a.im; }

// Complex division a / b. In the usual range one reciprocal of |b|^2 serves
// both parts (divisions dominate the latency of a circuit evaluation); when
// |b|^2 would overflow, underflow or vanish, Smith's scaled form avoids
// spurious infinities and zeros. Division by 0 + 0j yields NaN components.
inline Cx cdiv_smith(Cx a, Cx b) {
    if (std::fabs(b.re) >= std::fabs(b.im)) {
        double r = b.im / b.re;
        double d = b.re + b.im * r;
        return {(a.re + a.im * r) / d, (a.im - a.re * r) / d};
    }
    double r = b.re / b.im;
    double d = b.re * r + b.im;
    return {(a.re * r + a.im) / d, (a.im * r - a.re) / d};
}
inline Cx cdiv(Cx a, Cx b) {
    // Denominators on an axis (resistors, ideal capacitors and inductors)
    // divide part by part, exactly as a real division would.
    if (b.im == 0.0 && b.re != 0.0) return {a.re / b.re, a.im / b.re};
    if (b.re == 0.0 && b.im != 0.0) return {a.im / b.im, -a.re / b.im};
    const double n = b.re * b.re + b.im * b.im;
    if (n > 1e-290 && n < 1e290) {
        const double inv = 1.0 / n;
        return {(a.re * b.re + a.im * b.im) * inv, (a.im * b.re - a.re * b.im) * inv};
    }
    return cdiv_smith(a, b);
}
inline Cx recip(Cx b) { return cdiv({1.0, 0.0}, b); }
// Real numerator over a complex denominator.
inline Cx rdiv(double a, Cx b) { return cdiv({a, 0.0}, b); }

// Principal square root.
Cx csqrt(Cx z);
// z to the real power p; p = 1, 0.5 and 0 are exact special cases.
Cx cpow(Cx z, double p);
// tanh with saturation: (±1, 0) once |Re z| > 20.
Cx tanh_sat(Cx z);

}  // namespace velotz
