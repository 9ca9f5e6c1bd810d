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
coefficient 0.5) and a series inductance, lambda chosen by GCV; the peers
penalise the first derivative. Reported per case (medians over the draws):

- l2: |gamma - gamma_exact| / |gamma_exact| on tau within the measured window;
- npk: share of draws with the right number of peaks (local maxima above 1 %
  of the max); npk5: the same counting only peaks holding at least 5 % of the
  polarisation resistance (the tails of a CPE's distribution leave small
  bumps in any non-negative fit);
- npks: the same for the peaks that stand out as processes, by velotz's rule
  (velotz._drt.significant_peaks: prominence of at least 5 % of the
  polarisation resistance in the window and a chi-square change of at least
  64 in the noise each method's own gamma leaves on the spectrum, R_inf and
  L fitted to what gamma leaves over), applied alike to every method; for
  velotz these are the peaks DRTResult reports;
- dlog: largest |log10(tau_peak / tau_true)| over the true peaks (nearest found);
- darea: largest relative error of the peak areas (resistances); dareas: the
  same for the peaks counted by npks (merged ripples add their areas);
- velotz runs with its default (second-derivative penalty, "gcv-corr":
  plain GCV as pyDRTtools uses, raised only when the residuals are
  positively correlated, which independent noise leaves as it is) and, as
  velotz-d1, with the first-derivative penalty and "mgcv-corr" (modified
  GCV, Kim & Gu's rho); pyimpspec with its default (modified GCV).
- cpu: time.process_time per spectrum (median of the draws), lambda choice
  included, and its ratio to velotz. numpy's BLAS runs on one thread
  (OPENBLAS_NUM_THREADS=1 unless set): its threads spin after each call
  they spread, and process_time would count that spinning as the peers'
  work (with the default threads the peers read 1.5-3x slower).

    PYTHONPATH=build python3 benchmarks/bench_drt.py [--draws 20] [--seed 12345] [--no-peers] [--peer-path DIR]
        [--real DIR | --skip-real] [--real-only] [--plots DIR]
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

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402 (after the BLAS thread count)

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


def run_velotz_d1(f, z):
    r = velotz.drt(f, z, lam="mgcv-corr", derivative=1)
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
def own_noise(f, z, tau, gamma):
    """The residual noise (relative to |Z|) a method's gamma leaves on the
    spectrum, with R_inf and L fitted to what gamma leaves over (weighted
    least squares): the same noise estimate for every method."""
    from velotz._drt import noise_level

    y = np.log(tau)
    w = np.zeros(len(y))
    w[1:] += 0.5 * np.diff(y)
    w[:-1] += 0.5 * np.diff(y)
    omega = 2 * np.pi * f
    x = np.outer(omega, tau)
    d = gamma * w / (1 + x * x)
    rest = z - (np.sum(d, axis=1) - 1j * np.sum(x * d, axis=1))
    weight = 1.0 / np.abs(z) ** 2
    r_inf = max(float(np.sum(weight * rest.real) / np.sum(weight)), 0.0)
    ind = float(np.sum(weight * omega * rest.imag) / np.sum(weight * omega ** 2))
    return noise_level(np, (rest - r_inf - 1j * omega * ind) / np.abs(z))


def score(case, tau, gamma, peaks_true, z=None):
    from velotz._drt import find_peaks, significant_peaks

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
    sig = None
    if z is not None:
        window = (1 / (2 * np.pi * FREQS.max()), 1 / (2 * np.pi * FREQS.min()))
        sig = significant_peaks(np, tau, gamma, FREQS, np.abs(z), own_noise(FREQS, z, tau, gamma), window=window)
    dareas = math.inf if not sig else 0.0
    for t, a in peaks_true if sig else ():
        nearest = min(sig, key=lambda p: abs(math.log10(p[0] / t)))
        dareas = max(dareas, abs(nearest[1] / a - 1))
    return (l2, len(found) == len(peaks_true), dlog, darea, len(major) == len(peaks_true),
            sig is not None and len(sig) == len(peaks_true), dareas)


def accuracy_and_speed(draws, peers, seed=12345):
    methods = {"velotz": run_velotz, "velotz-d1": run_velotz_d1, **peers}
    print(f"{'case':>9} {'noise':>6} {'method':>11} {'l2':>7} {'npk':>5} {'npk5':>5} {'npks':>5} {'dlog':>6} "
          f"{'darea':>7} {'dareas':>7} {'cpu ms':>8} {'x velotz':>8}")
    for case, (model, _, _) in CASES.items():
        peaks_true = true_peaks(case)
        for level in (1e-3, 1e-2):
            rng = np.random.default_rng(seed)
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
                    rows.append(score(case, tau, gamma, peaks_true, z))
                if not rows:
                    continue
                t = statistics.median(cpu) * 1e3
                if name == "velotz":
                    base = t
                print(f"{case:>9} {level:>6.3f} {name:>11} {statistics.median(r[0] for r in rows):>7.4f} "
                      f"{sum(r[1] for r in rows) / len(rows):>5.2f} {sum(r[4] for r in rows) / len(rows):>5.2f} "
                      f"{sum(r[5] for r in rows) / len(rows):>5.2f} "
                      f"{statistics.median(r[2] for r in rows):>6.3f} "
                      f"{statistics.median(r[3] for r in rows):>7.4f} {statistics.median(r[6] for r in rows):>7.4f} "
                      f"{t:>8.2f} {t / base:>8.1f}", flush=True)


# ---------------------------------------------------------------- measured spectra
ARC_SHARE = 0.10  # a DRT peak counts as an arc from this share of the arcs' resistance (as compare() does)


def merged(taus, resolution):
    """Time constants (ascending) closer than ``resolution`` decades to
    their neighbour joined into one (their geometric mean): two fitted
    arcs at nearly the same tau are one process to any DRT, whose peaks
    cannot be narrower than its basis functions."""
    groups = []
    for t in sorted(taus):
        if groups and math.log10(t / groups[-1][-1]) < resolution:
            groups[-1].append(t)
        else:
            groups.append([t])
    return [math.exp(sum(math.log(t) for t in g) / len(g)) for g in groups]


def real_data(directory, plots):
    """Per measured spectrum: the circuit compare() recommends (its default
    candidates, which include three- and four-arc chains when the DRT shows
    that many arcs), the time constants of its fitted arcs inside the
    measured window, and the DRT's peaks: all local maxima above 2 % of the
    polarisation resistance, and those counted as arcs (away from the ends
    of the grid, at least 10 % of the arcs' total). Fitted time constants
    closer than the full width at half maximum of the DRT's basis functions
    count once (see merged). "match" is, for each fitted time constant, the
    distance in decades to the nearest DRT peak above 2 %."""
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
    from analysis_data import read_bdf

    core = sys.modules["velotz._core"]
    print(f"\n| file | recommended circuit | fit tau in window (s) | DRT peaks > 2 % (s) | DRT arcs (s) | "
          f"n fit / n DRT arcs | match (decades) |")
    print("|---|---|---|---|---|---|---|")
    agree = total = 0
    for path in sorted(glob.glob(os.path.join(directory, "*.csv"))):
        f, z = read_bdf(path)
        if len(f) < 5:
            continue
        name = os.path.basename(path)[:-4]
        try:
            res = velotz.drt(f, z)
        except ValueError as exc:
            print(f"| {name} | DRT failed: {exc} |")
            continue
        t_lo, t_hi = 1 / (2 * math.pi * max(f)), 1 / (2 * math.pi * min(f))
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                best = velotz.compare(f, z).recommended
            circuit = best.result.circuit
            taus = sorted(t for _, t in core._structure(circuit, list(f), 1e-3)[1])
            text = best.name
        except Exception as exc:  # noqa: BLE001
            taus, text = [], f"({type(exc).__name__})"
        # a basis function exp(-(epsilon ln(tau / centre))^2) is 2 sqrt(ln 2) / epsilon wide at half maximum
        fwhm = 2 * math.sqrt(math.log(2)) / res.epsilon / math.log(10)
        inside = merged([t for t in taus if t_lo / 3 <= t <= t_hi * 3], fwhm)
        ends = (res.tau[0], res.tau[-1])
        inner = [p for p in res.peaks if p[0] not in ends]
        arc_total = sum(p[1] for p in inner)
        arcs = [p[0] for p in inner if p[1] >= ARC_SHARE * arc_total]
        big = [p[0] for p in res.peaks if p[1] > 0.02 * res.polarization_resistance]
        match = [min(abs(math.log10(t / a)) for a in big) for t in inside] if big else []
        total += 1
        agree += len(inside) == len(arcs)
        fmt = lambda v: " ".join(f"{t:.2g}" for t in v)  # noqa: E731
        print(f"| {name} | {text} | {fmt(inside)} | {fmt(big)} | {fmt(arcs)} | {len(inside)} / {len(arcs)} | "
              f"{' '.join(f'{m:.2f}' for m in match)} |", flush=True)
        if plots:
            import matplotlib

            matplotlib.use("Agg")
            import matplotlib.pyplot as plt

            fig, (ax, nyq) = plt.subplots(1, 2, figsize=(10, 3.6))
            velotz.plot_drt(res, ax=ax)
            ax.axvspan(t_lo, t_hi, color="0.9", zorder=0, label="measured window")
            for k, t in enumerate(inside):
                ax.axvline(t, color="C2", linestyle=":", label="fitted arcs" if k == 0 else None)
            ax.legend(fontsize=7)
            ax.set_title(f"{name}: DRT (lam {res.lam:.2g}) and {text}", fontsize=8)
            nyq.plot(z.real, -z.imag, "o", ms=3, label="data")
            nyq.plot(res.z_fit.real, -res.z_fit.imag, "-", label="DRT model")
            nyq.set_xlabel("Re Z / ohm")
            nyq.set_ylabel("-Im Z / ohm")
            nyq.set_aspect("equal", "datalim")
            nyq.legend(fontsize=7)
            fig.tight_layout()
            fig.savefig(os.path.join(plots, name + ".png"), dpi=90)
            plt.close(fig)
    print(f"\nsame number of arcs in the fit (window) and the DRT: {agree} of {total} spectra")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--draws", type=int, default=20)
    parser.add_argument("--seed", type=int, default=12345,
                        help="seed of the noise draws (tune on other seeds than the reported table's)")
    parser.add_argument("--no-peers", action="store_true")
    parser.add_argument("--real", default=os.path.join(os.path.dirname(__file__), "..", "..", "shared", "data",
                                                       "real"))
    parser.add_argument("--skip-real", action="store_true")
    parser.add_argument("--real-only", action="store_true", help="only the table of measured spectra")
    parser.add_argument("--plots", default=None)
    parser.add_argument("--peer-path", default=None,
                        help="directories holding the peers (pip install --target DIR), searched last")
    args = parser.parse_args()
    if args.peer_path:
        sys.path.extend(args.peer_path.split(os.pathsep))
    peers = {} if args.no_peers or args.real_only else available_peers()
    if args.draws > 0 and not args.real_only:
        accuracy_and_speed(args.draws, peers, args.seed)
    if not args.skip_real and os.path.isdir(args.real):
        if args.plots:
            os.makedirs(args.plots, exist_ok=True)
        real_data(args.real, args.plots)


if __name__ == "__main__":
    main()
