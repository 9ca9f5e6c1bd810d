"""Starting values on overlapping arcs: `estimate_start` followed by the
default fit, on synthetic spectra whose arcs lie 0.5 to 2 decades apart.

Spectra (50 points, 1e5 ... 1e-2 Hz, 0.5 % Gaussian noise on both parts,
relative to |Z|, two draws each):

- two Zarcs (R0 = 10 ohm; tau1 = 1 ms, tau2 = tau1 * 10^sep for sep in 0.5,
  0.75, 1, 1.25, 1.5 and 2 decades; resistances 50/50, 30/100 and 100/30 ohm;
  alpha 0.75 and 0.9 on both), fitted with R0-(R1,CPE1)-(R2,CPE2), and the
  same with a series inductance of 1 uH fitted with L0-R0-(R1,CPE1)-(R2,CPE2);
- three Zarcs 0.75, 1 and 1.5 decades apart (40, 60, 80 ohm from 0.1 ms),
  fitted with R0-(R1,CPE1)-(R2,CPE2)-(R3,CPE3).

Per spectrum: the cost of `Circuit(c).estimate_start(f, z)` (the start
itself), of `.fit(f, z)` from it, and a reference: the lowest of that fit,
the fit from the true values and the default fit. A fit is "at best" when
its cost is at most 1.001 x the reference. CPU time (time.process_time) of
estimate_start, median of three calls.

Two builds are compared by running the script once with each and handing
the first run's JSON to the second:

    PYTHONPATH=OLD_BUILD python3 benchmarks/bench_drt_start.py --json before.json
    PYTHONPATH=NEW_BUILD python3 benchmarks/bench_drt_start.py --before before.json
"""
from __future__ import annotations

import argparse
import json
import math
import statistics
import time
import warnings

import numpy as np

import velotz

FREQS = np.logspace(5, -2, 50)
W = 2 * np.pi * FREQS
AT_BEST = 1.001
TWO = "R0-(R1,CPE1)-(R2,CPE2)"
TWO_L = "L0-R0-(R1,CPE1)-(R2,CPE2)"
THREE = "R0-(R1,CPE1)-(R2,CPE2)-(R3,CPE3)"


def zarc(r, tau, alpha):
    return r / (1 + (1j * W * tau) ** alpha)


def cases():
    rng = np.random.default_rng(7)
    out = []
    for sep in (0.5, 0.75, 1.0, 1.25, 1.5, 2.0):
        for r1, r2 in ((50, 50), (30, 100), (100, 30)):
            for alpha in (0.75, 0.9):
                for draw in range(2):
                    t1, t2 = 1e-3, 1e-3 * 10 ** sep
                    z = 10 + zarc(r1, t1, alpha) + zarc(r2, t2, alpha)
                    truth = [10, r1, t1 ** alpha / r1, alpha, r2, t2 ** alpha / r2, alpha]
                    for inductive in (False, True):
                        zz = z + (1j * W * 1e-6 if inductive else 0)
                        noise = 0.005 * np.abs(zz) * (rng.standard_normal(W.size) + 1j * rng.standard_normal(W.size))
                        out.append({"name": f"sep {sep} R {r1}/{r2} a {alpha} #{draw}{' L' if inductive else ''}",
                                    "sep": sep, "circuit": TWO_L if inductive else TWO,
                                    "truth": ([1e-6] if inductive else []) + truth, "z": zz + noise})
    for sep in (0.75, 1.0, 1.5):
        for alpha in (0.75, 0.9):
            for draw in range(2):
                taus = [1e-4, 1e-4 * 10 ** sep, 1e-4 * 100 ** sep]
                rs = [40, 60, 80]
                z = 10 + sum(zarc(r, t, alpha) for r, t in zip(rs, taus))
                z = z + 0.005 * np.abs(z) * (rng.standard_normal(W.size) + 1j * rng.standard_normal(W.size))
                truth = [10] + [v for r, t in zip(rs, taus) for v in (r, t ** alpha / r, alpha)]
                out.append({"name": f"three arcs sep {sep} a {alpha} #{draw}", "sep": sep, "circuit": THREE,
                            "truth": truth, "z": z})
    return out


def cost(circuit, params, z):
    r = np.asarray(circuit.residuals(list(params), FREQS, z))
    c = 0.5 * float(r @ r)
    return c if math.isfinite(c) else math.inf


def run(case):
    c = velotz.Circuit(case["circuit"])
    names = c.param_names()
    z = case["z"]
    times = []
    for _ in range(3):
        t = time.process_time()
        est = c.estimate_start(FREQS, z)
        times.append(time.process_time() - t)
    fit = est.fit(FREQS, z)
    c_fit = cost(c, [fit.params[n] for n in names], z)
    truth = c.with_values(case["truth"]).fit(FREQS, z, guess_init=False)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        default = c.fit(FREQS, z)
    ref = min(c_fit, cost(c, [truth.params[n] for n in names], z), cost(c, [default.params[n] for n in names], z))
    return {"start": cost(c, est.param_values(), z), "fit": c_fit, "ref": ref, "cpu_ms": 1e3 * statistics.median(times)}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--json", help="write this run's results to FILE")
    ap.add_argument("--before", help="a previous run's JSON to compare with")
    args = ap.parse_args()
    results = {}
    for case in cases():
        results[case["name"]] = dict(run(case), sep=case["sep"], circuit=case["circuit"])
    if args.json:
        with open(args.json, "w") as fh:
            json.dump(results, fh, indent=1)
    before = None
    if args.before:
        with open(args.before) as fh:
            before = json.load(fh)
        # one reference for both runs: the lower of the two
        for k, r in results.items():
            r["ref"] = min(r["ref"], before[k]["ref"])
            before[k]["ref"] = r["ref"]

    def row(label, rs):
        at = sum(r["fit"] <= AT_BEST * r["ref"] for r in rs)
        start = statistics.median(r["start"] / r["ref"] for r in rs)
        worst = max(r["fit"] / r["ref"] for r in rs)
        cpu = statistics.median(r["cpu_ms"] for r in rs)
        return f"| {label} | {len(rs)} | {at} | {start:.3g} | {worst:.4g} | {cpu:.2f} |"

    print("| group | spectra | fit at best | median start cost / ref | worst fit cost / ref | median CPU ms of "
          "estimate_start |")
    print("|---|---|---|---|---|---|")
    groups = [(f"{c} sep {s}", [k for k, r in results.items() if r["circuit"] == c and r["sep"] == s])
              for c in (TWO, TWO_L, THREE) for s in sorted({r["sep"] for r in results.values() if r["circuit"] == c})]
    groups.append(("all", list(results)))
    for label, keys in groups:
        if before is not None:
            print(row(label + " (before)", [before[k] for k in keys]))
        print(row(label, [results[k] for k in keys]))
    if before is not None:
        worse = [(k, results[k]["fit"] / before[k]["fit"]) for k in results
                 if results[k]["fit"] > before[k]["fit"] * (1 + 1e-6)]
        better = [k for k in results if results[k]["fit"] < before[k]["fit"] * (1 - 1e-6)]
        print(f"\nfit cost after estimate_start: {len(better)} spectra lower, {len(worse)} higher than before")
        for k, q in worse:
            print(f"- higher: {k}: {q:.4g}x")


if __name__ == "__main__":
    main()
