"""Synthetic training spectra for the shipped initial-guess networks.

Every spectrum is computed by velotz itself (`Circuit.with_values(...).
impedance(...)`), with parameters drawn so that the circuit's features
(arcs, diffusion tails, inductive tails) fall inside or near a random
frequency window, then perturbed by proportional complex noise.

The ranges are documented in training/README.md. In short, all in log10:
window start U(-3, 1) Hz, end U(3, 6) Hz, 5-20 points per decade, either
order; R0 U(-3, 3) ohm; each arc's resistance R0 * 10^U(-1, 2.5), kept
within 1e-2-1e4 ohm; each arc's characteristic frequency within half a
decade of the window (time constants 1e-6-1e2 s), capacitance 1e-9-1e-1 F;
CPE alpha U(0.5, 1) linear; inductance from omega_max*L/R0 = 10^U(-1.5, 1),
kept within 1e-9-1e-5 H.

Exchangeable blocks are ordered by time constant: block 1 is always the
faster (higher-frequency) arc. The module maps the first block the user
wrote to the network's first block, so the network has to predict a
well-defined block, and "the faster one first" is the rule it learns.

Usage (from the repository root, with the module built in build/):
    PYTHONPATH=build python3 training/generate.py two_rq --samples 5
prints a few drawn parameter vectors as a sanity check.
"""

from __future__ import annotations

import argparse
import math
import pathlib
import re
import sys
from typing import NamedTuple, Optional

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import eisnn  # noqa: E402

import velotz  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
CATALOG = ROOT / "src" / "start" / "catalog.hpp"

# Absolute ranges (documented in README.md).
R0_RANGE = (1e-3, 1e3)
ARC_R_RANGE = (1e-2, 1e4)
ARC_R_OVER_R0 = (-1.0, 2.5)  # log10 of an arc's resistance relative to R0
ARC_R_SPREAD = 1.5  # two arcs' resistances differ by at most this many decades
TAU_RANGE = (1e-6, 1e2)  # arc time constants, s
C_RANGE = (1e-9, 1e-1)
ALPHA_RANGE = (0.5, 1.0)
L_RANGE = (1e-9, 1e-5)
L_REACTANCE = (-1.5, 1.0)  # log10(omega_max * L / R0)
ARC_MARGIN = 0.5  # decades an arc may sit outside the window
ARC_MIN_SEPARATION = 0.5  # decades between the two arcs of a two-arc circuit
WARBURG_BELOW_ARC = 3.0  # Warburg crossover at most this many decades below its arc
WO_Z0_OVER_R = (-0.5, 1.5)  # log10(Wo z0 / R of its arc)
WO_TAU_RANGE = (1e-4, 1e4)

WINDOW_START = (-3.0, 1.0)  # log10 Hz
WINDOW_END = (3.0, 6.0)
POINTS_PER_DECADE = (5.0, 20.0)
NOISE = (0.01, 0.03)

# Block layout of each registered topology: whether it has a series
# inductor, and the kind of each parallel block in written order:
# "C" = R || C, "Q" = R || CPE, "QW" = (R - W) || CPE, "QWo" = (R - Wo) || CPE.
LAYOUTS = {
    "rc": (False, ("C",)),
    "rc_l": (True, ("C",)),
    "rq": (False, ("Q",)),
    "rq_l": (True, ("Q",)),
    "two_rc": (False, ("C", "C")),
    "two_rc_l": (True, ("C", "C")),
    "two_rq": (False, ("Q", "Q")),
    "two_rq_l": (True, ("Q", "Q")),
    "randles": (False, ("QW",)),
    "sei_randles": (False, ("Q", "QW")),
    "sei_randles_wo": (False, ("Q", "QWo")),
}


class ModelEntry(NamedTuple):
    name: str
    circuit: str
    channels: int


