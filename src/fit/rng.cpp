#include "fit/rng.hpp"

#include <bit>
#include <cerrno>
#include <cstring>

#include <sys/random.h>

namespace velotz {

namespace {

constexpr std::uint32_t kChachaConstants[4] = {0x61707865u, 0x3320646Eu, 0x79622D32u,
                                               0x6B206574u};

inline void quarter_round(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c,
                          std::uint32_t& d) {
    a += b; d ^= a; d = std::rotl(d, 16);
    c += d; b ^= c; b = std::rotl(b, 12);
    a += b; d ^= a; d = std::rotl(d, 8);
    c += d; b ^= c; b = std::rotl(b, 7);
}

std::uint32_t load_le32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}

}  // namespace

std::array<std::uint32_t, 16> chacha_block(const std::array<std::uint32_t, 8>& key,
                                           std::uint64_t counter, std::uint64_t nonce,
                                           unsigned rounds) {
    std::array<std::uint32_t, 16> input{};
    for (int i = 0; i < 4; ++i) input[i] = kChachaConstants[i];
    for (int i = 0; i < 8; ++i) input[4 + i] = key[i];
    input[12] = static_cast<std::uint32_t>(counter);
    input[13] = static_cast<std::uint32_t>(counter >> 32);
    input[14] = static_cast<std::uint32_t>(nonce);
    input[15] = static_cast<std::uint32_t>(nonce >> 32);

    std::array<std::uint32_t, 16> s = input;
    for (unsigned r = 0; r < rounds / 2; ++r) {
        // column round
        quarter_round(s[0], s[4], s[8], s[12]);
        quarter_round(s[1], s[5], s[9], s[13]);
        quarter_round(s[2], s[6], s[10], s[14]);
        quarter_round(s[3], s[7], s[11], s[15]);
        // diagonal round
        quarter_round(s[0], s[5], s[10], s[15]);
        quarter_round(s[1], s[6], s[11], s[12]);
        quarter_round(s[2], s[7], s[8], s[13]);
        quarter_round(s[3], s[4], s[9], s[14]);
    }
    for (int i = 0; i < 16; ++i) s[i] += input[i];
    return s;
}

std::array<std::uint8_t, 32> pcg32_seed_bytes(std::uint64_t seed) {
    constexpr std::uint64_t kMul = 6364136223846793005ull;   // 0x5851F42D4C957F2D
    constexpr std::uint64_t kInc = 11634580027462260723ull;  // 0xA17654E46FBE17F3
    std::array<std::uint8_t, 32> bytes{};
    std::uint64_t state = seed;
    for (int chunk = 0; chunk < 8; ++chunk) {
        state = state * kMul + kInc;   // wraps mod 2^64
        const auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
        const auto rot = static_cast<int>(state >> 59);
        const std::uint32_t x = std::rotr(xorshifted, rot);
        for (int b = 0; b < 4; ++b) bytes[4 * chunk + b] = static_cast<std::uint8_t>(x >> (8 * b));
    }
    return bytes;
}

std::expected<std::array<std::uint8_t, 32>, std::string> os_entropy_seed() {
    std::array<std::uint8_t, 32> bytes{};
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t got = getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(std::string("could not read the operating system's random source: ") +
                                   std::strerror(errno));
        }
        filled += static_cast<std::size_t>(got);
    }
    return bytes;
}

// ------------------------------------------------------------------ StdRng

StdRng::StdRng(const std::array<std::uint32_t, 8>& key) : key_(key) {}

StdRng StdRng::from_seed(const std::array<std::uint8_t, 32>& seed) {
    std::array<std::uint32_t, 8> key{};
    for (int i = 0; i < 8; ++i) key[i] = load_le32(seed.data() + 4 * i);
    return StdRng(key);
}

StdRng StdRng::seed_from_u64(std::uint64_t seed) { return from_seed(pcg32_seed_bytes(seed)); }

std::expected<StdRng, std::string> StdRng::from_os_entropy() {
    auto bytes = os_entropy_seed();
    if (!bytes) return std::unexpected(bytes.error());
    return from_seed(*bytes);
}

