// Reader of "EISNN001" weight files and the error texts of the network code.

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "nn/guesser.hpp"

namespace velotz {

namespace {

constexpr std::string_view kMagic = "EISNN001";
constexpr std::string_view kEstimator = "reactive_centroid";

// Largest accepted "n_grid". The grid length sets the size of the working
// arrays and is not bounded by anything else in the file; the shipped
// networks use 64.
constexpr std::uint64_t kMaxGrid = 4096;

void append_hex(std::string& out, std::uint32_t cp) {
    char buf[16];
    auto res = std::to_chars(buf, buf + sizeof buf, cp, 16);
    out += "\\u{";
    out.append(buf, res.ptr);
    out += '}';
}

// Decodes one code point of valid UTF-8 starting at s[i]; advances i.
std::uint32_t next_code_point(std::string_view s, std::size_t& i) {
    auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
        ++i;
        return b;
    }
    int len = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
    std::uint32_t cp = b & (0x7F >> len);
    for (int k = 1; k < len && i + k < s.size(); ++k) {
        cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    }
    i += len;
    return cp;
}

// A user-supplied text in double quotes: quotes and backslashes escaped,
// control characters written as \n, \r, \t, \0 or \u{hex}.
std::string quoted(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    out += '"';
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t start = i;
        std::uint32_t cp = next_code_point(s, i);
        switch (cp) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case 0: out += "\\0"; break;
            default:
                if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) {
                    append_hex(out, cp);
                } else {
                    out.append(s.substr(start, std::min(i, s.size()) - start));
                }
        }
    }
    out += '"';
    return out;
}

