// The guess: the network's layers resolved and checked at load, the forward
// pass (stem, dilated residual blocks, pooling, dense head) and the
// de-normalisation of its outputs into parameter values.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "nn/guesser.hpp"
#include "nn/kernels.hpp"

namespace velotz {

namespace {

using nn_kernels::block_dense;
using nn_kernels::ConvScratch;
using nn_kernels::convolve;
using nn_kernels::dense_into;
using nn_kernels::dense_layer_run;
using nn_kernels::group_norm_into;

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

// Working arrays of one guess: trunk activations and convolution scratch.
struct GuessWorkspace {
    std::vector<double> h;
    std::vector<double> y;
    std::vector<double> y2;
    ConvScratch scratch;
    std::vector<double> a, next, u;  // the head's activations; the unscaled guess
};

}  // namespace

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
    std::vector<double>& pooled = work.a;
    pooled.resize(2 * c + 2);
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

    std::vector<double>& a = pooled;
    std::vector<double>& next = work.next;
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
    work.u.assign(v.begin(), v.end());
    const std::vector<double>& u = work.u;
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
