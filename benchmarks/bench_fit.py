"""Fitting speed and quality: velotz against scipy's least_squares and impedance.py.

The same noisy spectra (1 % complex noise, fixed numpy seed) of three topologies
are fitted from the same start (every open-bound value off by a factor of 2.5,
exponents lowered by 0.1) by:
  - velotz: Circuit.fit(guess_init=False), the default multi-start
    Levenberg-Marquardt method, given the numpy arrays as scipy's model is;
  - scipy: least_squares (method "trf" with the same bounds) on the same
    modulus-weighted residuals, the model written in numpy;
  - impedance.py (`pip install impedance`): CustomCircuit.fit with
    weight_by_modulus=True; skipped with a message when it is not installed.
Every final cost is recomputed with one numpy function, 0.5 * sum(r^2) of the
modulus-weighted residuals, so the costs compare directly.
Prints the median time per fit, the ratio peer/velotz and the median final
cost per topology and tool.
Run: python benchmarks/bench_fit.py [--spectra 8] [--points 60] [--repeats 3]
"""
import argparse
import statistics
import time
import warnings

import numpy as np
from scipy.optimize import least_squares

import velotz

from numpy_models import model_randles, model_rq, model_sei_wo, modulus_weighted_cost

try:
    from impedance.models.circuits import CustomCircuit
except ImportError as exc:  # the peer is optional
    CustomCircuit = None
    IMPEDANCE_MISSING = str(exc)


# name -> (numpy model, impedance.py circuit, true values in velotz parameter order)
CASES = {
    "rq": (model_rq, "R0-p(R1,CPE1)", [10.0, 100.0, 1e-5, 0.85]),
    "randles": (model_randles, "R0-p(R1-W1,CPE1)", [10.0, 100.0, 50.0, 1e-5, 0.9]),
    "sei_randles_wo": (model_sei_wo, "R0-p(R1,CPE1)-p(R2-Wo2,CPE2)",
                       [10.0, 30.0, 1e-6, 0.9, 100.0, 40.0, 20.0, 1e-4, 0.85]),
}


cost = modulus_weighted_cost


def start_values(true, bounds):
    start, k = [], 0
    for v, (lo, hi) in zip(true, bounds):
        if np.isinf(hi):
            start.append(v * 2.5 if k % 2 == 0 else v / 2.5)
            k += 1
        else:
            start.append(v - 0.1)
    return start


def fit_velotz(circuit, f, z, start, model, w):
    r = circuit.with_values(start).fit(f, z, guess_init=False)
    return [r.params[n] for n in circuit.param_names()]


def fit_scipy(circuit, f, z, start, model, w):
    weight = np.abs(z)

    def residuals(p):
        d = (model(p, w) - z) / weight
        return np.concatenate([d.real, d.imag])

    lo = [b[0] for b in circuit.param_bounds()]
    hi = [b[1] for b in circuit.param_bounds()]
    return list(least_squares(residuals, start, bounds=(lo, hi), method="trf", x_scale="jac").x)


def fit_impedance(circuit_text):
    def run(circuit, f, z, start, model, w):
        peer = CustomCircuit(circuit_text, initial_guess=list(start))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            peer.fit(f, z, weight_by_modulus=True)
        return list(peer.parameters_)
    return run


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--spectra", type=int, default=8)
    ap.add_argument("--points", type=int, default=60)
    ap.add_argument("--repeats", type=int, default=3)
    args = ap.parse_args()

    rng = np.random.default_rng(20240601)
    f = np.logspace(-2, 5, args.points)
    w = 2 * np.pi * f
    if CustomCircuit is None:
        print(f"impedance.py not available ({IMPEDANCE_MISSING}); install it with `pip install impedance`")

    rows = []
    for name, (model, peer_text, true) in CASES.items():
        circuit = velotz.Circuit(name)
        exact = model(np.asarray(true), w)
        assert np.allclose(circuit.with_values(true).impedance(f), exact, rtol=1e-10), name
        spectra = []
        for _ in range(args.spectra):
            noise = rng.standard_normal(len(f)) + 1j * rng.standard_normal(len(f))
            spectra.append(exact * (1 + 0.01 * noise))
        start = start_values(true, circuit.param_bounds())
        tools = [("velotz", fit_velotz), ("scipy trf", fit_scipy)]
        if CustomCircuit is not None:
            tools.append(("impedance.py", fit_impedance(peer_text)))
        times = {}
        for tool, fit in tools:
            per_fit, costs = [], []
            for z in spectra:
                for _ in range(args.repeats):
                    t0 = time.perf_counter()
                    p = fit(circuit, f, z, start, model, w)
                    per_fit.append(time.perf_counter() - t0)
                costs.append(cost(model, p, w, z))
            times[tool] = statistics.median(per_fit)
            rows.append((name, tool, times[tool], times[tool] / times["velotz"], statistics.median(costs),
                         max(costs)))

    print(f"{args.spectra} spectra per topology, {args.points} points, 1 % noise, "
          f"median of {args.repeats} repeats per spectrum")
    header = f"{'topology':16s} {'tool':13s} {'ms/fit':>9s} {'x velotz':>9s} {'median cost':>12s} {'max cost':>12s}"
    print(header)
    print("-" * len(header))
    for name, tool, t, ratio, med, worst in rows:
        print(f"{name:16s} {tool:13s} {t * 1e3:9.3f} {ratio:9.1f} {med:12.4e} {worst:12.4e}")


if __name__ == "__main__":
    main()
