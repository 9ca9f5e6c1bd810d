"""Verdicts of the Kramers-Kronig test: how often it passes clean spectra and
fails spoiled ones, and what it says about measured spectra.

Synthetic cases (benchmarks/analysis_cases.py), N per topology for each of
the eleven trained topologies, 1 % proportional noise:
- clean: should pass;
- drift: every arc resistance grows by --drift (default 20 %) during the sweep;
- flipped: the imaginary sign flipped;
- corrupted: four neighbouring points 10 % off in modulus and phase; the
  test should fail and name those points ("named": all four among the
  outliers, at most one other point).
Then every measured spectrum in DATA_DIR (default ../shared/data/real) with
the verdict in words. The same for the linKK-compatible mu mode (c = 0.85)
for comparison, and for a reference that no real test can match: a global
chi-square test told the true noise level (--noise, default 1 %), at 1 %
false alarms, with a fixed basis of three RC elements per decade. What it
cannot see (drift that a KK-consistent spectrum nearly reproduces, within
the noise) no test that has to estimate the noise from the spectrum sees.

    python3 benchmarks/bench_kk_verdicts.py [DATA_DIR] [-n 50] [--seed 1] [--drift 0.2] [--noise 0.01]
"""
from __future__ import annotations

import argparse
import pathlib
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import analysis_cases as cases  # noqa: E402

import velotz  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent


def read(path):
    frame = velotz.read(path, backend="numpy")
    return frame["Frequency / Hz"], frame["Real Impedance / ohm"] + 1j * frame["Imaginary Impedance / ohm"]


def known_noise_test(f, z, sigma):
    """True when the spectrum passes a chi-square test with the true noise:
    (Z - Z_fit)/|Z| of a linear KK fit (R, 3 RC per decade from half a
    decade below 1/omega_max to 1/omega_min, C, L) against N(0, sigma^2)
    per real value, at the 99th percentile (Wilson-Hilferty)."""
    w = 2 * np.pi * f
    mod = np.abs(z)
    lo, hi = np.log10(1 / w.max()) - 0.5, np.log10(1 / w.min())
    m = int(np.ceil((hi - lo) * 3)) + 1
    x = np.outer(w, np.logspace(lo, hi, m))
    cols = np.column_stack([np.ones_like(w) + 0j, 1 / (1 + 1j * x), 1j * w / w.max(), -1j * w.min() / w])
    a = cols / mod[:, None]
    a = np.vstack([a.real, a.imag])
    b = np.concatenate([z.real / mod, z.imag / mod])
    p, *_ = np.linalg.lstsq(a, b, rcond=1e-12)
    chi2 = np.sum((b - a @ p) ** 2) / sigma ** 2
    k = b.size - a.shape[1]
    return chi2 <= k * (1 - 2 / (9 * k) + 2.3263 * np.sqrt(2 / (9 * k))) ** 3


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("data", nargs="?", default=str(ROOT.parent / "shared" / "data" / "real"))
    ap.add_argument("-n", type=int, default=50)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--drift", type=float, default=0.2)
    ap.add_argument("--noise", type=float, default=0.01)
    args = ap.parse_args()
    modes = {"auto": {}, "mu 0.85": {"c": 0.85}, "chi2 ref": None}
    rng = np.random.default_rng(args.seed)
    totals = {m: dict(clean=0, drift=0, flipped=0, corrupted=0, named=0) for m in modes}
    cpu = {m: [] for m in modes}
    print(f"{'topology':<16}{'mode':<9}{'clean pass':>11}{'drift fail':>11}{'flip fail':>10}"
          f"{'corr fail':>10}{'named':>7}")
    for name in cases.TOPOLOGIES:
        counts = {m: dict(clean=0, drift=0, flipped=0, corrupted=0, named=0) for m in modes}
        for _ in range(args.n):
            sigma = args.noise
            spectra = [("clean",) + cases.clean(name, rng, sigma)[:2],
                       ("drift",) + cases.drifting(name, rng, args.drift, sigma),
                       ("flipped",) + cases.flipped(name, rng, sigma)]
            f, z, idx = cases.corrupted(name, rng, sigma=sigma)
            spectra.append(("corrupted", f, z))
            for mode, kw in modes.items():
                for kind, f, z in spectra:
                    if kw is None:  # the reference told the true noise; names no points
                        ok = known_noise_test(f, z, sigma)
                        counts[mode][kind] += ok if kind == "clean" else not ok
                        continue
                    t = time.process_time()
                    kk = velotz.kramers_kronig(f, z, **kw)
                    cpu[mode].append(time.process_time() - t)
                    if kind == "clean":
                        counts[mode]["clean"] += kk.passed
                    else:
                        counts[mode][kind] += not kk.passed
                    if kind == "corrupted":
                        named = set(kk.outliers.tolist())
                        counts[mode]["named"] += set(idx.tolist()) <= named and len(named - set(idx.tolist())) <= 1
        for mode in modes:
            c = counts[mode]
            print(f"{name:<16}{mode:<9}{c['clean']:>8}/{args.n}{c['drift']:>8}/{args.n}{c['flipped']:>7}/{args.n}"
                  f"{c['corrupted']:>7}/{args.n}{c['named']:>4}/{args.n}")
            for k in c:
                totals[mode][k] += c[k]
    total = args.n * len(cases.TOPOLOGIES)
    for mode in modes:
        t = totals[mode]
        print(f"{'all':<16}{mode:<9}{t['clean']:>7}/{total}{t['drift']:>7}/{total}{t['flipped']:>6}/{total}"
              f"{t['corrupted']:>6}/{total}{t['named']:>3}/{total}"
              + (f"   median CPU {np.median(cpu[mode]) * 1e3:.2f} ms" if cpu[mode] else ""))

    files = sorted(pathlib.Path(args.data).glob("*.csv"))
    if files:
        print(f"\nmeasured spectra in {args.data}")
        passed = {m: 0 for m in modes}
        for path in files:
            f, z = read(path)
            auto = velotz.kramers_kronig(f, z)
            mu = velotz.kramers_kronig(f, z, c=0.85)
            passed["auto"] += auto.passed
            passed["mu 0.85"] += mu.passed
            print(f"{path.stem:<38} auto: {'pass' if auto.passed else 'FAIL'} (M={auto.m}, noise "
                  f"{auto.noise:.2%}, {len(auto.outliers)} outliers)   mu: {'pass' if mu.passed else 'FAIL'} "
                  f"(M={mu.m}, max {mu.max_residual:.1%})")
            for line in auto.summary().splitlines()[1:]:
                print(f"    {line}")
        print(f"passed: auto {passed['auto']}/{len(files)}, mu 0.85 {passed['mu 0.85']}/{len(files)}")


if __name__ == "__main__":
    main()
