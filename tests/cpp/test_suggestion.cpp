// The "did you mean" suggestion against a plain full-table edit distance.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "circuit/circuit.hpp"
#include "util/text.hpp"

using namespace velotz;

namespace {

std::size_t full_distance(const std::u32string& a, const std::u32string& b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i)
        for (std::size_t j = 1; j <= b.size(); ++j)
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
    return d[a.size()][b.size()];
}

// The first valid name at the smallest distance, if that distance is within
// max(2, characters / 2).
std::optional<std::string> reference(const std::string& unknown, const std::vector<std::string>& valid) {
    const std::u32string a = utf8_to_u32(unknown);
    std::optional<std::size_t> best;
    std::size_t best_d = 0;
    for (std::size_t i = 0; i < valid.size(); ++i) {
        const std::size_t d = full_distance(a, utf8_to_u32(valid[i]));
        if (!best || d < best_d) {
            best = i;
            best_d = d;
        }
    }
    if (best && best_d <= std::max<std::size_t>(2, a.size() / 2)) return valid[*best];
    return std::nullopt;
}

}  // namespace

TEST(Suggestion, AgreesWithTheFullTableOnRandomNames) {
    std::mt19937 rng(7);
    const std::vector<std::string> alphabet = {"a", "b", "c", ".", "R", "0", "\xce\xa9"};  // includes Omega
    auto word = [&](std::size_t max_len) {
        std::string s;
        const std::size_t n = rng() % (max_len + 1);
        for (std::size_t i = 0; i < n; ++i) s += alphabet[rng() % alphabet.size()];
        return s;
    };
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::string> valid;
        const std::size_t count = rng() % 6;
        for (std::size_t i = 0; i < count; ++i) valid.push_back(word(12));
        const std::string unknown = word(14);
        EXPECT_EQ(closest_param_name(unknown, valid), reference(unknown, valid)) << unknown;
    }
}

TEST(Suggestion, LongUnknownKeyAgainstManyNamesIsQuick) {
    std::vector<std::string> valid;
    for (int i = 0; i < 2000; ++i) valid.push_back("R" + std::to_string(i) + ".r");
    const std::string unknown(30000, 'x');
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(closest_param_name(unknown, valid), std::nullopt);
    // A long key close to one long name is still found.
    std::vector<std::string> long_names = valid;
    long_names.push_back(std::string(29990, 'x') + "abc");
    EXPECT_EQ(closest_param_name(unknown, long_names), long_names.back());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 2.0);
}
