"""Validate a spectrum, compare candidate circuits, fit the best and plot it.

Run with:
    python examples/validate_compare_fit.py [spectrum-file] [output-directory]

The file is anything velotz.read reads: an instrument file (Gamry .DTA,
EC-Lab .mpt/.mpr, ZView .z, Autolab, CH Instruments, ...) or a CSV whose
columns it recognises; the first sweep of the file is used. Without a file
the script makes a synthetic spectrum: a series resistance, lead
inductance, two depressed arcs and 0.2 % noise. It writes <name>_kk.png (the Kramers-Kronig
test) and <name>_fit.png (the best circuit) and needs matplotlib
(pip install 'velotz[plot]').
"""
from __future__ import annotations

import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from numpy.typing import NDArray  # noqa: E402

import velotz  # noqa: E402


def read_spectrum(path: Path) -> tuple[NDArray[np.float64], NDArray[np.complex128]]:
    """Frequencies and impedances of the first sweep of a file (velotz.read
    leaves out rows without a number or with a frequency <= 0, and warns)."""
    columns = velotz.read(path, backend="numpy")  # a dict of numpy arrays: no pandas needed
    first = columns["Sweep"] == 0
    frequencies = np.asarray(columns["Frequency / Hz"][first], dtype=np.float64)
    impedances = (columns["Real Impedance / ohm"][first] + 1j * columns["Imaginary Impedance / ohm"][first])
    return frequencies, np.asarray(impedances, dtype=np.complex128)


def synthetic_spectrum() -> tuple[NDArray[np.float64], NDArray[np.complex128]]:
    """R0 + lead inductance + two R||CPE arcs, 1 MHz to 10 mHz, 0.2 % noise."""
    frequencies = np.logspace(6, -2, 81)
    circuit = velotz.Circuit("R0-L0-(R1,CPE1)-(R2,CPE2)").with_named_values({
        "R0.r": 12.0, "L0.l": 4e-7,
        "R1.r": 35.0, "CPE1.q": 2e-6, "CPE1.alpha": 0.88,
        "R2.r": 80.0, "CPE2.q": 4e-3, "CPE2.alpha": 0.8,
    })
    rng = np.random.default_rng(11)
    noise = 1 + 0.002 * (rng.standard_normal(frequencies.size) + 1j * rng.standard_normal(frequencies.size))
    return frequencies, circuit.impedance(frequencies) * noise


def main(argv: list[str]) -> int:
    if len(argv) > 1:
        source = Path(argv[1])
        f, z = read_spectrum(source)
        name = source.stem
    else:
        f, z = synthetic_spectrum()
        name = "synthetic"
    out_dir = Path(argv[2]) if len(argv) > 2 else Path(".")
    out_dir.mkdir(parents=True, exist_ok=True)

    # 1. Is the spectrum consistent with a linear, causal, stable system?
    # The automatic test chooses the number of RC elements itself, estimates
    # the noise and names the points and ranges that stand out from it.
    kk = velotz.kramers_kronig(f, z)
    print(f"Kramers-Kronig: {kk}")
    print("  " + kk.summary().replace("\n", "\n  "))
    axes = velotz.plot_fit(kk, f, z, title=f"{name}: Kramers-Kronig test (M = {kk.m})")
    axes[0].figure.savefig(out_dir / f"{name}_kk.png", dpi=110)
    plt.close(axes[0].figure)

    # 2. Which circuit describes it best?
    comparison = velotz.compare(f, z)
    print()
    print(comparison)

    # 3. The best-ranked circuit whose fit has no problem in its diagnosis (a
    # lower AIC bought with an undetermined or negligible part, or a fit that
    # misses part of the spectrum, is no better), its diagnosis and its
    # pictures.
    best = comparison.recommended
    if best is None or best.result is None or best.diagnosis is None:
        print("no circuit could be fitted")
        return 1
    rank = comparison.entries.index(best) + 1
    print(f"\nchosen: {best.name} (rank {rank} by AIC)")
    print(best.result)
    print("diagnosis:", best.diagnosis)
    axes = velotz.plot_fit(best.result, f, z, title=f"{name}: {best.name} (rank {rank} by AIC)")
    axes[0].figure.savefig(out_dir / f"{name}_fit.png", dpi=110)
    plt.close(axes[0].figure)
    print(f"\nwrote {out_dir / f'{name}_kk.png'} and {out_dir / f'{name}_fit.png'}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
