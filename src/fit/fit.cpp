#include "fit/fit.hpp"

#include "fit/global_fit.hpp"
#include "fit/lm_fit.hpp"

namespace velotz {

FitModel request_model(const FitRequest& request) {
    return FitModel(std::make_shared<const NodeList>(request.circuit), request.mask);
}

namespace {

FitResultOr levenberg_marquardt_request(const FitRequest& request) {
    return levenberg_marquardt_fit(request_model(request), request.frequencies, request.impedances,
                                   request.weighting,
                                   LmSettings{request.ftol, request.xtol, 1e-8, request.max_iterations});
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
