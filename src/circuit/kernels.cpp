#include "circuit/kernels.hpp"

#include <cstring>

// util/simd.hpp first: its pragma covers the vector helpers of the others.
#include "util/simd.hpp"
#include "util/exp_log.hpp"
#include "util/tanh_sat.hpp"

// Each kernel is compiled for the baseline and for AVX2 and picked at run time
// (util/simd.hpp). No FMA is enabled: every product is rounded before it is
// added, as in the scalar operations. (A test compiles this file once more
// with VELOTZ_SIMD_BASELINE_ONLY defined, as the baseline copy alone, to
// compare it with the copy picked at run time.)

namespace velotz::kernels {

namespace {

using simd::all;
using simd::load;
using simd::store;
using simd::vd;
using simd::vi;
using simd::vu;

// The operations of util/exp_log.hpp on four lanes; each lane computes what
// explog::ScalarOps computes. From Mode 1 (the AVX2 copies only) the table
// loads are single gather instructions instead of four scalar loads and
// their inserts: the same values, fewer instructions. Mode 2 (AVX2 copies on
// processors with FMA3) also forms the exact error of a product with one
// fused multiply-subtract (explog::two_prod_ops): the same bits again.
template <int Mode>
struct VectorOpsT {
    static constexpr bool Gather = Mode >= 1;
    static constexpr bool kFma = Mode >= 2;
    using D = vd;
    using U = vu;
    static __attribute__((always_inline)) inline U bits(D x) { return (U)x; }
    static __attribute__((always_inline)) inline D from_bits(U u) { return (D)u; }
    static __attribute__((always_inline)) inline D splat(double x) { return D{x, x, x, x}; }
    static __attribute__((always_inline)) inline U splat_u(std::uint64_t x) { return U{x, x, x, x}; }
    static __attribute__((always_inline)) inline D load(const double* t, U i) {
        if constexpr (Gather) {
            // vgatherqpd with every lane enabled (the mask register is
            // consumed by the instruction).
            D r;
            vi mask = {-1, -1, -1, -1};
            asm("vgatherqpd %1, (%2,%3,8), %0" : "=&x"(r), "+&x"(mask) : "r"(t), "x"(i));
            return r;
        } else {
            return D{t[i[0]], t[i[1]], t[i[2]], t[i[3]]};
        }
    }
    static __attribute__((always_inline)) inline U load_u(const std::uint64_t* t, U i) {
        if constexpr (Gather) {
            U r;
            vi mask = {-1, -1, -1, -1};
            asm("vpgatherqq %1, (%2,%3,8), %0" : "=&x"(r), "+&x"(mask) : "r"(t), "x"(i));
            return r;
        } else {
            return U{t[i[0]], t[i[1]], t[i[2]], t[i[3]]};
        }
    }
    template <class M>
    static __attribute__((always_inline)) inline D select(M m, D a, D b) { return m ? a : b; }
    // a·b - p rounded once (vfmsub213pd); only in Mode 2 copies.
    static __attribute__((always_inline)) inline D fms(D a, D b, D p) {
        asm("vfmsub213pd %2, %1, %0" : "+x"(a) : "x"(b), "x"(p));
        return a;
    }
};

// Whether the processor has FMA3 (read once).
[[maybe_unused]] bool has_fma() {
#if VELOTZ_X86_DISPATCH
    static const bool fma = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("fma") != 0;
    }();
    return fma;
#else
    return false;
#endif
}
// Whether all four mask lanes are set: one vmovmskpd in the AVX2 copies,
// simd::all (shuffle, and, two extractions) in the baseline.
template <bool Avx2>
__attribute__((always_inline)) inline bool all_lanes(vi m) {
    if constexpr (Avx2) {
        int bits;
        asm("vmovmskpd %1, %0" : "=r"(bits) : "x"(m));
        return bits == 15;
    } else {
        return all(m);
    }
}

}  // namespace

// As VELOTZ_SIMD_DISPATCH_AVX2T for a body templated on VectorOpsT's mode:
// the baseline copy runs mode 0, the AVX2 copies mode 1, or mode 2 where the
// processor has FMA3.
#if VELOTZ_X86_DISPATCH && !defined(VELOTZ_SIMD_BASELINE_ONLY)
#define VELOTZ_KERNEL_DISPATCH_FMA(ret, name, params, args)                                  \
    VELOTZ_TARGET_AVX2 static ret name##_avx2 params { return name##_body<1> args; }         \
    VELOTZ_TARGET_AVX2 static ret name##_avx2_fma params { return name##_body<2> args; }     \
    ret name params {                                                                        \
        if (::velotz::simd::level() >= ::velotz::simd::kAvx2) {                              \
            if (has_fma()) return name##_avx2_fma args;                                      \
            return name##_avx2 args;                                                         \
        }                                                                                    \
        return name##_body<0> args;                                                          \
    }
