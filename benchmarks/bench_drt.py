"""Distribution of relaxation times: accuracy and speed against known DRTs,
side by side with pyDRTtools and pyimpspec's TR-RBF when they are
installed, and peaks on measured spectra against the arcs of fitted circuits.

Spectra with a closed-form DRT (71 points, 1e5 ... 1e-2 Hz, R_inf = 10 ohm):

- zarc: one R || CPE, R = 100 ohm, tau0 = 1 ms, alpha = 0.8;
- two_zarc: 50 ohm at 1 ms and 80 ohm at 10 ms, alpha = 0.9 (one decade apart);
- hn: a Havriliak-Negami element, R = 100 ohm, tau0 = 1 ms, alpha = 0.8,
  beta = 0.6;

each at 0.1 % and 1 % Gaussian noise (relative to |Z|, on both parts), 20
draws. Every method fits both parts with a Gaussian RBF basis (FWHM
coefficient 0.5), the first-derivative penalty, lambda chosen by GCV, and a
series inductance. Reported per case (medians over the draws):

- l2: |gamma - gamma_exact| / |gamma_exact| on tau within the measured window;
- npk: share of draws with the right number of peaks (local maxima above 1 %
  of the max); npk5: the same counting only peaks holding at least 5 % of the
  polarisation resistance (the tails of a CPE's distribution leave small
  bumps in any non-negative fit);
- dlog: largest |log10(tau_peak / tau_true)| over the true peaks (nearest found);
- darea: largest relative error of the peak areas (resistances);
- velotz runs with its default (modified GCV, Kim & Gu's rho) and, as
  velotz-gcv, with plain GCV as pyDRTtools uses; pyimpspec with its default
  (modified GCV).
- cpu: time.process_time per spectrum (median of the draws), lambda choice
  included, and its ratio to velotz.

    PYTHONPATH=build python3 benchmarks/bench_drt.py [--draws 20] [--no-peers] [--peer-path DIR]
        [--real DIR | --skip-real] [--plots DIR]
"""
from __future__ import annotations

import argparse
import glob
import math
import os
import statistics
import sys
import time
import warnings

import numpy as np

import velotz

FREQS = np.logspace(5, -2, 71)
R_INF = 10.0


def zarc(f, r, tau0, alpha):
    return r / (1 + (2j * np.pi * f * tau0) ** alpha)


def zarc_gamma(tau, r, tau0, alpha):
    s = math.sin((1 - alpha) * math.pi)
    return r / (2 * math.pi) * s / (np.cosh(alpha * np.log(tau / tau0)) - math.cos((1 - alpha) * math.pi))


def hn(f, r, tau0, alpha, beta):
    return r / (1 + (2j * np.pi * f * tau0) ** alpha) ** beta


def hn_gamma(tau, r, tau0, alpha, beta):
    x = (tau / tau0) ** alpha
    theta = np.arctan2(math.sin(math.pi * alpha), x + math.cos(math.pi * alpha))
    modulus = (x * x + 2 * x * math.cos(math.pi * alpha) + 1) ** (beta / 2)
    return r / math.pi * x ** beta * np.sin(beta * theta) / modulus


CASES = {
    "zarc": (lambda f: zarc(f, 100, 1e-3, 0.8), lambda t: zarc_gamma(t, 100, 1e-3, 0.8), [(1e-3, 100.0)]),
    "two_zarc": (lambda f: zarc(f, 50, 1e-3, 0.9) + zarc(f, 80, 1e-2, 0.9),
                 lambda t: zarc_gamma(t, 50, 1e-3, 0.9) + zarc_gamma(t, 80, 1e-2, 0.9),
                 [(1e-3, 50.0), (1e-2, 80.0)]),
    "hn": (lambda f: hn(f, 100, 1e-3, 0.8, 0.6), lambda t: hn_gamma(t, 100, 1e-3, 0.8, 0.6), None),
}


def true_peaks(case):
    """(tau, area) of the exact DRT's peaks, found on a fine grid as the
    methods' peaks are."""
    from velotz._drt import find_peaks

    tau = np.logspace(-9, 4, 13001)
    return [(t, a) for t, a, _ in find_peaks(np, tau, CASES[case][1](tau))]


