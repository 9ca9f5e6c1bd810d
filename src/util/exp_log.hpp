#pragma once
// Natural logarithm as a double-double and exp of a double-double argument,
// written once as templates over the arithmetic type: `double` here, and a
// vector of four doubles in circuit/kernels.cpp. Only +, -, * on doubles,
// exact integer operations on their bits and table loads are used, each
// product rounded before it is added (the build never contracts to FMA), so
// every lane of the vector copy gives the bits of the scalar copy.
//
// They serve x^p = exp(p·ln x) for the fractional powers of the element
// formulas (|s·x|^p on the imaginary axis), where x^p amplifies an absolute
// error of ln x by p. ln x is therefore carried as hi + lo with an absolute
// error below 2^-66 (|x| normal); p·(hi + lo) is formed with an exact
// product (Dekker's split), and exp reads the low part in its argument
// reduction. The result of axis_pow is within 0.52 ulp of the exact x^p
// whenever it does not fall back (|p·ln x| < 700), so within 1 ulp of the
// correctly rounded value (error budget: 0.5 for the final rounding, below
// 0.01 each for the polynomials, the table tails and the logarithm's
// 2^-66). Measured over ω in [1e-6, 1e9], p in [0, 1] and a few beyond:
// at most 0.505 ulp from the exact value (mpmath), equal to glibc's pow in
// 99.9 % of cases and 1 ulp from it otherwise.
//
// Domains: log_dd takes positive normal finite x (anything else gives
// garbage, callers test first); exp_dd takes |hi| < 700 and |lo| < 2^-40
// (no overflow, underflow or subnormal result can occur there).
// axis_pow handles every input: outside the fast domain (x·y not a positive
// normal finite double, |p·ln| >= 700, |p| >= 2^900, NaN anywhere) it
// returns std::pow(x·y, p), the C library's answer for those values.
//
// Method. log: x = 2^k·z with z in [0.705, 1.41) split into 128 intervals;
// with invc ≈ 1/c for the interval's centre c (a table), z·invc = 1 + r
// exactly as a double-double (Dekker product), |r| < 2^-7.9, and
// ln x = k·ln2 - ln(invc) + log1p(r), log1p by its Taylor series to r^8
// (truncation below 2^-72), ln2 and ln(invc) from tables as double-doubles,
// the large terms summed with exact two-sums.
// exp: k = round(128·x/ln2), x = k·ln2/128 + r with |r| <= ln2/256 (ln2/128
// split so that k·hi is exact), exp(x) = 2^(k/128)·exp(r), 2^(j/128) from a
// table with its rounding error kept as a relative tail, exp(r) - 1 by its
// Taylor series to r^5 (truncation below 2^-60 relative).
#include <bit>
#include <cmath>
#include <cstdint>

#include "util/exp_log_tables.hpp"

#if defined(__GNUC__)
#define VELOTZ_ALWAYS_INLINE __attribute__((always_inline)) inline
#else
#define VELOTZ_ALWAYS_INLINE inline
#endif