#else
#define VELOTZ_KERNEL_DISPATCH_FMA(ret, name, params, args) \
    ret name params { return name##_body<0> args; }
#endif

VELOTZ_ALWAYS_INLINE void add_body(Cx* dst, const Cx* a, const Cx* b, std::size_t n) {
    double* d = reinterpret_cast<double*>(dst);
    const double* x = reinterpret_cast<const double*>(a);
    const double* y = reinterpret_cast<const double*>(b);
    const std::size_t m = 2 * n;
    std::size_t i = 0;
    for (; i + 4 <= m; i += 4) store(d + i, load(x + i) + load(y + i));
    for (; i < m; ++i) d[i] = x[i] + y[i];
}
VELOTZ_SIMD_DISPATCH(void, add, (Cx* dst, const Cx* a, const Cx* b, std::size_t n), (dst, a, b, n))

VELOTZ_ALWAYS_INLINE void add_pair_body(Cx* t, Cx* u, const Cx* other, bool other_left, std::size_t n) {
    double* x = reinterpret_cast<double*>(t);
    double* y = reinterpret_cast<double*>(u);
    const double* o = reinterpret_cast<const double*>(other);
    const std::size_t m = 2 * n;
    std::size_t i = 0;
    if (other_left) {
        for (; i + 4 <= m; i += 4) {
            const vd ov = load(o + i);
            store(x + i, ov + load(x + i));
            store(y + i, ov + load(y + i));
        }
        for (; i < m; ++i) {
            x[i] = o[i] + x[i];
            y[i] = o[i] + y[i];
        }
    } else {
        for (; i + 4 <= m; i += 4) {
            const vd ov = load(o + i);
            store(x + i, load(x + i) + ov);
            store(y + i, load(y + i) + ov);
        }
        for (; i < m; ++i) {
            x[i] = x[i] + o[i];
            y[i] = y[i] + o[i];
        }
    }
}
VELOTZ_SIMD_DISPATCH(void, add_pair, (Cx* t, Cx* u, const Cx* other, bool other_left, std::size_t n), (t, u, other, other_left, n))

// Four entries at a time. When all four are in the usual range of
// cdiv((1, 0), b) (1e-290 < |b|² < 1e290, off the axes, which also means
// finite), that branch runs on all of them at once on the interleaved
// layout: with inv = 1 / |b|², (re·inv, -(im·inv)) — the general branch's
// (1·re + 0·im)·inv and (0·re - 1·im)·inv, whose sums are exact there, and
// whose negation commutes with the rounding. |b|² is re·re + im·im in that
// order. When all four lie on the real axis (im = 0, re != 0) the branch
// (1 / re, 0 / re) runs on all of them; on the imaginary axis (re = 0,
// im != 0) the branch (0 / im, -1 / im). Any other mix goes entry by entry
// through the scalar recip.
namespace {

// recip of entries 0..3 of a into dst, through the branches described above.
__attribute__((always_inline)) inline void recip4(Cx* dst, const Cx* a) {
    const vd zero = {0.0, 0.0, 0.0, 0.0};
    const vd one = {1.0, 1.0, 1.0, 1.0};
    const vd v0 = load(reinterpret_cast<const double*>(a));      // re0 im0 re1 im1
    const vd v1 = load(reinterpret_cast<const double*>(a + 2));  // re2 im2 re3 im3
    const vd s0 = v0 * v0;
    const vd s1 = v1 * v1;
    // |b|² of entries 0, 2, 1, 3 (in-lane pairs).
    const vd nrm = VELOTZ_SHUFFLE(s0, s1, 0, 4, 2, 6) + VELOTZ_SHUFFLE(s0, s1, 1, 5, 3, 7);
    const vi general = (v0 != zero) & (v1 != zero) & (nrm > vd{1e-290, 1e-290, 1e-290, 1e-290}) &
                       (nrm < vd{1e290, 1e290, 1e290, 1e290});
    if (all(general)) {
        const vd inv = one / nrm;                             // 1/|b|² of entries 0, 2, 1, 3
        const vd inv0 = VELOTZ_SHUFFLE(inv, inv, 0, 0, 2, 2);  // entries 0, 0, 1, 1
        const vd inv1 = VELOTZ_SHUFFLE(inv, inv, 1, 1, 3, 3);  // entries 2, 2, 3, 3
        const vi f = (vi)vd{0.0, -0.0, 0.0, -0.0};
        store(reinterpret_cast<double*>(dst), (vd)((vi)(v0 * inv0) ^ f));
        store(reinterpret_cast<double*>(dst + 2), (vd)((vi)(v1 * inv1) ^ f));
        return;
    }
    const vd re = VELOTZ_SHUFFLE(v0, v1, 0, 2, 4, 6);
    const vd im = VELOTZ_SHUFFLE(v0, v1, 1, 3, 5, 7);
    const vi re_zero = re == zero;
    const vi im_zero = im == zero;
    vd out_re, out_im;
    if (all(im_zero & ~re_zero)) {
        out_re = one / re;
        out_im = zero / re;
    } else if (all(re_zero & ~im_zero)) {
        out_re = zero / im;
        out_im = (-one) / im;
    } else {
        for (std::size_t k = 0; k < 4; ++k) dst[k] = velotz::recip(a[k]);
        return;
    }
    store(reinterpret_cast<double*>(dst), VELOTZ_SHUFFLE(out_re, out_im, 0, 4, 1, 5));
    store(reinterpret_cast<double*>(dst + 2), VELOTZ_SHUFFLE(out_re, out_im, 2, 6, 3, 7));
}

}  // namespace

// Eight entries per pass when all eight take the usual-range branch (one
// test for both halves), otherwise four at a time through recip4.
VELOTZ_ALWAYS_INLINE void recip_body(Cx* dst, const Cx* a, std::size_t n) {
    std::size_t j = 0;
    const vd zero = {0.0, 0.0, 0.0, 0.0};
    const vd one = {1.0, 1.0, 1.0, 1.0};
    const vd tiny = {1e-290, 1e-290, 1e-290, 1e-290};
    const vd huge = {1e290, 1e290, 1e290, 1e290};
    const vi flip = (vi)vd{0.0, -0.0, 0.0, -0.0};
    for (; j + 8 <= n; j += 8) {
        const double* p = reinterpret_cast<const double*>(a + j);
        const vd v0 = load(p), v1 = load(p + 4), v2 = load(p + 8), v3 = load(p + 12);
        const vd s0 = v0 * v0, s1 = v1 * v1, s2 = v2 * v2, s3 = v3 * v3;
        const vd na = VELOTZ_SHUFFLE(s0, s1, 0, 4, 2, 6) + VELOTZ_SHUFFLE(s0, s1, 1, 5, 3, 7);
        const vd nb = VELOTZ_SHUFFLE(s2, s3, 0, 4, 2, 6) + VELOTZ_SHUFFLE(s2, s3, 1, 5, 3, 7);
        const vi general = (v0 != zero) & (v1 != zero) & (v2 != zero) & (v3 != zero) & (na > tiny) &
                           (na < huge) & (nb > tiny) & (nb < huge);
        if (!all(general)) {
            recip4(dst + j, a + j);
            recip4(dst + j + 4, a + j + 4);
            continue;
        }
        const vd ia = one / na, ib = one / nb;
        double* d = reinterpret_cast<double*>(dst + j);
        store(d, (vd)((vi)(v0 * VELOTZ_SHUFFLE(ia, ia, 0, 0, 2, 2)) ^ flip));
        store(d + 4, (vd)((vi)(v1 * VELOTZ_SHUFFLE(ia, ia, 1, 1, 3, 3)) ^ flip));
        store(d + 8, (vd)((vi)(v2 * VELOTZ_SHUFFLE(ib, ib, 0, 0, 2, 2)) ^ flip));
        store(d + 12, (vd)((vi)(v3 * VELOTZ_SHUFFLE(ib, ib, 1, 1, 3, 3)) ^ flip));
    }
    for (; j + 4 <= n; j += 4) recip4(dst + j, a + j);
    for (; j < n; ++j) dst[j] = velotz::recip(a[j]);
}
VELOTZ_SIMD_DISPATCH(void, recip, (Cx* dst, const Cx* a, std::size_t n), (dst, a, n))

// The same branches as recip for the numerator (r, 0), with the general
// branch's sums written out as cdiv computes them:
//   real axis:      (r / re, 0 / re)
//   imaginary axis: (0 / im, -r / im)
//   usual range:    ((r·re + 0·im)·inv, (0·re - r·im)·inv), inv = 1 / |b|².
VELOTZ_ALWAYS_INLINE void rdiv_body(Cx* dst, double r, const Cx* a, std::size_t n) {
    std::size_t j = 0;
    const vd zero = {0.0, 0.0, 0.0, 0.0};
    const vd one = {1.0, 1.0, 1.0, 1.0};
    const vd rv = {r, r, r, r};
    for (; j + 4 <= n; j += 4) {
        const vd v0 = load(reinterpret_cast<const double*>(a + j));
        const vd v1 = load(reinterpret_cast<const double*>(a + j + 2));
        const vd re = VELOTZ_SHUFFLE(v0, v1, 0, 2, 4, 6);
        const vd im = VELOTZ_SHUFFLE(v0, v1, 1, 3, 5, 7);
        const vi re_zero = re == zero;
        const vi im_zero = im == zero;
        vd out_re, out_im;
        const vd nrm = re * re + im * im;
        const vi general = ~re_zero & ~im_zero & (nrm > 1e-290) & (nrm < 1e290);
        if (all(general)) {
            const vd inv = one / nrm;
            out_re = (rv * re + zero * im) * inv;
            out_im = (zero * re - rv * im) * inv;
        } else if (all(im_zero & ~re_zero)) {
            out_re = rv / re;
            out_im = zero / re;
        } else if (all(re_zero & ~im_zero)) {
            out_re = zero / im;
            out_im = (-rv) / im;
        } else {
            for (std::size_t k = j; k < j + 4; ++k) dst[k] = velotz::rdiv(r, a[k]);
            continue;
        }
        store(reinterpret_cast<double*>(dst + j), VELOTZ_SHUFFLE(out_re, out_im, 0, 4, 1, 5));
        store(reinterpret_cast<double*>(dst + j + 2), VELOTZ_SHUFFLE(out_re, out_im, 2, 6, 3, 7));
    }
    for (; j < n; ++j) dst[j] = velotz::rdiv(r, a[j]);
}
VELOTZ_SIMD_DISPATCH(void, rdiv, (Cx* dst, double r, const Cx* a, std::size_t n), (dst, r, a, n))

VELOTZ_ALWAYS_INLINE void recip_scaled_body(Cx* dst, double r, const Cx* a, std::size_t n) {
    double* d = reinterpret_cast<double*>(dst);
    const double* x = reinterpret_cast<const double*>(a);
    const vd rv = {r, r, r, r};
    std::size_t i = 0;
    for (; i + 4 <= 2 * n; i += 4) store(d + i, rv * load(x + i));
    for (; i < 2 * n; ++i) d[i] = r * x[i];
    recip(dst, dst, n);
}
VELOTZ_SIMD_DISPATCH(void, recip_scaled, (Cx* dst, double r, const Cx* a, std::size_t n), (dst, r, a, n))

VELOTZ_ALWAYS_INLINE void residuals_body(double* out, const double* z, const double* d, const double* w, std::size_t n) {
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) store(out + i, (load(z + i) - load(d + i)) / load(w + i));
    for (; i < n; ++i) out[i] = (z[i] - d[i]) / w[i];
}
VELOTZ_SIMD_DISPATCH(void, residuals, (double* out, const double* z, const double* d, const double* w, std::size_t n), (out, z, d, w, n))

