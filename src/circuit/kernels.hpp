#pragma once
// Element-wise complex array operations of the circuit program, vectorised
// across frequencies. Each gives, entry by entry, exactly the bits of the
// scalar operation it replaces (operator+ and recip of elements/complex.hpp);
// they differ only in how many entries one instruction handles. Where the
// processor offers AVX2 a second copy of each kernel for it is chosen at run
// time; otherwise the baseline instruction set is used.
#include <cstddef>

#include "elements/complex.hpp"

namespace velotz::kernels {

// The kernels read arrays of Cx as arrays of 2n doubles.
static_assert(sizeof(Cx) == 2 * sizeof(double) && alignof(Cx) == alignof(double));

// dst[j] = a[j] + b[j] for j < n; dst may be a or b.
void add(Cx* dst, const Cx* a, const Cx* b, std::size_t n);

// For j < n: t[j] = other[j] + t[j] and u[j] = other[j] + u[j] when
// other_left, else t[j] = t[j] + other[j] and u[j] = u[j] + other[j].
void add_pair(Cx* t, Cx* u, const Cx* other, bool other_left, std::size_t n);
// dst[j] = recip(a[j]) for j < n; dst may be a.
void recip(Cx* dst, const Cx* a, std::size_t n);

// dst[j] = rdiv(r, a[j]) (the real r over a[j]) for j < n; dst may be a.
void rdiv(Cx* dst, double r, const Cx* a, std::size_t n);

// dst[j] = recip(r·a[j]) for j < n, r·a scaling both parts; dst may be a.
void recip_scaled(Cx* dst, double r, const Cx* a, std::size_t n);

// Weighted differences, over n doubles (re and im interleaved):
// out[i] = (z[i] - d[i]) / w[i].
void residuals(double* out, const double* z, const double* d, const double* w, std::size_t n);

// A central-difference column over n doubles:
// out[i] = ((zp[i] - d[i]) / w[i] - (zm[i] - d[i]) / w[i]) / h2.
void difference(double* out, const double* zp, const double* zm, const double* d, const double* w, double h2,
                std::size_t n);

// dst[j] = s^p for s = (0·w[j], w[j]) given rp[j] = w[j]^p and the direction
// (cos_p, sin_p) of the imaginary axis raised to p: (rp·cos_p, rp·sin_p)
// where s is on the positive imaginary axis (w[j] > 0 and finite), cpow(s, p)
// elsewhere; the bits of formula::pow_of_s_times for a prepared element.
void power_of_s(Cx* dst, const double* w, const double* rp, double p, double cos_p, double sin_p, std::size_t n);

// omega[j] = hz[j]·two_pi and, unless sqrt_omega is null,
// sqrt_omega[j] = std::sqrt(omega[j]), for j < n.
void angular(double* omega, double* sqrt_omega, const double* hz, double two_pi, std::size_t n);

// dst[j] = (aw / sqrt_w[j], -aw / sqrt_w[j]) for j < n: the W element.
void warburg(Cx* dst, double aw, const double* sqrt_w, std::size_t n);

// ln x[j] as the double-double hi[j] + lo[j] for j < n: explog::ln_dd's
// bits (NaN for x that is not a positive normal finite double).
void log_dd(double* hi, double* lo, const double* x, std::size_t n);

// out[j] = explog::axis_pow(w[j], lnw_hi[j], lnw_lo[j], x, lnx_hi, lnx_lo, p)
// for j < n, bit for bit: (w[j]·x)^p through exp and log where that is
// exact to 0.52 ulp, std::pow elsewhere.
void axis_pow(double* out, const double* w, const double* lnw_hi, const double* lnw_lo, double x, double lnx_hi,
              double lnx_lo, double p, std::size_t n);

// dst[j] = tanh_sat(z[j]) for j < n, bit for bit; dst may be z.
void tanh_sat(Cx* dst, const Cx* z, std::size_t n);

// ---- Fused steps over a block in split layout.
// CircuitProgram::evaluate_into runs the circuit a block of frequencies at a
// time with every value held as two arrays, real and imaginary parts, and
// each step writing dst = acc + v: an element's impedance or a reciprocal
// added to the running sum it feeds (the Leaf or Recip step of the program
// together with the Add step that reads it). Entry by entry every kernel
// gives the bits of the scalar operations (elements/formulas.hpp and
// elements/complex.hpp) in the same order: acc + v with operator+. dst may
// not alias acc or the operands; acc may be a block of zeros.
struct Split {
    double* re;
    double* im;
};
struct SplitIn {
    const double* re;
    const double* im;
};

// v = (re, im) at every frequency (the R element: (r, 0)).
void block_const_add(Split dst, SplitIn acc, double re, double im, std::size_t n);

// v = s·x with s = (0·ω, ω) (the L element), or recip(s·x) when `invert`
// (the C element).
void block_axis_add(Split dst, SplitIn acc, const double* w, double x, bool invert, std::size_t n);

// v = (aw / √ω, -aw / √ω) (the W element).
void block_warburg_add(Split dst, SplitIn acc, const double* sqrt_w, double aw, std::size_t n);

// v = recip(q·P) with P = (rp·cos_p, rp·sin_p) where ω > 0 and finite,
// cpow((0·ω, ω), p) elsewhere: the Cpe element prepared on the axis, rp[j]
// its |s|^p (kernels::axis_pow).
void block_cpe_add(Split dst, SplitIn acc, const double* w, const double* rp, double p, double cos_p, double sin_p,
                   double q, std::size_t n);

// v = recip(r·part[j]) when `scaled_recip`, else rdiv(r, part[j]): an
// element's impedance from its first field and its kept part.
void block_part_add(Split dst, SplitIn acc, const Cx* part, double r, bool scaled_recip, std::size_t n);

// v = values[j], computed elsewhere.
void block_values_add(Split dst, SplitIn acc, const Cx* values, std::size_t n);

// v = recip(src[j]): a branch's admittance, or a group's impedance.
void block_recip_add(Split dst, SplitIn acc, SplitIn src, std::size_t n);

// out[j] = acc[j] + recip(src[j]) into an interleaved array: block_recip_add
// and block_interleave in one pass, the same bits.
void block_recip_add_into(Cx* out, SplitIn acc, SplitIn src, std::size_t n);

// out[j] = (re[j], im[j]).
void block_interleave(Cx* out, SplitIn src, std::size_t n);

}  // namespace velotz::kernels
