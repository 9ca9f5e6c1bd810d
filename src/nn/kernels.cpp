// The kernels of the guess network's forward pass: GELU, the dilated
// convolution, group normalisation and the dense layers, each compiled for
// the baseline, AVX2 and AVX-512 where the platform allows and picked at run
// time (util/simd.hpp). The convolutions and GELUs dominate the cost of a
// guess. No FMA: every product is rounded before it is added, as in the
// definitions, so every level gives the same bits.

#include "nn/kernels.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>

#include "util/simd.hpp"

namespace velotz {

namespace {

using nn_kernels::Tap;
using nn_kernels::Term;

constexpr double kGeluScale = 0.7978845608028654;
constexpr double kNormEps = 1e-5;

// ----------------------------------------------------------- vectors

using simd::splat;
using simd::transpose4;
using simd::vd;
using simd::vi;
constexpr int kLanes = 4;

// All lanes from one double in memory. In the AVX2 kernel this is one
// broadcast load, written out so that the compiler does not merge
// neighbouring broadcasts into a vector load and lane permutes (which would
// compete with the multiplications and additions for the same units).
template <int Isa, int Index = 0>
__attribute__((always_inline)) inline vd splat_load(const double* p) {
#if VELOTZ_X86_DISPATCH
    // The address is written as base + constant, so that the broadcasts of
    // one block share one base register.
    if constexpr (Isa >= 2) {
        // The target stays in registers 0-15 even where AVX-512 offers 32: a
        // broadcast into registers 16-31 needs the EVEX encoding, which was
        // measured about a fifth slower in the convolution on Zen 4.
        vd r;
        asm("vbroadcastsd %c2(%1), %0" : "=x"(r) : "r"(p), "i"(8 * Index), "m"(p[Index]));
        return r;
    } else if constexpr (Isa >= 1) {
        vd r;
        asm("vbroadcastsd %c2(%1), %0" : "=x"(r) : "r"(p), "i"(8 * Index), "m"(p[Index]));
        return r;
    }
#endif
    return splat(p[Index]);
}

// ----------------------------------------------------------- GELU

// tanh of each lane, within a few units in the last place: for a = |x|,
// tanh a = t / (t + 2) with t = expm1(2a); expm1(y) = 2^k (expm1(r) + 1) - 1
// with y = k ln2 + r, |r| <= ln2/2, and expm1(r) summed from its Taylor
// series (13 terms; the first omitted one is below 1e-17 relative). For
// a > 20, tanh a rounds to 1. NaN propagates; the sign of x is restored.
//
// W independent vectors of N lanes are evaluated step by step side by side:
// each alone is one long chain of dependent operations (the series alone is
// 24 deep), and interleaving them in program order lets their steps overlap.
// Every lane sees the same operations in the same order whatever W and N are.

// Vector types of N doubles (4: 256 bits; 8: 512 bits) and their helpers.

template <int N>
struct Lanes {
    using d = typename simd::LaneTypes<N>::d;
    using i = typename simd::LaneTypes<N>::i;
    using d_unaligned = typename simd::LaneTypes<N>::d_unaligned;
    static d all(double c) {
        d r;
        #pragma GCC unroll 8
        for (int k = 0; k < N; ++k) r[k] = c;
        return r;
    }
    static i bits(const d& x) {
        i r;
        std::memcpy(&r, &x, sizeof r);
        return r;
    }
    static d from_bits(const i& x) {
        d r;
        std::memcpy(&r, &x, sizeof r);
        return r;
    }
};

template <int W, int N>
__attribute__((always_inline)) inline void tanh_lanes(typename Lanes<N>::d* x) {
    using L = Lanes<N>;
    using d = typename L::d;
    using i = typename L::i;
    constexpr double kMagic = 6755399441055744.0;  // 1.5 * 2^52: rounds to an integer
    constexpr double kInvLn2 = 1.44269504088896338700e+00;
    constexpr double kLn2Hi = 6.93147180369123816490e-01;  // trailing bits zero: k * hi is exact
    constexpr double kLn2Lo = 1.90821492927058770002e-10;
    constexpr double kCoef[] = {1.0 / 479001600.0, 1.0 / 39916800.0, 1.0 / 3628800.0, 1.0 / 362880.0,
                                1.0 / 40320.0,     1.0 / 5040.0,     1.0 / 720.0,     1.0 / 120.0,
                                1.0 / 24.0,        1.0 / 6.0,        0.5};
    const i sign = L::bits(L::all(-0.0));
    i bits[W], big[W];
    d kd[W], r[W], p[W];
    #pragma GCC unroll 8
    for (int w = 0; w < W; ++w) {
        bits[w] = L::bits(x[w]);
        const d a = L::from_bits(bits[w] & ~sign);
        big[w] = a > 20.0;
        const d y = big[w] ? L::all(40.0) : a + a;
        kd[w] = (y * kInvLn2 + kMagic) - kMagic;
        r[w] = (y - kd[w] * kLn2Hi) - kd[w] * kLn2Lo;
        p[w] = L::all(1.0 / 6227020800.0);
    }
    #pragma GCC unroll 16
    for (double c : kCoef) {
        #pragma GCC unroll 8
        for (int w = 0; w < W; ++w) p[w] = p[w] * r[w] + c;
    }
    #pragma GCC unroll 8
    for (int w = 0; w < W; ++w) {
        const d er = r[w] + (r[w] * r[w]) * p[w];
        const i k = L::bits(kd[w] + kMagic) - L::bits(L::all(kMagic));
        const d two_k = L::from_bits((k + 1023) << 52);
        const d t = two_k * er + (two_k - 1.0);
        d th = t / (t + 2.0);
        th = big[w] ? L::all(1.0) : th;
        x[w] = L::from_bits(L::bits(th) | (bits[w] & sign));
    }
}

// GELU, tanh form: 0.5 x (1 + tanh(0.7978845608028654 (x + 0.044715 x^3))).
template <int W, int N>
__attribute__((always_inline)) inline void gelu_lanes(typename Lanes<N>::d* x) {
    typename Lanes<N>::d u[W];
    #pragma GCC unroll 8
    for (int w = 0; w < W; ++w) u[w] = kGeluScale * (x[w] + 0.044715 * (x[w] * x[w] * x[w]));
    tanh_lanes<W, N>(u);
    #pragma GCC unroll 8
    for (int w = 0; w < W; ++w) x[w] = 0.5 * x[w] * (1.0 + u[w]);
}

// W vectors of N lanes at a time, then single vectors, then a zero-padded
// tail. Lane count and grouping change only which values share an
// instruction, never the operations a value goes through.
template <int W, int N>
__attribute__((always_inline)) inline void gelu_body(double* __restrict v, std::size_t n) {
    using L = Lanes<N>;
    using d = typename L::d;
    using du = typename L::d_unaligned;
    std::size_t i = 0;
    for (; i + W * N <= n; i += W * N) {
        d x[W];
        #pragma GCC unroll 8
        for (int w = 0; w < W; ++w) x[w] = *reinterpret_cast<const du*>(v + i + N * w);
        gelu_lanes<W, N>(x);
        #pragma GCC unroll 8
        for (int w = 0; w < W; ++w) *reinterpret_cast<du*>(v + i + N * w) = x[w];
    }
    for (; i + N <= n; i += N) {
        d x = *reinterpret_cast<const du*>(v + i);
        gelu_lanes<1, N>(&x);
        *reinterpret_cast<du*>(v + i) = x;
    }
    if (i < n) {
        double tmp[N] = {};
        std::memcpy(tmp, v + i, (n - i) * sizeof(double));
        d x = *reinterpret_cast<const du*>(tmp);
        gelu_lanes<1, N>(&x);
        *reinterpret_cast<du*>(tmp) = x;
        std::memcpy(v + i, tmp, (n - i) * sizeof(double));
    }
}

void gelu_portable(double* __restrict v, std::size_t n) { gelu_body<1, kLanes>(v, n); }
#if VELOTZ_X86_DISPATCH
VELOTZ_TARGET_AVX2 void gelu_avx2(double* __restrict v, std::size_t n) { gelu_body<2, kLanes>(v, n); }
// Here 512-bit vectors: GELU is bound by the latency of each value's long
// chain of operations, not by throughput, and with half as many instructions
// per value twice as many values are in flight at once.
VELOTZ_TARGET_AVX512 void gelu_avx512(double* __restrict v, std::size_t n) {
    gelu_body<4, 8>(v, n);
}
#endif

// ----------------------------------------------------------- convolution

constexpr int kRowVecs = 2;              // vectors of output channels per block
constexpr int kRows = kLanes * kRowVecs;  // output channels per block
// Output positions per block: 4 with 16 vector registers, 8 with the 32 of
// AVX-512 (2 x 8 chains of additions then keep both adders busy).
constexpr std::size_t kMaxBlock = 8;
template <int Isa>
constexpr std::size_t kBlockOf = Isa >= 2 ? 8 : 4;

// How a group of kRows output channels is convolved (PackedConv::zero_groups).
constexpr unsigned char kGroupPlain = 0;      // edge terms may read the zero padding
constexpr unsigned char kGroupNeedsMask = 2;  // edge terms must be left out
constexpr unsigned char kGroupHasZero = 1;    // zero weights must be skipped as well

// Whether a convolution reads padded input rows: the masked groups and the
// channels left over after the full groups do; the plain groups read a strip.
inline bool reads_padded_rows(std::size_t cout, const unsigned char* zero_rows) {
    if (cout % kRows != 0) return true;
    for (std::size_t g = 0; g < cout / kRows; ++g) {
        if (zero_rows[g] != kGroupPlain) return true;
    }
    return false;
}

// Writes a block's sums, acc[t][v] holding output channels o + kLanes v ...
// o + kLanes v + 3 at position t0 + t, to the channel-major output. Full
// blocks are transposed four positions at a time in registers and stored
// as rows; a block cut short by the end of the grid goes value by value.
template <int RV, std::size_t B>
__attribute__((always_inline)) inline void store_block(const vd (&acc)[B][RV], std::size_t o, std::size_t len,
                                                       std::size_t t0, double* __restrict out) {
    constexpr int T = static_cast<int>(B);
    double* const base = out + o * len + t0;
    if (len - t0 >= B) {
        #pragma GCC unroll 8
        for (int v = 0; v < RV; ++v) {
            #pragma GCC unroll 8
            for (int t = 0; t < T; t += 4) {
                vd rows[4];
                transpose4(acc[t][v], acc[t + 1][v], acc[t + 2][v], acc[t + 3][v], rows);
                #pragma GCC unroll 4
                for (int r = 0; r < 4; ++r) {
                    std::memcpy(base + static_cast<std::size_t>(kLanes * v + r) * len + static_cast<std::size_t>(t),
                                &rows[r], sizeof(vd));
                }
            }
        }
        return;
    }
    const std::size_t n = len - t0;
    #pragma GCC unroll 8
    for (int v = 0; v < RV; ++v) {
        double tmp[T][kLanes];
        #pragma GCC unroll 8
        for (int t = 0; t < T; ++t) std::memcpy(tmp[t], &acc[t][v], sizeof(vd));
        for (int r = 0; r < kLanes; ++r) {
            double* dst = base + static_cast<std::size_t>(kLanes * v + r) * len;
            for (std::size_t t = 0; t < n; ++t) dst[t] = tmp[t][r];
        }
    }
}

// Output channels o .. o + R - 1 (R = kLanes * RV) at positions
// [t0, t0 + B) are computed together, vectorised across the channels:
// out[o][t] = bias[o] + sum over c, j (in that order) of w[o][c][j] * in[c][t + off_j],
// with absent taps and zero weights skipped. Each output value is one chain
// of additions in that fixed order; B x RV vector chains are in flight.
// `pw` holds the R rows' weights as [c][j][r]; `panel` the block's inputs as
// [t][term]. Masked handles terms present at only some positions; SkipZero
// skips zero weights (lane by lane: the sum is left unchanged). Groups that
// may read absent edge terms as zero padding take conv_block_strip instead.
template <int RV, bool Masked, bool SkipZero, std::size_t B>
__attribute__((always_inline)) inline void conv_block(const double* __restrict pw, const double* __restrict bias,
                                                      std::size_t o, const Term* __restrict terms,
                                                      std::size_t nterms, const unsigned char* __restrict live,
                                                      const double* __restrict panel, std::size_t len,
                                                      std::size_t t0, double* __restrict out) {
    constexpr int T = static_cast<int>(B);
    vd acc[T][RV];
    vd b[RV];
    #pragma GCC unroll 8
    for (int v = 0; v < RV; ++v) std::memcpy(&b[v], bias + o + static_cast<std::size_t>(kLanes * v), sizeof(vd));
    #pragma GCC unroll 8
    for (int t = 0; t < T; ++t) {
        #pragma GCC unroll 8
        for (int v = 0; v < RV; ++v) acc[t][v] = b[v];
    }
    #pragma GCC unroll 2
    for (std::size_t m = 0; m < nterms; ++m) {
        vd wv[RV];
        #pragma GCC unroll 8
        for (int v = 0; v < RV; ++v) std::memcpy(&wv[v], pw + terms[m].wofs + kLanes * v, sizeof(vd));
        vi nonzero[RV];
        if constexpr (SkipZero) {
            #pragma GCC unroll 8
            for (int v = 0; v < RV; ++v) nonzero[v] = wv[v] != 0.0;
        }
        const unsigned char* lv = live + terms[m].mask * B;
        // Position t of the block, with t a constant.
        const auto position = [&]<int t>() __attribute__((always_inline)) {
            if (Masked && !lv[t]) return;
            const vd x = splat(panel[static_cast<std::size_t>(t) * nterms + m]);
            #pragma GCC unroll 8
            for (int v = 0; v < RV; ++v) {
                if constexpr (SkipZero) {
                    const vd sum = acc[t][v] + wv[v] * x;
                    acc[t][v] = nonzero[v] ? sum : acc[t][v];
                } else {
                    acc[t][v] += wv[v] * x;
                }
            }
        };
        [&]<int... t>(std::integer_sequence<int, t...>) __attribute__((always_inline)) {
            (position.template operator()<t>(), ...);
        }(std::make_integer_sequence<int, T>{});
    }
    store_block<RV, B>(acc, o, len, t0, out);
}

// The same sum for the groups that read absent edge terms as zero padding,
// from a strip: the block's inputs term by term, [term][t], so that the B
// broadcasts of one term come from one run of B values and the term loop
// needs no descriptors. The block's live taps are j = ja ... ja + run - 1 of
// every input channel (a contiguous range: taps are ordered by offset), so
// term (c, ja + n) uses the weights at pw + ((c * k + ja + n) * kRows).
template <int RV, int Isa, std::size_t B>
__attribute__((always_inline)) inline void conv_block_strip(const double* __restrict pw, const double* __restrict bias,
                                                            std::size_t o, std::size_t cin, std::size_t k,
                                                            std::size_t ja, std::size_t run,
                                                            const double* __restrict strip, std::size_t len,
                                                            std::size_t t0, double* __restrict out) {
    constexpr int T = static_cast<int>(B);
    vd acc[T][RV];
    vd b[RV];
    #pragma GCC unroll 8
    for (int v = 0; v < RV; ++v) std::memcpy(&b[v], bias + o + static_cast<std::size_t>(kLanes * v), sizeof(vd));
    #pragma GCC unroll 8
    for (int t = 0; t < T; ++t) {
        #pragma GCC unroll 8
        for (int v = 0; v < RV; ++v) acc[t][v] = b[v];
    }
    // One term: its weights at w, its B inputs at x.
    const auto term = [&](const double* __restrict w, const double* __restrict x) __attribute__((always_inline)) {
        vd wv[RV];
        #pragma GCC unroll 8
        for (int v = 0; v < RV; ++v) std::memcpy(&wv[v], w + kLanes * v, sizeof(vd));
        [&]<int... t>(std::integer_sequence<int, t...>) __attribute__((always_inline)) {
            ([&] {
                const vd xv = splat_load<Isa, t>(x);
                #pragma GCC unroll 8
                for (int v = 0; v < RV; ++v) acc[t][v] += wv[v] * xv;
            }(), ...);
        }(std::make_integer_sequence<int, T>{});
    };
    const double* w = pw + ja * kRows;
    for (std::size_t c = 0; c < cin; ++c) {
        for (std::size_t n = 0; n < run; ++n) term(w + n * kRows, strip + n * B);
        w += k * kRows;
        strip += run * B;
    }
    store_block<RV, B>(acc, o, len, t0, out);
}

// The same sum for one output channel, scalar; for the channels left over
// after the full groups.
template <std::size_t B>
inline void conv_row(const double* __restrict w, double bias, const Term* __restrict terms, std::size_t nterms,
                     const unsigned char* __restrict live, const double* __restrict panel, std::size_t len,
                     std::size_t t0, double* __restrict out) {
    const std::size_t n = std::min(B, len - t0);
    for (std::size_t t = 0; t < n; ++t) {
        double acc = bias;
        for (std::size_t m = 0; m < nterms; ++m) {
            const double wt = w[terms[m].cj];
            if (wt == 0.0 || !live[terms[m].mask * B + t]) continue;
            acc += wt * panel[t * nterms + m];
        }
        out[t0 + t] = acc;
    }
}

// `raw` is the input, cin rows of len values. `in` is the same padded (row c
// starts at in + c * stride + lead, and every read of a live tap stays inside
// the row); only the masked groups and the leftover channels read it, and it
// may be empty when there are none. `packed` holds the weights of each group of
// kRows output channels as [c][j][r]; `zero_rows[g]` tells whether group g
// has a zero weight. `terms` has room for cin * k entries, `panel` for
// 2 * cin * k * kMaxBlock + 8 values (the panel of the masked groups, then the
// strip of the others on a cache-line boundary), `live` for (k + 1) *
// kMaxBlock flags and `state` for k (each tap's state in the previous block).

template <int Isa>
__attribute__((always_inline)) inline void conv_kernel_body(const double* __restrict w, const double* __restrict bias, std::size_t cout,
                 std::size_t cin, std::size_t k, const Tap* __restrict taps, const double* __restrict packed,
                 const unsigned char* __restrict zero_rows, Term* __restrict terms, double* __restrict panel,
                 unsigned char* __restrict live, unsigned char* __restrict state, const double* __restrict raw,
                 const double* __restrict in, std::size_t stride, std::size_t lead, std::size_t len,
                 double* __restrict out) {
    constexpr std::size_t kBlock = kBlockOf<Isa>;
    std::fill(live, live + kBlock, 1);
    const bool needs_panel = reads_padded_rows(cout, zero_rows);
    const unsigned char* const zero_end = zero_rows + cout / kRows;
    const bool needs_strip = std::find(zero_rows, zero_end, kGroupPlain) != zero_end;
    // The strip follows the panel, on a cache-line boundary.
    const auto strip_at = reinterpret_cast<std::uintptr_t>(panel + cin * k * kMaxBlock);
    double* __restrict strip = reinterpret_cast<double*>((strip_at + 63) & ~std::uintptr_t{63});
    const auto block = static_cast<std::ptrdiff_t>(kBlock);
    std::size_t nterms = 0;
    for (std::size_t t0 = 0; t0 < len; t0 += kBlock) {
        const auto t = static_cast<std::ptrdiff_t>(t0);
        // Which positions of the block have each tap; `partial` when a tap
        // is present at only some of them. Each tap's state (0 absent,
        // 1 whole, 2 partial) decides the block's terms.
        bool partial = false;
        bool same = t0 > 0;
        for (std::size_t j = 0; j < k; ++j) {
            const Tap& tap = taps[j];
            const bool absent = tap.hi <= t || tap.lo >= t + block;
            const bool whole = !absent && tap.lo <= t && t + block <= tap.hi;
            const unsigned char st = absent ? 0 : (whole ? 1 : 2);
            same = same && state[j] == st;
            state[j] = st;
            if (st != 2) continue;
            partial = true;
            for (std::size_t i = 0; i < kBlock; ++i) {
                const std::ptrdiff_t pos = t + static_cast<std::ptrdiff_t>(i);
                live[(j + 1) * kBlock + i] = pos >= tap.lo && pos < tap.hi;
            }
        }
        // The block's terms in summation order (input channel, then tap);
        // the same as the previous block's when every tap has the same state
        // (the interior of the grid), since a term's offsets are relative to
        // the block's first position.
        if (needs_panel && !same) {
            nterms = 0;
            for (std::size_t c = 0; c < cin; ++c) {
                for (std::size_t j = 0; j < k; ++j) {
                    if (state[j] == 0) continue;
                    terms[nterms++] = Term{c * k + j, (c * k + j) * kRows, state[j] == 1 ? 0 : j + 1};
                }
            }
        }
        // The masked kernels read their inputs from a panel, position-major,
        // so each is broadcast straight from memory.
        if (needs_panel) {
            std::size_t m = 0;
            for (std::size_t c = 0; c < cin; ++c) {
                const double* row = in + c * stride + lead + t0;
                for (std::size_t j = 0; j < k; ++j) {
                    const Tap& tap = taps[j];
                    if (tap.hi <= t || tap.lo >= t + block) continue;
                    for (std::size_t i = 0; i < kBlock; ++i) {
                        panel[i * nterms + m] = row[tap.off + static_cast<std::ptrdiff_t>(i)];
                    }
                    ++m;
                }
            }
        }
        // The live taps of this block, ja ... ja + run - 1, and the strip of
        // their inputs (reading the zero padding where a tap is partial).
        std::size_t ja = 0;
        std::size_t run = 0;
        for (std::size_t j = 0; j < k; ++j) {
            if (state[j] == 0) continue;
            if (run == 0) ja = j;
            run = j + 1 - ja;
        }
        if (needs_strip) {
            const auto n = static_cast<std::ptrdiff_t>(len);
            double* dst = strip;
            for (std::size_t c = 0; c < cin; ++c) {
                const double* row = raw + c * len;
                for (std::size_t j = ja; j < ja + run; ++j) {
                    const std::ptrdiff_t first = t + taps[j].off;
                    if (first >= 0 && first + block <= n) {
                        std::memcpy(dst, row + first, kBlock * sizeof(double));
                    } else {
                        for (std::ptrdiff_t i = 0; i < block; ++i) {
                            const std::ptrdiff_t pos = first + i;
                            dst[i] = pos >= 0 && pos < n ? row[pos] : 0.0;
                        }
                    }
                    dst += kBlock;
                }
            }
        }
        std::size_t o = 0;
        for (; o + kRows <= cout; o += kRows) {
            const double* pw = packed + o * cin * k;
            const unsigned char kind = zero_rows[o / kRows];
            if (kind == kGroupHasZero) {
                conv_block<kRowVecs, true, true, kBlock>(pw, bias, o, terms, nterms, live, panel, len, t0, out);
            } else if (partial && kind == kGroupNeedsMask) {
                conv_block<kRowVecs, true, false, kBlock>(pw, bias, o, terms, nterms, live, panel, len, t0, out);
            } else if (kind == kGroupNeedsMask) {
                conv_block<kRowVecs, false, false, kBlock>(pw, bias, o, terms, nterms, live, panel, len, t0, out);
            } else {
                conv_block_strip<kRowVecs, Isa, kBlock>(pw, bias, o, cin, k, ja, run, strip, len, t0, out);
            }
        }
        for (; o < cout; ++o) {
            conv_row<kBlock>(w + o * cin * k, bias[o], terms, nterms, live, panel, len, t0, out + o * len);
        }
    }
}

#define VELOTZ_CONV_ARGS                                                                                          \
    const double *__restrict w, const double *__restrict bias, std::size_t cout, std::size_t cin, std::size_t k,  \
        const Tap *__restrict taps, const double *__restrict packed, const unsigned char *__restrict zero_rows,   \
        Term *__restrict terms, double *__restrict panel, unsigned char *__restrict live,                         \
        unsigned char *__restrict state, const double *__restrict raw, const double *__restrict in, std::size_t stride, std::size_t lead, std::size_t len, double *__restrict out
#define VELOTZ_CONV_PASS w, bias, cout, cin, k, taps, packed, zero_rows, terms, panel, live, state, raw, in, stride, lead, len, out

// The same kernel for the baseline instruction set, for AVX2 and for
// AVX-512, picked once at run time. All perform the same operations in the
// same order on the same values (no FMA: this file is compiled with
// -ffp-contract=off), so they give the same bits. The AVX-512 kernel keeps
// 256-bit vectors and uses the extension for its 32 registers (larger
// blocks): on CPUs that execute 512-bit operations as two 256-bit halves
// (Zen 4), 512-bit multiplications and additions were measured slower.
void conv_kernel_portable(VELOTZ_CONV_ARGS) { conv_kernel_body<0>(VELOTZ_CONV_PASS); }
#if VELOTZ_X86_DISPATCH
VELOTZ_TARGET_AVX2 void conv_kernel_avx2(VELOTZ_CONV_ARGS) { conv_kernel_body<1>(VELOTZ_CONV_PASS); }
VELOTZ_TARGET_AVX512 void conv_kernel_avx512(VELOTZ_CONV_ARGS) {
    conv_kernel_body<2>(VELOTZ_CONV_PASS);
}
#endif

// GELU follows the same choice (all levels give the same bits).
void gelu_kernel(double* __restrict v, std::size_t n) {
#if VELOTZ_X86_DISPATCH
    switch (simd::level()) {
        case simd::kAvx512: gelu_avx512(v, n); return;
        case simd::kAvx2: gelu_avx2(v, n); return;
        default: break;
    }
#endif
    gelu_portable(v, n);
}

void conv_kernel(VELOTZ_CONV_ARGS) {
#if VELOTZ_X86_DISPATCH
    switch (simd::level()) {
        case simd::kAvx512: conv_kernel_avx512(VELOTZ_CONV_PASS); return;
        case simd::kAvx2: conv_kernel_avx2(VELOTZ_CONV_PASS); return;
        default: break;
    }
#endif
    conv_kernel_portable(VELOTZ_CONV_PASS);
}
#undef VELOTZ_CONV_ARGS
#undef VELOTZ_CONV_PASS

}  // namespace

// Weights of each group of kRows output channels interleaved as [c][j][r],
// and which groups hold a zero weight (those take the exact general path).
Guesser::PackedConv Guesser::pack_conv(const double* w, const double* bias, std::size_t cout, std::size_t cin,
                                       std::size_t k) {
    const std::size_t groups = cout / kRows;
    const std::size_t span = cin * k;
    PackedConv p;
    p.weights.resize(groups * kRows * span);
    p.zero_groups.resize(groups);
    for (std::size_t g = 0; g < groups; ++g) {
        const double* begin = w + g * kRows * span;
        // A group whose weights are all finite and non-zero and whose biases
        // are not -0.0 may add the absent edge terms as products with the
        // zero padding: w * 0 is a signed zero, and a sum that starts from a
        // bias other than -0.0 can never be -0.0 (round to nearest gives
        // -0.0 only for -0.0 + -0.0), so adding a signed zero leaves it
        // unchanged bit for bit. Other groups take the masked kernel.
        const bool has_zero = std::find(begin, begin + kRows * span, 0.0) != begin + kRows * span;
        const bool all_finite = std::all_of(begin, begin + kRows * span, [](double x) { return std::isfinite(x); });
        const bool neg_zero_bias = bias != nullptr && std::any_of(bias + g * kRows, bias + (g + 1) * kRows, [](double x) {
            return x == 0.0 && std::signbit(x);
        });
        p.zero_groups[g] = has_zero ? kGroupHasZero : (all_finite && !neg_zero_bias ? kGroupPlain : kGroupNeedsMask);
        double* dst = p.weights.data() + g * kRows * span;
        for (std::size_t r = 0; r < kRows; ++r) {
            for (std::size_t i = 0; i < span; ++i) dst[i * kRows + r] = begin[r * span + i];
        }
    }
    return p;
}

namespace {

// Networks with very long kernels would need a panel far larger than their
// weights; they take the plain loop, which needs no working memory.
constexpr std::size_t kMaxPanelTerms = std::size_t{1} << 16;

void convolve_direct(const double* w, const double* bias, std::size_t cout, std::size_t cin, std::size_t k,
                     const Tap* taps, const double* in, std::size_t len, double* out) {
    for (std::size_t o = 0; o < cout; ++o) {
        double* dst = out + o * len;
        std::fill(dst, dst + len, bias[o]);
        for (std::size_t c = 0; c < cin; ++c) {
            for (std::size_t j = 0; j < k; ++j) {
                const double wt = w[(o * cin + c) * k + j];
                const Tap& tap = taps[j];
                if (wt == 0.0) continue;
                const double* src = in + c * len;
                for (std::ptrdiff_t t = tap.lo; t < tap.hi; ++t) dst[t] += wt * src[t + tap.off];
            }
        }
    }
}

}  // namespace

namespace nn_kernels {

// Dilated same-length convolution of `in` (cin x len) into `out` (cout x len).
void convolve(const double* w, const Guesser::PackedConv& packed, const double* bias, std::size_t cout,
              std::size_t cin, std::size_t k, std::size_t dilation, std::span<const double> in, std::size_t len,
              ConvScratch& s, double* out) {
    if (len == 0 || cout == 0) return;
    // pad = floor(d (K - 1) / 2); K fits 32 bits, so these products fit 128.
    using wide = __int128;
    const wide d = static_cast<wide>(dilation);
    const wide pad = d * static_cast<wide>(k - 1) / 2;
    const wide n = static_cast<wide>(len);
    s.taps.resize(k);
    std::ptrdiff_t lead = 0;
    std::ptrdiff_t trail = 0;
    std::size_t live = 0;
    for (std::size_t j = 0; j < k; ++j) {
        const wide off = static_cast<wide>(j) * d - pad;
        if (off <= -n || off >= n) {
            s.taps[j] = Tap{0, 0, 0};
            continue;
        }
        const auto o = static_cast<std::ptrdiff_t>(off);
        const auto l = static_cast<std::ptrdiff_t>(len);
        s.taps[j] = Tap{o, std::max<std::ptrdiff_t>(0, -o), std::min(l, l - o)};
        ++live;
        lead = std::max(lead, -o);
        trail = std::max(trail, o);
    }
    if (live * cin > kMaxPanelTerms) {
        convolve_direct(w, bias, cout, cin, k, s.taps.data(), in.data(), len, out);
        return;
    }
    const std::size_t padded_len = (len + kMaxBlock - 1) / kMaxBlock * kMaxBlock;
    const std::size_t stride = static_cast<std::size_t>(lead) + padded_len + static_cast<std::size_t>(trail);
    // Padded rows, where read: each row `lead` zeros, the input, zeros to
    // the end of the row.
    const bool padded = reads_padded_rows(cout, packed.zero_groups.data());
    s.padded.resize(padded ? cin * stride : 0);
    const auto head = static_cast<std::size_t>(lead);
    for (std::size_t c = 0; padded && c < cin; ++c) {
        double* row = s.padded.data() + c * stride;
        std::fill(row, row + head, 0.0);
        std::memcpy(row + head, in.data() + c * len, len * sizeof(double));
        std::fill(row + head + len, row + stride, 0.0);
    }
    s.terms.resize(cin * k);
    s.live.resize((k + 1) * kMaxBlock);
    s.state.resize(k);
    s.panel.resize(2 * cin * k * kMaxBlock + 8);
    conv_kernel(w, bias, cout, cin, k, s.taps.data(), packed.weights.data(), packed.zero_groups.data(),
                s.terms.data(), s.panel.data(), s.live.data(), s.state.data(), in.data(), s.padded.data(), stride,
                static_cast<std::size_t>(lead), len, out);
}

namespace {

// Each group's mean and variance are single chains of additions in index
// order; up to kNormChains groups are summed side by side so that their
// independent chains overlap instead of waiting on one another.
constexpr std::size_t kNormChains = 8;

// Group norm: the sums stay single chains in index order; the final scaling
// is a plain loop the compiler vectorises.
__attribute__((always_inline)) inline void group_norm_body(std::span<double> x, const double* weight,
                                                           const double* bias, std::size_t channels,
                                                           std::size_t groups, std::size_t len) {
    const std::size_t per = channels / groups;
    const std::size_t m = per * len;
    for (std::size_t g0 = 0; g0 < groups; g0 += kNormChains) {
        const std::size_t ng = std::min(kNormChains, groups - g0);
        double* base = x.data() + g0 * m;
        double mean[kNormChains] = {};
        double inv[kNormChains] = {};
        if (ng == kNormChains) {
            // The eight chains run in the lanes of two vectors (groups 0-3
            // and 4-7): four values of each group are loaded, transposed so
            // that each vector holds one index of four groups, and added
            // index by index. The last m % 4 values go one by one.
            static_assert(kNormChains == 2 * kLanes);
            const std::size_t whole = m / kLanes * kLanes;
            // Values i ... i + 3 of groups h * 4 ... h * 4 + 3, transposed:
            // col[k] holds index i + k of the four groups.
            const auto columns = [&](std::size_t h, std::size_t i, vd (&col)[kLanes]) __attribute__((always_inline)) {
                vd r[kLanes];
                #pragma GCC unroll 4
                for (std::size_t g = 0; g < kLanes; ++g) std::memcpy(&r[g], base + (h * kLanes + g) * m + i, sizeof(vd));
                transpose4(r[0], r[1], r[2], r[3], col);
            };
            // acc[g] = sum over i in index order of term(value i of group g),
            // starting from 0.0: `lanes` forms the terms of a vector of
            // four groups (h = 0: groups 0-3, 1: groups 4-7), `one` of a
            // single value of group g.
            double acc[kNormChains];
            const auto chain_sums = [&](const auto& lanes, const auto& one) __attribute__((always_inline)) {
                vd sum[2] = {splat(0.0), splat(0.0)};
                for (std::size_t i = 0; i < whole; i += kLanes) {
                    #pragma GCC unroll 2
                    for (std::size_t h = 0; h < 2; ++h) {
                        vd col[kLanes];
                        columns(h, i, col);
                        #pragma GCC unroll 4
                        for (std::size_t k = 0; k < kLanes; ++k) sum[h] += lanes(col[k], h);
                    }
                }
                std::memcpy(acc, sum, sizeof acc);
                for (std::size_t i = whole; i < m; ++i) {
                    #pragma GCC unroll 8
                    for (std::size_t g = 0; g < kNormChains; ++g) acc[g] += one(base[g * m + i], g);
                }
            };
            chain_sums([](const vd& v, std::size_t) { return v; }, [](double v, std::size_t) { return v; });
            #pragma GCC unroll 8
            for (std::size_t g = 0; g < kNormChains; ++g) mean[g] = acc[g] / static_cast<double>(m);
            vd mu[2];
            std::memcpy(mu, mean, sizeof mu);
            chain_sums([&](const vd& v, std::size_t h) { return (v - mu[h]) * (v - mu[h]); },
                       [&](double v, std::size_t g) { return (v - mean[g]) * (v - mean[g]); });
            #pragma GCC unroll 8
            for (std::size_t g = 0; g < kNormChains; ++g) {
                inv[g] = 1.0 / std::sqrt(acc[g] / static_cast<double>(m) + kNormEps);
            }
        } else {
            for (std::size_t g = 0; g < ng; ++g) {
                const double* v = base + g * m;
                double sum = 0.0;
                for (std::size_t i = 0; i < m; ++i) sum += v[i];
                mean[g] = sum / static_cast<double>(m);
                double sq = 0.0;
                for (std::size_t i = 0; i < m; ++i) sq += (v[i] - mean[g]) * (v[i] - mean[g]);
                inv[g] = 1.0 / std::sqrt(sq / static_cast<double>(m) + kNormEps);
            }
        }
        for (std::size_t g = 0; g < ng; ++g) {
            for (std::size_t c = 0; c < per; ++c) {
                const std::size_t ch = (g0 + g) * per + c;
                double* row = base + g * m + c * len;
                const double mu = mean[g];
                const double iv = inv[g];
                const double wc = weight[ch];
                const double bc = bias[ch];
                for (std::size_t t = 0; t < len; ++t) row[t] = bc + ((row[t] - mu) * iv) * wc;
            }
        }
    }
}

void group_norm_portable(std::span<double> x, const double* weight, const double* bias, std::size_t channels,
                         std::size_t groups, std::size_t len) {
    group_norm_body(x, weight, bias, channels, groups, len);
}
#if VELOTZ_X86_DISPATCH
VELOTZ_TARGET_AVX2 void group_norm_avx2(std::span<double> x, const double* weight, const double* bias,
                                                     std::size_t channels, std::size_t groups, std::size_t len) {
    group_norm_body(x, weight, bias, channels, groups, len);
}
VELOTZ_TARGET_AVX512 void group_norm_avx512(std::span<double> x, const double* weight,
                                                                   const double* bias, std::size_t channels,
                                                                   std::size_t groups, std::size_t len) {
    group_norm_body(x, weight, bias, channels, groups, len);
}
#endif

}  // namespace

void group_norm_into(std::span<double> x, const double* weight, const double* bias, std::size_t channels,
                     std::size_t groups, std::size_t len) {
#if VELOTZ_X86_DISPATCH
    switch (simd::level()) {
        case simd::kAvx512: group_norm_avx512(x, weight, bias, channels, groups, len); return;
        case simd::kAvx2: group_norm_avx2(x, weight, bias, channels, groups, len); return;
        default: break;
    }
#endif
    group_norm_portable(x, weight, bias, channels, groups, len);
}

// o = sum_j w[o][j] x[j] (from -0.0, j ascending) + bias[o]; four rows at a
// time so that their independent sums overlap.
void dense_into(const double* w, const double* bias, std::size_t out_len, std::size_t in_len,
                std::span<const double> x, double* out) {
    std::size_t o = 0;
    for (; o + 4 <= out_len; o += 4) {
        const double* r0 = w + o * in_len;
        const double* r1 = r0 + in_len;
        const double* r2 = r1 + in_len;
        const double* r3 = r2 + in_len;
        double s0 = -0.0, s1 = -0.0, s2 = -0.0, s3 = -0.0;
        for (std::size_t j = 0; j < in_len; ++j) {
            s0 += r0[j] * x[j];
            s1 += r1[j] * x[j];
            s2 += r2[j] * x[j];
            s3 += r3[j] * x[j];
        }
        out[o] = s0 + bias[o];
        out[o + 1] = s1 + bias[o + 1];
        out[o + 2] = s2 + bias[o + 2];
        out[o + 3] = s3 + bias[o + 3];
    }
    for (; o < out_len; ++o) {
        const double* row = w + o * in_len;
        double s = -0.0;
        for (std::size_t j = 0; j < in_len; ++j) s += row[j] * x[j];
        out[o] = s + bias[o];
    }
}

namespace {

// The same sums from the weights rearranged in blocks of kDenseBlock
// outputs, each block stored as [in][kDenseBlock] (outputs past the end are
// zero), so that a block reads its weights in order. kDenseBlock outputs are
// kept in kDenseBlock / kLanes vectors; each lane is one output's chain
// -0.0 + w[o][0] x[0] + w[o][1] x[1] + ..., then + bias, as above.
constexpr std::size_t kDenseBlock = 16;
constexpr int kDenseVecs = static_cast<int>(kDenseBlock) / kLanes;

template <int Isa>
__attribute__((always_inline)) inline void dense_blocked_body(const double* __restrict wb,
                                                              const double* __restrict bias, std::size_t out_len,
                                                              std::size_t in_len, const double* __restrict x,
                                                              double* __restrict out) {
    for (std::size_t o = 0; o < out_len; o += kDenseBlock) {
        vd acc[kDenseVecs];
        #pragma GCC unroll 8
        for (int v = 0; v < kDenseVecs; ++v) acc[v] = splat(-0.0);
        const double* w = wb + o * in_len;
        for (std::size_t j = 0; j < in_len; ++j, w += kDenseBlock) {
            const vd xv = splat_load<Isa>(x + j);
            #pragma GCC unroll 8
            for (int v = 0; v < kDenseVecs; ++v) {
                vd wv;
                std::memcpy(&wv, w + kLanes * v, sizeof wv);
                acc[v] += wv * xv;
            }
        }
        double sums[kDenseBlock];
        std::memcpy(sums, acc, sizeof sums);
        const std::size_t n = std::min(kDenseBlock, out_len - o);
        for (std::size_t r = 0; r < n; ++r) out[o + r] = sums[r] + bias[o + r];
    }
}

#if VELOTZ_X86_DISPATCH
VELOTZ_TARGET_AVX2 void dense_blocked_avx2(const double* wb, const double* bias, std::size_t out_len,
                                                        std::size_t in_len, const double* x, double* out) {
    dense_blocked_body<1>(wb, bias, out_len, in_len, x, out);
}
VELOTZ_TARGET_AVX512 void dense_blocked_avx512(const double* wb, const double* bias,
                                                                      std::size_t out_len, std::size_t in_len,
                                                                      const double* x, double* out) {
    dense_blocked_body<2>(wb, bias, out_len, in_len, x, out);
}
#endif

}  // namespace

// A dense layer of the guess: the blocked kernels where the CPU has AVX2,
// the row-by-row loop otherwise (the same bits either way).
void dense_layer_run(const double* w, const std::vector<double>& wb, const double* bias, std::size_t out_len,
                     std::size_t in_len, std::span<const double> x, double* out) {
#if VELOTZ_X86_DISPATCH
    const std::size_t padded = (out_len + kDenseBlock - 1) / kDenseBlock * kDenseBlock;
    if (wb.size() == padded * in_len) {
        switch (simd::level()) {
            case simd::kAvx512: dense_blocked_avx512(wb.data(), bias, out_len, in_len, x.data(), out); return;
            case simd::kAvx2: dense_blocked_avx2(wb.data(), bias, out_len, in_len, x.data(), out); return;
            default: break;
        }
    }
#else
    (void)wb;
#endif
    dense_into(w, bias, out_len, in_len, x, out);
}

// Weights of a dense layer ([out][in]) in blocks of kDenseBlock outputs,
// each block as [in][kDenseBlock], zero beyond the last output.
std::vector<double> block_dense(const double* w, std::size_t out_len, std::size_t in_len) {
    const std::size_t padded = (out_len + kDenseBlock - 1) / kDenseBlock * kDenseBlock;
    std::vector<double> b(padded * in_len, 0.0);
    for (std::size_t o = 0; o < out_len; ++o) {
        const std::size_t base = (o / kDenseBlock) * kDenseBlock * in_len + o % kDenseBlock;
        for (std::size_t j = 0; j < in_len; ++j) b[base + j * kDenseBlock] = w[o * in_len + j];
    }
    return b;
}

}  // namespace nn_kernels

void gelu(std::span<double> values) { gelu_kernel(values.data(), values.size()); }

int use_convolution_kernel(int level) { return simd::use_level(level); }

}  // namespace velotz
