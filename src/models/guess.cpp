// The guess service: chooses a network for a circuit and maps its outputs
// to the circuit's parameter order.
#include "models/registry.hpp"

namespace velotz {

std::expected<std::vector<double>, std::string> guess_params(const NodeList& circuit, const std::vector<double>&,
                                                             const std::vector<Cx>&,
                                                             const std::optional<std::string>& weights_path) {
    if (!weights_path && !find_for_topology(circuit)) {
        return std::unexpected(
            "No training data on this circuit. Machine-learning based initial parameters available for " +
            quoted_model_names());
    }
    // Network inference is added with the weight-file reader.
    return std::unexpected(std::string("initial-guess networks are not available in this build"));
}

}  // namespace velotz
