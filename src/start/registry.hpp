#pragma once
// Trained networks: topology matching of circuits against the registry of
// shipped networks, and the guess service that turns a measured spectrum
// into starting values in a circuit's own parameter order.
#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "circuit/circuit.hpp"
#include "start/catalog.hpp"

namespace velotz {

// One item of a canonical form: a leaf with its parameter span, or a
// parallel block with its branches.
struct Shape {
    std::string key;
    std::size_t start = 0;  // leaf: first parameter index
    std::size_t count = 0;  // leaf: parameter count
    std::vector<std::vector<Shape>> branches;  // parallel block (key starts with "(")
};

struct Span {
    std::size_t start;
    std::size_t count;
};

std::string series_key(const std::vector<std::string>& keys);
// Sorted shapes of a series, the parameter counter running in written order.
std::vector<Shape> shapes(const NodeList& series, std::size_t& counter);
// (key of the circuit, leaf spans in canonical order).
std::pair<std::string, std::vector<Span>> canonical(const NodeList& series);

// Entry k: the index of the network output that supplies user parameter k.
using Mapping = std::vector<std::size_t>;

std::optional<Mapping> match_topology(const NodeList& model, const NodeList& user);

struct TopologyMatch {
    Mapping mapping;
    bool expanded = false;  // matched after replacing K and Zarc by their pairs
};

std::optional<TopologyMatch> match_or_expand(const NodeList& model, const NodeList& user);

struct RegistryMatch {
    std::size_t model_index;  // into MODEL_SPECS
    TopologyMatch match;
};

// The first registry entry whose circuit matches `user`.
std::optional<RegistryMatch> find_for_topology(const NodeList& user);
// The same answer, kept per thread for the last tree asked about: a tree of
// the same shape (same_shape) is answered without matching again and
// without allocating. The reference is valid until the thread's next call.
const std::optional<RegistryMatch>& find_for_topology_cached(const NodeList& user);

// Converts values mapped onto the expanded circuit (K as R, C; Zarc as R,
// Cpe) back to the user's own parameters.
std::vector<double> convert_expanded(const NodeList& user, const std::vector<double>& mapped);

class Guesser;

// Why a shipped network does not fit its registry entry (its circuit or its
// parameter names differ), as the text a failed guess reports; or nothing.
std::optional<std::string> check_against_registry(const ModelSpec& spec, const Guesser& guesser);

// Multiply-adds one guess of the network takes (its convolutions over the
// grid and its dense head), as declared by its tensors.
double network_cost(const Guesser& guesser);

// The largest cost a weight file read from disk may declare: far above every
// shipped network, low enough that a guess never runs for minutes.
inline constexpr double kMaxNetworkCost = 1e9;

// Why a network read from disk is refused although it decodes: it cannot
// give one value per parameter of its own circuit, or it would cost far more
// than any shipped network. Nothing when it is usable.
std::optional<std::string> check_disk_network(const Guesser& guesser);

// Starting values for `circuit` from a trained network: a registry entry, or
// the weight file at `weights_path` (the bytes the operating system is given,
// also shown in messages). Values in param_names() order, or the
// error's text.
std::expected<std::vector<double>, std::string> guess_params(const NodeList& circuit,
                                                             const std::vector<double>& frequencies,
                                                             const std::vector<Cx>& impedances,
                                                             const std::optional<std::string>& weights_path);

}  // namespace velotz
