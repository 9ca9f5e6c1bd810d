// Weight-file reader and network inference of the initial-guess network.

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "nn/embedded.hpp"
#include "nn/guesser.hpp"

namespace {

using velotz::Guesser;
using velotz::NnError;
using cd = std::complex<double>;
using Kind = NnError::Kind;

// ------------------------------------------------------------ file builder

struct Rec {
    std::string name;
    std::uint8_t code = 0;
    std::vector<std::uint32_t> dims;
    std::vector<float> values;  // f32 records; other codes use `raw`
    std::vector<unsigned char> raw;
};

void put_u32(std::vector<unsigned char>& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
}
void put_str(std::vector<unsigned char>& b, std::string_view s) {
    put_u32(b, static_cast<std::uint32_t>(s.size()));
    b.insert(b.end(), s.begin(), s.end());
}

// A weight file described field by field, written independently of the loader.
struct File {
    std::vector<std::pair<std::string, std::string>> meta;
    std::vector<Rec> recs;

    std::vector<unsigned char> bytes() const {
        std::vector<unsigned char> b = {'E', 'I', 'S', 'N', 'N', '0', '0', '1'};
        put_u32(b, static_cast<std::uint32_t>(meta.size()));
        for (auto& [k, v] : meta) put_str(b, k), put_str(b, v);
        put_u32(b, static_cast<std::uint32_t>(recs.size()));
        for (const Rec& r : recs) {
            put_str(b, r.name);
            b.push_back(r.code);
            b.push_back(static_cast<unsigned char>(r.dims.size()));
            for (auto d : r.dims) put_u32(b, d);
            if (r.code == 0 && r.raw.empty()) {
                for (float f : r.values) put_u32(b, std::bit_cast<std::uint32_t>(f));
            } else {
                b.insert(b.end(), r.raw.begin(), r.raw.end());
            }
        }
        return b;
    }
    std::expected<Guesser, NnError> load() const {
        auto b = bytes();
        return Guesser::from_bytes(b.data(), b.size());
    }
    void set(const std::string& k, const std::string& v) {
        for (auto& kv : meta) {
            if (kv.first == k) {
                kv.second = v;
                return;
            }
        }
        meta.emplace_back(k, v);
    }
    void drop_meta(const std::string& k) {
        std::erase_if(meta, [&](auto& kv) { return kv.first == k; });
    }
    Rec& rec(const std::string& n) {
        for (Rec& r : recs) {
            if (r.name == n) return r;
        }
        throw std::runtime_error("no tensor " + n);
    }
    void drop(const std::string& n) {
        std::erase_if(recs, [&](const Rec& r) { return r.name == n; });
    }
};

struct Shape {
    std::uint32_t c = 2, k = 3, groups = 1, h1 = 4, h2 = 3, n_grid = 8;
    std::vector<std::uint32_t> dilations = {1, 2};
    std::vector<std::string> params = {"R0.r", "C0.c"};
};

// A consistent network of float32 tensors with random weights.
File network(const Shape& s, unsigned seed = 1) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-0.5f, 0.5f);
    File f;
    std::string names, dil;
    for (auto& p : s.params) names += (names.empty() ? "" : ",") + p;
    for (auto d : s.dilations) dil += (dil.empty() ? "" : ",") + std::to_string(d);
    f.meta = {{"circuit", "R0-C0"}, {"param_names", names}, {"estimator", "reactive_centroid"},
              {"n_grid", std::to_string(s.n_grid)}, {"channels", std::to_string(s.c)},
              {"kernel", std::to_string(s.k)}, {"groups", std::to_string(s.groups)},
              {"dilations", dil}, {"alpha_min", "0.05"}, {"alpha_max", "1.0"}};
    auto add = [&](std::string n, std::vector<std::uint32_t> dims) {
        std::size_t count = 1;
        for (auto d : dims) count *= d;
        Rec r{std::move(n), 0, std::move(dims), {}, {}};
        for (std::size_t i = 0; i < count; ++i) r.values.push_back(u(rng));
        f.recs.push_back(std::move(r));
    };
    add("w.stem.weight", {s.c, 3, s.k});
    add("w.stem.bias", {s.c});
    for (std::size_t b = 0; b < s.dilations.size(); ++b) {
        const std::string p = "w.blocks." + std::to_string(b) + ".";
        for (const char* part : {"conv1", "conv2"}) {
            add(p + part + ".weight", {s.c, s.c, s.k});
            add(p + part + ".bias", {s.c});
        }
        for (const char* part : {"norm1", "norm2"}) {
            add(p + part + ".weight", {s.c});
            add(p + part + ".bias", {s.c});
        }
    }
    const auto np = static_cast<std::uint32_t>(s.params.size());
    add("w.head.0.weight", {s.h1, 2 * s.c + 2});
    add("w.head.0.bias", {s.h1});
    add("w.head.2.weight", {s.h2, s.h1});
    add("w.head.2.bias", {s.h2});
    add("w.head.4.weight", {2 * np, s.h2});
    add("w.head.4.bias", {2 * np});
    f.recs.push_back({"target_mean", 0, {np}, std::vector<float>(np, 0.5f), {}});
    f.recs.push_back({"target_std", 0, {np}, std::vector<float>(np, 0.25f), {}});
    std::vector<float> scaling;
    for (std::uint32_t i = 0; i < np; ++i) scaling.insert(scaling.end(), {1, 0, 0, -1});
    f.recs.push_back({"scaling", 0, {np, 4}, scaling, {}});
    f.recs.push_back({"log_params", 0, {np}, std::vector<float>(np, 1.0f), {}});
    return f;
}

std::string load_error(const File& f) {
    auto g = f.load();
    return g ? std::string("<loaded>") : g.error().message();
}