def registry() -> dict[str, ModelEntry]:
    """The registered networks (name, circuit, channels), in registry order,
    read from the C++ table so that both sides cannot drift apart."""
    text = CATALOG.read_text()
    body = text[text.index("MODEL_SPECS"):]
    rows = re.findall(r'\{\s*"([^"]+)"\s*,\s*"([^"]+)"\s*,\s*(\d+)\s*\}', body)
    entries = {name: ModelEntry(name, circuit, int(c)) for name, circuit, c in rows}
    if set(entries) != set(LAYOUTS):
        raise RuntimeError(f"registry names {sorted(entries)} do not match the training layouts")
    return entries


def param_names(name: str) -> list[str]:
    return list(velotz.Circuit(registry()[name].circuit).param_names())


# --------------------------------------------------------------- sampling


def _log_uniform(rng: np.random.Generator, lo: float, hi: float) -> float:
    return 10.0 ** rng.uniform(math.log10(lo), math.log10(hi))


def _inside(x: float, bounds: tuple[float, float]) -> bool:
    return bounds[0] <= x <= bounds[1]


def sample_window(rng: np.random.Generator) -> np.ndarray:
    """Log-spaced frequencies (Hz), ascending or descending at random."""
    a = rng.uniform(*WINDOW_START)
    b = rng.uniform(*WINDOW_END)
    ppd = rng.uniform(*POINTS_PER_DECADE)
    n = int(round(ppd * (b - a))) + 1
    f = np.logspace(a, b, n)
    return f[::-1].copy() if rng.random() < 0.5 else f


def _arc_frequencies(rng, a: float, b: float, k: int,
                     separation: tuple[float, float] = (ARC_MIN_SEPARATION, math.inf)) -> list[float]:
    """log10 characteristic frequencies of k arcs, fastest first, neighbours
    between separation[0] and separation[1] decades apart."""
    lo = max(a - ARC_MARGIN, -math.log10(2 * math.pi * TAU_RANGE[1]))
    hi = min(b + ARC_MARGIN, -math.log10(2 * math.pi * TAU_RANGE[0]))
    while True:
        if k > 1 and math.isfinite(separation[1]):
            # overlapping arcs: draw the first, then the others just below it
            first = rng.uniform(lo + separation[1] * (k - 1), hi) if hi - lo > separation[1] * (k - 1) \
                else rng.uniform(lo, hi)
            fc = [first]
            for _ in range(k - 1):
                fc.append(fc[-1] - rng.uniform(*separation))
        else:
            fc = sorted(rng.uniform(lo, hi, k), reverse=True)
        if all(separation[0] <= fc[i] - fc[i + 1] <= separation[1] for i in range(k - 1)):
            return list(fc)


