#pragma once
// Initial-guess network: the "EISNN001" weight-file reader and the inference
// that turns a measured spectrum into starting parameter values.

#include <complex>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velotz {

// A named array of the weight file, decoded to 64-bit floats. `dims` are kept
// as read; `data` holds max(product of dims, 1) values, row-major.
struct Tensor {
    std::vector<std::uint32_t> dims;
    std::vector<double> data;
};

// Error of loading a weight file or of running the network.
struct NnError {
    enum class Kind {
        Io,                // reading a file failed; `text` is the system's message
        BadMagic,          // first 8 bytes are not "EISNN001"
        Truncated,         // a read ran past the end (or a string was not UTF-8)
        Missing,           // `text` names the absent metadata key or tensor
        Unparsable,        // `text` names the key (or carries a message)
        UnknownEstimator,  // `text` is the estimator named by the file
        UnknownEncoding,   // `actual` is the encoding code
        ShapeMismatch,     // `text` names the layer/tensor; `actual`, `expected` lengths
        TooFewPoints,      // `actual` is the number of points given
    };

    Kind kind = Kind::Truncated;
    std::string text;
    std::uint64_t actual = 0;
    std::uint64_t expected = 0;

    static NnError io(std::string system_message);
    static NnError bad_magic();
    static NnError truncated();
    static NnError missing(std::string name);
    static NnError unparsable(std::string what);
    static NnError unknown_estimator(std::string estimator);
    static NnError unknown_encoding(unsigned code);
    static NnError shape_mismatch(std::string name, std::uint64_t actual, std::uint64_t expected);
    static NnError too_few_points(std::uint64_t count);

    // The display text, e.g. `weight file is missing "scaling"`.
    std::string message() const;

    bool operator==(const NnError&) const = default;
};

// One de-normalisation row: the output is multiplied by
// omega0^(w_pow + alpha_pow * u[alpha_index]) * Z0^z_pow.
struct Scaling {
    double z_pow = 0.0;
    double w_pow = 0.0;
    double alpha_pow = 0.0;
    std::int32_t alpha_index = -1;  // negative: no alpha term
};

// Exact value of an IEEE 754 binary16 bit pattern.
double half_to_double(std::uint16_t bits);

// Impedance scale Z0 (ohm) and angular-frequency scale omega0 (rad/s) of a
// spectrum, by the "reactive_centroid" estimator. Uses the first
// min(freqs.size(), z.size()) points.
struct SpectrumScales {
    double z0 = 0.0;
    double omega0 = 0.0;
};
SpectrumScales reactive_centroid(std::span<const double> freqs_hz,
                                 std::span<const std::complex<double>> z);

// Piecewise-linear interpolation on ascending `xs`, constant beyond the ends.
// `xs` and `ys` must have the same, non-zero length.
double interpolate(double x, std::span<const double> xs, std::span<const double> ys);

// GELU in its tanh form, 0.5 x (1 + tanh(0.7978845608028654 (x + 0.044715 x^3))),
// applied in place. tanh is evaluated to within a few units in the last place.
void gelu(std::span<double> values);

// Chooses the kernel level of the hand-vectorised kernels (util/simd.hpp):
// 0 portable, 1 AVX2, 2 AVX-512 (F and VL); a level the CPU lacks, or -1,
// selects the best available. The network's convolution, GELU, group norm
// and dense-layer kernels follow it, and so do the circuit and MINPACK
// kernels (which have the baseline and AVX2). Returns the level now in use.
// All levels give the same bits; tests compare them. Not for use while
// guesses or fits run on other threads.
int use_convolution_kernel(int level);

// Network input built from a spectrum.
struct Features {
    std::vector<double> grid;  // 3 x n_grid, channel-major: log|Z|, phase, log-omega
    double e1 = 0.0;           // log10 frequency span / 8
    double e2 = 0.0;           // log10(number of points) / 2
    SpectrumScales scales;
};

// Features of the first min(freqs.size(), z.size()) points on a grid of
// `n_grid` positions; TooFewPoints when fewer than 2 points are given.
std::expected<Features, NnError> features(std::span<const double> freqs_hz,
                                          std::span<const std::complex<double>> z,
                                          std::size_t n_grid);

// A loaded network. Immutable; safe to use from several threads at once.
class Guesser {
public:
    // Decodes and checks a weight file. Every inconsistency between the
    // tensors and the metadata is reported here, so a loaded Guesser can
    // always run.
    static std::expected<Guesser, NnError> from_bytes(const unsigned char* bytes, std::size_t size);