std::vector<unsigned char> read_all(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

const std::filesystem::path kData = std::filesystem::path(__FILE__).parent_path().parent_path() / "data";

// ------------------------------------------------------------ error texts

TEST(NnError, DisplayTexts) {
    const std::pair<NnError, std::string> cases[] = {
        {NnError::io("No such file or directory (os error 2)"),
         "reading weights: No such file or directory (os error 2)"},
        {NnError::bad_magic(), "not an eisnn weight file (bad magic bytes)"},
        {NnError::truncated(), "weight file is truncated"},
        {NnError::missing("w.blocks.2.norm1.bias"), "weight file is missing \"w.blocks.2.norm1.bias\""},
        {NnError::missing("a\"b\\c\nd\te\x01\x7f"), "weight file is missing \"a\\\"b\\\\c\\nd\\te\\u{1}\\u{7f}\""},
        {NnError::unparsable("dilations"), "weight file has an unparsable value for \"dilations\""},
        {NnError::unparsable("model \"rc\" is registered as \"R0\""),
         "weight file has an unparsable value for \"model \\\"rc\\\" is registered as \\\"R0\\\"\""},
        {NnError::unknown_estimator("iqr"),
         "weight file was normalised with the \"iqr\" scale estimator, which this build does not "
         "implement (supported: reactive_centroid)"},
        {NnError::unknown_encoding(3), "weight file uses tensor encoding 3, which this build does not know"},
        {NnError::shape_mismatch("head.0", 34, 66), "tensor \"head.0\" has 34 elements, expected 66"},
        {NnError::too_few_points(1), "need at least 2 frequency points to guess, got 1"},
        {NnError::missing("\xc3\xa9t\xc3\xa9"), "weight file is missing \"\xc3\xa9t\xc3\xa9\""},
    };
    for (auto& [err, text] : cases) EXPECT_EQ(err.message(), text);
}

// ------------------------------------------------------------ byte layout

TEST(Loader, MagicAndTruncation) {
    auto load = [](std::string_view s) {
        auto g = Guesser::from_bytes(reinterpret_cast<const unsigned char*>(s.data()), s.size());
        return g ? std::string("<loaded>") : g.error().message();
    };
    EXPECT_EQ(load("EISNN00"), "weight file is truncated");
    EXPECT_EQ(load("EISNN002"), "not an eisnn weight file (bad magic bytes)");
    EXPECT_EQ(load("EISNN001"), "weight file is truncated");
    EXPECT_EQ(load(std::string_view("EISNN001\x01\0\0\0\x09\0\0\0ab", 18)), "weight file is truncated");

    File f = network(Shape{});
    f.meta.insert(f.meta.begin(), {"bad\xff", "x"});  // not UTF-8
    EXPECT_EQ(load_error(f), "weight file is truncated");

    // Every proper prefix of a valid file is truncated.
    const auto full = network(Shape{}).bytes();
    for (std::size_t n = 8; n < full.size(); n += 7) {
        auto g = Guesser::from_bytes(full.data(), n);
        ASSERT_FALSE(g) << n;
        EXPECT_EQ(g.error().kind, Kind::Truncated) << n;
    }
    EXPECT_TRUE(Guesser::from_bytes(full.data(), full.size()));
    auto longer = full;
    longer.insert(longer.end(), {1, 2, 3});  // trailing bytes are ignored
    EXPECT_TRUE(Guesser::from_bytes(longer.data(), longer.size()));
}

TEST(Loader, EncodingsAndDimensions) {
    File f = network(Shape{});
    f.recs.push_back({"half", 1, {2, 3}, {}, {0x00, 0x3C, 0x01, 0x00, 0x00, 0x7C, 0x00, 0xC0, 0xFF, 0x7B, 0x00, 0x80}});
    std::vector<unsigned char> q8(4);
    std::memcpy(q8.data(), "\0\0\0\x3f", 4);  // 0.5f little-endian
    q8.insert(q8.end(), {0xFF, 0x02});
    f.recs.push_back({"q8", 2, {2}, {}, q8});
    f.recs.push_back({"zero_dim", 0, {3, 0}, {2.5f}, {}});
    f.recs.push_back({"scalar", 0, {}, {-7.0f}, {}});
    f.recs.push_back({"dup", 0, {1}, {1.0f}, {}});
    f.recs.push_back({"dup", 0, {2}, {2.0f, 3.0f}, {}});
    auto g = f.load();
    ASSERT_TRUE(g) << g.error().message();
    const auto& half = (*g->tensor("half"))->data;
    ASSERT_EQ(half.size(), 6u);
    EXPECT_EQ(half[0], 1.0);
    EXPECT_EQ(half[1], std::ldexp(1.0, -24));
    EXPECT_EQ(half[2], std::numeric_limits<double>::infinity());
    EXPECT_EQ(half[3], -2.0);
    EXPECT_EQ(half[4], 65504.0);
    EXPECT_TRUE(half[5] == 0.0 && std::signbit(half[5]));
    EXPECT_EQ((*g->tensor("q8"))->data, (std::vector<double>{-0.5, 1.0}));
    EXPECT_EQ((*g->tensor("zero_dim"))->data, std::vector<double>{2.5});
    EXPECT_EQ((*g->tensor("zero_dim"))->dims, (std::vector<std::uint32_t>{3, 0}));
    EXPECT_EQ((*g->tensor("scalar"))->data, std::vector<double>{-7.0});
    EXPECT_EQ((*g->tensor("dup"))->data, (std::vector<double>{2.0, 3.0}));
    EXPECT_EQ(g->tensor("nope").error().message(), "weight file is missing \"nope\"");

    // The encoding is checked after the dimensions, before the data.
    File bad = network(Shape{});
    bad.recs.insert(bad.recs.begin(), Rec{"x", 3, {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}, {}, {}});
    EXPECT_EQ(load_error(bad), "weight file uses tensor encoding 3, which this build does not know");
    // A huge element count cannot be satisfied and must not be allocated.
    bad.recs.front().code = 1;
    EXPECT_EQ(load_error(bad), "weight file is truncated");
    bad.recs.front() = Rec{"x", 2, {4}, {}, {0, 0, 0, 0, 1, 2, 3}};
    EXPECT_EQ(load_error(bad), "weight file is truncated");
}

TEST(Loader, TablesAreReadBeforeMetadata) {
    File f = network(Shape{});
    f.meta.clear();
    f.drop("target_mean");
    f.drop("target_std");
    f.drop("log_params");
    EXPECT_EQ(load_error(f), "weight file is missing \"target_mean\"");
    f.recs.push_back({"target_mean", 0, {2}, {0, 0}, {}});
    EXPECT_EQ(load_error(f), "weight file is missing \"target_std\"");
    f.recs.push_back({"target_std", 0, {2}, {1, 1}, {}});
    EXPECT_EQ(load_error(f), "weight file is missing \"log_params\"");
    f.recs.push_back({"log_params", 0, {2}, {0.5f, std::nanf("")}, {}});
    f.rec("scaling").values.pop_back();
    f.rec("scaling").dims = {7};
    EXPECT_EQ(load_error(f), "weight file is missing \"scaling\"");
    f.drop("scaling");
    EXPECT_EQ(load_error(f), "weight file is missing \"scaling\"");
    f.recs.push_back({"scaling", 0, {8}, {1, 0, 0, -1, 1, 0, 0, -1}, {}});
    EXPECT_EQ(load_error(f), "weight file is missing \"dilations\"");
}

TEST(Loader, MetadataOrderAndSyntax) {
    const File good = network(Shape{});
    File f = good;
    f.meta.clear();
    // Adding the keys in the checking order moves the failure to the next key.
    for (auto& [key, value] : good.meta) (void)key, (void)value;
    const char* order[] = {"dilations", "estimator", "circuit", "param_names", "n_grid",
                           "channels", "kernel", "groups", "alpha_min", "alpha_max"};
    for (const char* key : order) {
        EXPECT_EQ(load_error(f), std::string("weight file is missing \"") + key + "\"");
        for (auto& kv : good.meta) {
            if (kv.first == key) f.set(kv.first, kv.second);
        }
    }
    EXPECT_EQ(load_error(f), "<loaded>");

    struct Case {
        const char* key;
        const char* value;
        const char* error;  // nullptr: loads
    };
    const Case cases[] = {
        {"dilations", " 1, 2", nullptr},
        {"dilations", "1 ,\t2 ", nullptr},
        {"dilations", "1,,2", "weight file has an unparsable value for \"dilations\""},
        {"dilations", "1,-2", "weight file has an unparsable value for \"dilations\""},
        {"estimator", "median", "weight file was normalised with the \"median\" scale estimator, which this "
                                "build does not implement (supported: reactive_centroid)"},
        {"estimator", "reactive_centroid ", "weight file was normalised with the \"reactive_centroid \" scale "
                                            "estimator, which this build does not implement (supported: "
                                            "reactive_centroid)"},
        {"n_grid", "+8", nullptr},
        {"n_grid", " 8", "weight file has an unparsable value for \"n_grid\""},
        {"n_grid", "-8", "weight file has an unparsable value for \"n_grid\""},
        {"n_grid", "+", "weight file has an unparsable value for \"n_grid\""},
        {"n_grid", "", "weight file has an unparsable value for \"n_grid\""},
        {"n_grid", "18446744073709551616", "weight file has an unparsable value for \"n_grid\""},
        {"channels", "2.0", "weight file has an unparsable value for \"channels\""},
        {"alpha_min", "-inf", nullptr},
        {"alpha_max", "1e0", nullptr},
        {"alpha_max", "+Infinity", nullptr},
        {"alpha_max", "1e999", nullptr},
        {"alpha_max", " 1.0", "weight file has an unparsable value for \"alpha_max\""},
        {"alpha_max", "0x1p0", "weight file has an unparsable value for \"alpha_max\""},
        {"alpha_max", "1.0f", "weight file has an unparsable value for \"alpha_max\""},
    };
    for (const Case& c : cases) {
        File m = good;
        m.set(c.key, c.value);
        EXPECT_EQ(load_error(m), c.error ? c.error : "<loaded>") << c.key << "=" << c.value;
    }

    File m = good;
    m.set("dilations", " 1, 2 ");
    m.set("param_names", "R0.r, C0.c");
    m.meta.emplace_back("circuit", "R9-C9");  // a repeated key replaces the earlier value
    auto g = m.load();
    ASSERT_TRUE(g);
    EXPECT_EQ(g->dilations(), (std::vector<std::size_t>{1, 2}));
    EXPECT_EQ(g->param_names(), (std::vector<std::string>{"R0.r", " C0.c"}));
    EXPECT_EQ(g->circuit(), "R9-C9");
    EXPECT_EQ(g->alpha_min(), 0.05);
    EXPECT_EQ(g->n_grid(), 8u);
}

TEST(Loader, TablesAndScalingRows) {
    File f = network(Shape{.params = {"CPE1.q", "CPE1.alpha", "W1.aw"}});
    f.rec("log_params").values = {0.5f, 0.0f, std::nanf("")};
    f.rec("scaling").values = {-1, 0, -1, 1.5f, 0, 0, 0, -2.5f, 1, 0.5f, 0, -0.4f};
    auto g = f.load();
    ASSERT_TRUE(g) << g.error().message();
    EXPECT_EQ(g->log_params(), (std::vector<bool>{true, false, true}));
    ASSERT_EQ(g->scaling().size(), 3u);
    EXPECT_EQ(g->scaling()[0].alpha_index, 2);  // 1.5 rounds away from zero
    EXPECT_EQ(g->scaling()[1].alpha_index, -3);
    EXPECT_EQ(g->scaling()[2].alpha_index, 0);
    EXPECT_EQ(g->scaling()[2].w_pow, 0.5);
    EXPECT_EQ(g->target_std(), (std::vector<double>{0.25, 0.25, 0.25}));
}

// Files whose tensors disagree with the metadata are refused at load.
TEST(Loader, InconsistentNetworksAreRefused) {
    const Shape shape;
    struct Case {
        const char* what;
        std::function<void(File&)> edit;
        const char* error;
    };
    const Case cases[] = {
        {"missing block tensor", [](File& f) { f.drop("w.blocks.1.norm1.bias"); },
         "weight file is missing \"w.blocks.1.norm1.bias\""},
        {"short bias", [](File& f) { f.rec("w.head.2.bias") = {"w.head.2.bias", 0, {2}, {0, 0}, {}}; },
         "tensor \"w.head.2.bias\" has 2 elements, expected 3"},
        {"conv kernel", [](File& f) { f.set("kernel", "4"); },
         "tensor \"w.stem.weight\" has 18 elements, expected 24"},
        {"conv layout", [](File& f) { f.rec("w.blocks.0.conv2.weight").dims = {2, 3, 2}; },
         "weight file has an unparsable value for \"w.blocks.0.conv2.weight\""},
        {"head input", [](File& f) { f.set("channels", "3"); f.set("groups", "3"); },
         "tensor \"w.stem.weight\" has 18 elements, expected 27"},
        {"groups zero", [](File& f) { f.set("groups", "0"); }, "weight file has an unparsable value for \"groups\""},
        {"groups not dividing", [](File& f) { f.set("groups", "3"); },
         "weight file has an unparsable value for \"groups\""},
        {"kernel zero", [](File& f) { f.set("kernel", "0"); }, "weight file has an unparsable value for \"kernel\""},
        {"grid too long", [](File& f) { f.set("n_grid", "100000000"); },
         "weight file has an unparsable value for \"n_grid\""},
        {"alpha range", [](File& f) { f.set("alpha_min", "0.5"); f.set("alpha_max", "0.4"); },
         "weight file has an unparsable value for \"alpha_max\""},
        {"alpha nan", [](File& f) { f.set("alpha_min", "NaN"); },
         "weight file has an unparsable value for \"alpha_min\""},
        {"head too narrow", [](File& f) { f.set("param_names", "a.r,b.r,c.r,d.r,e.r"); },
         "tensor \"head.4\" has 4 elements, expected 5"},
        {"short target_mean", [](File& f) { f.set("param_names", "a.r,b.r,c.r"); },
         "tensor \"target_mean\" has 2 elements, expected 3"},
        {"alpha index", [](File& f) { f.rec("scaling").values[3] = 2; },
         "weight file has an unparsable value for \"scaling\""},
    };
    for (const Case& c : cases) {
        File f = network(shape);
        c.edit(f);
        EXPECT_EQ(load_error(f), c.error) << c.what;
    }

    // A 16-channel trunk feeding a head that expects 66 inputs.
    File f = network(Shape{.c = 16, .k = 1, .groups = 8});
    f.rec("w.head.0.weight").dims = {4, 66};
    f.rec("w.head.0.weight").values.resize(4 * 66);
    EXPECT_EQ(load_error(f), "tensor \"head.0\" has 34 elements, expected 66");
}

// ------------------------------------------------------------ half floats

TEST(HalfFloat, KnownValues) {
    EXPECT_EQ(velotz::half_to_double(0x3C00), 1.0);
    EXPECT_EQ(velotz::half_to_double(0x0001), 5.9604644775390625e-08);
    EXPECT_EQ(velotz::half_to_double(0x03FF), 6.097555160522461e-05);
    EXPECT_EQ(velotz::half_to_double(0x0400), 6.103515625e-05);
    EXPECT_EQ(velotz::half_to_double(0x3555), 0.333251953125);
    EXPECT_EQ(velotz::half_to_double(0xC000), -2.0);
    EXPECT_EQ(velotz::half_to_double(0x7BFF), 65504.0);
    EXPECT_EQ(velotz::half_to_double(0xFC00), -std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(velotz::half_to_double(0x7E00)));
    EXPECT_TRUE(std::isnan(velotz::half_to_double(0xFC01)));
    EXPECT_TRUE(std::signbit(velotz::half_to_double(0x8000)));
}

#ifdef __FLT16_MAX__
// Every bit pattern against the compiler's own binary16 conversion.
TEST(HalfFloat, AllPatternsMatchCompiler) {
    for (std::uint32_t bits = 0; bits < 0x10000; ++bits) {
        const auto h = std::bit_cast<_Float16>(static_cast<std::uint16_t>(bits));
        const double want = static_cast<double>(h);
        const double got = velotz::half_to_double(static_cast<std::uint16_t>(bits));
        if (std::isnan(want)) {
            EXPECT_TRUE(std::isnan(got)) << bits;
        } else {
            EXPECT_EQ(std::bit_cast<std::uint64_t>(got), std::bit_cast<std::uint64_t>(want)) << bits;
        }
    }
}
#endif

// ------------------------------------------------------------ features

TEST(Features, GridScalesAndExtras) {
    // Seven decades, each point Z = 1 - 1j: equal weights.
    std::vector<double> f = {0.1, 1, 10, 100, 1e3, 1e4, 1e5};
    std::vector<cd> z(f.size(), cd(1, -1));
    auto feat = velotz::features(f, z, 64);
    ASSERT_TRUE(feat);
    EXPECT_NEAR(feat->scales.omega0, 2 * M_PI * 100.0, 1e-9);
    EXPECT_NEAR(feat->scales.z0, std::sqrt(2.0), 1e-14);
    EXPECT_EQ(feat->e1, 0.75);
    EXPECT_NEAR(feat->e2, 0.5 * std::log10(7.0), 1e-15);
    for (int t = 0; t < 64; ++t) {
        const double x = -1.0 + t * (6.0 / 63.0);
        EXPECT_NEAR(feat->grid[t], 0.0, 1e-14);
        EXPECT_NEAR(feat->grid[64 + t], -0.5, 1e-14);
        EXPECT_NEAR(feat->grid[128 + t], (x - 2.0) * 0.25, 1e-13);
    }
    // Same data in descending order.
    std::vector<double> fr(f.rbegin(), f.rend());
    auto rev = velotz::features(fr, z, 64);
    ASSERT_TRUE(rev);
    for (std::size_t i = 0; i < feat->grid.size(); ++i) EXPECT_NEAR(rev->grid[i], feat->grid[i], 1e-13);
}

TEST(Features, ResistiveSpectrumFallsBack) {
    const std::vector<double> f = {1000, 1, 100, 10};
    const std::vector<cd> z = {cd(9, 0), cd(5, 0.5), cd(3, 0), cd(7, 2)};
    auto s = velotz::reactive_centroid(f, z);
    EXPECT_NEAR(s.omega0, 2 * M_PI * std::pow(10.0, 1.5), 1e-9);
    EXPECT_EQ(s.z0, std::hypot(7.0, 2.0));  // upper median of |Z|
}

TEST(Features, PhaseUnwrapsAcrossBranchCut) {
    const std::vector<double> f = {1, 2};
    const std::vector<cd> z = {std::polar(2.0, 3.1), std::polar(2.0, -3.1)};
    auto feat = velotz::features(f, z, 5);
    ASSERT_TRUE(feat);
    EXPECT_NEAR(feat->grid[5 + 0] * (M_PI / 2), 3.1, 1e-12);
    EXPECT_NEAR(feat->grid[5 + 4] * (M_PI / 2), 2 * M_PI - 3.1, 1e-12);
    EXPECT_NEAR(feat->grid[5 + 2] * (M_PI / 2), M_PI, 1e-12);

    // A jump of exactly +pi stays +pi (the half-open interval is (-pi, pi]).
    auto tie = velotz::features(f, std::vector<cd>{cd(1, 0), cd(-1, 0)}, 2);
    ASSERT_TRUE(tie);
    EXPECT_EQ(tie->grid[2 + 1], 2.0);
}

TEST(Features, Interpolate) {
    const std::vector<double> xs = {0, 1, 1, 3};
    const std::vector<double> ys = {0, 10, 20, 40};
    EXPECT_EQ(velotz::interpolate(-1, xs, ys), 0);
    EXPECT_EQ(velotz::interpolate(9, xs, ys), 40);
    EXPECT_EQ(velotz::interpolate(0.5, xs, ys), 5);
    EXPECT_EQ(velotz::interpolate(1, xs, ys), 20);
    EXPECT_EQ(velotz::interpolate(2, xs, ys), 30);
    EXPECT_TRUE(std::isnan(velotz::interpolate(std::nan(""), xs, ys)));
}

// ------------------------------------------------------------ layers and guess

// Direct transcription of the dilated convolution, absent taps and zero
// weights skipped, accumulated channel by channel and tap by tap.
std::vector<double> reference_conv(const velotz::Tensor& w, const velotz::Tensor& b,
                                   const std::vector<double>& in, std::size_t len, std::size_t d) {
    const std::size_t co = w.dims[0], ci = w.dims[1], k = w.dims[2];
    const auto pad = static_cast<long>(d * (k - 1) / 2);
    std::vector<double> out(co * len);
    for (std::size_t o = 0; o < co; ++o) {
        for (std::size_t t = 0; t < len; ++t) {
            double acc = b.data[o];
            for (std::size_t c = 0; c < ci; ++c) {
                for (std::size_t j = 0; j < k; ++j) {
                    const double wt = w.data[(o * ci + c) * k + j];
                    const long pos = static_cast<long>(t + j * d) - pad;
                    if (wt == 0.0 || pos < 0 || pos >= static_cast<long>(len)) continue;
                    acc += wt * in[c * len + static_cast<std::size_t>(pos)];
                }
            }
            out[o * len + t] = acc;
        }
    }
    return out;
}

TEST(Layers, ConvolutionMatchesDefinitionBitForBit) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(-2, 2);
    for (std::uint32_t k : {1u, 2u, 4u, 5u}) {
        for (std::uint32_t len : {1u, 7u, 16u, 37u}) {
            // 17 output channels: a group of 8 with a zero weight, a group
            // without, and one left over.
            File f = network(Shape{.c = 17, .k = k, .groups = 1, .n_grid = len}, k * 100 + len);
            for (const char* name : {"w.stem.weight", "w.blocks.0.conv1.weight"}) {
                auto& w = f.rec(name).values;
                const std::size_t row = w.size() / 17;
                w[1] = 0.0f;                                         // skipped, even against inf input
                w[row * 8 + k - 1] = std::numeric_limits<float>::infinity();  // harmless where absent
            }
            auto g = f.load();
            ASSERT_TRUE(g) << g.error().message();
            std::vector<double> in(17 * len);
            for (auto& x : in) x = u(rng);
            in[len / 2] = std::numeric_limits<double>::infinity();
            for (std::size_t d : {0u, 1u, 2u, 3u, 8u, 40u}) {
                for (auto [layer, cin] : {std::pair{"stem", std::size_t{3}}, std::pair{"blocks.0.conv1", std::size_t{17}}}) {
                    std::vector<double> x(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(cin * len));
                    auto out = g->conv1d(x, cin, layer, d);
                    ASSERT_TRUE(out);
                    const std::string base = std::string("w.") + layer;
                    auto want = reference_conv(**g->tensor(base + ".weight"), **g->tensor(base + ".bias"), x,
                                               len, d);
                    ASSERT_EQ(out->size(), want.size());
                    for (std::size_t i = 0; i < want.size(); ++i) {
                        ASSERT_EQ(std::bit_cast<std::uint64_t>((*out)[i]), std::bit_cast<std::uint64_t>(want[i]))
                            << layer << " k=" << k << " len=" << len << " d=" << d << " i=" << i;
                    }
                }
            }
        }
    }
}