def _try_sample(name: str, rng: np.random.Generator, f: np.ndarray,
                separation: tuple[float, float] = (ARC_MIN_SEPARATION, math.inf),
                alpha_range: tuple[float, float] = ALPHA_RANGE,
                swap_arcs: bool = False) -> Optional[dict]:
    """One parameter draw as {param name: value}, or None when a drawn value
    falls outside its absolute range (the caller draws again).

    The arc frequencies go to the blocks fastest first; with swap_arcs the
    order is reversed, so that in sei_randles(_wo) the diffusion-carrying
    block 2 is the faster arc. The Warburg is always placed relative to the
    arc of its own block."""
    has_l, blocks = LAYOUTS[name]
    a, b = math.log10(f.min()), math.log10(f.max())
    p: dict[str, float] = {}
    r0 = _log_uniform(rng, *R0_RANGE)
    p["R0.r"] = r0
    if has_l:
        l0 = r0 * 10.0 ** rng.uniform(*L_REACTANCE) / (2 * math.pi * f.max())
        if not _inside(l0, L_RANGE):
            return None
        p["L0.l"] = l0
    fcs = _arc_frequencies(rng, a, b, len(blocks), separation)
    if swap_arcs:
        fcs = fcs[::-1]
    arc_r = [r0 * 10.0 ** rng.uniform(*ARC_R_OVER_R0) for _ in blocks]
    if not all(_inside(r, ARC_R_RANGE) for r in arc_r):
        return None
    if len(arc_r) > 1 and abs(math.log10(arc_r[0] / arc_r[1])) > ARC_R_SPREAD:
        return None
    for k, (kind, lfc, r) in enumerate(zip(blocks, fcs, arc_r), start=1):
        tau = 1.0 / (2 * math.pi * 10.0 ** lfc)
        p[f"R{k}.r"] = r
        if kind == "C":
            c = tau / r
            if not _inside(c, C_RANGE):
                return None
            p[f"C{k}.c"] = c
            continue
        alpha = rng.uniform(*alpha_range)
        q = tau ** alpha / r  # the Zarc relation tau^alpha = R * Q
        if not _inside(q, C_RANGE):  # q sits in the capacitance range too
            return None
        p[f"CPE{k}.q"] = q
        p[f"CPE{k}.alpha"] = alpha
        if kind == "QW":
            # Crossover frequency where the Warburg's real part equals R:
            # below the arc, down to a little below the window.
            lfw = rng.uniform(max(a - ARC_MARGIN, lfc - WARBURG_BELOW_ARC), lfc)
            p[f"W{k}.aw"] = r * math.sqrt(2 * math.pi * 10.0 ** lfw)
        elif kind == "QWo":
            # Transition of the finite-length Warburg (omega * tau = 1)
            # below the arc and within the window's reach.
            upper = lfc - 0.3
            lower = max(a - ARC_MARGIN, lfc - WARBURG_BELOW_ARC)
            lft = rng.uniform(min(lower, upper - 0.3), upper)
            wo_tau = 1.0 / (2 * math.pi * 10.0 ** lft)
            if not _inside(wo_tau, WO_TAU_RANGE):
                return None
            p[f"Wo{k}.z0"] = r * 10.0 ** rng.uniform(*WO_Z0_OVER_R)
            p[f"Wo{k}.tau"] = wo_tau
    return p


def sample_params(name: str, rng: np.random.Generator, f: np.ndarray, names: list[str],
                  **ranges) -> np.ndarray:
    while True:
        p = _try_sample(name, rng, f, **ranges)
        if p is not None:
            if set(p) != set(names):
                raise RuntimeError(f"{name}: drawn {sorted(p)} but the circuit has {names}")
            return np.array([p[k] for k in names])


def add_noise(rng: np.random.Generator, z: np.ndarray, sigma: float) -> np.ndarray:
    """Proportional complex noise: real and imaginary parts each get Gaussian
    noise with standard deviation sigma * |Z|."""
    scale = sigma * np.abs(z)
    return z + scale * rng.standard_normal(z.size) + 1j * scale * rng.standard_normal(z.size)


class Spectrum(NamedTuple):
    freqs: np.ndarray
    z: np.ndarray
    params: np.ndarray  # truth, in param_names order


class SpectrumSource:
    """Draws noisy synthetic spectra of one registered topology."""

    def __init__(self, name: str, noise: tuple[float, float] = NOISE):
        self.name = name
        self.entry = registry()[name]
        self.circuit = velotz.Circuit(self.entry.circuit)
        self.names = list(self.circuit.param_names())
        self.noise = noise

    def draw(self, rng: np.random.Generator) -> Spectrum:
        f = sample_window(rng)
        params = sample_params(self.name, rng, f, self.names)
        z = np.asarray(self.circuit.with_values(params.tolist()).impedance(f))
        sigma = rng.uniform(*self.noise)
        return Spectrum(f, add_noise(rng, z, sigma), params)

    def draw_realistic(self, rng: np.random.Generator) -> Spectrum:
        """A spectrum with the defects of measured data (see realistic())."""
        while True:
            s = realistic(self, rng)
            if s is not None:
                return s


# ------------------------------------------------------ measured-data defects