    // Starting values, one per entry of param_names(), in that order.
    std::expected<std::vector<double>, NnError> guess(
        std::span<const double> freqs_hz, std::span<const std::complex<double>> z) const;

    // Tensor by its full name, e.g. "w.stem.weight"; Missing when absent.
    std::expected<const Tensor*, NnError> tensor(std::string_view name) const;

    // Layers by short name ("stem", "blocks.0.conv1", "head.0"), on this
    // network's grid of n_grid() positions. Inputs are channel-major.
    std::expected<std::vector<double>, NnError> conv1d(std::span<const double> input,
                                                       std::size_t in_channels,
                                                       std::string_view layer,
                                                       std::size_t dilation) const;
    std::expected<std::vector<double>, NnError> group_norm(std::span<const double> activations,
                                                           std::string_view layer) const;
    std::expected<std::vector<double>, NnError> linear(std::span<const double> input,
                                                       std::string_view layer) const;

    const std::string& circuit() const { return circuit_; }
    const std::vector<std::string>& param_names() const { return param_names_; }
    const std::vector<std::size_t>& dilations() const { return dilations_; }
    std::size_t n_grid() const { return n_grid_; }
    std::size_t channels() const { return channels_; }
    std::size_t kernel() const { return kernel_; }
    std::size_t groups() const { return groups_; }
    double alpha_min() const { return alpha_min_; }
    double alpha_max() const { return alpha_max_; }
    const std::vector<double>& target_mean() const { return target_mean_; }
    const std::vector<double>& target_std() const { return target_std_; }
    const std::vector<bool>& log_params() const { return log_params_; }
    const std::vector<Scaling>& scaling() const { return scaling_; }
    const std::map<std::string, Tensor, std::less<>>& tensors() const { return tensors_; }

    // Convolution weights rearranged for the inference kernel (groups of
    // output channels interleaved), and per group which kernel variant it needs
    // (edge terms from the zero padding, edge terms masked, or zero weights skipped).
    struct PackedConv {
        std::vector<double> weights;
        std::vector<unsigned char> zero_groups;
    };
    static PackedConv pack_conv(const double* weight, const double* bias, std::size_t out_channels,
                                std::size_t in_channels, std::size_t kernel);

private:
    struct Conv;
    struct Norm;
    struct Dense;

    Guesser() = default;

    // The weight and bias tensors of a layer, with their full names.
    struct LayerTensors {
        std::string wname, bname;
        const Tensor* w;
        const Tensor* b;
    };
    std::expected<LayerTensors, NnError> layer_tensors(std::string_view layer) const;
    std::expected<Conv, NnError> conv_layer(std::string_view layer, std::size_t in_channels) const;
    std::expected<Norm, NnError> norm_layer(std::string_view layer) const;
    std::expected<Dense, NnError> dense_layer(std::string_view layer, std::size_t in_len) const;
    std::expected<void, NnError> prepare_network();

    std::map<std::string, Tensor, std::less<>> tensors_;
    double alpha_min_ = 0.0;
    double alpha_max_ = 0.0;
    std::size_t n_grid_ = 0;
    std::size_t channels_ = 0;
    std::size_t kernel_ = 0;
    std::size_t groups_ = 0;
    std::string circuit_;
    std::vector<std::string> param_names_;
    std::vector<std::size_t> dilations_;
    std::vector<double> target_mean_;
    std::vector<double> target_std_;
    std::vector<bool> log_params_;
    std::vector<Scaling> scaling_;
    std::vector<PackedConv> packed_;  // stem, then conv1 and conv2 of each block
    std::vector<std::vector<double>> dense_t_;  // head.0, head.2, head.4 weights in blocks of outputs

    // Each layer's weight and bias, found once at load so that a guess does
    // not look them up by name: stem; conv1, norm1, conv2, norm2 of each
    // block; head.0, head.2, head.4. They point into tensors_, so a copy of a
    // Guesser starts without them (its guesses look the layers up by name);
    // a move keeps them, as the tensors stay where they are.
    struct LayerRef {
        const double* w = nullptr;
        const double* b = nullptr;
        std::size_t out = 0;
        std::size_t in = 0;
    };
    struct LayerRefs {
        std::vector<LayerRef> refs;
        LayerRefs() = default;
        LayerRefs(const LayerRefs&) {}
        LayerRefs& operator=(const LayerRefs&) {
            refs.clear();
            return *this;
        }
        LayerRefs(LayerRefs&&) noexcept = default;
        LayerRefs& operator=(LayerRefs&&) noexcept = default;
    };
    LayerRefs layer_refs_;
};

}  // namespace velotz
