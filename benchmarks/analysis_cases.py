"""Synthetic spectra for the analysis benchmarks: clean spectra of the eleven
trained topologies with proportional noise, and the same spectra spoiled in
the ways a Kramers-Kronig test should notice (drift during the sweep, the
imaginary sign flipped, a few corrupted points).

Parameters are drawn so that every feature lies inside or near the window,
in the spirit of the training data (training/generate.py), but without its
PyTorch dependency:
window 10^U(-2,0) ... 10^U(4,6) Hz at 8-12 points per decade, swept from high to
low frequency; R0 = 10^U(-2,2) ohm; each arc's resistance R0 * 10^U(-0.5, 1.5)
with its characteristic frequency at least half a decade inside the window
and arcs at least a decade apart; CPE exponents U(0.6, 1); an inductance
whose reactance at the top frequency is 10^U(-1, 0.5) R0; Warburg crossover
1-2 decades below its arc; finite-Warburg z0 R * 10^U(-0.5, 0.5) and time
constant 1-2 decades above its arc's.
"""
from __future__ import annotations

import math

import numpy as np

import velotz

TOPOLOGIES = {
    "rc": "R0-(R1,C1)",
    "rc_l": "L0-R0-(R1,C1)",
    "rq": "R0-(R1,CPE1)",
    "rq_l": "L0-R0-(R1,CPE1)",
    "two_rc": "R0-(R1,C1)-(R2,C2)",
    "two_rc_l": "L0-R0-(R1,C1)-(R2,C2)",
    "two_rq": "R0-(R1,CPE1)-(R2,CPE2)",
    "two_rq_l": "L0-R0-(R1,CPE1)-(R2,CPE2)",
    "randles": "R0-(R1-W1,CPE1)",
    "sei_randles": "R0-(R1,CPE1)-(R2-W2,CPE2)",
    "sei_randles_wo": "R0-(R1,CPE1)-(R2-Wo2,CPE2)",
}


def window(rng):
    lo, hi = rng.uniform(-2, 0), rng.uniform(4, 6)
    n = int(round(rng.uniform(8, 12) * (hi - lo))) + 1
    return np.logspace(hi, lo, n)


def draw(name, rng, f):
    """{param: value} of one realistic circuit of topology `name` on window f."""
    text = TOPOLOGIES[name]
    c = velotz.Circuit(text)
    names = c.param_names()
    lo, hi = math.log10(f.min()), math.log10(f.max())
    n_arcs = text.count("(")
    # characteristic frequencies, fastest first, a decade or more apart
    while True:
        fc = sorted(rng.uniform(lo + 0.5 + (1.5 if "W" in text else 0), hi - 0.5, n_arcs), reverse=True)
        if all(fc[i] - fc[i + 1] >= 1.0 for i in range(n_arcs - 1)):
            break
    p = {"R0.r": 10 ** rng.uniform(-2, 2)}
    if "L0.l" in names:
        p["L0.l"] = p["R0.r"] * 10 ** rng.uniform(-1, 0.5) / (2 * math.pi * f.max())
    for k in range(1, n_arcs + 1):
        r = p["R0.r"] * 10 ** rng.uniform(-0.5, 1.5)
        tau = 1 / (2 * math.pi * 10 ** fc[k - 1])
        p[f"R{k}.r"] = r
        if f"C{k}.c" in names:
            p[f"C{k}.c"] = tau / r
            continue
        alpha = rng.uniform(0.6, 1.0)
        p[f"CPE{k}.q"] = tau ** alpha / r
        p[f"CPE{k}.alpha"] = alpha
        if f"W{k}.aw" in names:
            fw = 10 ** (fc[k - 1] - rng.uniform(1, 2))
            p[f"W{k}.aw"] = r * math.sqrt(2 * math.pi * fw)
        if f"Wo{k}.z0" in names:
            p[f"Wo{k}.z0"] = r * 10 ** rng.uniform(-0.5, 0.5)
            p[f"Wo{k}.tau"] = tau * 10 ** rng.uniform(1, 2)
    return c.with_named_values(p), p


def noisy(rng, z, sigma):
    scale = sigma * np.abs(z)
    return z + scale * (rng.standard_normal(z.size) + 1j * rng.standard_normal(z.size))


def clean(name, rng, sigma=0.01):
    """(f, z, circuit with the true values)."""
    f = window(rng)
    circuit, _ = draw(name, rng, f)
    return f, noisy(rng, circuit.impedance(f), sigma), circuit


def drifting(name, rng, drift=0.2, sigma=0.01):
    """Every resistance after R0 grows linearly with the measuring time (one
    period per point, swept from high to low frequency) to (1 + drift) times
    its value by the last point."""
    f = window(rng)
    circuit, p = draw(name, rng, f)
    elapsed = np.cumsum(1 / f)
    z = np.empty(f.size, complex)
    for i in range(f.size):
        s = 1 + drift * elapsed[i] / elapsed[-1]
        q = {k: (v * s if k.endswith(".r") and k != "R0.r" else v) for k, v in p.items()}
        z[i] = circuit.with_named_values(q).impedance([f[i]])[0]
    return f, noisy(rng, z, sigma)


def flipped(name, rng, sigma=0.01):
    f, z, _ = clean(name, rng, sigma)
    return f, np.conj(z)


def corrupted(name, rng, points=4, size=0.1, sigma=0.01):
    """(f, z, indices): `points` neighbouring points in the middle half of the
    sweep get their modulus and phase off by `size` (relative, and radians)."""
    f, z, _ = clean(name, rng, sigma)
    start = int(rng.integers(f.size // 4, 3 * f.size // 4 - points))
    idx = np.arange(start, start + points)
    z = z.copy()
    z[idx] *= (1 + size * rng.choice([-1, 1], points)) * np.exp(1j * size * rng.choice([-1, 1], points))
    return f, z, idx