// Every kernel the CPU can run must give the definition's bits for the
// stem (3 input channels) and the first block's conv1 (`channels` inputs)
// of `g` on `in` (channels x len values), at each dilation in `dilations`.
void expect_convolutions_match_definition(const velotz::Guesser& g, const std::vector<double>& in, std::size_t len,
                                          std::size_t channels, std::initializer_list<std::size_t> dilations,
                                          const std::string& where) {
    for (std::size_t d : dilations) {
        for (auto [layer, cin] : {std::pair{"stem", std::size_t{3}}, std::pair{"blocks.0.conv1", channels}}) {
            std::vector<double> x(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(cin * len));
            const std::string base = std::string("w.") + layer;
            auto want = reference_conv(**g.tensor(base + ".weight"), **g.tensor(base + ".bias"), x, len, d);
            for (int level : {0, 1, 2}) {
                if (velotz::use_convolution_kernel(level) != level) continue;  // not on this CPU
                auto out = g.conv1d(x, cin, layer, d);
                velotz::use_convolution_kernel(-1);
                ASSERT_TRUE(out);
                ASSERT_EQ(out->size(), want.size());
                for (std::size_t i = 0; i < want.size(); ++i) {
                    ASSERT_EQ(std::bit_cast<std::uint64_t>((*out)[i]), std::bit_cast<std::uint64_t>(want[i]))
                        << layer << " " << where << " len=" << len << " d=" << d << " i=" << i << " level=" << level;
                }
            }
        }
    }
}