namespace velotz::explog {

// The operations the templates need beyond arithmetic, for scalars; the
// vector copy in kernels.cpp provides the same names for its types.
struct ScalarOps {
    using D = double;
    using U = std::uint64_t;
    static VELOTZ_ALWAYS_INLINE U bits(D x) { return std::bit_cast<U>(x); }
    static VELOTZ_ALWAYS_INLINE D from_bits(U u) { return std::bit_cast<D>(u); }
    static VELOTZ_ALWAYS_INLINE D splat(double x) { return x; }
    static VELOTZ_ALWAYS_INLINE U splat_u(std::uint64_t x) { return x; }
    static VELOTZ_ALWAYS_INLINE D load(const double* table, U i) { return table[i]; }
    static VELOTZ_ALWAYS_INLINE U load_u(const std::uint64_t* table, U i) { return table[i]; }
    static VELOTZ_ALWAYS_INLINE D select(bool m, D a, D b) { return m ? a : b; }
    // No fused multiply-add: products' errors come from Dekker's split.
    static constexpr bool kFma = false;
};

// a + b = s + e exactly (Knuth's two-sum).
template <class D>
VELOTZ_ALWAYS_INLINE void two_sum(D a, D b, D& s, D& e) {
    s = a + b;
    const D bb = s - a;
    e = (a - (s - bb)) + (b - bb);
}

// a = hi + lo with hi holding at most 26 significant bits (|a| < 2^995).
template <class D>
VELOTZ_ALWAYS_INLINE void split(D a, D& hi, D& lo) {
    const D c = a * 134217729.0;  // 2^27 + 1
    hi = c - (c - a);
    lo = a - hi;
}

// a·b = p + e exactly (Dekker), without a fused multiply-add.
template <class D>
VELOTZ_ALWAYS_INLINE void two_prod(D a, D b, D& p, D& e) {
    D ah, al, bh, bl;
    split(a, ah, al);
    split(b, bh, bl);
    p = a * b;
    e = ((ah * bh - p) + ah * bl + al * bh) + al * bl;
}

// a·b = p + e exactly, as two_prod, through the operations O: with O::kFma
// set, e = fma(a, b, -p) (O::fms), two instructions instead of seventeen.
// Both give the exact error a·b - p whenever it is a double and Dekker's
// partial products neither overflow nor underflow, so the same bits there:
// in log_dd (a and b within [0.7, 1.42)) always; in times_ln whenever
// |p·hi| >= 2^-968, and below that exp_dd's result is 1 whatever the low part.
template <class O>
VELOTZ_ALWAYS_INLINE void two_prod_ops(typename O::D a, typename O::D b, typename O::D& p, typename O::D& e) {
    if constexpr (O::kFma) {
        p = a * b;
        e = O::fms(a, b, p);
    } else {
        two_prod(a, b, p, e);
    }
}

// ln x = hi + lo for positive normal finite x.
template <class O>
VELOTZ_ALWAYS_INLINE void log_dd(typename O::D x, typename O::D& hi, typename O::D& lo) {
    using D = typename O::D;
    using U = typename O::U;
    const U ix = O::bits(x);
    const U tmp = ix - O::splat_u(kLogOff);
    const U i = (tmp >> 45) & O::splat_u(127);
    // k = floor(tmp / 2^52) as a signed value: (tmp + 2^63) >> 52 is k + 2048,
    // turned into a double through the bits of 2^52 + (k + 2048).
    const U kb = (tmp + O::splat_u(0x8000000000000000ULL)) >> 52;
    const D k = (O::from_bits(kb | O::splat_u(0x4330000000000000ULL)) - O::splat(0x1p52)) - O::splat(2048.0);
    const D z = O::from_bits(ix - (tmp & O::splat_u(0xfffULL << 52)));
    const D invc = O::load(kLogInvc, i);
    D ph, pl;
    two_prod_ops<O>(z, invc, ph, pl);
    // ph - 1 is exact (ph is within 2^-7 of 1); |pl| <= ulp(ph)/2 <= |ph - 1|
    // unless ph = 1, so the fast two-sum holds.
    const D r0 = ph - O::splat(1.0);
    const D r = r0 + pl;
    const D rl = pl - (r - r0);
    // log1p(r + rl) = r + rl·(1 - r) + q(r), q(r) = -r²/2 + r³/3 - ... - r^8/8.
    const D r2 = r * r;
    const D q =
        r2 * (O::splat(-0.5) +
              r * (O::splat(1.0 / 3.0) +
                   r * (O::splat(-0.25) +
                        r * (O::splat(0.2) +
                             r * (O::splat(-1.0 / 6.0) + r * (O::splat(1.0 / 7.0) + r * O::splat(-0.125)))))));
    D s1, e1, s2, e2;
    two_sum(k * O::splat(kLn2Hi), O::load(kLogcHi, i), s1, e1);
    two_sum(s1, r, s2, e2);
    const D tail = ((((k * O::splat(kLn2Lo) + O::load(kLogcLo, i)) + e1) + e2) + (rl - rl * r)) + q;
    two_sum(s2, tail, hi, lo);
}

// exp(hi + lo) for |hi| < 700, |lo| < 2^-40.
template <class O>
VELOTZ_ALWAYS_INLINE typename O::D exp_dd(typename O::D hi, typename O::D lo) {
    using D = typename O::D;
    using U = typename O::U;
    // Round hi·128/ln2 to an integer k with the 1.5·2^52 shift: k sits in
    // the low bits of kd's representation.
    const D shift = O::splat(0x1.8p52);
    D kd = hi * O::splat(kInvLn2N) + shift;
    const U ki = O::bits(kd);
    kd = kd - shift;
    // hi - k·ln2hi/128 is exact; the low parts join after.
    const D r = (hi - kd * O::splat(kLn2HiN)) + (lo - kd * O::splat(kLn2LoN));
    const U j = ki & O::splat_u(127);
    const D scale = O::from_bits(O::load_u(kExpBits, j) + (ki << 45));
    const D r2 = r * r;
    const D t = O::load(kExpTail, j) + r + r2 * (O::splat(0.5) + r * O::splat(1.0 / 6.0)) +
                r2 * r2 * (O::splat(1.0 / 24.0) + r * O::splat(1.0 / 120.0));
    return scale + scale * t;
}

// exp(x) as a double-double eh + el for |x| < 700: exp_dd's table value
// and its correction kept apart instead of summed and rounded (relative
// error about 2^-59: the polynomial's truncation and the correction's own
// rounding).
template <class O>
VELOTZ_ALWAYS_INLINE void exp_dd2(typename O::D x, typename O::D& eh, typename O::D& el) {
    using D = typename O::D;
    using U = typename O::U;
    const D shift = O::splat(0x1.8p52);
    D kd = x * O::splat(kInvLn2N) + shift;
    const U ki = O::bits(kd);
    kd = kd - shift;
    const D r = x - kd * O::splat(kLn2HiN) - kd * O::splat(kLn2LoN);
    const U j = ki & O::splat_u(127);
    const D scale = O::from_bits(O::load_u(kExpBits, j) + (ki << 45));
    const D r2 = r * r;
    const D t = O::load(kExpTail, j) + r + r2 * (O::splat(0.5) + r * O::splat(1.0 / 6.0)) +
                r2 * r2 * (O::splat(1.0 / 24.0) + r * O::splat(1.0 / 120.0));
    const D m = scale * t;
    eh = scale + m;
    el = (scale - eh) + m;
}

// (ah + al) / (bh + bl) rounded to a double: the quotient of the high parts
// corrected by one step with an exact product (bh > 0 and the quotient
// neither overflows nor underflows).
template <class D>
VELOTZ_ALWAYS_INLINE D div_dd(D ah, D al, D bh, D bl) {
    const D q = ah / bh;
    D p, pe;
    two_prod(q, bh, p, pe);
    const D r = (((ah - p) - pe) + al) - q * bl;
    return q + r / bh;
}

// p·(hi + lo) = th + tl, the product of p with the double-double ln.
template <class D>
VELOTZ_ALWAYS_INLINE void times_ln(D p, D hi, D lo, D& th, D& tl) {
    D e;
    two_prod(p, hi, th, e);
    tl = e + p * lo;
}

// times_ln through the operations O (two_prod_ops), the same bits.
template <class O>
VELOTZ_ALWAYS_INLINE void times_ln_ops(typename O::D p, typename O::D hi, typename O::D lo, typename O::D& th,
                                       typename O::D& tl) {
    typename O::D e;
    two_prod_ops<O>(p, hi, th, e);
    tl = e + p * lo;
}

// (ah + al) + (bh + bl) as a double-double.
template <class D>
VELOTZ_ALWAYS_INLINE void add_dd(D ah, D al, D bh, D bl, D& hi, D& lo) {
    D s, e;
    two_sum(ah, bh, s, e);
    two_sum(s, e + (al + bl), hi, lo);
}

inline constexpr double kExpLimit = 700.0;
inline constexpr double kMaxExponent = 0x1p900;

// ln of a scalar as a double-double; NaN for anything but a positive normal
// finite value (which makes every later fast-path test fail).
inline void ln_dd(double x, double& hi, double& lo) {
    if (!(x >= 0x1p-1022 && x <= 0x1.fffffffffffffp1023)) {
        hi = lo = std::nan("");
        return;
    }
    log_dd<ScalarOps>(x, hi, lo);
}

// (w·x)^p for w·x on the positive imaginary axis's modulus, from the
// double-double logarithms of w and x (from ln_dd): exp(p·(ln w + ln x))
// when that is in the fast domain, else std::pow(w·x, p). The vector kernel
// circuit::kernels::axis_pow gives the same bits lane by lane.
inline double axis_pow(double w, double lnw_hi, double lnw_lo, double x, double lnx_hi, double lnx_lo, double p) {
    const double b = w * x;
    if (b >= 0x1p-1022 && b <= 0x1.fffffffffffffp1023 && std::fabs(p) < kMaxExponent) {
        double h = lnw_hi, l = lnw_lo, th, tl;
        // Without a factor (ln x = 0) ln ω is the logarithm itself.
        if (!(lnx_hi == 0.0 && lnx_lo == 0.0)) add_dd(lnw_hi, lnw_lo, lnx_hi, lnx_lo, h, l);
        times_ln(p, h, l, th, tl);
        if (std::fabs(th) < kExpLimit) return exp_dd<ScalarOps>(th, tl);
    }
    return std::pow(b, p);
}

}  // namespace velotz::explog
