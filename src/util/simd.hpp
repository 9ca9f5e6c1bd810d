#pragma once
// The vector types of the hand-vectorised kernels (circuit/kernels.cpp,
// fit/lmder.cpp, nn/kernels.cpp), their shared helpers, and the one way a
// kernel is compiled for several instruction-set levels and picked at run time.
//
// How the kernels are picked: each kernel is written once as an always-inline
// body and compiled into one function per level (the baseline, and with
// `target("avx2")` or `target("avx512f,avx512vl")` where the platform allows);
// a small dispatcher calls the function of the level in use, `simd::level()`.
// That level is the best the CPU offers (`__builtin_cpu_supports`, read once at
// start-up) unless a test chose a lower one with `simd::use_level`. This is
// used instead of GCC's `target_clones` because
//   - the network kernels are not the same code at every level (the AVX-512
//     convolution takes larger blocks for its 32 registers, and its GELU
//     512-bit vectors), which `target_clones` cannot express: it compiles one
//     body for every target;
//   - the tests run every level on the same inputs and compare the bits, which
//     needs a way to choose the level; a loader-resolved clone cannot be chosen.
// All levels perform the same operations in the same order (no FMA: the
// project compiles with -ffp-contract=off), so they give the same bits.

#include <atomic>
#include <cstdint>
#include <cstring>

// Returning vectors by value from always-inline helpers: the ABI note GCC
// gives for 256-bit vectors never applies.
#pragma GCC diagnostic ignored "-Wpsabi"

#if defined(__GNUC__) && defined(__x86_64__) && defined(__linux__) && !defined(__clang__)
#define VELOTZ_X86_DISPATCH 1
#define VELOTZ_TARGET_AVX2 __attribute__((target("avx2")))
#define VELOTZ_TARGET_AVX512 __attribute__((target("avx512f,avx512vl")))
#else
#define VELOTZ_X86_DISPATCH 0
#endif

#ifndef VELOTZ_ALWAYS_INLINE
#define VELOTZ_ALWAYS_INLINE __attribute__((always_inline)) inline
#endif

// Lanes i0..i3 of the concatenation of two vectors of four.
#if defined(__clang__)
#define VELOTZ_SHUFFLE(a, b, i0, i1, i2, i3) __builtin_shufflevector(a, b, i0, i1, i2, i3)
#else
#define VELOTZ_SHUFFLE(a, b, i0, i1, i2, i3) __builtin_shuffle(a, b, ::velotz::simd::vi{i0, i1, i2, i3})
#endif

namespace velotz::simd {

// Four doubles (256 bits), and the integer vectors of their masks and bits.
using vd = double __attribute__((vector_size(32)));
using vi = long long __attribute__((vector_size(32)));
using vu = unsigned long long __attribute__((vector_size(32)));

// Vectors of N doubles (4: 256 bits, 8: 512 bits) for code written for either.
template <int N>
struct LaneTypes;
template <>
struct LaneTypes<4> {
    using d = vd;
    using i = vi;
    using d_unaligned = double __attribute__((vector_size(32), aligned(8), may_alias));
};
template <>
struct LaneTypes<8> {
    using d = double __attribute__((vector_size(64)));
    using i = long long __attribute__((vector_size(64)));
    using d_unaligned = double __attribute__((vector_size(64), aligned(8), may_alias));
};

VELOTZ_ALWAYS_INLINE vd load(const double* p) {
    vd v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
VELOTZ_ALWAYS_INLINE void store(double* p, const vd& v) { std::memcpy(p, &v, sizeof v); }
VELOTZ_ALWAYS_INLINE vd splat(double x) { return vd{x, x, x, x}; }

// Lanes are all-ones or zero: whether all four are set.
VELOTZ_ALWAYS_INLINE bool all(const vi& m) {
    const vi t = m & VELOTZ_SHUFFLE(m, m, 2, 3, 0, 1);
    return (t[0] & t[1]) != 0;
}

// The 4 x 4 transpose of rows a, b, c, d: out[k] = {a[k], b[k], c[k], d[k]}.
VELOTZ_ALWAYS_INLINE void transpose4(const vd& a, const vd& b, const vd& c, const vd& d, vd (&out)[4]) {
    const vd lo01 = VELOTZ_SHUFFLE(a, b, 0, 4, 2, 6);
    const vd hi01 = VELOTZ_SHUFFLE(a, b, 1, 5, 3, 7);
    const vd lo23 = VELOTZ_SHUFFLE(c, d, 0, 4, 2, 6);
    const vd hi23 = VELOTZ_SHUFFLE(c, d, 1, 5, 3, 7);
    out[0] = VELOTZ_SHUFFLE(lo01, lo23, 0, 1, 4, 5);
    out[1] = VELOTZ_SHUFFLE(hi01, hi23, 0, 1, 4, 5);
    out[2] = VELOTZ_SHUFFLE(lo01, lo23, 2, 3, 6, 7);
    out[3] = VELOTZ_SHUFFLE(hi01, hi23, 2, 3, 6, 7);
}

// ------------------------------------------------------------ levels

// Instruction-set levels: 0 baseline, 1 AVX2, 2 AVX-512 (F and VL).
constexpr int kBaseline = 0;
constexpr int kAvx2 = 1;
constexpr int kAvx512 = 2;

// The best level this CPU runs (kBaseline where there is no dispatch).
int best_level();

// The level in use. Zero before start-up has set it (a kernel called from
// another file's static initialiser runs the baseline, with the same bits).
extern std::atomic<int> current_level;
inline int level() { return current_level.load(std::memory_order_relaxed); }

// Chooses the level; a level the CPU lacks, or -1, selects the best. Returns
// the level now in use. For tests; not while kernels run on other threads.
int use_level(int level);

}  // namespace velotz::simd

// Defines `ret name params`, which runs the always-inline `name##_body args`
// compiled for the level in use: the baseline, or AVX2 from level 1 on. A file
// compiled with VELOTZ_SIMD_BASELINE_ONLY defined gets the baseline alone (a
// test builds the circuit kernels that way, to compare the two).
#if VELOTZ_X86_DISPATCH && !defined(VELOTZ_SIMD_BASELINE_ONLY)
#define VELOTZ_SIMD_DISPATCH(ret, name, params, args)                              \
    VELOTZ_TARGET_AVX2 static ret name##_avx2 params { return name##_body args; } \
    ret name params {                                                              \
        if (::velotz::simd::level() >= ::velotz::simd::kAvx2) return name##_avx2 args; \
        return name##_body args;                                                   \
    }
#else
#define VELOTZ_SIMD_DISPATCH(ret, name, params, args) \
    ret name params { return name##_body args; }
#endif

// As VELOTZ_SIMD_DISPATCH for a body templated on a bool: `name##_body<true>`
// is the AVX2 copy, and
// `name##_body<false>` the baseline (for bodies that use AVX2 instructions
// the vector extensions do not reach: gathers, vmovmskpd).
#if VELOTZ_X86_DISPATCH && !defined(VELOTZ_SIMD_BASELINE_ONLY)
#define VELOTZ_SIMD_DISPATCH_AVX2T(ret, name, params, args)                                   \
    VELOTZ_TARGET_AVX2 static ret name##_avx2 params { return name##_body<true> args; }     \
    ret name params {                                                                        \
        if (::velotz::simd::level() >= ::velotz::simd::kAvx2) return name##_avx2 args;       \
        return name##_body<false> args;                                                      \
    }
#else
#define VELOTZ_SIMD_DISPATCH_AVX2T(ret, name, params, args) \
    ret name params { return name##_body<false> args; }
#endif