VELOTZ_ALWAYS_INLINE void difference_body(double* out, const double* zp, const double* zm, const double* d, const double* w, double h2,
                std::size_t n) {
    std::size_t i = 0;
    const vd hv = {h2, h2, h2, h2};
    for (; i + 4 <= n; i += 4) {
        const vd dv = load(d + i);
        const vd wv = load(w + i);
        store(out + i, ((load(zp + i) - dv) / wv - (load(zm + i) - dv) / wv) / hv);
    }
    for (; i < n; ++i) out[i] = ((zp[i] - d[i]) / w[i] - (zm[i] - d[i]) / w[i]) / h2;
}
VELOTZ_SIMD_DISPATCH(void, difference, (double* out, const double* zp, const double* zm, const double* d, const double* w, double h2,
                std::size_t n), (out, zp, zm, d, w, h2, n))

VELOTZ_ALWAYS_INLINE void power_of_s_body(Cx* dst, const double* w, const double* rp, double p, double cos_p, double sin_p, std::size_t n) {
    std::size_t j = 0;
    const vd c = {cos_p, cos_p, cos_p, cos_p};
    const vd s = {sin_p, sin_p, sin_p, sin_p};
    const vd zero = {0.0, 0.0, 0.0, 0.0};
    const vd huge = {0x1.fffffffffffffp1023, 0x1.fffffffffffffp1023, 0x1.fffffffffffffp1023, 0x1.fffffffffffffp1023};
    for (; j + 4 <= n; j += 4) {
        const vd wv = load(w + j);
        if (all((wv > zero) & (wv <= huge))) {
            const vd r = load(rp + j);
            const vd re = r * c;
            const vd im = r * s;
            store(reinterpret_cast<double*>(dst + j), VELOTZ_SHUFFLE(re, im, 0, 4, 1, 5));
            store(reinterpret_cast<double*>(dst + j + 2), VELOTZ_SHUFFLE(re, im, 2, 6, 3, 7));
            continue;
        }
        for (std::size_t k = j; k < j + 4; ++k) {
            dst[k] = w[k] > 0.0 && w[k] <= 0x1.fffffffffffffp1023 ? Cx{rp[k] * cos_p, rp[k] * sin_p}
                                                                   : velotz::cpow(Cx{0.0 * w[k], w[k]}, p);
        }
    }
    for (; j < n; ++j) {
        dst[j] = w[j] > 0.0 && w[j] <= 0x1.fffffffffffffp1023 ? Cx{rp[j] * cos_p, rp[j] * sin_p}
                                                              : velotz::cpow(Cx{0.0 * w[j], w[j]}, p);
    }
}
VELOTZ_SIMD_DISPATCH(void, power_of_s, (Cx* dst, const double* w, const double* rp, double p, double cos_p, double sin_p, std::size_t n), (dst, w, rp, p, cos_p, sin_p, n))