bool valid_utf8(const unsigned char* p, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        unsigned char b = p[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        std::uint32_t cp;
        std::uint32_t min;
        if ((b & 0xE0) == 0xC0) {
            len = 2, cp = b & 0x1F, min = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            len = 3, cp = b & 0x0F, min = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            len = 4, cp = b & 0x07, min = 0x10000;
        } else {
            return false;
        }
        if (n - i < len) return false;
        for (std::size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

// Sequential reader over the file's bytes; every read checks the remaining
// length first and fails with Truncated.
class Reader {
public:
    Reader(const unsigned char* p, std::size_t n) : p_(p), n_(n) {}

    std::size_t remaining() const { return n_ - pos_; }

    std::expected<std::uint32_t, NnError> u32() {
        if (remaining() < 4) return std::unexpected(NnError::truncated());
        const unsigned char* q = p_ + pos_;
        pos_ += 4;
        return static_cast<std::uint32_t>(q[0]) | static_cast<std::uint32_t>(q[1]) << 8 |
               static_cast<std::uint32_t>(q[2]) << 16 | static_cast<std::uint32_t>(q[3]) << 24;
    }

    std::expected<std::uint8_t, NnError> byte() {
        if (remaining() < 1) return std::unexpected(NnError::truncated());
        return p_[pos_++];
    }

    std::expected<std::string, NnError> string() {
        auto len = u32();
        if (!len) return std::unexpected(len.error());
        if (remaining() < *len) return std::unexpected(NnError::truncated());
        const unsigned char* q = p_ + pos_;
        if (!valid_utf8(q, *len)) return std::unexpected(NnError::truncated());
        pos_ += *len;
        return std::string(reinterpret_cast<const char*>(q), *len);
    }

    // Caller has checked remaining() >= k.
    const unsigned char* take(std::size_t k) {
        const unsigned char* q = p_ + pos_;
        pos_ += k;
        return q;
    }

private:
    const unsigned char* p_;
    std::size_t n_;
    std::size_t pos_ = 0;
};

double f32_at(const unsigned char* q) {
    std::uint32_t bits = static_cast<std::uint32_t>(q[0]) | static_cast<std::uint32_t>(q[1]) << 8 |
                         static_cast<std::uint32_t>(q[2]) << 16 |
                         static_cast<std::uint32_t>(q[3]) << 24;
    return static_cast<double>(std::bit_cast<float>(bits));
}

// Product of the dimensions, at least 1 (a zero dimension still stores one
// element); saturates at the maximum on overflow, which no file can hold.
std::uint64_t element_count(const std::vector<std::uint32_t>& dims) {
    for (auto d : dims) {
        if (d == 0) return 1;
    }
    std::uint64_t n = 1;
    for (auto d : dims) {
        if (n > std::numeric_limits<std::uint64_t>::max() / d) {
            return std::numeric_limits<std::uint64_t>::max();
        }
        n *= d;
    }
    return n;
}

std::expected<std::pair<std::string, Tensor>, NnError> read_tensor(Reader& r) {
    auto name = r.string();
    if (!name) return std::unexpected(name.error());
    auto code = r.byte();
    if (!code) return std::unexpected(code.error());
    auto ndim = r.byte();
    if (!ndim) return std::unexpected(ndim.error());
    Tensor t;
    t.dims.reserve(*ndim);
    for (unsigned k = 0; k < *ndim; ++k) {
        auto d = r.u32();
        if (!d) return std::unexpected(d.error());
        t.dims.push_back(*d);
    }
    const std::uint64_t n = element_count(t.dims);
    // Bytes per element; the 8-bit encoding adds a 4-byte scale.
    std::uint64_t width = 0;
    std::uint64_t header = 0;
    switch (*code) {
        case 0: width = 4; break;
        case 1: width = 2; break;
        case 2: width = 1, header = 4; break;
        default: return std::unexpected(NnError::unknown_encoding(*code));
    }
    if (r.remaining() < header || n > (r.remaining() - header) / width) {
        return std::unexpected(NnError::truncated());
    }
    t.data.resize(static_cast<std::size_t>(n));
    switch (*code) {
        case 0: {
            const unsigned char* q = r.take(4 * n);
            for (std::size_t i = 0; i < n; ++i) t.data[i] = f32_at(q + 4 * i);
            break;
        }
        case 1: {
            const unsigned char* q = r.take(2 * n);
            for (std::size_t i = 0; i < n; ++i) {
                t.data[i] = half_to_double(static_cast<std::uint16_t>(q[2 * i] | q[2 * i + 1] << 8));
            }
            break;
        }
        default: {
            const double scale = f32_at(r.take(4));
            const unsigned char* q = r.take(n);
            for (std::size_t i = 0; i < n; ++i) {
                t.data[i] = scale * static_cast<double>(static_cast<std::int8_t>(q[i]));
            }
            break;
        }
    }
    return std::pair{std::move(*name), std::move(t)};
}

// Unsigned decimal: optional '+', one or more ASCII digits, no overflow.
std::optional<std::uint64_t> parse_unsigned(std::string_view s) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    std::uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (v > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
        v = v * 10 + digit;
    }
    return v;
}

// Decimal or scientific float, optional sign, "inf"/"infinity"/"nan" in any
// case; no surrounding spaces, no hexadecimal. Overflow gives infinity and
// underflow zero (or the nearest subnormal).
std::optional<double> parse_float(std::string_view s) {
    std::string_view body = s;
    bool negative = false;
    if (!body.empty() && (body.front() == '+' || body.front() == '-')) {
        negative = body.front() == '-';
        body.remove_prefix(1);
    }
    if (body.empty()) return std::nullopt;
    // Only digits, '.', exponent markers and exponent signs, or letters of
    // inf/infinity/nan; rules out "nan(...)", hex floats and spaces.
    for (char c : body) {
        const bool ok = (c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '+' ||
                        c == '-' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!ok) return std::nullopt;
    }
    if (body.size() > 1 && body[0] == '0' && (body[1] == 'x' || body[1] == 'X')) return std::nullopt;
    double v = 0.0;
    auto res = std::from_chars(body.data(), body.data() + body.size(), v, std::chars_format::general);
    if (res.ptr != body.data() + body.size()) return std::nullopt;
    if (res.ec == std::errc::result_out_of_range) {
        // strtod rounds overflow to infinity and underflow to zero/subnormal.
        const std::string copy(body);
        v = std::strtod(copy.c_str(), nullptr);
    } else if (res.ec != std::errc{}) {
        return std::nullopt;
    }
    return negative ? -v : v;
}

bool is_unicode_space(std::uint32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000;
}

// Removes leading and trailing white space (Unicode White_Space) from valid UTF-8.
std::string_view trim(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t next = i;
        if (!is_unicode_space(next_code_point(s, next))) break;
        i = next;
    }
    s.remove_prefix(std::min(i, s.size()));
    // Scan forward remembering the end of the last non-space code point.
    std::size_t end = 0;
    std::size_t j = 0;
    while (j < s.size()) {
        std::size_t next = j;
        const std::uint32_t cp = next_code_point(s, next);
        if (!is_unicode_space(cp)) end = std::min(next, s.size());
        j = next;
    }
    return s.substr(0, end);
}

std::vector<std::string_view> split_commas(std::string_view s) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = s.find(',', start);
        if (comma == std::string_view::npos) {
            out.push_back(s.substr(start));
            return out;
        }
        out.push_back(s.substr(start, comma - start));
        start = comma + 1;
    }
}

