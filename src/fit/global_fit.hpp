#pragma once
// The derivative-free fitting methods: each makes the common input checks,
// searches in internal coordinates with its engine (fit/global_engines.hpp)
// on the cost 0.5 * sum(r^2) at physical(x) (one counted residual evaluation
// per cost call), and hands its best point to polish_or_fallback. Basin
// hopping instead alternates jumps with complete Levenberg–Marquardt fits and
// builds its outcome from the best local minimum.
//
// After the three input checks and before any cost evaluation, each method
// refuses settings it cannot run with, naming the fit() argument: no
// particles; an initial temperature that is not > 0 (SolverFailure with the
// optimizer's own text), NaN, infinite or so large that twice it overflows; a
// basin-hopping step size below 0, NaN or with an overflowing double; a search
// box that cannot be sampled (not finite, or for differential evolution empty
// in 32-bit floats).
#include "fit/fit.hpp"

namespace velotz {

FitResultOr nelder_mead_fit(const FitRequest& request);             // nelder_mead_iterations
FitResultOr particle_swarm_fit(const FitRequest& request);          // num_particles, generations, seed
FitResultOr differential_evolution_fit(const FitRequest& request);  // de_evaluations
FitResultOr simulated_annealing_fit(const FitRequest& request);     // sa_iterations, sa_initial_temperature, seed
FitResultOr basin_hopping_fit(const FitRequest& request);           // basin_hopping_*, seed

}  // namespace velotz