// std::sqrt is IEEE's correctly rounded square root in every copy; this file
// is compiled without errno for the math functions, so the loop becomes
// packed square roots.
VELOTZ_ALWAYS_INLINE void angular_body(double* omega, double* sqrt_omega, const double* hz, double two_pi, std::size_t n) {
    for (std::size_t j = 0; j < n; ++j) omega[j] = hz[j] * two_pi;
    if (sqrt_omega != nullptr) {
        double* __restrict out = sqrt_omega;
        const double* __restrict in = omega;
        for (std::size_t j = 0; j < n; ++j) out[j] = std::sqrt(in[j]);
    }
}
VELOTZ_SIMD_DISPATCH(void, angular, (double* omega, double* sqrt_omega, const double* hz, double two_pi, std::size_t n), (omega, sqrt_omega, hz, two_pi, n))

VELOTZ_ALWAYS_INLINE void warburg_body(Cx* dst, double aw, const double* sqrt_w, std::size_t n) {
    std::size_t j = 0;
    const vd a = {aw, aw, aw, aw};
    for (; j + 4 <= n; j += 4) {
        const vd sw = load(sqrt_w + j);
        const vd re = a / sw;
        const vd im = (-a) / sw;
        store(reinterpret_cast<double*>(dst + j), VELOTZ_SHUFFLE(re, im, 0, 4, 1, 5));
        store(reinterpret_cast<double*>(dst + j + 2), VELOTZ_SHUFFLE(re, im, 2, 6, 3, 7));
    }
    for (; j < n; ++j) dst[j] = {aw / sqrt_w[j], -aw / sqrt_w[j]};
}
VELOTZ_SIMD_DISPATCH(void, warburg, (Cx* dst, double aw, const double* sqrt_w, std::size_t n), (dst, aw, sqrt_w, n))

template <int Mode>
VELOTZ_ALWAYS_INLINE void log_dd_body(double* hi, double* lo, const double* x, std::size_t n) {
    std::size_t j = 0;
    const vd nan = VectorOpsT<Mode>::splat(std::nan(""));
    const vd tiny = VectorOpsT<Mode>::splat(0x1p-1022);
    const vd huge = VectorOpsT<Mode>::splat(0x1.fffffffffffffp1023);
    for (; j + 4 <= n; j += 4) {
        const vd v = load(x + j);
        vd h, l;
        explog::log_dd<VectorOpsT<Mode>>(v, h, l);
        const vi ok = (v >= tiny) & (v <= huge);
        store(hi + j, ok ? h : nan);
        store(lo + j, ok ? l : nan);
    }
    for (; j < n; ++j) explog::ln_dd(x[j], hi[j], lo[j]);
}
VELOTZ_KERNEL_DISPATCH_FMA(void, log_dd, (double* hi, double* lo, const double* x, std::size_t n), (hi, lo, x, n))

