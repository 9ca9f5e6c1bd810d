#pragma once
// tanh of a complex argument z = x + iy in the form the diffusion elements
// use, (sinh 2x + i sin 2y) / (cosh 2x + cos 2y), for 0 < y <= x <= 20: the
// first quadrant on or below the diagonal, where s·τ with ω, τ > 0 puts the
// arguments of Wo, Ws and Gs. There cosh 2x + cos 2y >= 2 (cosh t >= 1 + t²/2,
// cos t >= 1 - t²/2), so the quotient has no cancellation.
//
// Written once over an operations type (explog::ScalarOps or four lanes of a
// vector), so that the scalar element formula and the vector kernel give the
// same bits. Each of sinh, cosh, sin and cos is within about one ulp:
// - sinh/cosh from exp (explog::exp_dd, 0.52 ulp) and its reciprocal; sinh of
//   |t| < 0.5 from its odd series to t^13 (the first term left exact);
// - sin/cos after reducing 2y <= 40 by k·π/2 with π/2 in three parts
//   (fdlibm's pio2_1, pio2_2, pio2_2t: k·pio2_1 and k·pio2_2 are exact for
//   k <= 26), the remainder kept as a double-double and fed to fdlibm's
//   __kernel_sin/__kernel_cos polynomials.
// The components are within 4 ulp of the exact tanh (tested against mpmath
// over the whole domain in tests/test_tanh_sat.py).
#include <cstdint>

#include "util/exp_log.hpp"

namespace velotz::hyper {

// Whether (x, y) lies where tanh_sat_core applies: 0 < y <= x <= 20 (false
// for NaN).
inline bool in_domain(double x, double y) { return y > 0.0 && y <= x && x <= 20.0; }

template <class O>
VELOTZ_ALWAYS_INLINE void tanh_sat_core(typename O::D x, typename O::D y, typename O::D& re, typename O::D& im) {
    using D = typename O::D;
    using U = typename O::U;

    // ---- sinh 2x and cosh 2x.
    const D t = x + x;
    const D e = explog::exp_dd<O>(t, O::splat(0.0));
    const D ie = O::splat(1.0) / e;
    const D ch = O::splat(0.5) * (e + ie);
    const D sh_big = O::splat(0.5) * (e - ie);
    const D z2 = t * t;
    const D series =
        z2 * (O::splat(1.0 / 6.0) +
              z2 * (O::splat(1.0 / 120.0) +
                    z2 * (O::splat(1.0 / 5040.0) +
                          z2 * (O::splat(1.0 / 362880.0) +
                                z2 * (O::splat(1.0 / 39916800.0) + z2 * O::splat(1.0 / 6227020800.0))))));
    const D sh_small = t + t * series;
    const D sh = O::select(t < O::splat(0.5), sh_small, sh_big);

    // ---- sin 2y and cos 2y: 2y = k·π/2 + (hi + lo).
    const D a = y + y;
    const D shift = O::splat(0x1.8p52);
    D kd = a * O::splat(6.36619772367581382433e-01) + shift;  // 2/π
    const U ki = O::bits(kd);
    kd = kd - shift;
    const D r1 = a - kd * O::splat(1.57079632673412561417e+00);  // exact
    const D w2 = kd * O::splat(6.07710050630396597660e-11);      // exact
    D s, err;
    explog::two_sum(r1, O::splat(0.0) - w2, s, err);
    const D tail = err - kd * O::splat(2.02226624879595063154e-21);
    D hi, lo;
    explog::two_sum(s, tail, hi, lo);

    const D z = hi * hi;
    const D v = z * hi;
    const D rs = O::splat(8.33333333332248946124e-03) +
                 z * (O::splat(-1.98412698298579493134e-04) +
                      z * (O::splat(2.75573137070700676789e-06) +
                           z * (O::splat(-2.50507602534068634195e-08) + z * O::splat(1.58969099521155010221e-10))));
    const D sn = hi - ((z * (O::splat(0.5) * lo - v * rs) - lo) - v * O::splat(-1.66666666666666324348e-01));
    const D rc =
        z * (O::splat(4.16666666666666019037e-02) +
             z * (O::splat(-1.38888888888741095749e-03) +
                  z * (O::splat(2.48015872894767294178e-05) +
                       z * (O::splat(-2.75573143513906633035e-07) +
                            z * (O::splat(2.08757232129817482790e-09) + z * O::splat(-1.13596475577881948265e-11))))));
    const D hz = O::splat(0.5) * z;
    const D wc = O::splat(1.0) - hz;
    const D cs = wc + (((O::splat(1.0) - wc) - hz) + (z * rc - hi * lo));

    // Quadrant k mod 4: sin(r + kπ/2) and cos(r + kπ/2) from sin r, cos r.
    const U q = ki & O::splat_u(3);
    const auto odd = (q & O::splat_u(1)) != O::splat_u(0);
    const D sin_r = O::select(odd, cs, sn);
    const D cos_r = O::select(odd, sn, cs);
    const D sin2y = O::from_bits(O::bits(sin_r) ^ ((q & O::splat_u(2)) << 62));
    const D cos2y = O::from_bits(O::bits(cos_r) ^ (((q + O::splat_u(1)) & O::splat_u(2)) << 62));

    const D d = ch + cos2y;
    re = sh / d;
    im = sin2y / d;
}

}  // namespace velotz::hyper
