#include "fit/fit.hpp"

#include "fit/global_fit.hpp"
#include "fit/lm_fit.hpp"

namespace velotz {

FitModel request_model(const FitRequest& request) {
    return FitModel(std::make_shared<const NodeList>(request.circuit), request.mask);
}

FitResultOr fit_dispatch(const FitRequest& request) {
    const std::string& method = request.method;
    if (method == "levenberg_marquardt") {
        return levenberg_marquardt_fit(request_model(request), request.frequencies, request.impedances,
                                       request.weighting, LmSettings{request.ftol, request.xtol, 1e-8,
                                                                     request.max_iterations});
    }
    // The global methods.
    if (method == "particle_swarm") return particle_swarm_fit(request);
    if (method == "nelder_mead") return nelder_mead_fit(request);
    if (method == "differential_evolution") return differential_evolution_fit(request);
    if (method == "simulated_annealing") return simulated_annealing_fit(request);
    if (method == "basin_hopping") return basin_hopping_fit(request);
    return std::unexpected(FitError::unknown_method(method));
}

}  // namespace velotz