# ---------------------------------------------------------------- methods
def run_velotz(f, z):
    r = velotz.drt(f, z)
    return r.tau, r.gamma


def run_velotz_gcv(f, z):
    r = velotz.drt(f, z, lam="gcv")
    return r.tau, r.gamma


def run_pydrttools(f, z):
    from pyDRTtools.runs import EIS_object, simple_run

    import contextlib
    import io

    from cvxopt import solvers

    solvers.options["show_progress"] = False
    entry = EIS_object(f, z.real, z.imag)
    with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()):
        warnings.simplefilter("ignore")
        out = simple_run(entry, rbf_type="Gaussian", data_used="Combined Re-Im Data", induct_used=1,
                         der_used="1st order", cv_type="GCV", reg_param=1e-3, shape_control="FWHM Coefficient",
                         coeff=0.5)
    tau = np.asarray(out.out_tau_vec, dtype=float)
    gamma = np.asarray(out.gamma, dtype=float)
    order = np.argsort(tau)
    return tau[order], gamma[order]


def run_pyimpspec(f, z):
    import pyimpspec
    from pyimpspec.analysis.drt import calculate_drt_tr_rbf

    data = pyimpspec.DataSet(frequencies=f, impedances=z)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        out = calculate_drt_tr_rbf(data, mode="complex", lambda_value=-1, rbf_type="gaussian",
                                             derivative_order=1, rbf_shape="fwhm", shape_coeff=0.5,
                                             inductance=True, credible_intervals=False, num_procs=1)
    tau = np.asarray(out.time_constants, dtype=float)
    gamma = np.asarray(out.gammas, dtype=float)
    order = np.argsort(tau)
    return tau[order], gamma[order]


def _without_gui():
    """pyDRTtools' package __init__ starts its Qt GUI; the numerical modules
    (runs, basics, ...) are loaded under a bare package instead (the GUI is
    never used)."""
    import importlib.util
    import types

    spec = importlib.util.find_spec("pyDRTtools")
    if spec is None or spec.submodule_search_locations is None:
        raise ImportError("pyDRTtools is not installed")
    package = types.ModuleType("pyDRTtools")
    package.__path__ = list(spec.submodule_search_locations)
    sys.modules["pyDRTtools"] = package


def available_peers():
    peers = {}
    try:
        os.environ.setdefault("MPLBACKEND", "Agg")
        _without_gui()
        import pyDRTtools.runs  # noqa: F401
        peers["pyDRTtools"] = run_pydrttools
    except Exception as exc:  # noqa: BLE001 - any import failure leaves the peer out
        print(f"# pyDRTtools not available: {exc}", file=sys.stderr)
    try:
        import pyimpspec  # noqa: F401
        peers["pyimpspec"] = run_pyimpspec
    except Exception as exc:  # noqa: BLE001
        print(f"# pyimpspec not available: {exc}", file=sys.stderr)
    return peers


# ---------------------------------------------------------------- scoring
def score(case, tau, gamma, peaks_true):
    from velotz._drt import find_peaks

    exact = CASES[case][1](tau)
    window = (tau >= 1 / (2 * np.pi * FREQS.max())) & (tau <= 1 / (2 * np.pi * FREQS.min()))
    l2 = float(np.linalg.norm((gamma - exact)[window]) / np.linalg.norm(exact[window]))
    found = find_peaks(np, tau, gamma)
    total = float(np.sum(0.5 * (gamma[1:] + gamma[:-1]) * np.diff(np.log(tau))))
    major = [p for p in found if p[1] >= 0.05 * total]
    dlog, darea = 0.0, 0.0
    for t, a in peaks_true:
        if not found:
            dlog, darea = math.inf, math.inf
            break
        nearest = min(found, key=lambda p: abs(math.log10(p[0] / t)))
        dlog = max(dlog, abs(math.log10(nearest[0] / t)))
        darea = max(darea, abs(nearest[1] / a - 1))
    return l2, len(found) == len(peaks_true), dlog, darea, len(major) == len(peaks_true)


