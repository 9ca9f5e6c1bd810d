// The start decision shared by fit, the batch fit, guess and estimate_start.
#include "start/start.hpp"

#include <sys/stat.h>

#include <cctype>
#include <string_view>

#include "start/start_estimate.hpp"
#include "start/registry.hpp"
#include "util/text.hpp"

namespace velotz {

std::string no_network_warning() {
    return "There is no ML model to guess initial parameters for this circuit. Supply your own with "
           "Circuit.with_named_values({...}) or Circuit.with_values([...]), or pass guess_init=False to "
           "silence this. Models available for " +
           quoted_model_names();
}

StartChoice choose_start(const NodeList& circuit, const StartOptions& options) {
    StartChoice choice;
    const bool guess = options.guess_init ? *options.guess_init
                                          : (options.weights_path.has_value() || !options.values_given);
    if (!guess) return choice;
    if (options.weights_path) return network_start(options.weights_path);
    if (!options.guess_init && !find_for_topology_cached(circuit)) {
        choice.warning = no_network_warning();
        return choice;
    }
    choice.source = StartSource::Network;
    return choice;
}

StartChoice network_start(const std::optional<std::string>& weights_path) {
    StartChoice choice;
    choice.source = weights_path ? StartSource::File : StartSource::Network;
    choice.weights_path = weights_path;
    return choice;
}

StartChoice estimate_start_choice() {
    StartChoice choice;
    choice.source = StartSource::Estimate;
    return choice;
}

std::expected<std::vector<double>, std::string> start_values(const StartChoice& choice, const NodeList& circuit,
                                                             const ParamMask* mask,
                                                             const std::vector<double>& frequencies,
                                                             const std::vector<Cx>& impedances, Weighting weighting) {
    std::vector<double> values;
    switch (choice.source) {
        case StartSource::Circuit: values = param_values(circuit); break;
        case StartSource::Network:
        case StartSource::File: {
            auto guessed = guess_params(circuit, frequencies, impedances,
                                        choice.source == StartSource::File ? choice.weights_path : std::nullopt);
            if (!guessed) return std::unexpected(std::move(guessed.error()));
            values = std::move(*guessed);
            break;
        }
        case StartSource::Estimate:
            values = estimate_start(circuit, frequencies, impedances, weighting).values;
            break;
    }
    if (mask) apply_mask(circuit, *mask, values);
    return values;
}

std::expected<NodeList, std::string> start_circuit(const StartChoice& choice, const NodeList& circuit,
                                                   const ParamMask* mask, const std::vector<double>& frequencies,
                                                   const std::vector<Cx>& impedances) {
    if (choice.source == StartSource::Circuit) return circuit;
    const std::size_t count = param_count(circuit);
    auto values = start_values(choice, circuit, nullptr, frequencies, impedances);
    if (!values) {
        std::string text = std::move(values.error());
        if (choice.source == StartSource::File) {
            if (auto hint = weights_keyword_hint(*choice.weights_path)) text += *hint;
        }
        return std::unexpected(std::move(text));
    }
    if (values->size() < count) {
        return std::unexpected("expected " + std::to_string(count) + " values, got " + std::to_string(values->size()));
    }
    // Fixed parameters keep their values; custom bounds hold the rest.
    if (mask) apply_mask(circuit, *mask, *values);
    return rebuild(circuit, *values);
}

std::optional<std::string> weights_keyword_hint(const std::string& path) {
    std::string lower;
    for (char c : path) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower != "modulus" && lower != "unit") return std::nullopt;
    struct stat info;
    if (::stat(path.c_str(), &info) == 0) return std::nullopt;
    return "; there is no weight file " + quote(path) + ": weights= names a .eisnn network file, and the "
           "residual weighting is chosen with weight=\"" + lower + "\"";
}

}  // namespace velotz