# Probabilities and ranges of the defects added to the "realistic" share of
# the training spectra (documented in README.md).
P_OVERLAP = 0.4  # two-arc circuits: arcs 0-1 decade apart
OVERLAP_SEPARATION = (0.0, 1.0)
REAL_ALPHA_RANGE = (0.4, 1.0)  # more depressed arcs
P_LEAD = 0.35  # unmodelled lead impedance La*(j*omega)^alpha, alpha U(0.7, 1)
LEAD_SHARE = (-2.0, 0.3)  # log10 of |Z_lead| / |Z| at the top frequency
P_EXTRA_ARC = 0.25  # one more R||CPE arc than the circuit has
EXTRA_ARC_R = (-1.0, 1.0)  # log10 of its resistance relative to the largest arc
P_CROP = 0.4  # window edge moved to within half a decade of an arc
CROP_MIN_DECADES = 1.5
P_BAD = 0.25  # 1-3 outliers
NOISE_HF = (0.001, 0.02)  # relative noise at the top frequency (log-uniform)
NOISE_LF_MAX = 0.05  # ... growing geometrically to at most this at the bottom
LABEL_MAX_DRIFT = 3.0  # decades a refitted label may move away from the truth
# Two-arc circuits whose blocks are not exchangeable (block 1 the film arc,
# block 2 the charge-transfer arc with its diffusion element): in measured
# spectra either arc can be the faster one, so a share of the realistic draws
# puts the diffusion-carrying arc at the higher frequency. Below one half, so
# that the usual order (film arc faster) stays the majority.
SWAP_ARC_NAMES = ("sei_randles", "sei_randles_wo")
P_SWAP_ARCS = 0.3

# Exchangeable block pairs, whose labels must keep "faster arc first".
_SWAP = {
    "two_rc": (("R1.r", "C1.c"), ("R2.r", "C2.c")),
    "two_rc_l": (("R1.r", "C1.c"), ("R2.r", "C2.c")),
    "two_rq": (("R1.r", "CPE1.q", "CPE1.alpha"), ("R2.r", "CPE2.q", "CPE2.alpha")),
    "two_rq_l": (("R1.r", "CPE1.q", "CPE1.alpha"), ("R2.r", "CPE2.q", "CPE2.alpha")),
}


def _block_tau(names: list[str], p: np.ndarray, block: tuple[str, ...]) -> float:
    v = [float(p[names.index(n)]) for n in block]
    if len(v) == 2:  # R, C
        return v[0] * v[1]
    try:
        return (v[0] * v[1]) ** (1.0 / max(v[2], 1e-6))
    except OverflowError:
        return math.inf


def _arc_tau(names: list[str], p: np.ndarray, k: int) -> float:
    """Time constant of parallel block k (R{k} with C{k} or CPE{k})."""
    if f"C{k}.c" in names:
        return _block_tau(names, p, (f"R{k}.r", f"C{k}.c"))
    return _block_tau(names, p, (f"R{k}.r", f"CPE{k}.q", f"CPE{k}.alpha"))


def order_blocks(name: str, names: list[str], p: np.ndarray) -> np.ndarray:
    """Swaps exchangeable blocks so that block 1 is the faster arc."""
    if name not in _SWAP:
        return p
    b1, b2 = _SWAP[name]
    if _block_tau(names, p, b1) <= _block_tau(names, p, b2):
        return p
    q = p.copy()
    for x, y in zip(b1, b2):
        q[names.index(x)], q[names.index(y)] = p[names.index(y)], p[names.index(x)]
    return q


def growing_noise(rng: np.random.Generator, f: np.ndarray, z: np.ndarray) -> np.ndarray:
    """Proportional complex noise whose relative size grows geometrically from
    the top frequency (0.1-2 %) towards the bottom (up to 5 %)."""
    s_hf = _log_uniform(rng, *NOISE_HF)
    s_lf = _log_uniform(rng, s_hf, NOISE_LF_MAX)
    lf = np.log10(f)
    u = (lf.max() - lf) / max(lf.max() - lf.min(), 1e-12)
    scale = s_hf * (s_lf / s_hf) ** u * np.abs(z)
    return z + scale * rng.standard_normal(z.size) + 1j * scale * rng.standard_normal(z.size)