// Groups of output channels whose weights are finite and non-zero and whose
// biases are not -0.0 read absent edge terms from the zero padding; the
// others leave them out. Either way every output equals the definition bit
// for bit, with each kernel the CPU can run.
TEST(Layers, PaddedAndMaskedGroupsMatchDefinitionOnEveryKernel) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> u(-2, 2);
    for (std::uint32_t len : {5u, 16u, 37u, 64u}) {
        // 24 channels: group 0 plain, group 1 with a -0.0 bias and positive
        // weights (fed -0.0 inputs, its sums stay -0.0 only if edge terms
        // are left out), group 2 plain.
        File f = network(Shape{.c = 24, .k = 5, .groups = 1, .n_grid = len}, len);
        for (const char* layer : {"w.stem", "w.blocks.0.conv1"}) {
            auto& w = f.rec(std::string(layer) + ".weight").values;
            const std::size_t row = w.size() / 24;
            for (std::size_t i = 8 * row; i < 16 * row; ++i) w[i] = std::abs(w[i]) + 0.01f;
            f.rec(std::string(layer) + ".bias").values[9] = -0.0f;
        }
        auto g = f.load();
        ASSERT_TRUE(g) << g.error().message();
        for (int inputs = 0; inputs < 2; ++inputs) {
            std::vector<double> in(24 * len, -0.0);
            if (inputs == 1) {
                for (auto& x : in) x = u(rng);
                in[len / 3] = std::numeric_limits<double>::infinity();
            }
            expect_convolutions_match_definition(*g, in, len, 24, {1u, 2u, 3u, 8u, 40u}, "");
        }
    }
}

