#include "fit/fit.hpp"

#include "fit/global_fit.hpp"
#include "fit/lm_fit.hpp"

namespace velotz {

FitModel request_model(const FitRequest& request) {
    return FitModel(std::make_shared<const NodeList>(request.circuit), request.mask);
}

namespace {

// Spectra up to this many points keep their evaluator between fits.
constexpr std::size_t kKeptPoints = 4096;

// The model and the compiled evaluator of the last default fit on this
// thread. A fit of a tree of the same shape (same_shape: the same compiled
// program) reuses them: the model takes the request's tree and mask, the
// evaluator its spectrum, in the arrays they already hold, so that a thread
// fitting one circuit over and over allocates nothing here after its first
// fit. Another shape compiles anew. The model holds the request's tree only
// for the length of the fit.
struct DefaultFitCache {
    NodeList shape;  // the tree the evaluator's program was compiled from
    std::optional<FitModel> model;
    std::optional<FitEvaluator> evaluator;
    bool busy = false;
};

FitResultOr levenberg_marquardt_request(const FitRequest& request) {
    const LmSettings settings{request.ftol, request.xtol, 1e-8, request.max_iterations};
    thread_local DefaultFitCache cache;
    if (cache.busy) {
        return levenberg_marquardt_fit(request_model(request), request.frequencies, request.impedances,
                                       request.weighting, settings);
    }
    if (auto error = check_fit_inputs(request.circuit, request.frequencies.size(), request.impedances.size())) {
        return std::unexpected(*error);
    }
    // The request outlives the fit: the model refers to its tree without
    // owning or copying it.
    std::shared_ptr<const NodeList> tree(std::shared_ptr<const NodeList>(), &request.circuit);
    struct Use {
        DefaultFitCache& cache;
        explicit Use(DefaultFitCache& c) : cache(c) { cache.busy = true; }
        ~Use() {
            if (cache.model) cache.model->release();
            // The evaluator's arrays grow with the spectrum: after a long
            // one it is given back rather than kept for the thread's life.
            if (cache.evaluator && cache.evaluator->points() > kKeptPoints) cache.evaluator.reset();
            cache.busy = false;
        }
    } use(cache);
    if (cache.model) {
        cache.model->assign(std::move(tree), request.mask);
    } else {
        cache.model.emplace(std::move(tree), request.mask);
    }
    const FitModel& model = *cache.model;
    if (cache.evaluator && same_shape(cache.shape, request.circuit)) {
        cache.evaluator->assign(model, request.frequencies, request.impedances, request.weighting);
    } else {
        // Forget the old program first: should compiling throw, no evaluator
        // is left paired with the wrong shape.
        cache.evaluator.reset();
        cache.shape = request.circuit;
        cache.evaluator.emplace(model, request.frequencies, request.impedances, request.weighting);
    }
    return levenberg_marquardt_fit(model, *cache.evaluator, settings);
}

struct MethodEntry {
    std::string_view name;
    FitResultOr (*run)(const FitRequest&);
};

#define VELOTZ_FIT_METHOD_ENTRY(name, entry) MethodEntry{#name, entry},
constexpr MethodEntry kMethodEntries[] = {VELOTZ_FIT_METHODS(VELOTZ_FIT_METHOD_ENTRY)};
#undef VELOTZ_FIT_METHOD_ENTRY

}  // namespace

FitResultOr fit_dispatch(const FitRequest& request) {
    for (const MethodEntry& m : kMethodEntries) {
        if (request.method == m.name) return m.run(request);
    }
    return std::unexpected(FitError::unknown_method(request.method));
}

}  // namespace velotz
