// Inference of the initial-guess network: spectrum scales and features, the
// dilated residual trunk, pooling, the dense head and de-normalisation.

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <string>
#include <utility>

#include "nn/guesser.hpp"

// The convolutions and GELUs dominate the cost of a guess; where the platform
// allows, their kernels (and those of the group norms and the dense head) are
// also compiled for AVX2 and for AVX-512 and picked at run time. No FMA:
// every product is rounded before it is added, as in the definitions.
#if defined(__GNUC__) && defined(__x86_64__) && defined(__linux__) && !defined(__clang__)
#define VELOTZ_X86_DISPATCH 1
#else
#define VELOTZ_X86_DISPATCH 0
#endif

// The vector helpers below are always inlined into the kernels that use them,
// so the ABI of returning vectors by value never applies.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace velotz {

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kPi = 3.141592653589793;
constexpr double kHalfPi = 1.5707963267948966;
constexpr double kGeluScale = 0.7978845608028654;
constexpr double kNormEps = 1e-5;

// Key whose signed order is the IEEE total order of doubles.
std::int64_t total_order_key(double x) {
    const auto b = std::bit_cast<std::int64_t>(x);
    return b ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(b >> 63) >> 1);
}

std::string layer_tensor(std::string_view layer, std::string_view suffix) {
    std::string s = "w.";
    s += layer;
    s += '.';
    s += suffix;
    return s;
}

std::uint64_t saturating_product(std::initializer_list<std::uint64_t> dims) {
    std::uint64_t n = 1;
    for (auto d : dims) {
        if (d != 0 && n > std::numeric_limits<std::uint64_t>::max() / d) {
            return std::numeric_limits<std::uint64_t>::max();
        }
        n *= d;
    }
    return n;
}

// A tensor must have exactly the dimensions `want` and their product of
// values. A wrong count is a ShapeMismatch; the right count in the wrong
// arrangement is reported as an unparsable tensor.
std::expected<void, NnError> expect_shape(const Tensor& t, const std::string& name,
                                          std::initializer_list<std::uint64_t> want) {
    const std::uint64_t count = saturating_product(want);
    const bool same_dims = std::equal(t.dims.begin(), t.dims.end(), want.begin(), want.end(),
                                      [](std::uint32_t a, std::uint64_t b) { return a == b; });
    if (same_dims && t.data.size() == count) return {};
    if (t.data.size() != count) return std::unexpected(NnError::shape_mismatch(name, t.data.size(), count));
    return std::unexpected(NnError::unparsable(name));
}

// ----------------------------------------------------------- vectors

constexpr int kLanes = 4;
using vd = double __attribute__((vector_size(8 * kLanes)));
using vi = std::int64_t __attribute__((vector_size(8 * kLanes)));

static_assert(kLanes == 4);
__attribute__((always_inline)) inline vd splat(double x) { return vd{x, x, x, x}; }

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
struct LaneTypes;
template <>
struct LaneTypes<4> {
    using d = double __attribute__((vector_size(32)));
    using i = std::int64_t __attribute__((vector_size(32)));
    using d_unaligned = double __attribute__((vector_size(32), aligned(8), may_alias));
};
template <>
struct LaneTypes<8> {
    using d = double __attribute__((vector_size(64)));
    using i = std::int64_t __attribute__((vector_size(64)));
    using d_unaligned = double __attribute__((vector_size(64), aligned(8), may_alias));
};

