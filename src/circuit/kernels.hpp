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

// ln x[j] as the double-double hi[j] + lo[j] for j < n: explog::ln_dd's
// bits (NaN for x that is not a positive normal finite double).
void log_dd(double* hi, double* lo, const double* x, std::size_t n);

// out[j] = explog::axis_pow(w[j], lnw_hi[j], lnw_lo[j], x, lnx_hi, lnx_lo, p)
// for j < n, bit for bit: (w[j]·x)^p through exp and log where that is
// exact to 0.52 ulp, std::pow elsewhere.
void axis_pow(double* out, const double* w, const double* lnw_hi, const double* lnw_lo, double x, double lnx_hi,
              double lnx_lo, double p, std::size_t n);

}  // namespace velotz::kernels
