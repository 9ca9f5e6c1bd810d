"""A loop of fits alone, for counting instructions under valgrind.

Fits one synthetic spectrum (60 points, 10 mHz-100 kHz, 1 % complex noise,
fixed seed) of a bench_fit.py topology K times from the start bench_fit.py
uses (guess_init=False), after one fit that is not counted apart (it warms
the per-thread workspaces). Run:
    RAYON_NUM_THREADS=1 valgrind --tool=callgrind python3 fit_loop.py --only randles --calls 50
and divide the inclusive count of the fit method by the calls.
"""
import argparse

import numpy as np

import velotz

from bench_fit import CASES, start_values


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--only", default="randles", choices=sorted(CASES))
    ap.add_argument("--calls", type=int, default=50)
    args = ap.parse_args()
    model, _, true = CASES[args.only]
    rng = np.random.default_rng(5)
    f = np.logspace(-2, 5, 60)
    z = model(np.array(true), 2 * np.pi * f)
    z = z * (1 + 0.01 * (rng.standard_normal(60) + 1j * rng.standard_normal(60)))
    circuit = velotz.Circuit({"rq": "R0-(R1,CPE1)", "randles": "R0-(R1-W1,CPE1)",
                              "sei_randles_wo": "R0-(R1,CPE1)-(R2-Wo2,CPE2)"}[args.only])
    start = circuit.with_values(start_values(true, circuit.param_bounds()))
    for _ in range(args.calls + 1):
        start.fit(f, z, guess_init=False)


if __name__ == "__main__":
    main()
