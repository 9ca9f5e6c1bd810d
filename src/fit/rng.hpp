#pragma once
// Random generators of the global optimizers.
//
// StdRng is ChaCha12 in Bernstein's layout (64-bit block counter, 64-bit stream
// number fixed at 0) read through a four-block buffer; a seeded run repeats bit
// for bit. Xorshift128 is Marsaglia's generator used by differential evolution,
// seeded from a per-thread generator that draws its key from the OS.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velotz {

// One ChaCha block: constants, the eight key words, the 64-bit block counter
// (words 12-13, low word first) and the 64-bit nonce (words 14-15); `rounds`
// is the total round count (8, 12, 20, ...) and must be even. The result is the
// 16 output words (state after the rounds plus the input state).
std::array<std::uint32_t, 16> chacha_block(const std::array<std::uint32_t, 8>& key,
                                           std::uint64_t counter, std::uint64_t nonce,
                                           unsigned rounds);

// The 32-byte key that seed_from_u64 derives from a 64-bit seed: eight PCG32
// output words, each stored as 4 little-endian bytes.
std::array<std::uint8_t, 32> pcg32_seed_bytes(std::uint64_t seed);

// 32 bytes from the operating system's entropy source (getrandom(2)).
std::expected<std::array<std::uint8_t, 32>, std::string> os_entropy_seed();

class StdRng {
public:
    static constexpr std::size_t kBufferWords = 64;   // four ChaCha blocks

    // Key = the 32 bytes read as eight little-endian words; counter 0.
    static StdRng from_seed(const std::array<std::uint8_t, 32>& seed);
    static StdRng seed_from_u64(std::uint64_t seed);
    static std::expected<StdRng, std::string> from_os_entropy();
    // seed_from_u64(*seed) when a seed is given, else from_os_entropy().
    static std::expected<StdRng, std::string> from_optional_seed(std::optional<std::uint64_t> seed);

    std::uint32_t next_u32();
    std::uint64_t next_u64();   // low word first; may straddle a refill

    // [0, 1): next_u64 >> 12 as the mantissa of a double in [1, 2), minus 1.
    double unit52();
    // [0, 1): (next_u64 >> 11) * 2^-53.
    double unit53();
    // lo + (hi - lo) * unit52, one draw, no retry (lo < hi expected).
    double uniform_between(double lo, double hi);

private:
    explicit StdRng(const std::array<std::uint32_t, 8>& key);
    void refill();

    std::array<std::uint32_t, 8> key_{};
    std::uint64_t counter_ = 0;
    std::array<std::uint32_t, kBufferWords> buffer_{};
    std::size_t index_ = kBufferWords;
};

// Per coordinate: min_i when min_i == max_i (no draw), otherwise
// uniform_between(smaller, larger). The two spans have equal, non-zero length.
std::vector<double> rand_from_range(std::span<const double> min, std::span<const double> max,
                                    StdRng& rng);
// rand_from_range written into `out` (resized to min.size()): the same draws.
void rand_from_range_into(std::span<const double> min, std::span<const double> max, StdRng& rng,
                          std::vector<double>& out);

class Xorshift128 {
public:
    // The state must not be all zero.
    Xorshift128(std::uint32_t x, std::uint32_t y, std::uint32_t z, std::uint32_t w);

    // Four words x, y, z, w from this thread's OS-seeded generator, drawn again
    // while all four are zero.
    static std::expected<Xorshift128, std::string> from_thread_generator();

    std::uint32_t next_u32();
    // [0, 1): low 23 bits of next_u32 as the mantissa of a float in [1, 2), minus 1.
    float unit_f32();
    // low + (high - low) * unit_f32, in float arithmetic.
    float range_f32(float low, float high);
    // Uniform index in [0, m), m >= 1: redraw while v >= 2^32-1 - (2^32-1) mod m.
    std::uint32_t index_below(std::uint32_t m);

private:
    std::uint32_t x_, y_, z_, w_;
};

}  // namespace velotz