// A network whose groups are all plain and leave no channel over reads its
// input without a padded copy: the strip is filled from the rows, with zeros
// beyond either end. Edge values (an infinity at the first position, a NaN
// at the last) must reach exactly the outputs the definition gives them.
TEST(Layers, AllPlainGroupsMatchDefinitionOnEveryKernel) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(-2, 2);
    for (std::uint32_t len : {3u, 8u, 13u, 64u}) {
        File f = network(Shape{.c = 16, .k = 5, .groups = 1, .n_grid = len}, 3 * len);
        auto g = f.load();
        ASSERT_TRUE(g) << g.error().message();
        std::vector<double> in(16 * len);
        for (auto& x : in) x = u(rng);
        in[0] = std::numeric_limits<double>::infinity();
        in[len - 1] = std::numeric_limits<double>::quiet_NaN();
        in[5 * len] = -0.0;
        expect_convolutions_match_definition(*g, in, len, 16, {1u, 2u, 3u, 8u, 40u}, "plain");
    }
}

// Blocks of 8 positions (AVX-512) and of 4 (others): lengths on either side
// of a block, dilations whose taps fall partly or wholly off the grid, a
// channel count that leaves 4 channels after two groups of 8, zero weights at
// an edge tap and inside, NaN and infinite inputs. Every kernel must give the
// definition's bits.
TEST(Layers, BlockEdgesZerosAndNanMatchDefinitionOnEveryKernel) {
    std::mt19937 rng(23);
    std::uniform_real_distribution<double> u(-2, 2);
    for (std::uint32_t k : {3u, 5u}) {
        for (std::uint32_t len : {1u, 7u, 8u, 9u, 17u, 63u, 64u, 65u}) {
            File f = network(Shape{.c = 20, .k = k, .groups = 1, .n_grid = len}, 31 * k + len);
            for (const char* name : {"w.stem.weight", "w.blocks.0.conv1.weight"}) {
                auto& w = f.rec(name).values;
                const std::size_t row = w.size() / 20;
                w[8 * row] = 0.0f;             // group 1: first tap of the first input channel
                w[9 * row + k + k / 2] = 0.0f;  // group 1: middle tap of the second input channel
                w[18 * row + row - 1] = 0.0f;   // a leftover channel: its last weight
            }
            auto g = f.load();
            ASSERT_TRUE(g) << g.error().message();
            std::vector<double> in(20 * len);
            for (auto& x : in) x = u(rng);
            in[0] = std::numeric_limits<double>::quiet_NaN();  // only ever met by the zero weight above in group 1
            in[len + len / 2] = std::numeric_limits<double>::infinity();
            in[19 * len + len - 1] = -std::numeric_limits<double>::infinity();
            expect_convolutions_match_definition(*g, in, len, 20, {1u, 2u, 4u, 8u, 16u, 70u}, "k=" + std::to_string(k));
        }
    }
}

// GELU evaluates several vectors side by side on the faster kernels; every
// length (whole groups, single vectors, a partial tail) and every special
// value must give the same bits as the one-vector portable form.
TEST(Layers, GeluSameBitsOnEveryKernel) {
    std::vector<double> base;
    for (double v = -25.0; v <= 25.0; v += 0.173) base.push_back(v);
    for (double v : {0.0, -0.0, 5e-324, -5e-324, 1e-300, 20.0, -20.0, 20.000000000000004, 1e200, -1e200,
                     std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                     std::numeric_limits<double>::quiet_NaN()}) {
        base.push_back(v);
    }
    for (std::size_t n : {std::size_t{1}, std::size_t{3}, std::size_t{4}, std::size_t{7}, std::size_t{8},
                          std::size_t{15}, std::size_t{16}, std::size_t{17}, std::size_t{33}, base.size()}) {
        for (std::size_t start : {std::size_t{0}, base.size() - n}) {
            const std::vector<double> x(base.begin() + static_cast<std::ptrdiff_t>(start),
                                        base.begin() + static_cast<std::ptrdiff_t>(start + n));
            velotz::use_convolution_kernel(0);
            std::vector<double> want = x;
            velotz::gelu(want);
            for (int level : {1, 2}) {
                if (velotz::use_convolution_kernel(level) != level) continue;  // not on this CPU
                std::vector<double> got = x;
                velotz::gelu(got);
                for (std::size_t i = 0; i < n; ++i) {
                    EXPECT_EQ(std::bit_cast<std::uint64_t>(got[i]), std::bit_cast<std::uint64_t>(want[i]))
                        << "x=" << x[i] << " n=" << n << " level=" << level;
                }
            }
            velotz::use_convolution_kernel(-1);
        }
    }
}

