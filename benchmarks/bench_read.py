"""Reading speed of velotz.read against pandas.read_csv on the same files.

Writes text files of 10^5 rows (by default) to a temporary directory -- a
Battery Data Format CSV, a tab-separated file with a short preamble and
another header spelling, and an EC-Lab .mpt export (60-line header, 19
columns, Latin-1) -- and reads each one with velotz.read and with the
pandas.read_csv call that reads the same table, alternately, several
times. Prints the median process time (CPU time of all threads, which
both use) and wall time of each, and the median of the per-repeat ratios
velotz / pandas.

    python benchmarks/bench_read.py [--rows 100000] [--repeats 31] [--without-polars]

velotz.read parses a large table with polars' CSV reader when polars is
installed, else with pandas' C parser; --without-polars measures the
second (what a pandas-only installation gets).
"""
import argparse
import os
import statistics
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))


def spectrum(rows, seed=0):
    rng = np.random.default_rng(seed)
    f = np.logspace(6, -2, rows)
    w = 2 * np.pi * f
    z = 10 + 100 / (1 + 1j * w * 100 * 1e-5)
    z = z * (1 + 0.001 * (rng.standard_normal(rows) + 1j * rng.standard_normal(rows)))
    return f, z


def write_files(folder, rows):
    f, z = spectrum(rows)
    fl, re, im = f.tolist(), z.real.tolist(), z.imag.tolist()
    files = {}
    path = os.path.join(folder, "bdf.csv")
    with open(path, "w") as out:
        out.write("Frequency / Hz,Real Impedance / ohm,Imaginary Impedance / ohm\n")
        out.writelines(f"{a!r},{b!r},{c!r}\n" for a, b, c in zip(fl, re, im))
    files["BDF CSV, 3 columns"] = (path, {})
    path = os.path.join(folder, "table.txt")
    with open(path, "w") as out:
        out.write("Exported 2024-01-02\nSample: cell 7\n\nfreq\tZre\tZim\n")
        out.writelines(f"{a!r}\t{b!r}\t{c!r}\n" for a, b, c in zip(fl, re, im))
    files["tab-separated, preamble"] = (path, {"skiprows": 3, "sep": "\t"})
    import read_samples

    columns = read_samples.ECLAB_COLUMNS + ["|Ewe|/V", "|I|/A", "Re(Y)/Ohm-1", "Im(Y)/Ohm-1", "|Y|/Ohm-1",
                                            "Phase(Y)/deg", "dq/mA.h"]
    header = ["EC-Lab ASCII FILE", "Nb header lines : 60"] + [f"setting line {k} : value \u00b5" for k in range(57)]
    path = os.path.join(folder, "big.mpt")
    with open(path, "w", encoding="latin-1") as out:
        out.write("\n".join(header) + "\n" + "\t".join(columns) + "\t\n")
        phase = np.degrees(np.angle(z)).tolist()
        mod = np.abs(z).tolist()
        for k in range(rows):
            out.write("\t".join("%.7E" % v for v in (fl[k], re[k], -im[k], mod[k], phase[k])) +
                      f"\t{k * 0.5!r}\t1.0000000E-001\t1.5000000E+000\t1.0000000E+001\t1.000000000000000E+000\t41\t0"
                      "\t1.0E-002\t1.0E-004\t1.0E-002\t1.0E-003\t1.0E-002\t1.0E+000\t0.0E+000\t\n")
    files["EC-Lab .mpt, 19 columns"] = (path, {"skiprows": 59, "sep": "\t", "encoding": "latin-1"})
    return files


def measure(fn, clock):
    start = clock()
    fn()
    return clock() - start


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=100_000)
    ap.add_argument("--repeats", type=int, default=31)
    ap.add_argument("--without-polars", action="store_true", help="hide polars from velotz (pandas parses)")
    args = ap.parse_args()
    if args.without_polars:
        sys.modules["polars"] = None
    import pandas as pd

    import velotz

    try:
        import polars
        parser = f"polars {polars.__version__} parses"
    except ImportError:
        parser = "pandas parses (polars not available)"
    print(f"velotz {velotz.__version__}, pandas {pd.__version__}, numpy {np.__version__}, {parser}; "
          f"{args.rows} rows, {args.repeats} repeats, {os.cpu_count()} CPUs")
    print(f"{'file':28s} {'velotz ms (CPU/wall)':>22s} {'pandas ms (CPU/wall)':>22s} {'ratio CPU':>10s} "
          f"{'ratio wall':>10s}")
    with tempfile.TemporaryDirectory() as folder:
        for label, (path, options) in write_files(folder, args.rows).items():
            ours = lambda: velotz.read(path)  # noqa: E731
            theirs = lambda: pd.read_csv(path, **options)  # noqa: E731
            frame = ours()
            assert len(frame) == args.rows, (label, len(frame))
            ours(), theirs()  # warm caches
            cpu = {"ours": [], "theirs": []}
            wall = {"ours": [], "theirs": []}
            for _ in range(args.repeats):
                for key, fn in (("ours", ours), ("theirs", theirs)):
                    cpu[key].append(measure(fn, time.process_time))
                    wall[key].append(measure(fn, time.perf_counter))
            ratio_cpu = statistics.median(a / b for a, b in zip(cpu["ours"], cpu["theirs"]))
            ratio_wall = statistics.median(a / b for a, b in zip(wall["ours"], wall["theirs"]))
            med = lambda xs: 1e3 * statistics.median(xs)  # noqa: E731
            print(f"{label:28s} {med(cpu['ours']):10.1f} / {med(wall['ours']):8.1f} "
                  f"{med(cpu['theirs']):10.1f} / {med(wall['theirs']):8.1f} {ratio_cpu:10.3f} {ratio_wall:10.3f}")


if __name__ == "__main__":
    main()