// Four lanes at a time through the fast path of explog::axis_pow; a group
// where any lane leaves the fast domain goes lane by lane through the scalar
// function, which takes the same fast path for the others.
template <int Mode>
VELOTZ_ALWAYS_INLINE void axis_pow_body(double* out, const double* w, const double* lnw_hi, const double* lnw_lo, double x, double lnx_hi,
              double lnx_lo, double p, std::size_t n) {
    std::size_t j = 0;
    if (std::fabs(p) < explog::kMaxExponent) {
        const vd xv = VectorOpsT<Mode>::splat(x);
        const vd pv = VectorOpsT<Mode>::splat(p);
        const vd xh = VectorOpsT<Mode>::splat(lnx_hi);
        const vd xl = VectorOpsT<Mode>::splat(lnx_lo);
        const vd tiny = VectorOpsT<Mode>::splat(0x1p-1022);
        const vd huge = VectorOpsT<Mode>::splat(0x1.fffffffffffffp1023);
        const vd limit = VectorOpsT<Mode>::splat(explog::kExpLimit);
        const vd neg_limit = VectorOpsT<Mode>::splat(-explog::kExpLimit);
        const bool with_factor = !(lnx_hi == 0.0 && lnx_lo == 0.0);
        for (; j + 4 <= n; j += 4) {
            const vd b = load(w + j) * xv;
            vd h = load(lnw_hi + j), l = load(lnw_lo + j), th, tl;
            if (with_factor) explog::add_dd(h, l, xh, xl, h, l);
            explog::times_ln_ops<VectorOpsT<Mode>>(pv, h, l, th, tl);
            const vi ok = (b >= tiny) & (b <= huge) & (th < limit) & (th > neg_limit);
            if (all_lanes<(Mode >= 1)>(ok)) {
                store(out + j, explog::exp_dd<VectorOpsT<Mode>>(th, tl));
            } else {
                for (std::size_t k = j; k < j + 4; ++k) {
                    out[k] = explog::axis_pow(w[k], lnw_hi[k], lnw_lo[k], x, lnx_hi, lnx_lo, p);
                }
            }
        }
    }
    for (; j < n; ++j) out[j] = explog::axis_pow(w[j], lnw_hi[j], lnw_lo[j], x, lnx_hi, lnx_lo, p);
}
VELOTZ_KERNEL_DISPATCH_FMA(void, axis_pow, (double* out, const double* w, const double* lnw_hi, const double* lnw_lo, double x, double lnx_hi,
              double lnx_lo, double p, std::size_t n), (out, w, lnw_hi, lnw_lo, x, lnx_hi, lnx_lo, p, n))

// Four entries at a time when all four lie in hyper::in_domain; any other
// group goes entry by entry through velotz::tanh_sat, which computes the same
// formula for the entries inside the domain.
template <bool Gather>
VELOTZ_ALWAYS_INLINE void tanh_sat_body(Cx* dst, const Cx* z, std::size_t n) {
    std::size_t j = 0;
    const vd zero = {0.0, 0.0, 0.0, 0.0};
    const vd limit = {20.0, 20.0, 20.0, 20.0};
    for (; j + 4 <= n; j += 4) {
        const vd v0 = load(reinterpret_cast<const double*>(z + j));
        const vd v1 = load(reinterpret_cast<const double*>(z + j + 2));
        const vd x = VELOTZ_SHUFFLE(v0, v1, 0, 2, 4, 6);
        const vd y = VELOTZ_SHUFFLE(v0, v1, 1, 3, 5, 7);
        if (all_lanes<Gather>((y > zero) & (y <= x) & (x <= limit))) {
            vd re, im;
            hyper::tanh_sat_core<VectorOpsT<Gather ? 1 : 0>>(x, y, re, im);
            store(reinterpret_cast<double*>(dst + j), VELOTZ_SHUFFLE(re, im, 0, 4, 1, 5));
            store(reinterpret_cast<double*>(dst + j + 2), VELOTZ_SHUFFLE(re, im, 2, 6, 3, 7));
            continue;
        }
        for (std::size_t k = j; k < j + 4; ++k) dst[k] = velotz::tanh_sat(z[k]);
    }
    for (; j < n; ++j) dst[j] = velotz::tanh_sat(z[j]);
}
VELOTZ_SIMD_DISPATCH_AVX2T(void, tanh_sat, (Cx* dst, const Cx* z, std::size_t n), (dst, z, n))

}  // namespace velotz::kernels