// A one-arc spectrum, r0 + r / (1 + r·(jω)^p·c) + jω·l, at n frequencies
// from 10^top Hz downwards in steps of `step` decades.
struct ArcSpectrum {
    std::vector<double> f;
    std::vector<cd> z;
};
ArcSpectrum arc_spectrum(int n, double top, double step, double r0, double r, double c, double p = 1.0,
                         double l = 0.0) {
    ArcSpectrum s;
    for (int i = 0; i < n; ++i) {
        const double hz = std::pow(10.0, top - step * i);
        const cd jw(0.0, 2 * 3.141592653589793 * hz);
        cd zi = r0 + r / (1.0 + r * (p == 1.0 ? jw : std::pow(jw, p)) * c);
        if (l != 0.0) zi += jw * l;
        s.z.push_back(zi);
        s.f.push_back(hz);
    }
    return s;
}

// The guess of `g` with the portable convolution kernel and with every faster
// one this CPU has, bit for bit (and finite, with `finite`).
void expect_same_on_every_kernel(const Guesser& g, const ArcSpectrum& s, const std::string& what,
                                 bool finite = false) {
    velotz::use_convolution_kernel(0);
    auto want = g.guess(s.f, s.z);
    ASSERT_TRUE(want) << what << ": " << want.error().message();
    for (int level : {1, 2}) {
        if (velotz::use_convolution_kernel(level) != level) continue;  // not on this CPU
        auto got = g.guess(s.f, s.z);
        ASSERT_TRUE(got) << what;
        ASSERT_EQ(got->size(), want->size());
        for (std::size_t i = 0; i < want->size(); ++i) {
            if (finite) {
                EXPECT_TRUE(std::isfinite((*got)[i])) << what << " " << i;
            }
            EXPECT_EQ(std::bit_cast<std::uint64_t>((*want)[i]), std::bit_cast<std::uint64_t>((*got)[i]))
                << what << " " << i << " level " << level;
        }
    }
    velotz::use_convolution_kernel(-1);
}

// Every shipped network guesses the same bits with every kernel.
TEST(Guess, ShippedNetworksSameOnEveryKernel) {
    std::size_t count = 0;
    const velotz::EmbeddedModel* models = velotz::embedded_models(&count);
    ASSERT_GE(count, 11u);
    const ArcSpectrum s = arc_spectrum(50, 5.0, 0.14, 12.0, 80.0, 2e-5, 0.85, 1e-6);
    for (std::size_t m = 0; m < count; ++m) {
        auto g = Guesser::from_bytes(models[m].bytes, models[m].size);
        ASSERT_TRUE(g) << models[m].name;
        expect_same_on_every_kernel(*g, s, models[m].name, true);
    }
}

// Group norm with group sizes that leave a partial chunk of squared
// deviations (3 channels x 37 positions per group), eight groups summed side
// by side and a lone group: the definition's bits on every kernel.
TEST(Layers, GroupNormMatchesDefinitionOnEveryKernel) {
    std::mt19937 rng(41);
    std::uniform_real_distribution<double> u(-3, 3);
    for (auto [c, groups] : {std::pair{24u, 8u}, std::pair{20u, 1u}, std::pair{27u, 9u}}) {
        File f = network(Shape{.c = c, .groups = groups, .n_grid = 37}, c + groups);
        auto g = f.load();
        ASSERT_TRUE(g) << g.error().message();
        std::vector<double> x(std::size_t{c} * 37);
        for (auto& v : x) v = u(rng) * u(rng);
        const auto& w = (**g->tensor("w.blocks.1.norm2.weight")).data;
        const auto& b = (**g->tensor("w.blocks.1.norm2.bias")).data;
        // mean and population variance of each group, two passes in index order
        std::vector<double> want(x.size());
        const std::size_t m = x.size() / groups;
        for (std::size_t k = 0; k < groups; ++k) {
            double sum = 0.0;
            for (std::size_t i = 0; i < m; ++i) sum += x[k * m + i];
            const double mu = sum / static_cast<double>(m);
            double sq = 0.0;
            for (std::size_t i = 0; i < m; ++i) sq += (x[k * m + i] - mu) * (x[k * m + i] - mu);
            const double inv = 1.0 / std::sqrt(sq / static_cast<double>(m) + 1e-5);
            for (std::size_t i = 0; i < m; ++i) {
                const std::size_t ch = (k * m + i) / 37;
                want[k * m + i] = b[ch] + ((x[k * m + i] - mu) * inv) * w[ch];
            }
        }
        for (int level : {0, 1, 2}) {
            if (velotz::use_convolution_kernel(level) != level) continue;  // not on this CPU
            auto got = g->group_norm(x, "blocks.1.norm2");
            velotz::use_convolution_kernel(-1);
            ASSERT_TRUE(got);
            for (std::size_t i = 0; i < want.size(); ++i) {
                ASSERT_EQ(std::bit_cast<std::uint64_t>((*got)[i]), std::bit_cast<std::uint64_t>(want[i]))
                    << "c=" << c << " groups=" << groups << " i=" << i << " level=" << level;
            }
        }
    }
}

// Whole guesses of networks whose sizes fit none of the vector blocks: 20
// channels (two groups of 8 and 4 left over), 37 grid positions, dense
// layers of 21 and 7 outputs. Every kernel gives the same bits.
TEST(Guess, OddSizedNetworkSameOnEveryKernel) {
    const ArcSpectrum s = arc_spectrum(33, 5.0, 0.2, 3.0, 30.0, 1e-5);
    for (auto [c, groups] : {std::pair{20u, 4u}, std::pair{16u, 8u}}) {
        File file = network(Shape{.c = c, .k = 5, .groups = groups, .h1 = 21, .h2 = 7, .n_grid = 37,
                                  .dilations = {1, 3, 8}},
                            7 * c);
        auto g = file.load();
        ASSERT_TRUE(g) << g.error().message();
        expect_same_on_every_kernel(*g, s, "c=" + std::to_string(c));
    }
}

// A loaded network finds its layers once; a copy looks them up by name, a
// moved one keeps what was found. All guess the same bits.
TEST(Guess, CopiedAndMovedNetworksGuessTheSame) {
    std::size_t count = 0;
    const velotz::EmbeddedModel* models = velotz::embedded_models(&count);
    const auto [f, z] = arc_spectrum(40, 4.0, 0.15, 5.0, 50.0, 1e-4);
    for (std::size_t m = 0; m < count; m += 5) {
        auto g = Guesser::from_bytes(models[m].bytes, models[m].size);
        ASSERT_TRUE(g) << models[m].name;
        auto want = g->guess(f, z);
        ASSERT_TRUE(want);
        const Guesser copied = *g;
        auto assigned = Guesser::from_bytes(models[(m + 1) % count].bytes, models[(m + 1) % count].size);
        ASSERT_TRUE(assigned);
        *assigned = copied;
        const Guesser moved = std::move(*g);
        for (const Guesser* other : std::initializer_list<const Guesser*>{&copied, &*assigned, &moved}) {
            auto got = other->guess(f, z);
            ASSERT_TRUE(got) << models[m].name;
            ASSERT_EQ(got->size(), want->size());
            for (std::size_t i = 0; i < want->size(); ++i) {
                EXPECT_EQ(std::bit_cast<std::uint64_t>((*got)[i]), std::bit_cast<std::uint64_t>((*want)[i]))
                    << models[m].name << " " << i;
            }
        }
    }
}

