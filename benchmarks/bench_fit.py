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

Then what a user sees, in CPU time (time.process_time) of this one thread:
the whole default fit, Circuit.fit(f, z) with its network guess; the fit
alone, from that guess (guess_init=False); and scipy's least_squares (trf)
from the same guess. Each is timed warm (fits back to back) and after other
work: before every timed call --traffic-mb MB of unrelated memory are
written (not timed), which pushes the fit's code and data out of the caches.
Per spectrum the median over the repeats; the tables give the median over
the spectra and, in brackets, their range (min-max):
  - CPU µs per call of each kind;
  - scipy / velotz for the whole default fit and for the fit alone;
  - the cold penalty: a velotz call after the traffic / the same call warm.
Run: python benchmarks/bench_fit.py [--spectra 8] [--points 60] [--repeats 3]
         [--traffic-mb 50] [--user-repeats 7] [--back-to-back 10]
"""
import argparse
import os
import statistics
import time
import warnings

# CPU time is read for the whole process: numpy's BLAS threads, which spin
# for a while after a call they spread, would add their time to the next
# call timed.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
from scipy.optimize import least_squares  # noqa: E402

import velotz  # noqa: E402

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


def scipy_from(circuit, f, w, z, start, model):
    """least_squares (trf) from `start`, nudged inside the bounds as trf needs."""
    lo = np.array([b[0] for b in circuit.param_bounds()])
    hi = np.array([b[1] for b in circuit.param_bounds()])
    x0 = np.clip(np.asarray(start, dtype=float), lo * (1 + 1e-9) + 1e-15, hi - 1e-9)
    return fit_scipy(circuit, f, z, x0, model, w)


class Traffic:
    """Unrelated memory traffic: `mb` megabytes written in full each time."""

    def __init__(self, mb):
        self.buffer = np.zeros(max(int(mb * 2**20) // 8, 1))
        self.k = 0.0

    def __call__(self):
        self.k += 1.0
        self.buffer.fill(self.k)


def cpu_time(call, before=None, back_to_back=1):
    """CPU seconds of call() on this thread. With before(), it runs first,
    untimed, and one call is timed; without, one untimed call warms the
    caches and the mean of `back_to_back` calls in a row is returned."""
    if before is not None:
        before()
    else:
        call()
    calls = 1 if before is not None else back_to_back
    t0 = time.process_time()
    for _ in range(calls):
        call()
    return (time.process_time() - t0) / calls


def spread(values):
    return f"{statistics.median(values):9.1f} [{min(values):.1f}-{max(values):.1f}]"


def user_view(f, w, spectra_by_case, repeats, traffic_mb, back_to_back):
    """CPU time of the whole default fit, the fit alone and scipy from the
    same guess, warm and after `traffic_mb` MB of memory traffic."""
    traffic = Traffic(traffic_mb)
    kinds = ("default fit", "fit alone", "scipy trf")
    conditions = (("warm", None), (f"after {traffic_mb:g} MB", traffic))
    print()
    print(f"What a user sees: CPU µs per call (median over spectra [min-max]; per spectrum the median of "
          f"{repeats} repeats); 'default fit' is fit(f, z) with its guess, 'fit alone' and 'scipy trf' "
          f"start from that guess")
    header = f"{'topology':16s} {'condition':14s}" + "".join(f" {k:>26s}" for k in kinds)
    print(header)
    print("-" * len(header))
    ratios = []
    for name, (model, spectra) in spectra_by_case.items():
        circuit = velotz.Circuit(name)
        guesses = [circuit.guess(f, z) for z in spectra]
        started = [circuit.with_values(g) for g in guesses]
        calls = {
            "default fit": lambda i: circuit.fit(f, spectra[i]),
            "fit alone": lambda i: started[i].fit(f, spectra[i], guess_init=False),
            "scipy trf": lambda i: scipy_from(circuit, f, w, spectra[i], guesses[i], model),
        }
        per = {}  # (condition, kind) -> per-spectrum medians in µs
        for cond, before in conditions:
            for kind in kinds:
                calls[kind](0)  # untimed: the first call of a kind loads what it needs
            for i in range(len(spectra)):
                samples = {kind: [] for kind in kinds}
                for _ in range(repeats):
                    # The kinds alternate, so that a change of load hits them alike.
                    for kind in kinds:
                        samples[kind].append(cpu_time(lambda: calls[kind](i), before, back_to_back) * 1e6)
                for kind in kinds:
                    per.setdefault((cond, kind), []).append(statistics.median(samples[kind]))
            print(f"{name:16s} {cond:14s}" + "".join(f" {spread(per[(cond, k)]):>26s}" for k in kinds))
        ratios.append((name, per))
    print()
    print("scipy / velotz (CPU time, per spectrum, median [min-max]) and the cold penalty of velotz "
          "(after the traffic / warm)")
    cold = conditions[1][0]
    header = (f"{'topology':16s} {'default, warm':>22s} {'default, ' + cold:>26s} {'fit alone, warm':>22s} "
              f"{'fit alone, ' + cold:>26s} {'penalty default':>22s} {'penalty fit alone':>22s}")
    print(header)
    print("-" * len(header))
    for name, per in ratios:
        def r(cond, kind):
            return [s / v for s, v in zip(per[(cond, "scipy trf")], per[(cond, kind)])]

        def penalty(kind):
            return [c / h for c, h in zip(per[(cold, kind)], per[("warm", kind)])]

        cells = [r("warm", "default fit"), r(cold, "default fit"), r("warm", "fit alone"), r(cold, "fit alone"),
                 penalty("default fit"), penalty("fit alone")]
        widths = (22, 26, 22, 26, 22, 22)
        print(f"{name:16s}" + "".join(f" {ratio_spread(c):>{wd}s}" for c, wd in zip(cells, widths)))


def ratio_spread(values):
    return f"{statistics.median(values):.2f} [{min(values):.2f}-{max(values):.2f}]"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--spectra", type=int, default=8)
    ap.add_argument("--points", type=int, default=60)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--traffic-mb", type=float, default=50.0,
                    help="memory written before each call of the 'after other work' timings")
    ap.add_argument("--back-to-back", type=int, default=10,
                    help="calls in a row whose mean is one warm sample")
    ap.add_argument("--user-repeats", type=int, default=7,
                    help="repeats per spectrum of the user-view timings (0: skip them)")
    args = ap.parse_args()

    rng = np.random.default_rng(20240601)
    f = np.logspace(-2, 5, args.points)
    w = 2 * np.pi * f
    if CustomCircuit is None:
        print(f"impedance.py not available ({IMPEDANCE_MISSING}); install it with `pip install impedance`")

    rows = []
    spectra_by_case = {}
    for name, (model, peer_text, true) in CASES.items():
        circuit = velotz.Circuit(name)
        exact = model(np.asarray(true), w)
        assert np.allclose(circuit.with_values(true).impedance(f), exact, rtol=1e-10), name
        spectra = []
        for _ in range(args.spectra):
            noise = rng.standard_normal(len(f)) + 1j * rng.standard_normal(len(f))
            spectra.append(exact * (1 + 0.01 * noise))
        spectra_by_case[name] = (model, spectra)
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

    if args.user_repeats > 0:
        user_view(f, w, spectra_by_case, args.user_repeats, args.traffic_mb, args.back_to_back)


if __name__ == "__main__":
    main()
