"""Linear Kramers-Kronig test: velotz against impedance.py's linKK on the
measured spectra in ../shared/data/real (or a directory given as argument).

For every file: the number of RC elements each chooses, the largest
difference of their residuals, and the median time of each (velotz through
its Python function, numpy arrays included).

Run with: python benchmarks/bench_kramers_kronig.py [data-dir] [--fit-type real|imag|complex]
"""
import argparse
import contextlib
import csv
import io
import statistics
import time
from pathlib import Path

import numpy as np

import velotz

try:
    import impedance.validation as iv
except ImportError:  # pragma: no cover
    raise SystemExit("needs impedance.py: pip install impedance")

# impedance.py evaluates circuit texts with eval(); numpy 2 prints its floats
# as np.float64(...), so the namespace needs np.
iv.circuit_elements.setdefault("np", np)


def read(path):
    f, z = [], []
    with open(path, newline="") as handle:
        for row in csv.DictReader(handle):
            if float(row["Frequency / Hz"]) > 0:
                f.append(float(row["Frequency / Hz"]))
                z.append(complex(float(row["Real Impedance / ohm"]), float(row["Imaginary Impedance / ohm"])))
    return np.array(f), np.array(z)


def median_time(fn, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("data", nargs="?", default=str(Path(__file__).resolve().parents[2] / "shared" / "data" / "real"))
    parser.add_argument("--fit-type", default="real", choices=["real", "imag", "complex"])
    parser.add_argument("--add-cap", action="store_true")
    args = parser.parse_args()
    files = sorted(Path(args.data).glob("*.csv"))
    print(f"fit_type={args.fit_type} add_cap={args.add_cap} c=0.85")
    print(f"{'file':<42}{'N':>4}{'M linKK':>8}{'M velotz':>9}{'max |dres|':>12}"
          f"{'linKK ms':>10}{'velotz ms':>10}{'ratio':>7}{'pass':>6}")
    ratios = []
    for path in files:
        f, z = read(path)

        def peer():
            with contextlib.redirect_stdout(io.StringIO()):
                return iv.linKK(f, z, c=0.85, max_M=50, fit_type=args.fit_type, add_cap=args.add_cap)

        def ours():
            return velotz.kramers_kronig(f, z, c=0.85, fit_type=args.fit_type, add_capacitance=args.add_cap)

        m, mu, _, rr, ri = peer()
        r = ours()
        diff = max(np.abs(r.residuals_real - rr).max(), np.abs(r.residuals_imag - ri).max())
        t_peer = median_time(peer, 5)
        t_ours = median_time(ours, 50)
        ratios.append(t_peer / t_ours)
        print(f"{path.stem:<42}{len(f):>4}{m:>8}{r.m:>9}{diff:>12.1e}{t_peer * 1e3:>10.2f}{t_ours * 1e3:>10.3f}"
              f"{t_peer / t_ours:>7.0f}{'yes' if r.passed else 'no':>6}")
    print(f"median speed ratio (linKK time / velotz time): {statistics.median(ratios):.0f}")


if __name__ == "__main__":
    main()