// Kernels long enough that the blocked kernel's panel would dwarf the
// weights take the plain loop; both follow the same definition.
TEST(Layers, LongKernelMatchesDefinition) {
    const std::uint32_t k = 22000;  // 3 x 22000 live terms per block at dilation 0
    File f = network(Shape{.c = 3, .k = k, .groups = 1, .n_grid = 6, .dilations = {1}}, 9);
    // Output channel 0 ignores input channel 0, which holds an infinity.
    std::fill_n(f.rec("w.stem.weight").values.begin(), k, 0.0f);
    auto g = f.load();
    ASSERT_TRUE(g) << g.error().message();
    std::vector<double> in(18);
    for (std::size_t i = 0; i < in.size(); ++i) in[i] = std::cos(0.7 * static_cast<double>(i));
    in[4] = std::numeric_limits<double>::infinity();
    for (std::size_t d : {0u, 1u, 3u}) {
        auto out = g->conv1d(in, 3, "stem", d);
        ASSERT_TRUE(out);
        auto want = reference_conv(**g->tensor("w.stem.weight"), **g->tensor("w.stem.bias"), in, 6, d);
        for (std::size_t i = 0; i < want.size(); ++i) {
            EXPECT_EQ(std::bit_cast<std::uint64_t>((*out)[i]), std::bit_cast<std::uint64_t>(want[i])) << d << " " << i;
        }
    }
}

TEST(Layers, GeluFollowsTanhForm) {
    std::vector<double> x;
    for (double v = -12.0; v <= 12.0; v += 0.0137) x.push_back(v);
    for (double v : {0.0, -0.0, 1e-300, -1e-300, 5e-324, 1e-8, -1e-8, 30.0, -30.0, 1e200, -1e200})
        x.push_back(v);
    std::vector<double> y = x;
    velotz::gelu(y);
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double v = x[i];
        const double want = 0.5 * v * (1.0 + std::tanh(0.7978845608028654 * (v + 0.044715 * (v * v * v))));
        // tanh may differ from the C library's in the last few bits.
        EXPECT_NEAR(y[i], want, 4e-16 * std::max(1.0, std::abs(v))) << v;
        EXPECT_EQ(std::signbit(y[i]), std::signbit(want)) << v;
    }
    std::vector<double> special = {std::numeric_limits<double>::infinity(), std::nan(""),
                                   -std::numeric_limits<double>::infinity()};
    velotz::gelu(special);
    EXPECT_EQ(special[0], std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(special[1]));
    EXPECT_TRUE(std::isnan(special[2]));  // -inf * (1 + tanh(-inf)) = -inf * 0
}

TEST(Layers, GroupNormAndLinear) {
    File f = network(Shape{.c = 4, .groups = 2, .n_grid = 5});
    f.rec("w.blocks.0.norm1.weight").values = {1, 1, 1, 1};
    f.rec("w.blocks.0.norm1.bias").values = {0, 0, 0, 0};
    auto g = f.load();
    ASSERT_TRUE(g);
    std::vector<double> x(20);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = (i < 10) ? i * i : 100.0 - 3.0 * i;
    auto y = g->group_norm(x, "blocks.0.norm1");
    ASSERT_TRUE(y);
    for (int grp = 0; grp < 2; ++grp) {
        double mean = 0, var = 0, raw = 0, rawsq = 0;
        for (int i = 0; i < 10; ++i) raw += x[grp * 10 + i] / 10.0;
        for (int i = 0; i < 10; ++i) rawsq += (x[grp * 10 + i] - raw) * (x[grp * 10 + i] - raw) / 10.0;
        for (int i = 0; i < 10; ++i) mean += (*y)[grp * 10 + i] / 10.0;
        for (int i = 0; i < 10; ++i) var += ((*y)[grp * 10 + i] - mean) * ((*y)[grp * 10 + i] - mean) / 10.0;
        EXPECT_NEAR(mean, 0.0, 1e-12);
        EXPECT_NEAR(var, rawsq / (rawsq + 1e-5), 1e-12);
    }
    EXPECT_EQ(g->group_norm(std::vector<double>(19), "blocks.0.norm1").error().message(),
              "tensor \"blocks.0.norm1\" has 19 elements, expected 20");

    auto lin = g->linear(std::vector<double>(10, 1.0), "head.0");
    ASSERT_TRUE(lin);
    const auto& w = **g->tensor("w.head.0.weight");
    const auto& b = **g->tensor("w.head.0.bias");
    for (std::size_t o = 0; o < 4; ++o) {
        double s = 0;
        for (std::size_t j = 0; j < 10; ++j) s += w.data[o * 10 + j];
        EXPECT_NEAR((*lin)[o], s + b.data[o], 1e-12);
    }
    EXPECT_EQ(g->linear(std::vector<double>(9), "head.0").error().message(),
              "tensor \"head.0\" has 9 elements, expected 10");
    EXPECT_EQ(g->linear(std::vector<double>(9), "head.7").error().message(),
              "weight file is missing \"w.head.7.weight\"");
}

// With a zero last layer the head outputs are its bias, so the result follows
// from the scales of the spectrum alone.
TEST(Guess, DenormalisationClampAndScaling) {
    File f = network(Shape{.params = {"R0.r", "CPE1.q", "CPE1.alpha", "C1.c"}});
    for (auto& v : f.rec("w.head.4.weight").values) v = 0.0f;
    f.rec("w.head.4.bias").values = {0.5f, -1.0f, 2.0f, 0.25f, 9, 9, 9, 9};
    f.rec("target_mean").values = {1.0f, -3.0f, 0.25f, -6.0f};
    f.rec("target_std").values = {2.0f, 1.0f, 0.5f, 4.0f};
    f.rec("log_params").values = {1, 1, 0, 1};
    f.rec("scaling").values = {1, 0, 0, -1, -1, 0, -1, 2, 0, 0, 0, -1, -1, -1, 0, -1};
    auto g = f.load();
    ASSERT_TRUE(g) << g.error().message();

    const std::vector<double> freqs = {10, 1000};
    const std::vector<cd> z = {cd(30, -40), cd(3, -4)};  // weights 0.8 each
    const double omega0 = 2 * M_PI * 100.0;
    const double z0 = std::sqrt(50.0 * 5.0);
    auto v = g->guess(freqs, z);
    ASSERT_TRUE(v) << v.error().message();
    ASSERT_EQ(v->size(), 4u);
    const double alpha = 1.0;  // 0.25 + 2 * 0.5 = 1.25 clamps to alpha_max
    EXPECT_NEAR((*v)[0], std::pow(10.0, 1.0 + 0.5 * 2.0) * z0, 1e-9 * z0 * 100);
    const double q = std::pow(10.0, -3.0 - 1.0) / z0 * std::pow(omega0, -alpha);
    EXPECT_NEAR((*v)[1] / q, 1.0, 1e-12);
    EXPECT_EQ((*v)[2], alpha);
    const double c = std::pow(10.0, -6.0 + 0.25 * 4.0) / (z0 * omega0);
    EXPECT_NEAR((*v)[3] / c, 1.0, 1e-12);

    // Inside the limits alpha is kept, and q uses it: the factor is omega0^-0.75.
    File f2 = f;
    f2.rec("w.head.4.bias").values[2] = 1.0f;  // 0.25 + 1 * 0.5 = 0.75
    auto v2 = f2.load()->guess(freqs, z);
    ASSERT_TRUE(v2);
    EXPECT_EQ((*v2)[2], 0.75);
    EXPECT_NEAR((*v2)[1] / (std::pow(10.0, -4.0) / z0 * std::pow(omega0, -0.75)), 1.0, 1e-12);

    EXPECT_EQ(g->guess(std::vector<double>{1.0}, z).error().message(),
              "need at least 2 frequency points to guess, got 1");
    EXPECT_EQ(g->guess(freqs, std::vector<cd>{}).error().message(),
              "need at least 2 frequency points to guess, got 0");
    // Non-positive and NaN frequencies are not rejected.
    auto odd = g->guess(std::vector<double>{0.0, -1.0, std::nan("")}, std::vector<cd>{cd(1, -1), cd(2, -1), cd(3, 0)});
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->size(), 4u);
}

