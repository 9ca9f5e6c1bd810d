"""Circuit comparison: time of compare() over the eleven trained topologies
on a synthetic 60-point spectrum (median of repeats, with each candidate's
share), then the ranking table for measured spectra named on the command
line (BDF CSV files).

Run with: python benchmarks/bench_compare.py [file.csv ...]
      or: python benchmarks/bench_compare.py --recommend DATA_DIR
"""
import csv
import statistics
import sys
import time
import warnings

import numpy as np

import velotz


def read(path):
    f, z = [], []
    with open(path, newline="") as handle:
        for row in csv.DictReader(handle):
            if float(row["Frequency / Hz"]) > 0:
                f.append(float(row["Frequency / Hz"]))
                z.append(complex(float(row["Real Impedance / ohm"]), float(row["Imaginary Impedance / ohm"])))
    return f, z


def synthetic(n=60):
    f = np.logspace(5, -1, n)
    w = 2 * np.pi * f
    z = 5 + 1j * w * 2e-6 + 20 / (1 + (1j * w * 1e-3) ** 0.85) + 40 / (1 + (1j * w * 0.1) ** 0.8)
    rng = np.random.default_rng(1)
    return list(f), list(z * (1 + 0.005 * rng.standard_normal(n)))


def recommendations(directory):
    """compare(f, z) with its default candidates on every BDF CSV file of a
    directory: the recommended circuit, its cost and AIC, the best AIC of
    all candidates, how many candidates there were and the CPU time of the
    call. Run once per build to compare two versions."""
    import pathlib

    print("| file | candidates | recommended | cost | AIC | best AIC | CPU ms |")
    print("|---|---|---|---|---|---|---|")
    for path in sorted(pathlib.Path(directory).glob("*.csv")):
        f, z = read(path)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            start = time.process_time()
            cmp = velotz.compare(f, z)
            took = time.process_time() - start
        rec = cmp.recommended
        print(f"| {path.stem} | {len(cmp)} | {rec.name} | {rec.cost:.5g} | {rec.aic:.2f} | {cmp.best.aic:.2f} | "
              f"{took * 1e3:.0f} |", flush=True)


def main(paths):
    if paths[:1] == ["--recommend"]:
        recommendations(paths[1])
        return
    f, z = synthetic()
    velotz.compare(f, z)  # decode the networks once
    runs = []
    for _ in range(7):
        start = time.perf_counter()
        cmp = velotz.compare(f, z)
        runs.append((time.perf_counter() - start, cmp))
    runs.sort(key=lambda r: r[0])
    seconds, cmp = runs[len(runs) // 2]
    print(f"compare(): 11 trained topologies on 60 points, median of 7: {seconds * 1e3:.1f} ms")
    for e in sorted(cmp, key=lambda e: -e.seconds):
        print(f"  {e.name:<16}{e.seconds * 1e3:8.2f} ms {e.result.impedance_evals:7d} evaluations")
    for path in paths:
        f, z = read(path)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            start = time.perf_counter()
            cmp = velotz.compare(f, z)
            took = time.perf_counter() - start
        print(f"\n{path} ({took * 1e3:.0f} ms)")
        print(cmp)
        best = cmp.best
        if best is not None:
            print(f"best {best.name}: {best.diagnosis}")


if __name__ == "__main__":
    main(sys.argv[1:])