def _zarc(f: np.ndarray, r: float, fc: float, alpha: float) -> np.ndarray:
    wt = (f / fc) ** alpha * np.exp(0.5j * np.pi * alpha)  # (j*omega*tau)^alpha
    return r / (1.0 + wt)


def realistic(source: SpectrumSource, rng: np.random.Generator) -> Optional[Spectrum]:
    """One spectrum of the source's topology with the defects of measured
    data, or None when its label cannot be made (the caller draws again).

    Defects, each drawn independently: overlapping arcs (two-arc circuits),
    the two arcs in swapped order (sei_randles, sei_randles_wo), more
    depressed arcs, an unmodelled lead impedance, one more arc than
    the circuit has, a window cut near an arc, noise growing towards low
    frequency, and a few outliers. When the spectrum is no longer the
    circuit's own (lead, extra arc), the label is the least-squares
    compromise: the circuit fitted to the noisy spectrum from the true
    values; a label that drifts more than LABEL_MAX_DRIFT decades from the
    truth or is not finite is refused."""
    name, names = source.name, source.names
    has_l, blocks = LAYOUTS[name]
    f = sample_window(rng)
    ranges = {"alpha_range": REAL_ALPHA_RANGE}
    if len(blocks) > 1 and rng.random() < P_OVERLAP:
        ranges["separation"] = OVERLAP_SEPARATION
    if name in SWAP_ARC_NAMES and rng.random() < P_SWAP_ARCS:
        ranges["swap_arcs"] = True
    params = sample_params(name, rng, f, names, **ranges)
    z = np.asarray(source.circuit.with_values(params.tolist()).impedance(f))
    modelled = True
    if rng.random() < P_LEAD:
        alpha = rng.uniform(0.7, 1.0)
        top = f.max()
        size = 10.0 ** rng.uniform(*LEAD_SHARE) * abs(z[np.argmax(f)])
        z = z + size * (f / top) ** alpha * np.exp(0.5j * np.pi * alpha)
        modelled = False
    if rng.random() < P_EXTRA_ARC:
        arcs = [names.index(n) for n in names if n.endswith(".r") and not n.startswith("R0")]
        r_max = max(params[i] for i in arcs)
        a, b = math.log10(f.min()), math.log10(f.max())
        taken = [-math.log10(2 * math.pi * _arc_tau(names, params, k)) for k in range(1, len(blocks) + 1)]
        for _ in range(10):
            lfc = rng.uniform(a, b)
            if all(abs(lfc - t) >= 0.5 for t in taken):
                break
        else:
            return None
        z = z + _zarc(f, r_max * 10.0 ** rng.uniform(*EXTRA_ARC_R), 10.0 ** lfc, rng.uniform(0.5, 1.0))
        modelled = False
    if rng.random() < P_CROP:
        k = int(rng.integers(1, len(blocks) + 1))
        edge = -math.log10(2 * math.pi * _arc_tau(names, params, k)) + rng.uniform(-0.5, 0.5)
        lf = np.log10(f)
        keep = lf <= edge if rng.random() < 0.5 else lf >= edge
        if keep.sum() < 10 or np.ptp(lf[keep]) < CROP_MIN_DECADES:
            return None
        f, z = f[keep], z[keep]
    z = growing_noise(rng, f, z)
    if rng.random() < P_BAD:
        for j in rng.choice(z.size, size=int(rng.integers(1, 4)), replace=False):
            z[j] = z[j] * (1.0 + 0.2 * complex(rng.standard_normal(), rng.standard_normal()))
    label = params
    if not modelled:
        fit = source.circuit.with_values(params.tolist()).fit(f, z, guess_init=False)
        label = np.array([fit.params[n] for n in names])
        log_mask = np.array([not n.endswith(".alpha") for n in names])
        if not np.all(np.isfinite(label)) or np.any(label[log_mask] <= 0):
            return None
        # Compare in logarithms: a label that ran off by hundreds of decades
        # (the ratio overflows to inf) is refused like any other drift.
        drift = np.abs(np.log10(label[log_mask]) - np.log10(params[log_mask]))
        if not np.max(drift) <= LABEL_MAX_DRIFT:
            return None
        if np.any(label[~log_mask] < 0.05):
            return None
        label = order_blocks(name, names, label)
    return Spectrum(f, z, label)