// ------------------------------------------------------------ parity with PyTorch

// Minimal JSON reader for the fixture (objects, arrays, numbers, plain strings).
struct Json {
    double num = 0;
    std::string str;
    std::vector<Json> arr;
    std::vector<std::pair<std::string, Json>> obj;
    const Json& operator[](std::string_view k) const {
        for (auto& [key, v] : obj) {
            if (key == k) return v;
        }
        throw std::runtime_error("no key " + std::string(k));
    }
    bool has(std::string_view k) const {
        for (auto& kv : obj) {
            if (kv.first == k) return true;
        }
        return false;
    }
    std::vector<double> nums() const {
        std::vector<double> out;
        for (auto& v : arr) out.push_back(v.num);
        return out;
    }
};

Json parse_json(std::string_view s, std::size_t& i) {
    auto ws = [&] { while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i; };
    ws();
    Json j;
    if (s[i] == '{' || s[i] == '[') {
        const char close = s[i] == '{' ? '}' : ']';
        const bool is_obj = s[i] == '{';
        ++i;
        ws();
        while (s[i] != close) {
            if (is_obj) {
                Json key = parse_json(s, i);
                ws();
                ++i;  // ':'
                j.obj.emplace_back(key.str, parse_json(s, i));
            } else {
                j.arr.push_back(parse_json(s, i));
            }
            ws();
            if (s[i] == ',') ++i;
            ws();
        }
        ++i;
    } else if (s[i] == '"') {
        const std::size_t end = s.find('"', i + 1);
        j.str = std::string(s.substr(i + 1, end - i - 1));
        i = end + 1;
    } else {
        const std::size_t end = s.find_first_not_of("+-0123456789.eE", i);
        std::from_chars(s.data() + i, s.data() + end, j.num);
        i = end;
    }
    return j;
}

TEST(Parity, MatchesPyTorchOnFixture) {
    const auto bytes = read_all(kData / "tiny.eisnn");
    ASSERT_FALSE(bytes.empty());
    auto g = Guesser::from_bytes(bytes.data(), bytes.size());
    ASSERT_TRUE(g) << g.error().message();
    const auto text = read_all(kData / "tiny_expected.json");
    std::size_t pos = 0;
    const Json fx = parse_json(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), pos);
    EXPECT_EQ(g->circuit(), fx["circuit"].str);
    ASSERT_EQ(g->param_names().size(), fx["param_names"].arr.size());
    for (std::size_t i = 0; i < g->param_names().size(); ++i) {
        EXPECT_EQ(g->param_names()[i], fx["param_names"].arr[i].str);
    }
    auto rel = [](double a, double b) { return std::abs(a - b) / std::max(std::abs(a), std::abs(b)); };
    ASSERT_GE(fx["cases"].arr.size(), 5u);
    for (const Json& c : fx["cases"].arr) {
        SCOPED_TRACE(c["name"].str);
        const auto f = c["freqs"].nums();
        const auto re = c["re"].nums();
        const auto im = c["im"].nums();
        std::vector<cd> z;
        for (std::size_t i = 0; i < re.size(); ++i) z.emplace_back(re[i], im[i]);
        auto feat = velotz::features(f, z, g->n_grid());
        ASSERT_TRUE(feat);
        EXPECT_LE(rel(feat->scales.z0, c["z0"].num), 1e-13);
        EXPECT_LE(rel(feat->scales.omega0, c["omega0"].num), 1e-13);
        EXPECT_NEAR(feat->e1, c["e1"].num, 1e-14);
        EXPECT_NEAR(feat->e2, c["e2"].num, 1e-14);
        if (c.has("grid")) {
            const auto grid = c["grid"].nums();
            ASSERT_EQ(grid.size(), feat->grid.size());
            for (std::size_t i = 0; i < grid.size(); ++i) EXPECT_NEAR(feat->grid[i], grid[i], 1e-12) << i;
        }
        auto v = g->guess(f, z);
        ASSERT_TRUE(v) << v.error().message();
        const auto want = c["expected"].nums();
        ASSERT_EQ(v->size(), want.size());
        for (std::size_t i = 0; i < want.size(); ++i) EXPECT_LE(rel((*v)[i], want[i]), 1e-9) << i;
    }
}

// ------------------------------------------------------------ hostile input

TEST(Fuzz, MutatedFixtureNeverCrashes) {
    const auto original = read_all(kData / "tiny.eisnn");
    ASSERT_FALSE(original.empty());
    const std::vector<double> f = {0.5, 5, 50, 500, 5000};
    const std::vector<cd> z = {cd(20, -9), cd(14, -6), cd(11, -2), cd(10.2, -0.5), cd(10, 0.1)};
    std::mt19937_64 rng(12345);
    int loaded = 0, refused = 0, guessed = 0;
    for (int iter = 0; iter < 4000; ++iter) {
        auto b = original;
        const int mode = static_cast<int>(rng() % 4);
        if (mode != 3) {
            const int flips = 1 + static_cast<int>(rng() % 4);
            for (int k = 0; k < flips; ++k) {
                const std::size_t p = 8 + rng() % (b.size() - 8);
                b[p] = mode == 0 ? static_cast<unsigned char>(b[p] ^ (1u << (rng() % 8)))
                                 : static_cast<unsigned char>(rng());
            }
        }
        if (mode >= 2) b.resize(rng() % (b.size() + 1));
        auto g = Guesser::from_bytes(b.data(), b.size());
        if (!g) {
            ++refused;
            EXPECT_FALSE(g.error().message().empty());
            continue;
        }
        ++loaded;
        auto v = g->guess(f, z);
        if (v) {
            ++guessed;
            EXPECT_EQ(v->size(), g->param_names().size());
        }
    }
    RecordProperty("loaded", loaded);
    RecordProperty("refused", refused);
    std::printf("fuzz: %d loaded and guessed, %d refused\n", loaded, refused);
    EXPECT_GT(loaded, 0);
    EXPECT_GT(refused, 0);
    EXPECT_EQ(guessed, loaded);  // a network that loads can always run
}

}  // namespace
