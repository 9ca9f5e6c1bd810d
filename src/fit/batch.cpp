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
        // Each task fits its own copy of the request: nothing but the
        // finished counter is shared between tasks.
        FitRequest own;
        own.method = request.method;
        own.max_iterations = request.max_iterations;
        own.ftol = request.ftol;
        own.xtol = request.xtol;
        own.weighting = request.weighting;
        own.num_particles = request.num_particles;
        own.generations = request.generations;
        own.nelder_mead_iterations = request.nelder_mead_iterations;
        own.de_evaluations = request.de_evaluations;
        own.sa_iterations = request.sa_iterations;
        own.sa_initial_temperature = request.sa_initial_temperature;
        own.basin_hopping_hops = request.basin_hopping_hops;
        own.basin_hopping_step_size = request.basin_hopping_step_size;
        own.basin_hopping_temperature = request.basin_hopping_temperature;
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
        } else {
            own.circuit = request.circuit;
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