// Round half away from zero, then convert with saturation (NaN gives 0).
std::int32_t to_index(double x) {
    const double r = std::round(x);
    if (std::isnan(r)) return 0;
    if (r >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
    if (r <= -2147483648.0) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(r);
}

class Metadata {
public:
    void set(std::string key, std::string value) { map_[std::move(key)] = std::move(value); }

    std::expected<const std::string*, NnError> meta(std::string_view key) const {
        auto it = map_.find(key);
        if (it == map_.end()) return std::unexpected(NnError::missing(std::string(key)));
        return &it->second;
    }

    std::expected<std::uint64_t, NnError> parse_uint(std::string_view key) const {
        auto v = meta(key);
        if (!v) return std::unexpected(v.error());
        auto n = parse_unsigned(**v);
        if (!n) return std::unexpected(NnError::unparsable(std::string(key)));
        return *n;
    }

    std::expected<double, NnError> parse_f64(std::string_view key) const {
        auto v = meta(key);
        if (!v) return std::unexpected(v.error());
        auto x = parse_float(**v);
        if (!x) return std::unexpected(NnError::unparsable(std::string(key)));
        return *x;
    }

private:
    std::map<std::string, std::string, std::less<>> map_;
};

}  // namespace

// ------------------------------------------------------------------ NnError

NnError NnError::io(std::string system_message) { return {Kind::Io, std::move(system_message)}; }
NnError NnError::bad_magic() { return {Kind::BadMagic, {}}; }
NnError NnError::truncated() { return {Kind::Truncated, {}}; }
NnError NnError::missing(std::string name) { return {Kind::Missing, std::move(name)}; }
NnError NnError::unparsable(std::string what) { return {Kind::Unparsable, std::move(what)}; }
NnError NnError::unknown_estimator(std::string estimator) {
    return {Kind::UnknownEstimator, std::move(estimator)};
}
NnError NnError::unknown_encoding(unsigned code) { return {Kind::UnknownEncoding, {}, code}; }
NnError NnError::shape_mismatch(std::string name, std::uint64_t actual, std::uint64_t expected) {
    return {Kind::ShapeMismatch, std::move(name), actual, expected};
}
NnError NnError::too_few_points(std::uint64_t count) { return {Kind::TooFewPoints, {}, count}; }

std::string NnError::message() const {
    switch (kind) {
        case Kind::Io: return "reading weights: " + text;
        case Kind::BadMagic: return "not an eisnn weight file (bad magic bytes)";
        case Kind::Truncated: return "weight file is truncated";
        case Kind::Missing: return "weight file is missing " + quoted(text);
        case Kind::Unparsable: return "weight file has an unparsable value for " + quoted(text);
        case Kind::UnknownEstimator:
            return "weight file was normalised with the " + quoted(text) +
                   " scale estimator, which this build does not implement (supported: " +
                   std::string(kEstimator) + ")";
        case Kind::UnknownEncoding:
            return "weight file uses tensor encoding " + std::to_string(actual) +
                   ", which this build does not know";
        case Kind::ShapeMismatch:
            return "tensor " + quoted(text) + " has " + std::to_string(actual) +
                   " elements, expected " + std::to_string(expected);
        case Kind::TooFewPoints:
            return "need at least 2 frequency points to guess, got " + std::to_string(actual);
    }
    return {};
}

// ------------------------------------------------------------------ decoding

double half_to_double(std::uint16_t bits) {
    const std::uint64_t sign = static_cast<std::uint64_t>(bits & 0x8000u) << 48;
    const unsigned exponent = (bits >> 10) & 0x1Fu;
    const std::uint64_t mantissa = bits & 0x3FFu;
    if (exponent == 0) {
        // Subnormal or zero: mantissa * 2^-24, exact in double.
        const double magnitude = static_cast<double>(mantissa) * 0x1p-24;
        return sign ? -magnitude : magnitude;
    }
    if (exponent == 31) {
        // Infinity, or NaN with the mantissa kept in the top payload bits.
        return std::bit_cast<double>(sign | 0x7FF0000000000000ull | (mantissa << 42));
    }
    // Normal: rebias the exponent (15 -> 1023) and widen the mantissa.
    return std::bit_cast<double>(sign | static_cast<std::uint64_t>(exponent + 1008) << 52 | mantissa << 42);
}

// ------------------------------------------------------------------ loading

std::expected<const Tensor*, NnError> Guesser::tensor(std::string_view name) const {
    auto it = tensors_.find(name);
    if (it == tensors_.end()) return std::unexpected(NnError::missing(std::string(name)));
    return &it->second;
}

