"""Impedance evaluation speed: velotz against the same model in vectorised numpy.

Evaluates R0-(R1,CPE1)-(R2-W2,CPE2) over 10^6 frequencies, several times
each, and prints the median nanoseconds per frequency and the ratio.
Run: python benchmarks/bench_impedance.py [--n 1000000] [--repeats 7]
For a single-thread comparison: RAYON_NUM_THREADS=1 python benchmarks/bench_impedance.py
"""
import argparse
import os
import statistics
import time

import numpy as np

import velotz

VALUES = {"R0.r": 10.0, "R1.r": 50.0, "CPE1.q": 1e-4, "CPE1.alpha": 0.85,
          "R2.r": 80.0, "W2.aw": 30.0, "CPE2.q": 1e-3, "CPE2.alpha": 0.9}


def numpy_model(f, p):
    s = 1j * 2 * np.pi * f
    w = 2 * np.pi * f
    cpe1 = 1 / (p["CPE1.q"] * s ** p["CPE1.alpha"])
    cpe2 = 1 / (p["CPE2.q"] * s ** p["CPE2.alpha"])
    warburg = p["W2.aw"] / np.sqrt(w) * (1 - 1j)
    par1 = 1 / (1 / p["R1.r"] + 1 / cpe1)
    par2 = 1 / (1 / (p["R2.r"] + warburg) + 1 / cpe2)
    return p["R0.r"] + par1 + par2


def median_time(fn, repeats):
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--repeats", type=int, default=7)
    args = ap.parse_args()

    circuit = velotz.Circuit("R0-(R1,CPE1)-(R2-W2,CPE2)").with_named_values(VALUES)
    f = np.logspace(-3, 6, args.n)
    ours = circuit.impedance(f)
    ref = numpy_model(f, VALUES)
    err = np.max(np.abs(ours - ref) / np.abs(ref))
    t_velotz = median_time(lambda: circuit.impedance(f), args.repeats)
    t_numpy = median_time(lambda: numpy_model(f, VALUES), args.repeats)
    threads = os.environ.get("RAYON_NUM_THREADS", "all available")
    print(f"circuit R0-(R1,CPE1)-(R2-W2,CPE2), {args.n} frequencies, median of {args.repeats}; "
          f"velotz threads: {threads}")
    print(f"max relative difference velotz vs numpy: {err:.2e}")
    print(f"velotz  {t_velotz / args.n * 1e9:8.1f} ns/frequency")
    print(f"numpy   {t_numpy / args.n * 1e9:8.1f} ns/frequency")
    print(f"ratio numpy/velotz: {t_numpy / t_velotz:.2f}x")


if __name__ == "__main__":
    main()
