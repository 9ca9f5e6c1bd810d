"""Coverage of velotz's confidence intervals, and its standard errors against lmfit's.

For each topology (rq = R0-(R1,CPE1), randles = R0-(R1-W1,CPE1), two_rq =
R0-(R1,CPE1)-(R2,CPE2)) at fixed realistic values, --draws spectra of 60
points from 10 mHz to 100 kHz with 1 % proportional complex noise,
Z (1 + 0.01 (e1 + j e2)) with e1, e2 standard normal (numpy seed fixed per
topology). Each spectrum is fitted twice with fit_batch, from the trained
network's guess and from the true values, and the fit with the lower cost
is kept (the estimator whose intervals are checked is the least-squares
optimum; the count of spectra where the network start ended higher is
printed). Then, per parameter, the fraction of spectra whose interval
contains the true value:

  - conf_int(0.95): Student t with 2N - k degrees of freedom, own scale for
    parameters with a finite upper bound (the CPE exponents), log scale for
    the others;
  - plain Wald p -/+ 1.96 se on every parameter's own scale, for comparison;
  - bootstrap(n=--boot-n) percentile intervals on the first --boot-draws
    spectra.

With 1000 draws the binomial standard error of a 95 % coverage is 0.7 %.

The lmfit comparison takes the first --lmfit-draws kept fits of each
topology and runs lmfit.minimize (method "leastsq", MINPACK) from velotz's
solution on the same modulus-weighted residuals, the model written in
numpy (benchmarks/numpy_models.py), no bounds; lmfit's stderr comes from
MINPACK's covariance scaled by the reduced chi-square. Printed: the ratio
of lmfit's to velotz's standard error per parameter (median and the
extreme ratios) and lmfit's cost relative to velotz's.

    python3 benchmarks/bench_uncertainty.py [--draws 1000] [--boot-draws 200]
        [--boot-n 1000] [--lmfit-draws 200] [--json out.json]

lmfit is a peer installed for this benchmark only (pip install lmfit).
"""
import argparse
import json
import math
import pathlib
import sys
import time

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import velotz  # noqa: E402
from numpy_models import model_randles, model_rq, model_two_rq  # noqa: E402

CASES = {
    "rq": ("R0-(R1,CPE1)", model_rq, [10.0, 100.0, 2e-5, 0.9]),
    "randles": ("R0-(R1-W1,CPE1)", model_randles, [10.0, 100.0, 50.0, 1e-5, 0.85]),
    "two_rq": ("R0-(R1,CPE1)-(R2,CPE2)", model_two_rq, [5.0, 40.0, 1e-5, 0.9, 120.0, 1e-3, 0.8]),
}
F = np.logspace(5, -2, 60)
Z_975 = 1.959963984540054


def spectra(text, values, draws, seed):
    rng = np.random.default_rng(seed)
    z0 = velotz.Circuit(text).with_values(values).impedance(F)
    noise = rng.standard_normal((draws, len(F))) + 1j * rng.standard_normal((draws, len(F)))
    return [z0 * (1 + 0.01 * e) for e in noise]


def best_fits(text, values, data):
    pairs = [(F, z) for z in data]
    from_guess = velotz.fit_batch(text, pairs)
    from_truth = velotz.fit_batch(velotz.Circuit(text).with_values(values), pairs)
    kept, worse = [], 0
    for a, b in zip(from_guess, from_truth):
        ok = [r for r in (a, b) if not isinstance(r, BaseException) and r.success]
        best = min(ok, key=lambda r: r.cost) if ok else None
        if best is not None and best is b and a is not b and (isinstance(a, BaseException)
                                                               or a.cost > b.cost * (1 + 1e-9)):
            worse += 1
        kept.append(best)
    return kept, worse


def coverage(fits, truth, names, interval):
    hits = {n: 0 for n in names}
    counted = 0
    for r in fits:
        if r is None:
            continue
        iv = interval(r)
        if iv is None:
            continue
        counted += 1
        for n in names:
            lo, hi = iv[n]
            hits[n] += lo <= truth[n] <= hi
    return {n: hits[n] / counted for n in names}, counted


def wald(r):
    return {n: (r.params[n] - Z_975 * s, r.params[n] + Z_975 * s) for n, s in r.stderr.items()}


