"""Global fitting from hard starts: velotz's six methods against scipy's global optimizers.

Noisy spectra (1 % complex noise, 50 points from 10 mHz to 1 MHz, fixed numpy
seed) of "two_rq" and "sei_randles_wo" are fitted from a hard start: every
open-bound parameter 100 times off its true value (x100 and /100 in turn), every
exponent lowered by 0.1. In the same run:
  - velotz: Circuit.fit(guess_init=False) with each of the six methods at their
    default budgets ("levenberg_marquardt" is the default multi-start method;
    the seeded methods get the spectrum's index as seed);
  - scipy.optimize.differential_evolution, dual_annealing and basinhopping on
    the same modulus-weighted cost with the model written in numpy, in velotz's
    internal coordinates (log10 above the lower bound for open-bound
    parameters) and over velotz's particle-swarm search box (eight decades
    centred on each start value, [0, 1] for exponents). basinhopping uses the
    same 20 hops, step 1 and temperature 1 as velotz, with least_squares
    ("trf") as its local minimiser; the other two run with scipy's default
    budgets (differential_evolution: popsize 15, up to 1000 generations, tol
    0.01, L-BFGS-B polish; dual_annealing: 1000 iterations, started at the start).
A run reaches the optimum when its final cost, recomputed with one numpy
function, is at most 5 % above the cost at the true parameters. Prints, per
topology and method, the share of runs that reached it, the median time, the
median number of residual evaluations (velotz: impedance_evals, which for
basin_hopping covers only its final outcome; scipy: every call of the cost or
residual function, finite-difference Jacobians included) and the median final
cost relative to the cost at the true parameters.
Run: python benchmarks/bench_global.py [--spectra 6] [--points 50]
"""
import argparse
import statistics
import time

import numpy as np
from scipy.optimize import OptimizeResult, basinhopping, differential_evolution, dual_annealing, least_squares

import velotz

from numpy_models import model_two_rq, model_sei_wo

METHODS = ["levenberg_marquardt", "nelder_mead", "particle_swarm", "differential_evolution",
           "simulated_annealing", "basin_hopping"]


# name -> (numpy model, true values in velotz parameter order)
CASES = {
    "two_rq": (model_two_rq, [10.0, 100.0, 1e-6, 0.9, 300.0, 1e-3, 0.8]),
    "sei_randles_wo": (model_sei_wo, [10.0, 30.0, 1e-6, 0.9, 100.0, 40.0, 20.0, 1e-4, 0.85]),
}


def hard_start(true, bounds):
    start, k = [], 0
    for v, (lo, hi) in zip(true, bounds):
        if np.isinf(hi):
            start.append(v * 100 if k % 2 == 0 else v / 100)
            k += 1
        else:
            start.append(v - 0.1)
    return start


def search_box(values, bounds):
    """velotz's particle-swarm box: [lo, hi] for finite bounds, otherwise the
    decades log10(max(l/1e4, lo) - lo) .. log10(l*1e4 - lo), l = max(|p|, 1e-6)."""
    lower, upper = [], []
    for v, (lo, hi) in zip(values, bounds):
        if np.isfinite(hi):
            lower.append(lo), upper.append(hi)
        else:
            size = max(abs(v), 1e-6)
            lower.append(np.log10(max(max(size * 1e-4, lo) - lo, 1e-300)))
            upper.append(np.log10(max(size * 1e4 - lo, 1e-300)))
    return np.array(lower), np.array(upper)


class Problem:
    """The modulus-weighted cost of one spectrum in velotz's internal coordinates."""

    def __init__(self, model, w, z, bounds):
        self.model, self.w, self.z, self.weight = model, w, z, np.abs(z)
        self.lo = np.array([b[0] for b in bounds])
        self.hi = np.array([b[1] for b in bounds])
        self.open = ~np.isfinite(self.hi)
        self.evals = 0

    def physical(self, x):
        with np.errstate(all="ignore"):
            return np.where(self.open, 10.0 ** np.asarray(x, dtype=float) + self.lo, x)

    def internal(self, p):
        p = np.asarray(p, dtype=float)
        with np.errstate(all="ignore"):
            return np.where(self.open, np.log10(np.maximum(p - self.lo, 1e-300)), p)

    def residuals_physical(self, p):
        with np.errstate(all="ignore"):
            d = (self.model(p, self.w) - self.z) / self.weight
        return np.concatenate([d.real, d.imag])

    def cost_physical(self, p):
        r = self.residuals_physical(np.asarray(p, dtype=float))
        return 0.5 * float(r @ r)

    def residuals(self, x):
        self.evals += 1
        r = self.residuals_physical(self.physical(x))
        return np.where(np.isfinite(r), r, 1e150)

    def cost(self, x):
        r = self.residuals(x)
        c = 0.5 * float(r @ r)
        return c if np.isfinite(c) else 1e300

    def local_fit(self, fun, x0, args=(), **options):
        """basinhopping's local minimiser: least_squares on the residuals, exponents kept in [0, 1]."""
        lb = np.where(self.open, -np.inf, self.lo)
        ub = np.where(self.open, np.inf, self.hi)
        res = least_squares(self.residuals, np.clip(x0, lb, ub), bounds=(lb, ub), method="trf")
        return OptimizeResult(x=res.x, fun=self.cost(res.x), success=res.success, nfev=res.nfev)