def accuracy_and_speed(draws, peers):
    methods = {"velotz": run_velotz, "velotz-gcv": run_velotz_gcv, **peers}
    print(f"{'case':>9} {'noise':>6} {'method':>11} {'l2':>7} {'npk':>5} {'npk5':>5} {'dlog':>6} {'darea':>7} "
          f"{'cpu ms':>8} {'x velotz':>8}")
    for case, (model, _, _) in CASES.items():
        peaks_true = true_peaks(case)
        for level in (1e-3, 1e-2):
            rng = np.random.default_rng(12345)
            clean = R_INF + model(FREQS)
            spectra = [clean + level * np.abs(clean) * (rng.standard_normal(len(FREQS))
                                                       + 1j * rng.standard_normal(len(FREQS)))
                       for _ in range(draws)]
            base = None
            for name, run in methods.items():
                rows, cpu = [], []
                for z in spectra:
                    t0 = time.process_time()
                    try:
                        tau, gamma = run(FREQS, z)
                    except Exception as exc:  # noqa: BLE001 - a peer failing on a draw is reported
                        print(f"# {name} failed on {case}: {exc}", file=sys.stderr)
                        continue
                    cpu.append(time.process_time() - t0)
                    rows.append(score(case, tau, gamma, peaks_true))
                if not rows:
                    continue
                t = statistics.median(cpu) * 1e3
                if name == "velotz":
                    base = t
                print(f"{case:>9} {level:>6.3f} {name:>11} {statistics.median(r[0] for r in rows):>7.4f} "
                      f"{sum(r[1] for r in rows) / len(rows):>5.2f} {sum(r[4] for r in rows) / len(rows):>5.2f} "
                      f"{statistics.median(r[2] for r in rows):>6.3f} "
                      f"{statistics.median(r[3] for r in rows):>7.4f} {t:>8.2f} {t / base:>8.1f}", flush=True)


# ---------------------------------------------------------------- measured spectra
def real_data(directory, plots):
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
    from analysis_data import read_bdf

    core = sys.modules["velotz._core"]
    print(f"\n{'file':>40} {'circuit':>28} {'fit tau (s)':>30} {'DRT peaks tau (s)':>40}")
    for path in sorted(glob.glob(os.path.join(directory, "*.csv"))):
        f, z = read_bdf(path)
        if len(f) < 5:
            continue
        name = os.path.basename(path)[:-4]
        try:
            res = velotz.drt(f, z)
        except ValueError as exc:
            print(f"{name:>40} DRT failed: {exc}")
            continue
        try:
            best = velotz.compare(f, z).recommended
            circuit = best.result.circuit
            taus = sorted(t for _, t in core._structure(circuit, list(f), 1e-3)[1])
            text = best.name
        except Exception as exc:  # noqa: BLE001
            taus, text = [], f"({type(exc).__name__})"
        fit = " ".join(f"{t:.2g}" for t in taus)
        peaks = " ".join(f"{t:.2g}" for t, a, _ in res.peaks if a > 0.02 * res.polarization_resistance)
        print(f"{name[:40]:>40} {text[:28]:>28} {fit[:30]:>30} {peaks[:40]:>40}", flush=True)
        if plots:
            import matplotlib

            matplotlib.use("Agg")
            import matplotlib.pyplot as plt

            ax = velotz.plot_drt(res)
            for t in taus:
                ax.axvline(t, color="0.6", linestyle=":")
            ax.set_title(name)
            ax.figure.savefig(os.path.join(plots, name + ".png"), dpi=90)
            plt.close(ax.figure)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--draws", type=int, default=20)
    parser.add_argument("--no-peers", action="store_true")
    parser.add_argument("--real", default=os.path.join(os.path.dirname(__file__), "..", "..", "shared", "data",
                                                       "real"))
    parser.add_argument("--skip-real", action="store_true")
    parser.add_argument("--plots", default=None)
    parser.add_argument("--peer-path", default=None,
                        help="directories holding the peers (pip install --target DIR), searched last")
    args = parser.parse_args()
    if args.peer_path:
        sys.path.extend(args.peer_path.split(os.pathsep))
    peers = {} if args.no_peers else available_peers()
    if args.draws > 0:
        accuracy_and_speed(args.draws, peers)
    if not args.skip_real and os.path.isdir(args.real):
        if args.plots:
            os.makedirs(args.plots, exist_ok=True)
        real_data(args.real, args.plots)


if __name__ == "__main__":
    main()