def lmfit_compare(model, fits, data, names):
    import lmfit

    w = 2 * np.pi * F
    ratios = {n: [] for n in names}
    cost_ratio = []
    for r, z in zip(fits, data):
        if r is None:
            continue
        params = lmfit.Parameters()
        keys = [n.replace(".", "_") for n in names]
        for key, n in zip(keys, names):
            params.add(key, value=r.params[n])

        def residual(p, z=z):
            v = np.array([p[key].value for key in keys])
            d = (model(v, w) - z) / np.abs(z)
            return np.column_stack([d.real, d.imag]).ravel()

        out = lmfit.minimize(residual, params, method="leastsq")
        if not out.errorbars:
            continue
        cost_ratio.append(0.5 * float(np.sum(out.residual ** 2)) / r.cost)
        for key, n in zip(keys, names):
            ratios[n].append(out.params[key].stderr / r.stderr[n])
    return ratios, cost_ratio


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--draws", type=int, default=1000)
    ap.add_argument("--boot-draws", type=int, default=200)
    ap.add_argument("--boot-n", type=int, default=1000)
    ap.add_argument("--lmfit-draws", type=int, default=200)
    ap.add_argument("--json")
    args = ap.parse_args()
    report = {}
    for seed, (name, (text, model, values)) in enumerate(CASES.items()):
        names = velotz.Circuit(text).param_names()
        truth = dict(zip(names, values))
        data = spectra(text, values, args.draws, seed)
        t0 = time.perf_counter()
        fits, worse = best_fits(text, values, data)
        t_fit = time.perf_counter() - t0
        cov_t, counted = coverage(fits, truth, names, lambda r: r.conf_int(0.95))
        cov_w, _ = coverage(fits, truth, names, lambda r: wald(r) if r.stderr is not None else None)
        print(f"\n{name} ({text}): {args.draws} draws, {counted} with intervals, "
              f"{sum(r is None for r in fits)} without a successful fit, "
              f"network start above the true-value start on {worse}; fits {t_fit:.1f} s")
        entry = {"draws": args.draws, "counted": counted, "network_worse": worse,
                 "conf_int": cov_t, "wald": cov_w}
        boot_cov = None
        if args.boot_draws > 0:
            t0 = time.perf_counter()
            sub = list(zip(fits, data))[:args.boot_draws]
            boots = [velotz.bootstrap(r, F, z, n=args.boot_n, seed=i) if r is not None else None
                     for i, (r, z) in enumerate(sub)]
            t_boot = time.perf_counter() - t0
            boot_cov, boot_counted = coverage(boots, truth, names, lambda b: b.intervals)
            failed = sum(b.failed for b in boots if b is not None)
            print(f"  bootstrap: {boot_counted} spectra x {args.boot_n} refits in {t_boot:.1f} s, "
                  f"{failed} refits failed")
            entry["bootstrap"] = boot_cov
            entry["bootstrap_draws"] = boot_counted
        print(f"  {'parameter':<12} {'conf_int':>9} {'Wald':>7} {'bootstrap':>10}")
        for n in names:
            b = f"{100 * boot_cov[n]:9.1f}%" if boot_cov else ""
            print(f"  {n:<12} {100 * cov_t[n]:8.1f}% {100 * cov_w[n]:6.1f}% {b}")
        if args.lmfit_draws > 0:
            try:
                ratios, cost_ratio = lmfit_compare(model, fits[:args.lmfit_draws], data[:args.lmfit_draws], names)
            except ImportError:
                print("  lmfit is not installed: pip install lmfit")
            else:
                print(f"  lmfit stderr / velotz stderr on {len(cost_ratio)} fits "
                      f"(lmfit cost / velotz cost: median {np.median(cost_ratio):.9f}, "
                      f"min {min(cost_ratio):.9f}):")
                entry["lmfit"] = {}
                for n in names:
                    a = np.array(ratios[n])
                    print(f"  {n:<12} median {np.median(a):.6f}  min {a.min():.6f}  max {a.max():.6f}")
                    entry["lmfit"][n] = {"median": float(np.median(a)), "min": float(a.min()),
                                         "max": float(a.max())}
        report[name] = entry
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(report, indent=1))


if __name__ == "__main__":
    main()