// ---- Fused steps over a block in split layout (kernels.hpp).
namespace velotz::kernels {

namespace {

// recip of four entries (re, im) through cdiv's branches, as recip4 takes
// them: all four in the usual range, all on the real axis or all on the
// imaginary axis. False for any other mix; the caller then goes entry by
// entry through the scalar recip.
template <bool A>
VELOTZ_ALWAYS_INLINE bool recip_split(vd re, vd im, vd& out_re, vd& out_im) {
    const vd zero = {0.0, 0.0, 0.0, 0.0};
    const vd one = {1.0, 1.0, 1.0, 1.0};
    const vd nrm = re * re + im * im;
    const vi re_zero = re == zero;
    const vi im_zero = im == zero;
    if (all_lanes<A>(~re_zero & ~im_zero & (nrm > 1e-290) & (nrm < 1e290))) {
        const vd inv = one / nrm;
        out_re = re * inv;
        out_im = -(im * inv);
        return true;
    }
    if (all_lanes<A>(im_zero & ~re_zero)) {
        out_re = one / re;
        out_im = zero / re;
        return true;
    }
    if (all_lanes<A>(re_zero & ~im_zero)) {
        out_re = zero / im;
        out_im = (-one) / im;
        return true;
    }
    return false;
}

// rdiv(r, ·) of four entries, with the branches of rdiv_body.
template <bool A>
VELOTZ_ALWAYS_INLINE bool rdiv_split(double r, vd re, vd im, vd& out_re, vd& out_im) {
    const vd zero = {0.0, 0.0, 0.0, 0.0};
    const vd one = {1.0, 1.0, 1.0, 1.0};
    const vd rv = {r, r, r, r};
    const vd nrm = re * re + im * im;
    const vi re_zero = re == zero;
    const vi im_zero = im == zero;
    if (all_lanes<A>(~re_zero & ~im_zero & (nrm > 1e-290) & (nrm < 1e290))) {
        const vd inv = one / nrm;
        out_re = (rv * re + zero * im) * inv;
        out_im = (zero * re - rv * im) * inv;
        return true;
    }
    if (all_lanes<A>(im_zero & ~re_zero)) {
        out_re = rv / re;
        out_im = zero / re;
        return true;
    }
    if (all_lanes<A>(re_zero & ~im_zero)) {
        out_re = zero / im;
        out_im = (-rv) / im;
        return true;
    }
    return false;
}

// dst = acc + (re, im) at entries j .. j + 3.
VELOTZ_ALWAYS_INLINE void put4(Split dst, SplitIn acc, std::size_t j, vd re, vd im) {
    store(dst.re + j, load(acc.re + j) + re);
    store(dst.im + j, load(acc.im + j) + im);
}

// dst = acc + v at entry j.
VELOTZ_ALWAYS_INLINE void put1(Split dst, SplitIn acc, std::size_t j, Cx v) {
    const Cx s = Cx{acc.re[j], acc.im[j]} + v;
    dst.re[j] = s.re;
    dst.im[j] = s.im;
}

// The same into an interleaved array of Cx (the last step of a run).
VELOTZ_ALWAYS_INLINE void put4(Cx* dst, SplitIn acc, std::size_t j, vd re, vd im) {
    const vd sr = load(acc.re + j) + re;
    const vd si = load(acc.im + j) + im;
    double* d = reinterpret_cast<double*>(dst + j);
    store(d, VELOTZ_SHUFFLE(sr, si, 0, 4, 1, 5));
    store(d + 4, VELOTZ_SHUFFLE(sr, si, 2, 6, 3, 7));
}
VELOTZ_ALWAYS_INLINE void put1(Cx* dst, SplitIn acc, std::size_t j, Cx v) { dst[j] = Cx{acc.re[j], acc.im[j]} + v; }

// Entries j .. j + 3 of an array of Cx as real and imaginary parts.
VELOTZ_ALWAYS_INLINE void split4(const Cx* a, std::size_t j, vd& re, vd& im) {
    const vd v0 = load(reinterpret_cast<const double*>(a + j));
    const vd v1 = load(reinterpret_cast<const double*>(a + j + 2));
    re = VELOTZ_SHUFFLE(v0, v1, 0, 2, 4, 6);
    im = VELOTZ_SHUFFLE(v0, v1, 1, 3, 5, 7);
}

constexpr double kMaxFinite = 0x1.fffffffffffffp1023;

}  // namespace

template <bool A>
VELOTZ_ALWAYS_INLINE void block_const_add_body(Split dst, SplitIn acc, double re, double im, std::size_t n) {
    std::size_t j = 0;
    const vd r = {re, re, re, re};
    const vd i = {im, im, im, im};
    for (; j + 4 <= n; j += 4) put4(dst, acc, j, r, i);
    for (; j < n; ++j) put1(dst, acc, j, Cx{re, im});
}
VELOTZ_SIMD_DISPATCH_AVX2T(void, block_const_add, (Split dst, SplitIn acc, double re, double im, std::size_t n),
                     (dst, acc, re, im, n))

template <bool A>
VELOTZ_ALWAYS_INLINE void block_axis_add_body(Split dst, SplitIn acc, const double* w, double x, bool invert,
                                              std::size_t n) {
    std::size_t j = 0;
    const vd zero = {0.0, 0.0, 0.0, 0.0};
    const vd xv = {x, x, x, x};
    // s·x as formula::s_times forms it: ((0·ω)·x, ω·x).
    auto scalar = [&](std::size_t k) {
        const Cx z{0.0 * w[k] * x, w[k] * x};
        return invert ? recip(z) : z;
    };
    for (; j + 4 <= n; j += 4) {
        const vd wv = load(w + j);
        const vd re = (zero * wv) * xv;
        const vd im = wv * xv;
        if (!invert) {
            put4(dst, acc, j, re, im);
            continue;
        }
        vd ore, oim;
        if (recip_split<A>(re, im, ore, oim)) {
            put4(dst, acc, j, ore, oim);
        } else {
            for (std::size_t k = j; k < j + 4; ++k) put1(dst, acc, k, scalar(k));
        }
    }
    for (; j < n; ++j) put1(dst, acc, j, scalar(j));
}
VELOTZ_SIMD_DISPATCH_AVX2T(void, block_axis_add,
                     (Split dst, SplitIn acc, const double* w, double x, bool invert, std::size_t n),
                     (dst, acc, w, x, invert, n))

template <bool A>
VELOTZ_ALWAYS_INLINE void block_warburg_add_body(Split dst, SplitIn acc, const double* sqrt_w, double aw,
                                                 std::size_t n) {
    std::size_t j = 0;
    const vd a = {aw, aw, aw, aw};
    for (; j + 4 <= n; j += 4) {
        const vd sw = load(sqrt_w + j);
        put4(dst, acc, j, a / sw, (-a) / sw);
    }
    for (; j < n; ++j) put1(dst, acc, j, Cx{aw / sqrt_w[j], -aw / sqrt_w[j]});
}
VELOTZ_SIMD_DISPATCH_AVX2T(void, block_warburg_add, (Split dst, SplitIn acc, const double* sqrt_w, double aw, std::size_t n),
                     (dst, acc, sqrt_w, aw, n))

// formula::impedance<Cpe> at entry k: recip(q·pow_of_s_times((0·ω, ω), p)).
VELOTZ_ALWAYS_INLINE Cx cpe_scalar(const double* w, const double* rp, double p, double cos_p, double sin_p, double q,
                                   std::size_t k) {
    const Cx part = w[k] > 0.0 && w[k] <= kMaxFinite ? Cx{rp[k] * cos_p, rp[k] * sin_p} : cpow(Cx{0.0 * w[k], w[k]}, p);
    return recip(q * part);
}

// block_cpe_add at entries j .. j + 3: all four on recip_split's branches,
// or one by one through cpe_scalar.
template <bool A>
VELOTZ_ALWAYS_INLINE void cpe_add4(Split dst, SplitIn acc, const double* w, const double* rp, double p, double cos_p,
                                   double sin_p, double q, std::size_t j) {
    const vd wv = load(w + j);
    vd ore, oim;
    if (all_lanes<A>((wv > vd{0.0, 0.0, 0.0, 0.0}) & (wv <= vd{kMaxFinite, kMaxFinite, kMaxFinite, kMaxFinite}))) {
        const vd r = load(rp + j);
        const vd c = {cos_p, cos_p, cos_p, cos_p}, s = {sin_p, sin_p, sin_p, sin_p}, qv = {q, q, q, q};
        if (recip_split<A>(qv * (r * c), qv * (r * s), ore, oim)) {
            put4(dst, acc, j, ore, oim);
            return;
        }
    }
    for (std::size_t k = j; k < j + 4; ++k) put1(dst, acc, k, cpe_scalar(w, rp, p, cos_p, sin_p, q, k));
}

// Eight entries per pass with one test when all eight have ω > 0 finite and
// take cdiv's usual branch (as in block_recip_add_body), else cpe_add4 on
// each half.
template <bool A>
VELOTZ_ALWAYS_INLINE void block_cpe_add_body(Split dst, SplitIn acc, const double* w, const double* rp, double p,
                                             double cos_p, double sin_p, double q, std::size_t n) {
    std::size_t j = 0;
    const vd zero = {0.0, 0.0, 0.0, 0.0};
    const vd one = {1.0, 1.0, 1.0, 1.0};
    const vd huge = {kMaxFinite, kMaxFinite, kMaxFinite, kMaxFinite};
    const vd tiny_n = {1e-290, 1e-290, 1e-290, 1e-290};
    const vd huge_n = {1e290, 1e290, 1e290, 1e290};
    const vd c = {cos_p, cos_p, cos_p, cos_p};
    const vd s = {sin_p, sin_p, sin_p, sin_p};
    const vd qv = {q, q, q, q};
    for (; j + 8 <= n; j += 8) {
        const vd w0 = load(w + j), w1 = load(w + j + 4);
        const vd r0 = load(rp + j), r1 = load(rp + j + 4);
        const vd re0 = qv * (r0 * c), im0 = qv * (r0 * s);
        const vd re1 = qv * (r1 * c), im1 = qv * (r1 * s);
        const vd n0 = re0 * re0 + im0 * im0;
        const vd n1 = re1 * re1 + im1 * im1;
        const vi ok = (w0 > zero) & (w0 <= huge) & (w1 > zero) & (w1 <= huge) & ((re0 * im0) != zero) &
                      ((re1 * im1) != zero) & (n0 > tiny_n) & (n0 < huge_n) & (n1 > tiny_n) & (n1 < huge_n);
        if (all_lanes<A>(ok)) {
            const vd i0 = one / n0, i1 = one / n1;
            put4(dst, acc, j, re0 * i0, -(im0 * i0));
            put4(dst, acc, j + 4, re1 * i1, -(im1 * i1));
        } else {
            cpe_add4<A>(dst, acc, w, rp, p, cos_p, sin_p, q, j);
            cpe_add4<A>(dst, acc, w, rp, p, cos_p, sin_p, q, j + 4);
        }
    }
    for (; j + 4 <= n; j += 4) cpe_add4<A>(dst, acc, w, rp, p, cos_p, sin_p, q, j);
    for (; j < n; ++j) put1(dst, acc, j, cpe_scalar(w, rp, p, cos_p, sin_p, q, j));
}
VELOTZ_SIMD_DISPATCH_AVX2T(void, block_cpe_add,
                     (Split dst, SplitIn acc, const double* w, const double* rp, double p, double cos_p, double sin_p,
                      double q, std::size_t n),
                     (dst, acc, w, rp, p, cos_p, sin_p, q, n))

// block_part_add at entries j .. j + 3: recip_split or rdiv_split, or one
// by one through the scalar operations.
template <bool A>
VELOTZ_ALWAYS_INLINE void part_add4(Split dst, SplitIn acc, const Cx* part, double r, bool scaled_recip,
                                    std::size_t j) {
    const vd rv = {r, r, r, r};
    vd re, im, ore, oim;
    split4(part, j, re, im);
    const bool done = scaled_recip ? recip_split<A>(rv * re, rv * im, ore, oim) : rdiv_split<A>(r, re, im, ore, oim);
    if (done) {
        put4(dst, acc, j, ore, oim);
        return;
    }
    for (std::size_t k = j; k < j + 4; ++k) {
        put1(dst, acc, k, scaled_recip ? recip(r * part[k]) : rdiv(r, part[k]));
    }
}

// Eight entries per pass with one test when all eight take the usual branch
// of the division (as in block_recip_add_body), else part_add4 on each half.
template <bool A>
VELOTZ_ALWAYS_INLINE void block_part_add_body(Split dst, SplitIn acc, const Cx* part, double r, bool scaled_recip,
                                              std::size_t n) {
    std::size_t j = 0;
    const vd zero = {0.0, 0.0, 0.0, 0.0};
    const vd one = {1.0, 1.0, 1.0, 1.0};
    const vd rv = {r, r, r, r};
    const vd tiny = {1e-290, 1e-290, 1e-290, 1e-290};
    const vd huge = {1e290, 1e290, 1e290, 1e290};
    for (; j + 8 <= n; j += 8) {
        vd re0, im0, re1, im1;
        split4(part, j, re0, im0);
        split4(part, j + 4, re1, im1);
        if (scaled_recip) {
            re0 = rv * re0;
            im0 = rv * im0;
            re1 = rv * re1;
            im1 = rv * im1;
        }
        const vd n0 = re0 * re0 + im0 * im0;
        const vd n1 = re1 * re1 + im1 * im1;
        const vi ok = ((re0 * im0) != zero) & ((re1 * im1) != zero) & (n0 > tiny) & (n0 < huge) & (n1 > tiny) &
                      (n1 < huge);
        if (!all_lanes<A>(ok)) {
            part_add4<A>(dst, acc, part, r, scaled_recip, j);
            part_add4<A>(dst, acc, part, r, scaled_recip, j + 4);
            continue;
        }
        const vd i0 = one / n0, i1 = one / n1;
        if (scaled_recip) {
            put4(dst, acc, j, re0 * i0, -(im0 * i0));
            put4(dst, acc, j + 4, re1 * i1, -(im1 * i1));
        } else {
            // cdiv's sums for the numerator (r, 0), as rdiv_split forms them.
            put4(dst, acc, j, (rv * re0 + zero * im0) * i0, (zero * re0 - rv * im0) * i0);
            put4(dst, acc, j + 4, (rv * re1 + zero * im1) * i1, (zero * re1 - rv * im1) * i1);
        }
    }
    for (; j + 4 <= n; j += 4) part_add4<A>(dst, acc, part, r, scaled_recip, j);
    for (; j < n; ++j) put1(dst, acc, j, scaled_recip ? recip(r * part[j]) : rdiv(r, part[j]));
}
VELOTZ_SIMD_DISPATCH_AVX2T(void, block_part_add,
                     (Split dst, SplitIn acc, const Cx* part, double r, bool scaled_recip, std::size_t n),
                     (dst, acc, part, r, scaled_recip, n))

template <bool A>
VELOTZ_ALWAYS_INLINE void block_values_add_body(Split dst, SplitIn acc, const Cx* values, std::size_t n) {
    std::size_t j = 0;
    for (; j + 4 <= n; j += 4) {
        vd re, im;
        split4(values, j, re, im);
        put4(dst, acc, j, re, im);
    }
    for (; j < n; ++j) put1(dst, acc, j, values[j]);
}
VELOTZ_SIMD_DISPATCH_AVX2T(void, block_values_add, (Split dst, SplitIn acc, const Cx* values, std::size_t n),
                     (dst, acc, values, n))

// block_recip_add at entries j .. j + 3: through recip_split, or one by one
// through the scalar recip.
template <bool A, class Dst>
VELOTZ_ALWAYS_INLINE void recip_add4(Dst dst, SplitIn acc, SplitIn src, std::size_t j) {
    vd ore, oim;
    if (recip_split<A>(load(src.re + j), load(src.im + j), ore, oim)) {
        put4(dst, acc, j, ore, oim);
    } else {
        for (std::size_t k = j; k < j + 4; ++k) put1(dst, acc, k, velotz::recip(Cx{src.re[k], src.im[k]}));
    }
}

template <bool A, class Dst>
VELOTZ_ALWAYS_INLINE void block_recip_add_body(Dst dst, SplitIn acc, SplitIn src, std::size_t n) {
    // Eight entries per pass with one test when all eight take cdiv's usual
    // branch (recip_split's first): re·im != 0 stands for "neither part is
    // zero" (a product that underflows only sends its group on to
    // recip_add4, which decides exactly).
    const vd zero = {0.0, 0.0, 0.0, 0.0};
    const vd one = {1.0, 1.0, 1.0, 1.0};
    const vd tiny = {1e-290, 1e-290, 1e-290, 1e-290};
    const vd huge = {1e290, 1e290, 1e290, 1e290};
    std::size_t j = 0;
    for (; j + 8 <= n; j += 8) {
        const vd re0 = load(src.re + j), im0 = load(src.im + j);
        const vd re1 = load(src.re + j + 4), im1 = load(src.im + j + 4);
        const vd n0 = re0 * re0 + im0 * im0;
        const vd n1 = re1 * re1 + im1 * im1;
        const vi ok = ((re0 * im0) != zero) & ((re1 * im1) != zero) & (n0 > tiny) & (n0 < huge) & (n1 > tiny) &
                      (n1 < huge);
        if (all_lanes<A>(ok)) {
            const vd i0 = one / n0, i1 = one / n1;
            put4(dst, acc, j, re0 * i0, -(im0 * i0));
            put4(dst, acc, j + 4, re1 * i1, -(im1 * i1));
        } else {
            recip_add4<A, Dst>(dst, acc, src, j);
            recip_add4<A, Dst>(dst, acc, src, j + 4);
        }
    }
    for (; j + 4 <= n; j += 4) recip_add4<A, Dst>(dst, acc, src, j);
    for (; j < n; ++j) put1(dst, acc, j, velotz::recip(Cx{src.re[j], src.im[j]}));
}
VELOTZ_SIMD_DISPATCH_AVX2T(void, block_recip_add, (Split dst, SplitIn acc, SplitIn src, std::size_t n), (dst, acc, src, n))
template <bool A>
VELOTZ_ALWAYS_INLINE void block_recip_add_into_body(Cx* out, SplitIn acc, SplitIn src, std::size_t n) {
    block_recip_add_body<A, Cx*>(out, acc, src, n);
}
VELOTZ_SIMD_DISPATCH_AVX2T(void, block_recip_add_into, (Cx* out, SplitIn acc, SplitIn src, std::size_t n),
                           (out, acc, src, n))

template <bool A>
VELOTZ_ALWAYS_INLINE void block_interleave_body(Cx* out, SplitIn src, std::size_t n) {
    std::size_t j = 0;
    double* d = reinterpret_cast<double*>(out);
    for (; j + 4 <= n; j += 4) {
        const vd re = load(src.re + j);
        const vd im = load(src.im + j);
        store(d + 2 * j, VELOTZ_SHUFFLE(re, im, 0, 4, 1, 5));
        store(d + 2 * j + 4, VELOTZ_SHUFFLE(re, im, 2, 6, 3, 7));
    }
    for (; j < n; ++j) out[j] = Cx{src.re[j], src.im[j]};
}
VELOTZ_SIMD_DISPATCH_AVX2T(void, block_interleave, (Cx* out, SplitIn src, std::size_t n), (out, src, n))

}  // namespace velotz::kernels