template <int N>
struct Lanes {
    using d = typename LaneTypes<N>::d;
    using i = typename LaneTypes<N>::i;
    using d_unaligned = typename LaneTypes<N>::d_unaligned;
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
__attribute__((target("avx2"))) void gelu_avx2(double* __restrict v, std::size_t n) { gelu_body<2, kLanes>(v, n); }
// Here 512-bit vectors: GELU is bound by the latency of each value's long
// chain of operations, not by throughput, and with half as many instructions
// per value twice as many values are in flight at once.
__attribute__((target("avx512f,avx512vl"))) void gelu_avx512(double* __restrict v, std::size_t n) {
    gelu_body<4, 8>(v, n);
}
#endif

// ----------------------------------------------------------- convolution

// One tap of a dilated kernel: it reads position t + off, which exists for t
// in [lo, hi). A tap that never lands on the grid has lo == hi.
struct Tap {
    std::ptrdiff_t off;
    std::ptrdiff_t lo;
    std::ptrdiff_t hi;
};

// One term of the sum for a block of positions: which weight it uses
// (c * K + j) and which row of liveness flags applies (0: every position of
// the block has the term). Its inputs are the term's column of the panel.
struct Term {
    std::size_t cj;
    std::size_t wofs;  // cj * kRows: offset of the term's weights in a packed group
    std::size_t mask;
};

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

// The 4 x 4 transpose of rows a, b, c, d: out[k] = {a[k], b[k], c[k], d[k]}.
__attribute__((always_inline)) inline void transpose4(const vd& a, const vd& b, const vd& c, const vd& d,
                                                      vd (&out)[4]) {
    const vd lo01 = __builtin_shuffle(a, b, vi{0, 4, 2, 6});
    const vd hi01 = __builtin_shuffle(a, b, vi{1, 5, 3, 7});
    const vd lo23 = __builtin_shuffle(c, d, vi{0, 4, 2, 6});
    const vd hi23 = __builtin_shuffle(c, d, vi{1, 5, 3, 7});
    out[0] = __builtin_shuffle(lo01, lo23, vi{0, 1, 4, 5});
    out[1] = __builtin_shuffle(hi01, hi23, vi{0, 1, 4, 5});
    out[2] = __builtin_shuffle(lo01, lo23, vi{2, 3, 6, 7});
    out[3] = __builtin_shuffle(hi01, hi23, vi{2, 3, 6, 7});
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
__attribute__((target("avx2"))) void conv_kernel_avx2(VELOTZ_CONV_ARGS) { conv_kernel_body<1>(VELOTZ_CONV_PASS); }
__attribute__((target("avx512f,avx512vl"))) void conv_kernel_avx512(VELOTZ_CONV_ARGS) {
    conv_kernel_body<2>(VELOTZ_CONV_PASS);
}
#endif

int best_conv_level() {
#if VELOTZ_X86_DISPATCH
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl")) return 2;
    if (__builtin_cpu_supports("avx2")) return 1;
#endif
    return 0;
}

// The kernel in use: the best the CPU offers unless a test chose another.
std::atomic<int> conv_level{best_conv_level()};

// GELU follows the same choice (all levels give the same bits).
void gelu_kernel(double* __restrict v, std::size_t n) {
#if VELOTZ_X86_DISPATCH
    switch (conv_level.load(std::memory_order_relaxed)) {
        case 2: gelu_avx512(v, n); return;
        case 1: gelu_avx2(v, n); return;
        default: break;
    }
#endif
    gelu_portable(v, n);
}

void conv_kernel(VELOTZ_CONV_ARGS) {
#if VELOTZ_X86_DISPATCH
    switch (conv_level.load(std::memory_order_relaxed)) {
        case 2: conv_kernel_avx512(VELOTZ_CONV_PASS); return;
        case 1: conv_kernel_avx2(VELOTZ_CONV_PASS); return;
        default: break;
    }
#endif
    conv_kernel_portable(VELOTZ_CONV_PASS);
}
#undef VELOTZ_CONV_ARGS
#undef VELOTZ_CONV_PASS

// Working arrays of a convolution, reused across the layers of one guess.
struct ConvScratch {
    std::vector<double> padded;
    std::vector<double> panel;
    std::vector<Tap> taps;
    std::vector<Term> terms;
    std::vector<unsigned char> live;
    std::vector<unsigned char> state;
};

// Working arrays of one guess: trunk activations and convolution scratch.
struct GuessWorkspace {
    std::vector<double> h;
    std::vector<double> y;
    std::vector<double> y2;
    ConvScratch scratch;
};

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
__attribute__((target("avx2"))) void group_norm_avx2(std::span<double> x, const double* weight, const double* bias,
                                                     std::size_t channels, std::size_t groups, std::size_t len) {
    group_norm_body(x, weight, bias, channels, groups, len);
}
__attribute__((target("avx512f,avx512vl"))) void group_norm_avx512(std::span<double> x, const double* weight,
                                                                   const double* bias, std::size_t channels,
                                                                   std::size_t groups, std::size_t len) {
    group_norm_body(x, weight, bias, channels, groups, len);
}
#endif

void group_norm_into(std::span<double> x, const double* weight, const double* bias, std::size_t channels,
                     std::size_t groups, std::size_t len) {
#if VELOTZ_X86_DISPATCH
    switch (conv_level.load(std::memory_order_relaxed)) {
        case 2: group_norm_avx512(x, weight, bias, channels, groups, len); return;
        case 1: group_norm_avx2(x, weight, bias, channels, groups, len); return;
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
__attribute__((target("avx2"))) void dense_blocked_avx2(const double* wb, const double* bias, std::size_t out_len,
                                                        std::size_t in_len, const double* x, double* out) {
    dense_blocked_body<1>(wb, bias, out_len, in_len, x, out);
}
__attribute__((target("avx512f,avx512vl"))) void dense_blocked_avx512(const double* wb, const double* bias,
                                                                      std::size_t out_len, std::size_t in_len,
                                                                      const double* x, double* out) {
    dense_blocked_body<2>(wb, bias, out_len, in_len, x, out);
}
#endif

// A dense layer of the guess: the blocked kernels where the CPU has AVX2,
// the row-by-row loop otherwise (the same bits either way).
void dense_layer_run(const double* w, const std::vector<double>& wb, const double* bias, std::size_t out_len,
                     std::size_t in_len, std::span<const double> x, double* out) {
#if VELOTZ_X86_DISPATCH
    const std::size_t padded = (out_len + kDenseBlock - 1) / kDenseBlock * kDenseBlock;
    if (wb.size() == padded * in_len) {
        switch (conv_level.load(std::memory_order_relaxed)) {
            case 2: dense_blocked_avx512(wb.data(), bias, out_len, in_len, x.data(), out); return;
            case 1: dense_blocked_avx2(wb.data(), bias, out_len, in_len, x.data(), out); return;
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

}  // namespace

void gelu(std::span<double> values) { gelu_kernel(values.data(), values.size()); }

int use_convolution_kernel(int level) {
    const int best = best_conv_level();
    const int chosen = level < 0 || level > best ? best : level;
    conv_level.store(chosen, std::memory_order_relaxed);
    return chosen;
}

// ------------------------------------------------------------ features

SpectrumScales reactive_centroid(std::span<const double> freqs_hz, std::span<const std::complex<double>> z) {
    const std::size_t n = std::min(freqs_hz.size(), z.size());
    if (n == 0) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        return {nan, nan};
    }
    double s = 0.0;
    double a = 0.0;
    double b = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double f = freqs_hz[i];
        const double mod = std::hypot(z[i].real(), z[i].imag());
        if (!(f > 0.0) || !(mod > 0.0)) continue;
        double w = -z[i].imag() / mod;
        if (!(w > 0.0)) w = 0.0;  // NaN and non-capacitive points weigh nothing
        s += w;
        a += w * std::log(kTwoPi * f);
        b += w * std::log(mod);
    }
    if (s >= 1e-9 || std::isnan(s)) return {std::exp(b / s), std::exp(a / s)};

    // Fallback for spectra without capacitive points.
    double sum_log = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum_log += std::log(kTwoPi * freqs_hz[i]);
    std::vector<double> moduli(n);
    for (std::size_t i = 0; i < n; ++i) moduli[i] = std::hypot(z[i].real(), z[i].imag());
    auto mid = moduli.begin() + static_cast<std::ptrdiff_t>(n / 2);
    std::nth_element(moduli.begin(), mid, moduli.end(),
                     [](double x, double y) { return total_order_key(x) < total_order_key(y); });
    return {*mid, std::exp(sum_log / static_cast<double>(n))};
}

double interpolate(double x, std::span<const double> xs, std::span<const double> ys) {
    const std::size_t n = std::min(xs.size(), ys.size());
    if (n == 0) return std::numeric_limits<double>::quiet_NaN();
    if (x <= xs[0]) return ys[0];
    if (x >= xs[n - 1]) return ys[n - 1];
    // a = number of leading entries <= x (binary search over the ascending xs).
    std::size_t lo_i = 0;
    std::size_t hi_i = n;
    while (lo_i < hi_i) {
        const std::size_t mid = lo_i + (hi_i - lo_i) / 2;
        if (xs[mid] <= x) {
            lo_i = mid + 1;
        } else {
            hi_i = mid;
        }
    }
    const std::size_t a = std::max<std::size_t>(lo_i, 1);
    const std::size_t hi = std::min(a, n - 1);
    const std::size_t lo = hi - 1;
    if (xs[lo] == xs[hi]) return ys[lo];
    return ys[lo] + (x - xs[lo]) * (ys[hi] - ys[lo]) / (xs[hi] - xs[lo]);
}

std::expected<Features, NnError> features(std::span<const double> freqs_hz,
                                          std::span<const std::complex<double>> z, std::size_t n_grid) {
    const std::size_t n = std::min(freqs_hz.size(), z.size());
    if (n < 2) return std::unexpected(NnError::too_few_points(n));
    Features out;
    out.scales = reactive_centroid(freqs_hz.first(n), z.first(n));

    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t i, std::size_t j) {
        return total_order_key(freqs_hz[i]) < total_order_key(freqs_hz[j]);
    });
    std::vector<double> lf(n);
    std::vector<double> lm(n);
    std::vector<double> phase(n);
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t i = order[k];
        const std::complex<double> zi = z[i];
        lf[k] = std::log10(freqs_hz[i]);
        lm[k] = std::log10(std::hypot(zi.real(), zi.imag()));
        const double p = std::atan2(zi.imag(), zi.real());
        if (k == 0) {
            phase[k] = p;
        } else {
            const double d = p - phase[k - 1];
            double r = d - kTwoPi * std::floor((d + kPi) / kTwoPi);
            if (r == -kPi && d > 0.0) r = kPi;
            phase[k] = phase[k - 1] + r;
        }
    }

    const double span = lf[n - 1] - lf[0];
    const double step = n_grid > 1 ? span / static_cast<double>(n_grid - 1) : 0.0;
    const double log_z0 = std::log10(out.scales.z0);
    const double log_f0 = std::log10(out.scales.omega0 / kTwoPi);
    out.grid.resize(3 * n_grid);
    for (std::size_t t = 0; t < n_grid; ++t) {
        const double x = lf[0] + static_cast<double>(t) * step;
        out.grid[t] = interpolate(x, lf, lm) - log_z0;
        out.grid[n_grid + t] = interpolate(x, lf, phase) / kHalfPi;
        out.grid[2 * n_grid + t] = (x - log_f0) * 0.25;
    }
    out.e1 = span * 0.125;
    out.e2 = std::log10(static_cast<double>(n)) * 0.5;
    return out;
}

// ------------------------------------------------------------ layers

struct Guesser::Conv {
    const double* w;
    const double* b;
    std::size_t out;
    std::size_t in;
    std::size_t k;
};

struct Guesser::Norm {
    const double* w;
    const double* b;
};

struct Guesser::Dense {
    const double* w;
    const double* b;
    std::size_t out;
    std::size_t in;
};

std::expected<Guesser::LayerTensors, NnError> Guesser::layer_tensors(std::string_view layer) const {
    LayerTensors t{layer_tensor(layer, "weight"), layer_tensor(layer, "bias"), nullptr, nullptr};
    auto w = tensor(t.wname);
    if (!w) return std::unexpected(w.error());
    auto b = tensor(t.bname);
    if (!b) return std::unexpected(b.error());
    t.w = *w;
    t.b = *b;
    return t;
}

std::expected<Guesser::Conv, NnError> Guesser::conv_layer(std::string_view layer, std::size_t in_channels) const {
    auto t = layer_tensors(layer);
    if (!t) return std::unexpected(t.error());
    const Tensor& wt = *t->w;
    const std::uint64_t out = wt.dims.size() == 3 ? wt.dims[0] : channels_;
    if (auto ok = expect_shape(wt, t->wname, {out, in_channels, kernel_}); !ok) return std::unexpected(ok.error());
    if (auto ok = expect_shape(*t->b, t->bname, {out}); !ok) return std::unexpected(ok.error());
    return Conv{wt.data.data(), t->b->data.data(), static_cast<std::size_t>(out), in_channels, kernel_};
}

std::expected<Guesser::Norm, NnError> Guesser::norm_layer(std::string_view layer) const {
    auto t = layer_tensors(layer);
    if (!t) return std::unexpected(t.error());
    if (auto ok = expect_shape(*t->w, t->wname, {channels_}); !ok) return std::unexpected(ok.error());
    if (auto ok = expect_shape(*t->b, t->bname, {channels_}); !ok) return std::unexpected(ok.error());
    return Norm{t->w->data.data(), t->b->data.data()};
}

std::expected<Guesser::Dense, NnError> Guesser::dense_layer(std::string_view layer, std::size_t in_len) const {
    auto t = layer_tensors(layer);
    if (!t) return std::unexpected(t.error());
    const Tensor& wt = *t->w;
    if (wt.dims.size() != 2 || saturating_product({wt.dims[0], wt.dims[1]}) != wt.data.size()) {
        return std::unexpected(NnError::unparsable(t->wname));
    }
    if (in_len != wt.dims[1]) return std::unexpected(NnError::shape_mismatch(std::string(layer), in_len, wt.dims[1]));
    if (auto ok = expect_shape(*t->b, t->bname, {wt.dims[0]}); !ok) return std::unexpected(ok.error());
    return Dense{wt.data.data(), t->b->data.data(), wt.dims[0], wt.dims[1]};
}

std::expected<std::vector<double>, NnError> Guesser::conv1d(std::span<const double> input, std::size_t in_channels,
                                                            std::string_view layer, std::size_t dilation) const {
    auto conv = conv_layer(layer, in_channels);
    if (!conv) return std::unexpected(conv.error());
    const std::uint64_t want = saturating_product({in_channels, n_grid_});
    if (input.size() != want) return std::unexpected(NnError::shape_mismatch(std::string(layer), input.size(), want));
    std::vector<double> out(conv->out * n_grid_);
    ConvScratch scratch;
    convolve(conv->w, pack_conv(conv->w, conv->b, conv->out, conv->in, conv->k), conv->b, conv->out, conv->in, conv->k,
             dilation, input, n_grid_, scratch, out.data());
    return out;
}

std::expected<std::vector<double>, NnError> Guesser::group_norm(std::span<const double> activations,
                                                                std::string_view layer) const {
    auto norm = norm_layer(layer);
    if (!norm) return std::unexpected(norm.error());
    const std::uint64_t want = saturating_product({channels_, n_grid_});
    if (activations.size() != want) {
        return std::unexpected(NnError::shape_mismatch(std::string(layer), activations.size(), want));
    }
    std::vector<double> out(activations.begin(), activations.end());
    group_norm_into(out, norm->w, norm->b, channels_, groups_, n_grid_);
    return out;
}

std::expected<std::vector<double>, NnError> Guesser::linear(std::span<const double> input,
                                                            std::string_view layer) const {
    auto dense = dense_layer(layer, input.size());
    if (!dense) return std::unexpected(dense.error());
    std::vector<double> out(dense->out);
    dense_into(dense->w, dense->b, dense->out, dense->in, input, out.data());
    return out;
}

// Walks the network as inference does and checks every tensor against the
// metadata, so that a loaded network cannot fail or read out of bounds later;
// packs the convolution weights on the way.
std::expected<void, NnError> Guesser::prepare_network() {
    const std::size_t c = channels_;
    auto stem = conv_layer("stem", 3);
    if (!stem) return std::unexpected(stem.error());
    const auto expect_width = [&](const Conv& conv, std::string_view layer) -> std::expected<void, NnError> {
        if (conv.out == c) return {};
        const std::string name = layer_tensor(layer, "weight");
        return std::unexpected(NnError::shape_mismatch(name, saturating_product({conv.out, conv.in, conv.k}),
                                                       saturating_product({c, conv.in, conv.k})));
    };
    if (auto ok = expect_width(*stem, "stem"); !ok) return ok;
    packed_.push_back(pack_conv(stem->w, stem->b, stem->out, stem->in, stem->k));
    std::vector<LayerRef> refs{LayerRef{stem->w, stem->b, stem->out, stem->in}};
    for (std::size_t b = 0; b < dilations_.size(); ++b) {
        const std::string prefix = "blocks." + std::to_string(b) + ".";
        for (const char* part : {"conv1", "norm1", "conv2", "norm2"}) {
            const std::string layer = prefix + part;
            if (part[0] == 'c') {
                auto conv = conv_layer(layer, c);
                if (!conv) return std::unexpected(conv.error());
                if (auto ok = expect_width(*conv, layer); !ok) return ok;
                packed_.push_back(pack_conv(conv->w, conv->b, conv->out, conv->in, conv->k));
                refs.push_back(LayerRef{conv->w, conv->b, conv->out, conv->in});
            } else {
                auto norm = norm_layer(layer);
                if (!norm) return std::unexpected(norm.error());
                refs.push_back(LayerRef{norm->w, norm->b, c, c});
            }
        }
    }
    std::size_t width = 2 * c + 2;
    for (const char* layer : {"head.0", "head.2", "head.4"}) {
        auto dense = dense_layer(layer, width);
        if (!dense) return std::unexpected(dense.error());
        dense_t_.push_back(block_dense(dense->w, dense->out, dense->in));
        refs.push_back(LayerRef{dense->w, dense->b, dense->out, dense->in});
        width = dense->out;
    }
    layer_refs_.refs = std::move(refs);
    const std::size_t p = param_names_.size();
    if (width < p) return std::unexpected(NnError::shape_mismatch("head.4", width, p));
    for (auto [name, size] : {std::pair{"target_mean", target_mean_.size()},
                              std::pair{"target_std", target_std_.size()},
                              std::pair{"log_params", log_params_.size()}}) {
        if (size != p) return std::unexpected(NnError::shape_mismatch(name, size, p));
    }
    for (const Scaling& s : scaling_) {
        if (s.alpha_index >= 0 && static_cast<std::size_t>(s.alpha_index) >= p) {
            return std::unexpected(NnError::unparsable("scaling"));
        }
    }
    return {};
}

// ------------------------------------------------------------ guess

std::expected<std::vector<double>, NnError> Guesser::guess(std::span<const double> freqs_hz,
                                                           std::span<const std::complex<double>> z) const {
    const std::size_t n = std::min(freqs_hz.size(), z.size());
    if (n < 2) return std::unexpected(NnError::too_few_points(n));
    auto feat = features(freqs_hz, z, n_grid_);
    if (!feat) return std::unexpected(feat.error());

    const std::size_t len = n_grid_;
    const std::size_t c = channels_;
    // Working arrays are kept per thread from one guess to the next: a guess
    // of a large network needs a few hundred kilobytes, and returning them to
    // the allocator each time lets it hand the pages back to the system, to
    // be faulted in and cleared again by the next guess. Every element is
    // written before it is read, so nothing carries over between guesses.
    thread_local GuessWorkspace work;
    std::vector<double>& h = work.h;
    std::vector<double>& y = work.y;
    std::vector<double>& y2 = work.y2;
    ConvScratch& scratch = work.scratch;
    h.resize(c * len);
    y.resize(c * len);
    y2.resize(c * len);
    if (packed_.size() != 1 + 2 * dilations_.size()) return std::unexpected(NnError::unparsable("w.stem.weight"));

    // Shapes were checked at load; the checks below only guard the buffers.
    const auto width_error = [&](std::string_view layer) {
        return std::unexpected(NnError::unparsable(layer_tensor(layer, "weight")));
    };
    // Layers as resolved at load, or looked up by name (a copied Guesser).
    const std::vector<LayerRef>& refs = layer_refs_.refs;
    const bool resolved = refs.size() == 1 + 4 * dilations_.size() + 3;
    const auto conv_at = [&](std::size_t i, auto name, std::size_t cin) -> std::expected<Conv, NnError> {
        if (resolved && refs[i].in == cin) return Conv{refs[i].w, refs[i].b, refs[i].out, refs[i].in, kernel_};
        return conv_layer(name(), cin);
    };
    const auto norm_at = [&](std::size_t i, auto name) -> std::expected<Norm, NnError> {
        if (resolved) return Norm{refs[i].w, refs[i].b};
        return norm_layer(name());
    };
    auto stem = conv_at(0, [] { return std::string("stem"); }, 3);
    if (!stem) return std::unexpected(stem.error());
    if (stem->out != c) return width_error("stem");
    convolve(stem->w, packed_[0], stem->b, c, 3, stem->k, 1, feat->grid, len, scratch, h.data());

    for (std::size_t b = 0; b < dilations_.size(); ++b) {
        const auto name = [b](const char* part) {
            return [b, part] { return "blocks." + std::to_string(b) + "." + part; };
        };
        auto conv1 = conv_at(1 + 4 * b, name("conv1"), c);
        if (!conv1) return std::unexpected(conv1.error());
        auto norm1 = norm_at(2 + 4 * b, name("norm1"));
        if (!norm1) return std::unexpected(norm1.error());
        auto conv2 = conv_at(3 + 4 * b, name("conv2"), c);
        if (!conv2) return std::unexpected(conv2.error());
        auto norm2 = norm_at(4 + 4 * b, name("norm2"));
        if (!norm2) return std::unexpected(norm2.error());
        if (conv1->out != c) return width_error(name("conv1")());
        if (conv2->out != c) return width_error(name("conv2")());
        const std::size_t d = dilations_[b];

        convolve(conv1->w, packed_[1 + 2 * b], conv1->b, c, c, conv1->k, d, h, len, scratch, y.data());
        group_norm_into(y, norm1->w, norm1->b, c, groups_, len);
        gelu(y);
        convolve(conv2->w, packed_[2 + 2 * b], conv2->b, c, c, conv2->k, d, y, len, scratch, y2.data());
        group_norm_into(y2, norm2->w, norm2->b, c, groups_, len);
        for (std::size_t i = 0; i < h.size(); ++i) h[i] += y2[i];
        gelu(h);
    }

    // Per-channel mean, then per-channel maximum ignoring NaN, then the extras.
    std::vector<double> pooled(2 * c + 2);
    for (std::size_t ch = 0; ch < c; ++ch) {
        const double* row = h.data() + ch * len;
        double sum = -0.0;
        double mx = -std::numeric_limits<double>::infinity();
        bool any = false;
        for (std::size_t t = 0; t < len; ++t) {
            sum += row[t];
            if (!std::isnan(row[t])) {
                any = true;
                if (row[t] > mx) mx = row[t];
            }
        }
        pooled[ch] = sum / static_cast<double>(len);
        pooled[c + ch] = any || len == 0 ? mx : std::numeric_limits<double>::quiet_NaN();
    }
    pooled[2 * c] = feat->e1;
    pooled[2 * c + 1] = feat->e2;

    std::vector<double> a = std::move(pooled);
    std::vector<double> next;
    std::size_t layer_index = 0;
    for (const char* layer : {"head.0", "head.2", "head.4"}) {
        const std::size_t ri = 1 + 4 * dilations_.size() + layer_index;
        auto dense = resolved && refs[ri].in == a.size()
                         ? std::expected<Dense, NnError>(Dense{refs[ri].w, refs[ri].b, refs[ri].out, refs[ri].in})
                         : dense_layer(layer, a.size());
        if (!dense) return std::unexpected(dense.error());
        next.resize(dense->out);
        static const std::vector<double> none;
        const std::vector<double>& wt = layer_index < dense_t_.size() ? dense_t_[layer_index] : none;
        ++layer_index;
        dense_layer_run(dense->w, wt, dense->b, dense->out, dense->in, a, next.data());
        if (layer[5] != '4') gelu(next);
        std::swap(a, next);
    }

    const std::size_t p = param_names_.size();
    if (a.size() < p || target_mean_.size() < p || target_std_.size() < p || log_params_.size() < p ||
        scaling_.size() < p) {
        return std::unexpected(NnError::shape_mismatch("head.4", a.size(), p));
    }
    std::vector<double> v(p);
    for (std::size_t i = 0; i < p; ++i) {
        const double yv = target_mean_[i] + a[i] * target_std_[i];
        v[i] = log_params_[i] ? std::pow(10.0, yv) : yv;
    }
    for (std::size_t i = 0; i < p; ++i) {
        if (log_params_[i]) continue;
        if (v[i] < alpha_min_) {
            v[i] = alpha_min_;
        } else if (v[i] > alpha_max_) {
            v[i] = alpha_max_;
        }
    }
    const std::vector<double> u = v;
    const double z0 = feat->scales.z0;
    const double w0 = feat->scales.omega0;
    for (std::size_t i = 0; i < p; ++i) {
        const Scaling& s = scaling_[i];
        double alpha_term = 0.0;
        if (s.alpha_index >= 0) {
            const auto ai = static_cast<std::size_t>(s.alpha_index);
            if (ai >= p) return std::unexpected(NnError::unparsable("scaling"));
            alpha_term = s.alpha_pow * u[ai];
        }
        const double e = s.w_pow + alpha_term;
        v[i] = std::pow(w0, e) * (u[i] * std::pow(z0, s.z_pow));
    }
    return v;
}

}  // namespace velotz