std::expected<Guesser, NnError> Guesser::from_bytes(const unsigned char* bytes, std::size_t size) {
    if (size < kMagic.size() || bytes == nullptr) return std::unexpected(NnError::truncated());
    if (std::memcmp(bytes, kMagic.data(), kMagic.size()) != 0) {
        return std::unexpected(NnError::bad_magic());
    }
    Reader r(bytes + kMagic.size(), size - kMagic.size());

    Metadata meta;
    auto m = r.u32();
    if (!m) return std::unexpected(m.error());
    for (std::uint32_t i = 0; i < *m; ++i) {
        auto key = r.string();
        if (!key) return std::unexpected(key.error());
        auto value = r.string();
        if (!value) return std::unexpected(value.error());
        meta.set(std::move(*key), std::move(*value));
    }

    Guesser g;
    auto t = r.u32();
    if (!t) return std::unexpected(t.error());
    for (std::uint32_t i = 0; i < *t; ++i) {
        auto rec = read_tensor(r);
        if (!rec) return std::unexpected(rec.error());
        g.tensors_.insert_or_assign(std::move(rec->first), std::move(rec->second));
    }

    // De-normalisation tables.
    for (auto [name, dest] : {std::pair{"target_mean", &g.target_mean_},
                               std::pair{"target_std", &g.target_std_}}) {
        auto tt = g.tensor(name);
        if (!tt) return std::unexpected(tt.error());
        *dest = (*tt)->data;
    }
    {
        auto tt = g.tensor("log_params");
        if (!tt) return std::unexpected(tt.error());
        g.log_params_.reserve((*tt)->data.size());
        for (double v : (*tt)->data) g.log_params_.push_back(v != 0.0);  // NaN counts as true
    }
    {
        auto it = g.tensors_.find(std::string_view("scaling"));
        if (it == g.tensors_.end() || it->second.data.size() / 4 != g.target_mean_.size() ||
            it->second.data.size() % 4 != 0) {
            return std::unexpected(NnError::missing("scaling"));
        }
        const auto& s = it->second.data;
        g.scaling_.reserve(s.size() / 4);
        for (std::size_t i = 0; i + 4 <= s.size(); i += 4) {
            g.scaling_.push_back(Scaling{s[i], s[i + 1], s[i + 2], to_index(s[i + 3])});
        }
    }

    // Metadata.
    {
        auto v = meta.meta("dilations");
        if (!v) return std::unexpected(v.error());
        for (std::string_view piece : split_commas(**v)) {
            auto d = parse_unsigned(trim(piece));
            if (!d) return std::unexpected(NnError::unparsable("dilations"));
            g.dilations_.push_back(static_cast<std::size_t>(*d));
        }
    }
    {
        auto v = meta.meta("estimator");
        if (!v) return std::unexpected(v.error());
        if (**v != kEstimator) return std::unexpected(NnError::unknown_estimator(**v));
    }
    {
        auto v = meta.meta("circuit");
        if (!v) return std::unexpected(v.error());
        g.circuit_ = **v;
    }
    {
        auto v = meta.meta("param_names");
        if (!v) return std::unexpected(v.error());
        for (std::string_view piece : split_commas(**v)) g.param_names_.emplace_back(piece);
    }
    for (auto [key, dest] : {std::pair{"n_grid", &g.n_grid_}, std::pair{"channels", &g.channels_},
                             std::pair{"kernel", &g.kernel_}, std::pair{"groups", &g.groups_}}) {
        auto v = meta.parse_uint(key);
        if (!v) return std::unexpected(v.error());
        *dest = static_cast<std::size_t>(*v);
    }
    for (auto [key, dest] : {std::pair{"alpha_min", &g.alpha_min_}, std::pair{"alpha_max", &g.alpha_max_}}) {
        auto v = meta.parse_f64(key);
        if (!v) return std::unexpected(v.error());
        *dest = *v;
    }

    // Sizes the tensors cannot bound, and clamp limits that make no interval.
    if (g.n_grid_ > kMaxGrid) return std::unexpected(NnError::unparsable("n_grid"));
    if (g.kernel_ == 0) return std::unexpected(NnError::unparsable("kernel"));
    if (g.groups_ == 0 || g.channels_ % g.groups_ != 0) {
        return std::unexpected(NnError::unparsable("groups"));
    }
    if (std::isnan(g.alpha_min_)) return std::unexpected(NnError::unparsable("alpha_min"));
    if (std::isnan(g.alpha_max_) || g.alpha_max_ < g.alpha_min_) {
        return std::unexpected(NnError::unparsable("alpha_max"));
    }

    if (auto ok = g.prepare_network(); !ok) return std::unexpected(ok.error());
    return g;
}

}  // namespace velotz
