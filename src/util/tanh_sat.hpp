#pragma once
// tanh of a complex argument z = x + iy in the form the diffusion elements
// use, (sinh 2x + i sin 2y) / (cosh 2x + cos 2y), for 0 < y <= x <= 20: the
// first quadrant on or below the diagonal, where s·τ with ω, τ > 0 puts the
// arguments of Wo, Ws and Gs. There cosh 2x + cos 2y >= 2 (cosh t >= 1 + t²/2,
// cos t >= 1 - t²/2), so the quotient has no cancellation.
//
// Written once over an operations type (explog::ScalarOps or four lanes of a
// vector), so that the scalar element formula and the vector kernel give the
// same bits. Every quantity before the two final quotients is carried as a
// double-double, so that the quotients, each taken as a double-double
// division and rounded once, are within 1 ulp of the exact values:
// - e^{2x} from explog::exp_dd's table value and tail kept apart (relative
//   error about 2^-59), its reciprocal by one Newton step with an exact
//   product; sinh and cosh their half sum and difference (the difference
//   loses at most a factor coth 0.5 ≈ 2.2); sinh of |t| < 0.5 from its odd
//   series to t^17 (truncation below 2^-70 relative) with the first term
//   kept exact beside the rest;
// - sin/cos after reducing 2y <= 40 by k·π/2 with π/2 in three parts
//   (fdlibm's pio2_1, pio2_2, pio2_2t: k·pio2_1 and k·pio2_2 are exact for
//   k <= 26), the remainder kept as a double-double and fed to fdlibm's
//   __kernel_sin/__kernel_cos polynomials, whose last addition is kept as a
//   double-double instead of being rounded;
// - the denominator cosh 2x + cos 2y >= 2 summed as a double-double.
// Error budget per component: 0.5 ulp for the final rounding, below 0.37
// ulp for the cubic term of sin (the largest rounded term, about a tenth of
// the value, with a few roundings), below 0.01 ulp for the rest. Measured
// against long double over the whole domain in tests/cpp/test_tanh_sat.cpp
// (bound tested there: 1 ulp in each component).
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

    // ---- e^{2x} = eh + el and its reciprocal ih + il.
    const D t = x + x;
    D eh, el;
    explog::exp_dd2<O>(t, eh, el);
    const D ih = O::splat(1.0) / eh;
    D p, pe;
    explog::two_prod(ih, eh, p, pe);
    // 1 - ih·(eh + el), where 1 - p is exact (p is within an ulp of 1).
    const D res = ((O::splat(1.0) - p) - pe) - ih * el;
    const D il = ih * res;

    // cosh 2x = (e + 1/e)/2 and sinh 2x = (e - 1/e)/2 as double-doubles.
    D ch_h, ch_l, sb_h, sb_l;
    explog::add_dd(eh, el, ih, il, ch_h, ch_l);
    explog::add_dd(eh, el, O::splat(0.0) - ih, O::splat(0.0) - il, sb_h, sb_l);
    ch_h = O::splat(0.5) * ch_h;
    ch_l = O::splat(0.5) * ch_l;
    sb_h = O::splat(0.5) * sb_h;
    sb_l = O::splat(0.5) * sb_l;
    const D z2 = t * t;
    const D series =
        z2 * (O::splat(1.0 / 6.0) +
              z2 * (O::splat(1.0 / 120.0) +
                    z2 * (O::splat(1.0 / 5040.0) +
                          z2 * (O::splat(1.0 / 362880.0) +
                                z2 * (O::splat(1.0 / 39916800.0) +
                                      z2 * (O::splat(1.0 / 6227020800.0) +
                                            z2 * (O::splat(1.0 / 1307674368000.0) +
                                                  z2 * O::splat(1.0 / 355687428096000.0))))))));
    D ss_h, ss_l;
    explog::two_sum(t, t * series, ss_h, ss_l);
    const auto small = t < O::splat(0.5);
    const D sh_h = O::select(small, ss_h, sb_h);
    const D sh_l = O::select(small, ss_l, sb_l);

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
    // __kernel_sin's hi - ((z·(lo/2 - v·rs) - lo) - v·S1), its last
    // subtraction kept as a double-double.
    D sn_h, sn_l;
    explog::two_sum(hi, O::splat(0.0) - ((z * (O::splat(0.5) * lo - v * rs) - lo) -
                                         v * O::splat(-1.66666666666666324348e-01)),
                    sn_h, sn_l);
    const D rc =
        z * (O::splat(4.16666666666666019037e-02) +
             z * (O::splat(-1.38888888888741095749e-03) +
                  z * (O::splat(2.48015872894767294178e-05) +
                       z * (O::splat(-2.75573143513906633035e-07) +
                            z * (O::splat(2.08757232129817482790e-09) + z * O::splat(-1.13596475577881948265e-11))))));
    // __kernel_cos's wc + (((1 - wc) - z/2) + (z·rc - hi·lo)), likewise.
    const D hz = O::splat(0.5) * z;
    const D wc = O::splat(1.0) - hz;
    D cs_h, cs_l;
    explog::two_sum(wc, ((O::splat(1.0) - wc) - hz) + (z * rc - hi * lo), cs_h, cs_l);

    // Quadrant k mod 4: sin(r + kπ/2) and cos(r + kπ/2) from sin r, cos r
    // (both parts of a double-double change sign together).
    const U q = ki & O::splat_u(3);
    const auto odd = (q & O::splat_u(1)) != O::splat_u(0);
    const U sin_sign = (q & O::splat_u(2)) << 62;
    const U cos_sign = ((q + O::splat_u(1)) & O::splat_u(2)) << 62;
    const D sin_h = O::from_bits(O::bits(O::select(odd, cs_h, sn_h)) ^ sin_sign);
    const D sin_l = O::from_bits(O::bits(O::select(odd, cs_l, sn_l)) ^ sin_sign);
    const D cos_h = O::from_bits(O::bits(O::select(odd, sn_h, cs_h)) ^ cos_sign);
    const D cos_l = O::from_bits(O::bits(O::select(odd, sn_l, cs_l)) ^ cos_sign);

    D d_h, d_l;
    explog::add_dd(ch_h, ch_l, cos_h, cos_l, d_h, d_l);
    re = explog::div_dd(sh_h, sh_l, d_h, d_l);
    im = explog::div_dd(sin_h, sin_l, d_h, d_l);
}

}  // namespace velotz::hyper