def run_velotz(method):
    def run(circuit, problem, f, start, box, seed):
        r = circuit.with_values(start).fit(list(f), list(problem.z), guess_init=False, method=method, seed=seed)
        return r.circuit.param_values(), r.impedance_evals
    return run


def run_scipy_de(circuit, problem, f, start, box, seed):
    res = differential_evolution(problem.cost, list(zip(*box)), seed=seed, polish=True)
    return problem.physical(res.x), problem.evals


def run_scipy_da(circuit, problem, f, start, box, seed):
    x0 = np.clip(problem.internal(start), *box)
    res = dual_annealing(problem.cost, list(zip(*box)), seed=seed, x0=x0)
    return problem.physical(res.x), problem.evals


def run_scipy_bh(circuit, problem, f, start, box, seed):
    res = basinhopping(problem.cost, problem.internal(start), niter=20, T=1.0, stepsize=1.0, seed=seed,
                       minimizer_kwargs={"method": problem.local_fit})
    return problem.physical(res.x), problem.evals


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--spectra", type=int, default=6)
    ap.add_argument("--points", type=int, default=50)
    args = ap.parse_args()

    rng = np.random.default_rng(20240607)
    f = np.logspace(-2, 6, args.points)
    w = 2 * np.pi * f
    tools = [(f"velotz {m}", run_velotz(m)) for m in METHODS] + [
        ("scipy differential_evolution", run_scipy_de),
        ("scipy dual_annealing", run_scipy_da),
        ("scipy basinhopping+lsq", run_scipy_bh),
    ]

    rows, started = [], time.perf_counter()
    for name, (model, true) in CASES.items():
        circuit = velotz.Circuit(name)
        bounds = circuit.param_bounds()
        exact = model(np.asarray(true), w)
        assert np.allclose(circuit.with_values(true).impedance(list(f)), exact, rtol=1e-10), name
        spectra = []
        for _ in range(args.spectra):
            noise = rng.standard_normal(len(f)) + 1j * rng.standard_normal(len(f))
            spectra.append(exact * (1 + 0.01 * noise))
        start = hard_start(true, bounds)
        box = search_box(start, bounds)
        for tool, run in tools:
            reached, seconds, evals, ratios = 0, [], [], []
            for seed, z in enumerate(spectra):
                problem = Problem(model, w, z, bounds)
                t0 = time.perf_counter()
                params, count = run(circuit, problem, f, start, box, seed)
                seconds.append(time.perf_counter() - t0)
                ratio = problem.cost_physical(params) / problem.cost_physical(true)
                reached += ratio <= 1.05
                evals.append(count)
                ratios.append(ratio)
            rows.append((name, tool, reached, len(spectra), statistics.median(seconds), statistics.median(evals),
                         statistics.median(ratios)))
            print(f"  {name} {tool}: {reached}/{len(spectra)} in {sum(seconds):.1f} s", flush=True)

    print(f"\n{args.spectra} spectra per topology, {args.points} points, 1 % noise, start 100x off; "
          f"total {time.perf_counter() - started:.0f} s")
    header = (f"{'topology':15s} {'method':30s} {'reached':>8s} {'median s':>9s} {'median evals':>13s} "
              f"{'cost/true':>10s}")
    print(header)
    print("-" * len(header))
    for name, tool, reached, total, sec, ev, ratio in rows:
        print(f"{name:15s} {tool:30s} {reached:>4d}/{total:<3d} {sec:9.3f} {ev:13.0f} {ratio:10.3g}")
    print("velotz basin_hopping's evaluations count only its final outcome (its local fits keep their own counters).")


if __name__ == "__main__":
    main()
