// The guess service: chooses a network for a circuit (a shipped one from the
// registry, or a weight file from disk), runs it on the spectrum and maps
// its outputs to the circuit's own parameter order.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <complex>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "start/registry.hpp"
#include "nn/embedded.hpp"
#include "nn/guesser.hpp"
#include "util/text.hpp"

namespace velotz {
namespace {

// ---------------------------------------------------------------- registry
// One shipped network: decoded and checked on first use, then kept (or its
// failure text kept) for the life of the process.
struct ModelCell {
    std::once_flag once;
    std::optional<Guesser> guesser;
    std::string failure;
};

std::array<ModelCell, MODEL_SPECS.size()> g_cells;

std::string unparsable(const std::string& what) { return NnError::unparsable(what).message(); }

}  // namespace

std::optional<std::string> check_against_registry(const ModelSpec& spec, const Guesser& g) {
    if (g.circuit() != spec.circuit) {
        return unparsable("model " + quote(spec.name) + " is registered as " + quote(spec.circuit) +
                          " but its weights were trained for " + quote(g.circuit()));
    }
    auto tree = parse(spec.circuit);
    if (!tree) return unparsable("registry circuit " + quote(spec.circuit));
    const std::vector<std::string> expected = param_names(*tree);
    if (g.param_names() != expected) {
        return unparsable("model " + quote(spec.name) + " has parameters " + quote_list(g.param_names()) +
                          ", expected " + quote_list(expected));
    }
    return std::nullopt;
}

double network_cost(const Guesser& g) {
    // Sizes are bounded by the file size (256 MiB) and n_grid by 4096, so the
    // sum stays exact in 64 bits.
    std::uint64_t cost = 0;
    for (const auto& [name, t] : g.tensors()) {
        const std::string_view n(name);
        if (!n.ends_with(".weight")) continue;
        const auto size = static_cast<std::uint64_t>(t.data.size());
        if (n.starts_with("w.head.")) {
            cost += size;
        } else if (n == "w.stem.weight" || (n.starts_with("w.blocks.") && n.find(".conv") != std::string_view::npos)) {
            cost += size * static_cast<std::uint64_t>(g.n_grid());  // once per grid position
        }
    }
    return static_cast<double>(cost);
}

std::optional<std::string> check_disk_network(const Guesser& g) {
    if (auto model = parse(g.circuit())) {
        const std::size_t count = param_count(*model);
        if (g.param_names().size() != count) {
            return "weight file lists " + std::to_string(g.param_names().size()) + " parameter name" +
                   (g.param_names().size() == 1 ? "" : "s") + " but its circuit " + quote(g.circuit()) + " has " +
                   std::to_string(count) + " parameter" + (count == 1 ? "" : "s");
        }
    }
    const double cost = network_cost(g);
    if (!(cost <= kMaxNetworkCost)) {
        return "weight file declares a network of " + std::to_string(static_cast<std::uint64_t>(cost)) +
               " multiply-adds per guess, more than the limit of " +
               std::to_string(static_cast<std::uint64_t>(kMaxNetworkCost)) +
               " for networks read from disk";
    }
    return std::nullopt;
}

namespace {

void load_cell(std::size_t index) {
    ModelCell& cell = g_cells[index];
    const ModelSpec& spec = MODEL_SPECS[index];
    std::size_t count = 0;
    const EmbeddedModel* table = embedded_models(&count);
    const EmbeddedModel* blob = nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        if (std::strcmp(table[i].name, spec.name) == 0) blob = &table[i];
    }
    if (!blob) {
        cell.failure = NnError::missing(std::string(spec.name) + ".eisnn").message();
        return;
    }
    auto loaded = Guesser::from_bytes(blob->bytes, blob->size);
    if (!loaded) {
        cell.failure = loaded.error().message();
        return;
    }
    if (auto problem = check_against_registry(spec, *loaded)) {
        cell.failure = *problem;
        return;
    }
    cell.guesser = std::move(*loaded);
}

// ---------------------------------------------------------------- disk files
// Networks read from disk, keyed by the path text as the caller wrote it.
// Only successful loads are kept; the lock is held while a file is read,
// decoded and matched, so two callers asking for one new path load it once.
std::mutex g_external_mutex;
std::map<std::string, std::shared_ptr<const Guesser>>* g_external = nullptr;  // kept until exit

// Weight files are small (the shipped ones are under a megabyte); a larger
// file is refused instead of being read into memory.
constexpr std::size_t kMaxWeightFile = std::size_t{256} << 20;

std::string system_error_text(int err) {
    return std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")";
}

std::expected<std::vector<unsigned char>, NnError> read_file(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::unexpected(NnError::io(system_error_text(errno)));
    std::vector<unsigned char> bytes;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        if (static_cast<std::size_t>(st.st_size) > kMaxWeightFile) {
            ::close(fd);
            return std::unexpected(NnError::io("file is larger than " + std::to_string(kMaxWeightFile) + " bytes"));
        }
        bytes.reserve(static_cast<std::size_t>(st.st_size));
    }
    unsigned char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(fd);
            return std::unexpected(NnError::io(system_error_text(err)));
        }
        if (n == 0) break;
        bytes.insert(bytes.end(), buf, buf + n);
        if (bytes.size() > kMaxWeightFile) {
            ::close(fd);
            return std::unexpected(NnError::io("file is larger than " + std::to_string(kMaxWeightFile) + " bytes"));
        }
    }
    ::close(fd);
    return bytes;
}

