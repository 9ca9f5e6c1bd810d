#pragma once
// Where a fit's starting values come from: the circuit's own values, a
// shipped network's guess, the network of a weight file, or an estimate read
// from the spectrum. One decision, used by Circuit.fit, the batch fit,
// Circuit.guess and Circuit.estimate_start; the binding only converts the
// arguments, issues the warning text handed back and turns error texts into
// exceptions.
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "circuit/circuit.hpp"
#include "circuit/param_mask.hpp"
#include "fit/residuals.hpp"

namespace velotz {

enum class StartSource : std::uint8_t {
    Circuit,   // the circuit's values as they are (given by the caller, or placeholders)
    Network,   // the guess of the shipped network matching the topology
    File,      // the guess of the network in a weight file
    Estimate,  // read from the shape of the spectrum (estimate_start)
};

// What the caller of a fit said about the start.
struct StartOptions {
    std::optional<bool> guess_init;           // None, True or False
    std::optional<std::string> weights_path;  // a .eisnn file, or none
    bool values_given = false;                // the circuit's values were supplied by the caller
};

struct StartChoice {
    StartSource source = StartSource::Circuit;
    std::optional<std::string> weights_path;  // the file of StartSource::File
    // Not empty: the binding issues it as a UserWarning before fitting (a
    // default guess found no network and the placeholders are used).
    std::string warning;
};

// The starting-value policy of fit(): guess when guess_init says so, or,
// when it is unset, when a weight file is given or the values were not
// given. An unset guess_init without a file and without a matching network
// falls back to the circuit's values with the warning; guess_init=True
// asks the registry and fails when nothing matches.
StartChoice choose_start(const NodeList& circuit, const StartOptions& options);

// The choice of Circuit.guess (a network: the file when given, else the
// registry) and of Circuit.estimate_start.
StartChoice network_start(const std::optional<std::string>& weights_path);
StartChoice estimate_start_choice();

// Starting values in param_names() order from the chosen source, with the
// circuit's constraints applied (fixed parameters keep their values, the
// others are moved inside custom bounds); the circuit's own values for
// StartSource::Circuit. `weighting` is used by the estimate only. Fails with
// the guess service's text.
std::expected<std::vector<double>, std::string> start_values(const StartChoice& choice, const NodeList& circuit,
                                                             const ParamMask* mask,
                                                             const std::vector<double>& frequencies,
                                                             const std::vector<Cx>& impedances,
                                                             Weighting weighting = Weighting::Modulus);

// The circuit a fit starts from: the circuit unchanged for
// StartSource::Circuit, otherwise rebuilt with start_values (which must give
// a value per parameter: "expected {n} values, got {m}"). A weight file that
// does not exist and whose name is a weighting ("modulus", "unit") gets a
// hint about the weight= keyword after the guess service's text.
std::expected<NodeList, std::string> start_circuit(const StartChoice& choice, const NodeList& circuit,
                                                   const ParamMask* mask, const std::vector<double>& frequencies,
                                                   const std::vector<Cx>& impedances);

// The warning of a fit that would guess but finds no network for the
// circuit's topology.
std::string no_network_warning();

// The hint added to a failed read of a weight file named like a weighting,
// or nothing when the name is not a weighting or the file exists.
std::optional<std::string> weights_keyword_hint(const std::string& path);

}  // namespace velotz
