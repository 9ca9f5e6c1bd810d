// Generators checked against published ChaCha test vectors (Strombergson,
// "Test Vectors for the Stream Cipher ChaCha", 256-bit keys, 64-bit IV, two
// blocks each) and against values computed by a separate Python implementation
// of ChaCha12, PCG32 and xorshift128 written from the algorithms' definitions.

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "fit/rng.hpp"

using namespace velotz;

namespace {

std::vector<std::uint8_t> from_hex(const std::string& hex) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::uint64_t le64(const std::vector<std::uint8_t>& b) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | b[i];
    return v;
}

struct ChachaVector {
    const char* key;
    const char* iv;
    unsigned rounds;
    const char* keystream;   // blocks 0 and 1
};

const char* kZeroKey = "0000000000000000000000000000000000000000000000000000000000000000";
const char* kTc1Chacha12 =
    "9bf49a6a0755f953811fce125f2683d50429c3bb49e074147e0089a52eae155f"
    "0564f879d27ae3c02ce82834acfa8c793a629f2ca0de6919610be82f411326be"
    "0bd58841203e74fe86fc71338ce0173dc628ebb719bdcbcc151585214cc089b4"
    "42258dcda14cf111c602b8971b8cc843e91e46ca905151c02744a6b017e69316";

const ChachaVector kVectors[] = {
    {kZeroKey, "0000000000000000", 8,
     "3e00ef2f895f40d67f5bb8e81f09a5a12c840ec3ce9a7f3b181be188ef711a1e"
     "984ce172b9216f419f445367456d5619314a42a3da86b001387bfdb80e0cfe42"
     "d2aefa0deaa5c151bf0adb6c01f2a5adc0fd581259f9a2aadcf20f8fd566a26b"
     "5032ec38bbc5da98ee0c6f568b872a65a08abf251deb21bb4b56e5d8821e68aa"},
    {kZeroKey, "0000000000000000", 12, kTc1Chacha12},
    {kZeroKey, "0000000000000000", 20,
     "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
     "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586"
     "9f07e7be5551387a98ba977c732d080dcb0f29a048e3656912c6533e32ee7aed"
     "29b721769ce64e43d57133b074d839d531ed1f28510afb45ace10a1f4b794d6f"},
    {kZeroKey, "0100000000000000", 12,
     "64b8bdf87b828c4b6dbaf7ef698de03df8b33f635714418f9836ade59be12969"
     "46c953a0f38ecffc9ecb98e81d5d99a5edfc8f9a0a45b9e41ef3b31f028f1d0f"
     "559db4a7f222c442fe23b9a2596a88285122ee4f1363896ea77ca150912ac723"
     "bff04b026a2f807e03b29c02077d7b06fc1ab9827c13c8013a6d83bd3b52a26f"},
    {"c46ec1b18ce8a878725a37e780dfb7351f68ed2e194c79fbc6aebee1a667975d", "1ada31d5cf688221", 12,
     "1482072784bc6d06b4e73bdc118bc0103c7976786ca918e06986aa251f7e9cc1"
     "b2749a0a16ee83b4242d2e99b08d7c20092b80bc466c87283b61b1b39d0ffbab"
     "d94b116bc1ebdb329b9e4f620db695544a8e3d9b68473d0c975a46ad966ed631"
     "e42aff530ad5eac7d8047adfa1e5113c91f3e3b883f1d189ac1c8fe07ba5a42b"},
};

class ChachaBlock : public ::testing::TestWithParam<ChachaVector> {};

