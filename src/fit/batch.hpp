#pragma once
// Many independent fits of one circuit in one call, spread over the worker
// pool with one task per spectrum.
//
// Each spectrum's fit runs whole on one thread (the Jacobian columns inside
// it run inline, see util/pool.hpp), so a spectrum's result is the one a
// single fit_dispatch of the same request gives, bit for bit, whatever the
// pool size. Results come back in input order. A spectrum whose starting
// values or fit fail gets its error text in its own slot; the others are
// unaffected.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "circuit/measured.hpp"
#include "fit/fit.hpp"

namespace velotz {

// One measured spectrum of a batch and, optionally, its own seed (otherwise
// the batch's seed applies).
// One measured spectrum of the batch (circuit/measured.hpp) with its own
// seed, when the caller gave one per spectrum.
struct BatchSpectrum : Spectrum {
    std::optional<std::uint64_t> seed;
    bool own_seed = false;  // true: `seed` replaces the batch's (None included)
};

// The starting circuit of one spectrum (a network guess, say), or the error
// text that becomes that spectrum's result. Called on worker threads, so it
// must be safe to call concurrently.
using BatchStart =
    std::function<std::expected<NodeList, std::string>(const std::vector<double>& frequencies,
                                                        const std::vector<Cx>& impedances)>;

enum class BatchStatus : std::uint8_t { NotRun, Done, Failed };

struct BatchSlot {
    BatchStatus status = BatchStatus::NotRun;
    std::optional<FitOutcome> outcome;  // Done
    std::string error;                  // Failed: the message fit() would raise
};

struct BatchControl {
    // Set from any thread to stop the batch: spectra not yet started are
    // left NotRun, those running finish.
    std::atomic<bool> stop{false};
    // Number of spectra finished so far (Done or Failed).
    std::atomic<std::size_t> finished{0};
    // Called on the calling thread after each spectrum it ran itself, with
    // the number finished so far; returning false sets `stop`. Lets the
    // caller report progress and notice interrupts while the batch runs.
    std::function<bool(std::size_t finished)> poll;
};

// Fits `request` (its method and options; its circuit is the starting
// circuit unless `start` is given; its spectrum and seed are replaced per
// item) to every spectrum. `request.frequencies` and `request.impedances`
// are ignored.
std::vector<BatchSlot> fit_batch(const FitRequest& request, const std::vector<BatchSpectrum>& spectra,
                                 const BatchStart& start, BatchControl& control);

}  // namespace velotz
