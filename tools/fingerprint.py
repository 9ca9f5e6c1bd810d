"""Prints a fingerprint of velotz's numerical results, to show that a change
of the code leaves every result the same, bit for bit.

For every trained network (Circuit.ml_circuits()) it takes the guess and the
default fit (Circuit(name).fit(f, z)) on a fixed set of spectra: synthetic
spectra of every network's circuit (seeded values, frequency ranges and 0.5 %
noise) and the measured spectra of a directory of Battery Data Format CSVs
(../shared/data/real beside the repository, when present). It adds the
impedance, residuals, Jacobian and estimate_start of a circuit holding every
element kind. Each result is reduced to its float64 bytes (integers and
flags as float64, texts of errors as UTF-8) and hashed with SHA-256; one line
per group, then the hash of all of them.

Run against a build, before and after a change, and compare the output:

    PYTHONPATH=build-dev python3 tools/fingerprint.py > before.txt
    ... change, rebuild ...
    PYTHONPATH=build-dev python3 tools/fingerprint.py > after.txt
    diff before.txt after.txt

The results do not depend on the number of threads; the network kernels the
CPU offers (portable, AVX2, AVX-512) give the same bits, which the C++ tests
check level against level.
"""
import argparse
import csv
import hashlib
import math
import sys
import warnings
from pathlib import Path

import numpy as np

import velotz

ROOT = Path(__file__).resolve().parents[1]
DEFAULT_REAL = ROOT.parent / "shared" / "data" / "real"
# One circuit with every element kind, in series.
ALL_ELEMENTS = "R0-C1-L2-La3-CPE4-W5-Wo6-Ws7-G8-Gs9-K10-Zarc11-Tlmq12-T13-(R14,C15)"


def read_bdf(path):
    f, z = [], []
    with open(path, newline="") as handle:
        for row in csv.DictReader(handle):
            freq = float(row["Frequency / Hz"])
            if freq > 0:
                f.append(freq)
                z.append(complex(float(row["Real Impedance / ohm"]), float(row["Imaginary Impedance / ohm"])))
    return np.array(f), np.array(z)


def synthetic_values(circuit, rng):
    """Values of a network's circuit: log-uniform within two decades of the
    placeholders for parameters without an upper bound, uniform in the
    middle of the range for bounded ones (exponents)."""
    values = []
    for v, (lo, hi) in zip(circuit.param_values(), circuit.param_bounds()):
        if math.isinf(hi):
            values.append(max(v, 1e-6) * 10.0 ** rng.uniform(-1.0, 1.0))
        else:
            values.append(lo + (hi - lo) * rng.uniform(0.55, 0.95))
    return values


def spectra(real_dir, per_network):
    """(name, frequencies, impedances) of every spectrum in the set."""
    out = []
    for name in velotz.Circuit.ml_circuits():
        circuit = velotz.Circuit(name)
        for k in range(per_network):
            rng = np.random.default_rng([2026, k, len(out)])
            n = int(rng.integers(30, 90))
            f = np.logspace(rng.uniform(-3.0, 0.0), rng.uniform(3.0, 6.0), n)
            z = circuit.with_values(synthetic_values(circuit, rng)).impedance(f)
            noise = rng.standard_normal(n) + 1j * rng.standard_normal(n)
            out.append((f"{name}#{k}", f, z * (1.0 + 0.005 * noise)))
    if real_dir is not None and real_dir.is_dir():
        for path in sorted(real_dir.glob("*.csv")):
            f, z = read_bdf(path)
            out.append((path.stem, f, z))
    return out


class Hash:
    def __init__(self):
        self.h = hashlib.sha256()

    def floats(self, values):
        self.h.update(np.asarray(values, dtype=np.float64).tobytes())

    def text(self, s):
        self.h.update(s.encode("utf-8") + b"\0")

    def result(self, r):
        self.floats(r.circuit.param_values())
        self.floats([r.cost, r.chi_square, r.iterations, r.impedance_evals, float(r.success)])
        stderr = r.stderr
        self.floats([math.nan] if stderr is None else list(stderr.values()))

    def call(self, fn):
        try:
            out = fn()
        except (ValueError, TypeError, RuntimeError) as e:
            self.text(f"{type(e).__name__}: {e}")
            return None
        return out

    def hexdigest(self):
        return self.h.hexdigest()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--real", type=Path, default=DEFAULT_REAL, help="directory of BDF CSVs (default: %(default)s)")
    ap.add_argument("--per-network", type=int, default=3, help="synthetic spectra per network (default: 3)")
    args = ap.parse_args()
    warnings.simplefilter("ignore")

    data = spectra(args.real, args.per_network)
    lines = [f"spectra: {len(data)} ({sum(1 for s in data if '#' not in s[0])} measured)"]
    total = Hash()
    for name in velotz.Circuit.ml_circuits():
        circuit = velotz.Circuit(name)
        guesses, fits = Hash(), Hash()
        for _, f, z in data:
            g = guesses.call(lambda: circuit.guess(f, z))
            if g is not None:
                guesses.floats(g)
            r = fits.call(lambda: circuit.fit(f, z))
            if r is not None:
                fits.result(r)
        for kind, h in (("guess", guesses), ("fit", fits)):
            lines.append(f"{kind:6} {name:16} {h.hexdigest()}")

    # The element kernels and the start estimate on a circuit of every kind.
    circuit = velotz.Circuit(ALL_ELEMENTS)
    f = np.logspace(-4, 7, 2500)
    kernels = Hash()
    kernels.floats(circuit.impedance(f).view(np.float64))
    p = np.array(circuit.param_values()) * 1.3
    _, f1, z1 = data[0]
    kernels.floats(circuit.residuals(list(p), f1, z1))
    kernels.floats(np.asarray(circuit.jacobian(list(p), f1, z1)).ravel())
    for _, f2, z2 in data[:: max(1, len(data) // 12)]:
        e = kernels.call(lambda: velotz.Circuit("L0-R0-(R1,CPE1)-(R2,CPE2)-W3").estimate_start(f2, z2))
        if e is not None:
            kernels.floats(e.param_values())
    lines.append(f"{'other':6} {'elements':16} {kernels.hexdigest()}")

    for line in lines:
        total.text(line)
        print(line)
    print(f"total  {total.hexdigest()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