std::expected<StdRng, std::string> StdRng::from_optional_seed(std::optional<std::uint64_t> seed) {
    if (seed) return seed_from_u64(*seed);
    return from_os_entropy();
}

void StdRng::refill() {
    for (std::size_t b = 0; b < 4; ++b) {
        const auto block = chacha_block(key_, counter_ + b, 0, 12);
        for (std::size_t i = 0; i < 16; ++i) buffer_[16 * b + i] = block[i];
    }
    counter_ += 4;
    index_ = 0;
}

std::uint32_t StdRng::next_u32() {
    if (index_ >= kBufferWords) refill();
    return buffer_[index_++];
}

std::uint64_t StdRng::next_u64() {
    std::uint32_t low, high;
    if (index_ < kBufferWords - 1) {
        low = buffer_[index_];
        high = buffer_[index_ + 1];
        index_ += 2;
    } else if (index_ == kBufferWords - 1) {
        low = buffer_[kBufferWords - 1];
        refill();
        high = buffer_[0];
        index_ = 1;
    } else {
        refill();
        low = buffer_[0];
        high = buffer_[1];
        index_ = 2;
    }
    return (std::uint64_t(high) << 32) | low;
}

double StdRng::unit52() {
    const std::uint64_t bits = (next_u64() >> 12) | 0x3FF0000000000000ull;   // [1, 2)
    return std::bit_cast<double>(bits) - 1.0;
}

double StdRng::unit53() {
    return static_cast<double>(next_u64() >> 11) * 1.1102230246251565e-16;
}

double StdRng::uniform_between(double lo, double hi) { return lo + (hi - lo) * unit52(); }

std::vector<double> rand_from_range(std::span<const double> min, std::span<const double> max,
                                    StdRng& rng) {
    std::vector<double> out;
    rand_from_range_into(min, max, rng, out);
    return out;
}

void rand_from_range_into(std::span<const double> min, std::span<const double> max, StdRng& rng,
                          std::vector<double>& out) {
    out.resize(min.size());
    for (std::size_t i = 0; i < min.size(); ++i) {
        const double a = min[i];
        const double b = max[i];
        if (a == b) {
            out[i] = a;
        } else if (a < b) {
            out[i] = rng.uniform_between(a, b);
        } else {
            out[i] = rng.uniform_between(b, a);
        }
    }
}

// ------------------------------------------------------------------ Xorshift128

Xorshift128::Xorshift128(std::uint32_t x, std::uint32_t y, std::uint32_t z, std::uint32_t w)
    : x_(x), y_(y), z_(z), w_(w) {}

std::expected<Xorshift128, std::string> Xorshift128::from_thread_generator() {
    // Created on the thread's first use and kept for the life of the thread.
    thread_local std::optional<StdRng> seeder;
    if (!seeder) {
        auto rng = StdRng::from_os_entropy();
        if (!rng) return std::unexpected(rng.error());
        seeder = *rng;
    }
    for (;;) {
        const std::uint32_t x = seeder->next_u32();
        const std::uint32_t y = seeder->next_u32();
        const std::uint32_t z = seeder->next_u32();
        const std::uint32_t w = seeder->next_u32();
        if ((x | y | z | w) != 0) return Xorshift128(x, y, z, w);
    }
}

std::uint32_t Xorshift128::next_u32() {
    const std::uint32_t t = x_ ^ (x_ << 11);
    x_ = y_;
    y_ = z_;
    z_ = w_;
    w_ = w_ ^ (w_ >> 19) ^ t ^ (t >> 8);
    return w_;
}

float Xorshift128::unit_f32() {
    const std::uint32_t bits = (next_u32() & 0x007FFFFFu) | 0x3F800000u;   // [1, 2)
    return std::bit_cast<float>(bits) - 1.0f;
}

float Xorshift128::range_f32(float low, float high) {
    const float width = high - low;
    return low + width * unit_f32();
}

std::uint32_t Xorshift128::index_below(std::uint32_t m) {
    constexpr std::uint32_t kMax = 0xFFFFFFFFu;
    const std::uint32_t zone = kMax - kMax % m;
    for (;;) {
        const std::uint32_t v = next_u32();
        if (v < zone) return v % m;
    }
}

}  // namespace velotz