# --------------------------------------------------------------- targets


def raw_targets(param_names_: list[str], params: np.ndarray, z0: float, omega0: float) -> np.ndarray:
    """Targets before standardisation: for logarithmic parameters
    log10(value) - z_pow*log10(Z0) - (w_pow + alpha_pow*alpha)*log10(omega0),
    for alpha the value itself. The network's de-normalisation inverts
    exactly this: target_mean + a*target_std is the target, and
    omega0^e * 10^target * Z0^z_pow the parameter."""
    scaling, log_params = eisnn.scaling_table(param_names_)
    lz, lw = math.log10(z0), math.log10(omega0)
    out = np.empty(len(param_names_))
    for i, (z_pow, w_pow, alpha_pow, alpha_index) in enumerate(scaling):
        if not log_params[i]:
            out[i] = params[i]
            continue
        k = int(round(alpha_index))
        e = w_pow + (alpha_pow * params[k] if k >= 0 else 0.0)
        out[i] = math.log10(params[i]) - z_pow * lz - e * lw
    return out


def params_from_targets(param_names_: list[str], t: np.ndarray, z0: float, omega0: float) -> np.ndarray:
    """Inverse of raw_targets through the network's own de-normalisation
    (mean = t, std = 1, head output 0, no alpha clamp)."""
    scaling, log_params = eisnn.scaling_table(param_names_)
    return eisnn.denormalise(np.zeros_like(t), t, np.ones_like(t), log_params, scaling, z0, omega0,
                             alpha_min=-np.inf, alpha_max=np.inf)


class Dataset(NamedTuple):
    grid: np.ndarray  # [N, 3, n_grid] float32
    extras: np.ndarray  # [N, 2] float32
    targets: np.ndarray  # [N, P] raw targets (float64)
    params: np.ndarray  # [N, P] truth


def make_dataset(name: str, n: int, seed: int, noise: tuple[float, float] = NOISE,
                 n_grid: int = 64, realistic_share: float = 0.0) -> Dataset:
    """n spectra of the named topology turned into network inputs and targets;
    a share `realistic_share` of them (at random) carries the defects of
    measured data (SpectrumSource.draw_realistic), the others are clean
    draws with proportional noise."""
    source = SpectrumSource(name, noise)
    rng = np.random.default_rng(seed)
    p = len(source.names)
    grid = np.empty((n, 3, n_grid), dtype=np.float32)
    extras = np.empty((n, 2), dtype=np.float32)
    targets = np.empty((n, p))
    params = np.empty((n, p))
    i = 0
    while i < n:
        if realistic_share > 0.0 and rng.random() < realistic_share:
            s = source.draw_realistic(rng)
        else:
            s = source.draw(rng)
        feat = eisnn.features(s.freqs, s.z, n_grid)
        if not (np.all(np.isfinite(feat.grid)) and math.isfinite(feat.z0) and math.isfinite(feat.omega0)):
            continue
        grid[i] = feat.grid
        extras[i] = feat.extras
        targets[i] = raw_targets(source.names, s.params, feat.z0, feat.omega0)
        params[i] = s.params
        i += 1
    return Dataset(grid, extras, targets, params)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("name", choices=list(LAYOUTS))
    ap.add_argument("--samples", type=int, default=5)
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--realistic", action="store_true", help="draw spectra with measured-data defects")
    args = ap.parse_args()
    source = SpectrumSource(args.name)
    rng = np.random.default_rng(args.seed)
    print(source.entry.circuit, source.names)
    for _ in range(args.samples):
        s = source.draw_realistic(rng) if args.realistic else source.draw(rng)
        print(f"{s.freqs.size:4d} points {s.freqs.min():9.3g}-{s.freqs.max():9.3g} Hz:",
              " ".join(f"{v:.3g}" for v in s.params))


if __name__ == "__main__":
    main()
