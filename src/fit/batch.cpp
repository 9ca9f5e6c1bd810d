#include "fit/batch.hpp"

#include <thread>
#include <utility>

#include "util/pool.hpp"

namespace velotz {

std::vector<BatchSlot> fit_batch(const FitRequest& request, const std::vector<BatchSpectrum>& spectra,
                                 const BatchStart& start, BatchControl& control) {
    std::vector<BatchSlot> slots(spectra.size());
    const std::thread::id caller = std::this_thread::get_id();
    parallel_for(spectra.size(), [&](std::size_t i) {
        if (control.stop.load(std::memory_order_relaxed)) return;
        const BatchSpectrum& s = spectra[i];
        BatchSlot& slot = slots[i];
        // Each task fits its own copy of the request (all of it, so that
        // options added to FitRequest later travel too): nothing but the
        // finished counter is shared between tasks. Its spectrum, seed and
        // starting circuit are this item's.
        FitRequest own = request;
        own.seed = s.own_seed ? s.seed : request.seed;
        own.frequencies = s.frequencies;
        own.impedances = s.impedances;
        bool ready = true;
        if (start) {
            auto circuit = start(s.frequencies, s.impedances);
            if (circuit) {
                own.circuit = std::move(*circuit);
            } else {
                slot.status = BatchStatus::Failed;
                slot.error = std::move(circuit.error());
                ready = false;
            }
        }
        if (ready) {
            auto result = fit_dispatch(own);
            if (result) {
                slot.status = BatchStatus::Done;
                slot.outcome = std::move(*result);
            } else {
                slot.status = BatchStatus::Failed;
                slot.error = result.error().display();
            }
        }
        const std::size_t finished = control.finished.fetch_add(1, std::memory_order_relaxed) + 1;
        if (control.poll && std::this_thread::get_id() == caller && !control.poll(finished)) {
            control.stop.store(true, std::memory_order_relaxed);
        }
    });
    return slots;
}

}  // namespace velotz