// ---------------------------------------------------------------- common steps
std::expected<std::vector<double>, std::string> run_and_map(const Guesser& g, const NodeList& circuit,
                                                            const TopologyMatch& match,
                                                            const std::vector<double>& frequencies,
                                                            const std::vector<Cx>& impedances) {
    // The impedances as the network reads them, in an array kept per thread.
    thread_local std::vector<std::complex<double>> z;
    z.resize(impedances.size());
    for (std::size_t i = 0; i < z.size(); ++i) z[i] = {impedances[i].re, impedances[i].im};
    auto out = g.guess(frequencies, z);
    if (z.capacity() > 4096) std::vector<std::complex<double>>().swap(z);  // a long spectrum's copy is not kept
    if (!out) return std::unexpected(out.error().message());
    std::vector<double> mapped(match.mapping.size());
    for (std::size_t k = 0; k < mapped.size(); ++k) {
        const std::size_t from = match.mapping[k];
        mapped[k] = from < out->size() ? (*out)[from] : std::nan("");
    }
    if (match.expanded) return convert_expanded(circuit, mapped);
    return mapped;
}

}  // namespace

std::expected<std::vector<double>, std::string> guess_params(const NodeList& circuit,
                                                             const std::vector<double>& frequencies,
                                                             const std::vector<Cx>& impedances,
                                                             const std::optional<std::string>& weights_path) {
    if (!weights_path) {
        const std::optional<RegistryMatch>& found = find_for_topology_cached(circuit);
        if (!found) {
            return std::unexpected(
                "No training data on this circuit. Machine-learning based initial parameters available for " +
                quoted_model_names());
        }
        ModelCell& cell = g_cells[found->model_index];
        std::call_once(cell.once, load_cell, found->model_index);
        if (!cell.guesser) return std::unexpected(unparsable(cell.failure));
        return run_and_map(*cell.guesser, circuit, found->match, frequencies, impedances);
    }

    const std::string& path = *weights_path;
    std::shared_ptr<const Guesser> guesser;
    TopologyMatch match;
    {
        std::lock_guard<std::mutex> lock(g_external_mutex);
        if (!g_external) g_external = new std::map<std::string, std::shared_ptr<const Guesser>>();
        auto it = g_external->find(path);
        if (it != g_external->end()) {
            guesser = it->second;
        } else {
            auto bytes = read_file(path);
            if (!bytes) return std::unexpected(bytes.error().message());
            auto loaded = Guesser::from_bytes(bytes->data(), bytes->size());
            if (!loaded) return std::unexpected(loaded.error().message());
            if (auto problem = check_disk_network(*loaded)) return std::unexpected(*problem);
            guesser = std::make_shared<const Guesser>(std::move(*loaded));
            g_external->emplace(path, guesser);
        }
        auto model = parse(guesser->circuit());
        if (!model) return std::unexpected(unparsable("circuit " + quote(guesser->circuit()) + " in " + path));
        auto m = match_or_expand(*model, circuit);
        if (!m) {
            return std::unexpected(
                unparsable(path + " was trained for " + quote(guesser->circuit()) + ", which is a different circuit"));
        }
        match = std::move(*m);
    }
    return run_and_map(*guesser, circuit, match, frequencies, impedances);
}

}  // namespace velotz
