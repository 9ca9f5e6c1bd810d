#include "fit/batch.hpp"

#include <functional>
#include <optional>
#include <thread>
#include <utility>

#include "util/interrupt.hpp"
#include "util/pool.hpp"

namespace velotz {

namespace {

// The request a thread's batch tasks fit, kept from task to task: copying
// into it reuses its arrays, strings and tree, so a task allocates nothing
// for its copy once the first has sized them.
struct OwnRequest {
    FitRequest request;
    bool busy = false;
};

// Fits one spectrum of the batch into its slot.
void fit_one(const FitRequest& request, const BatchSpectrum& s, const BatchStart& start, BatchSlot& slot) {
    // Each task fits its own copy of the request (all of it, so that
    // options added to FitRequest later travel too): nothing but the
    // finished counter is shared between tasks. Its spectrum, seed and
    // starting circuit are this item's.
    thread_local OwnRequest kept;
    std::optional<FitRequest> fresh;  // when the kept one is in use further up the stack
    if (kept.busy) fresh.emplace();
    FitRequest& own = fresh ? *fresh : kept.request;
    struct Use {
        OwnRequest& kept;
        bool mine;
        ~Use() {
            if (mine) {
                kept.busy = false;
                kept.request.mask.reset();  // hold no caller's mask between batches
                // A long spectrum's copy is given back rather than kept.
                if (kept.request.frequencies.capacity() > 4096) {
                    std::vector<double>().swap(kept.request.frequencies);
                    std::vector<Cx>().swap(kept.request.impedances);
                }
            }
        }
    } use{kept, !fresh};
    if (!fresh) kept.busy = true;
    own = request;
    own.seed = s.own_seed ? s.seed : request.seed;
    own.frequencies.assign(s.frequencies.begin(), s.frequencies.end());
    own.impedances.assign(s.impedances.begin(), s.impedances.end());
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
}

}  // namespace

std::vector<BatchSlot> fit_batch(const FitRequest& request, const std::vector<BatchSpectrum>& spectra,
                                 const BatchStart& start, BatchControl& control) {
    std::vector<BatchSlot> slots(spectra.size());
    const std::thread::id caller = std::this_thread::get_id();
    // A running fit stops at its next interruption point once the batch is
    // stopped: on the calling thread, when its poll says so (checked while
    // the fit runs, not only between spectra); on a worker, when the stop
    // flag is set. Its slot is then left NotRun.
    struct Polls {
        BatchControl& control;
        static bool caller(void* context) {
            BatchControl& c = static_cast<Polls*>(context)->control;
            if (c.stop.load(std::memory_order_relaxed)) return false;
            if (c.poll && !c.poll(c.finished.load(std::memory_order_relaxed))) {
                c.stop.store(true, std::memory_order_relaxed);
                return false;
            }
            return true;
        }
        static bool worker(void* context) {
            return !static_cast<Polls*>(context)->control.stop.load(std::memory_order_relaxed);
        }
    } polls{control};
    // Passed by reference: the pool's std::function then holds no copy of
    // the closure on the heap.
    const auto task = [&](std::size_t i) {
        if (control.stop.load(std::memory_order_relaxed)) return;
        const bool on_caller = std::this_thread::get_id() == caller;
        try {
            InterruptScope scope(on_caller ? &Polls::caller : &Polls::worker, &polls);
            fit_one(request, spectra[i], start, slots[i]);
        } catch (const Interrupted&) {
            slots[i] = BatchSlot{};
            control.stop.store(true, std::memory_order_relaxed);
            return;
        } catch (...) {
            // The exception ends the whole batch (the pool rethrows it on the
            // caller once running tasks finish): start no further spectra.
            control.stop.store(true, std::memory_order_relaxed);
            throw;
        }
        const std::size_t finished = control.finished.fetch_add(1, std::memory_order_relaxed) + 1;
        if (control.poll && on_caller && !control.poll(finished)) {
            control.stop.store(true, std::memory_order_relaxed);
        }
    };
    parallel_for(spectra.size(), std::cref(task));
    return slots;
}

}  // namespace velotz