TEST_P(ChachaBlock, MatchesPublishedKeystream) {
    const ChachaVector& v = GetParam();
    const auto key_bytes = from_hex(v.key);
    std::array<std::uint32_t, 8> key{};
    for (int i = 0; i < 8; ++i)
        key[i] = key_bytes[4 * i] | (key_bytes[4 * i + 1] << 8) | (key_bytes[4 * i + 2] << 16) |
                 (std::uint32_t(key_bytes[4 * i + 3]) << 24);
    const std::uint64_t nonce = le64(from_hex(v.iv));
    const auto expected = from_hex(v.keystream);
    for (std::uint64_t counter = 0; counter < 2; ++counter) {
        const auto words = chacha_block(key, counter, nonce, v.rounds);
        for (int i = 0; i < 64; ++i)
            ASSERT_EQ(std::uint8_t(words[i / 4] >> (8 * (i % 4))), expected[64 * counter + i])
                << "block " << counter << " byte " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(DraftVectors, ChachaBlock, ::testing::ValuesIn(kVectors));

TEST(StdRng, ZeroSeedStreamIsTheChacha12Keystream) {
    StdRng rng = StdRng::from_seed({});
    const auto expected = from_hex(kTc1Chacha12);
    for (int w = 0; w < 32; ++w) {
        std::uint32_t e = 0;
        for (int b = 3; b >= 0; --b) e = (e << 8) | expected[4 * w + b];
        ASSERT_EQ(rng.next_u32(), e) << "word " << w;
    }
}

TEST(StdRng, NextU64AcrossTheBufferEdge) {
    // Zero key: word 63 is block 3's last word, words 64.. come from block 4.
    StdRng straddle = StdRng::from_seed({});
    for (int i = 0; i < 63; ++i) straddle.next_u32();
    EXPECT_EQ(straddle.next_u64(), 0xdf2cb7f4'df2572cbull);
    EXPECT_EQ(straddle.next_u32(), 0x9a413c4bu);

    StdRng empty = StdRng::from_seed({});
    for (int i = 0; i < 64; ++i) empty.next_u32();
    EXPECT_EQ(empty.next_u64(), 0x9a413c4b'df2cb7f4ull);
    EXPECT_EQ(empty.next_u32(), 0x4b704258u);
}

TEST(StdRng, SeedFromU64UsesPcg32Words) {
    const std::uint32_t seed0[8] = {0xf973f2ec, 0x45cdb581, 0x7346f087, 0xad6cad06,
                                    0xe3a3d0d0, 0x67e71733, 0x72ea9bf2, 0xfe7d8ad7};
    const std::uint32_t seed_max[8] = {0xe392472f, 0x102810d6, 0x952d5435, 0x435ef92c,
                                       0x7b34e99a, 0x37c5dd03, 0xb0c77a63, 0x3e612043};
    const auto b0 = pcg32_seed_bytes(0);
    const auto bmax = pcg32_seed_bytes(~0ull);
    for (int i = 0; i < 32; ++i) {
        EXPECT_EQ(b0[i], std::uint8_t(seed0[i / 4] >> (8 * (i % 4))));
        EXPECT_EQ(bmax[i], std::uint8_t(seed_max[i / 4] >> (8 * (i % 4))));
    }
    StdRng rng = StdRng::seed_from_u64(0);
    EXPECT_EQ(rng.next_u64(), 0xbb2a3fb2cd2c6f7full);
    EXPECT_EQ(rng.next_u64(), 0xc6017c948e27697bull);
}

TEST(StdRng, FloatDrawsMatchReference) {
    StdRng a = StdRng::seed_from_u64(0);
    EXPECT_EQ(a.unit52(), 0.7311134158637045);
    EXPECT_EQ(a.unit53(), 0.7734601843532382);
    StdRng b = StdRng::seed_from_u64(42);
    EXPECT_EQ(b.uniform_between(-2.0, 6.0), 2.2124592720221905);
}

TEST(StdRng, UnitDrawsStayInHalfOpenInterval) {
    StdRng rng = StdRng::seed_from_u64(7);
    double sum52 = 0.0, sum53 = 0.0;
    const int n = 20000;
    for (int i = 0; i < n; ++i) {
        const double a = rng.unit52(), b = rng.unit53();
        ASSERT_TRUE(a >= 0.0 && a < 1.0);
        ASSERT_TRUE(b >= 0.0 && b < 1.0);
        sum52 += a;
        sum53 += b;
    }
    EXPECT_NEAR(sum52 / n, 0.5, 0.01);
    EXPECT_NEAR(sum53 / n, 0.5, 0.01);
}

TEST(StdRng, RandFromRangeSkipsEqualEntriesAndIgnoresOrder) {
    StdRng rng = StdRng::seed_from_u64(42);
    const std::vector<double> lo = {3.0, 6.0, -0.0};
    const std::vector<double> hi = {3.0, -2.0, 0.0};
    const auto v = rand_from_range(lo, hi, rng);
    EXPECT_EQ(v[0], 3.0);
    EXPECT_EQ(v[1], 2.2124592720221905);   // first draw of seed 42 on [-2, 6]
    EXPECT_TRUE(v[2] == 0.0 && std::signbit(v[2]));
    StdRng fresh = StdRng::seed_from_u64(42);
    fresh.next_u64();
    EXPECT_EQ(rng.next_u64(), fresh.next_u64());   // exactly one draw was used
}

TEST(StdRng, OsSeededGeneratorsDiffer) {
    auto a = StdRng::from_os_entropy();
    auto b = StdRng::from_os_entropy();
    ASSERT_TRUE(a && b);
    EXPECT_NE(a->next_u64(), b->next_u64());
}

TEST(Xorshift128, MarsagliaStreamAndDerivedDraws) {
    Xorshift128 g(123456789, 362436069, 521288629, 88675123);
    const std::uint32_t expected[5] = {3701687786u, 458299110u, 2500872618u, 3633119408u, 516391518u};
    for (std::uint32_t e : expected) EXPECT_EQ(g.next_u32(), e);

    Xorshift128 f(123456789, 362436069, 521288629, 88675123);
    EXPECT_EQ(f.unit_f32(), 0.2755711078643799f);
    EXPECT_EQ(f.range_f32(0.1f, 1.0f), 0.670160174369812f);

    Xorshift128 i(123456789, 362436069, 521288629, 88675123);
    EXPECT_EQ(i.index_below(100), 3701687786u % 100);
    // m = 2^31 + 1 leaves a zone of 2^31 + 1: the first output is redrawn.
    Xorshift128 r(123456789, 362436069, 521288629, 88675123);
    EXPECT_EQ(r.index_below(2147483649u), 458299110u);
    EXPECT_EQ(r.next_u32(), 2500872618u);
}

TEST(Xorshift128, ThreadGeneratorGivesFreshStates) {
    auto a = Xorshift128::from_thread_generator();
    auto b = Xorshift128::from_thread_generator();
    ASSERT_TRUE(a && b);
    EXPECT_NE(a->next_u32(), b->next_u32());
}

}  // namespace
