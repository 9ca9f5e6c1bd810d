"""Shared helpers of the analysis tests: the measured spectra in
../shared/data/real (absent in a user's clone: tests using them skip)."""
import csv
import os
from pathlib import Path

import numpy as np

REAL_DIR = Path(os.environ.get("VELOTZ_REAL_DATA", Path(__file__).resolve().parents[2] / "shared" / "data" / "real"))
REAL_FILES = sorted(REAL_DIR.glob("*.csv")) if REAL_DIR.is_dir() else []


def read_bdf(path):
    f, z = [], []
    with open(path, newline="") as handle:
        for row in csv.DictReader(handle):
            freq = float(row["Frequency / Hz"])
            if freq > 0:
                f.append(freq)
                z.append(complex(float(row["Real Impedance / ohm"]), float(row["Imaginary Impedance / ohm"])))
    return np.array(f), np.array(z)
