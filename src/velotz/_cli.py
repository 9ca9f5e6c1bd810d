"""The ``velotz`` command line: fit, Kramers-Kronig test, comparison of
circuits and distribution of relaxation times over instrument files.

Only the standard library is imported at the top, so ``velotz --help`` is
quick; numpy, matplotlib, tqdm and the writers of Parquet files are imported
when a command needs them. Each spectrum (a file may hold several sweeps)
gives one row of the result table (``compare``: one row per candidate
circuit), written as CSV or Parquet when the run ends, also when it was
stopped with Ctrl-C (exit status 130).
"""
import argparse
import csv
import glob
import os
import signal
import sys
import warnings

PROG = "velotz"

# Extensions of the files a folder argument contributes (files named on the
# command line are read whatever their extension).
READABLE_EXTENSIONS = (
    ".dta", ".mpt", ".mpr", ".z", ".par", ".idf", ".ids", ".txt", ".csv", ".tsv", ".dat",
    ".xlsx", ".xlsm", ".xls",
)

EXIT_OK, EXIT_FAILED, EXIT_INTERRUPTED = 0, 1, 130

_DESCRIPTION = """\
Fit equivalent circuits to impedance spectra, test them for Kramers-Kronig
consistency, compare candidate circuits and compute distributions of
relaxation times -- over many instrument files at once.

FILES are instrument files in any format velotz.read knows (Gamry .DTA,
EC-Lab .mpt/.mpr, ZPlot .z, Autolab, CH Instruments, Parstat, VersaStudio,
PowerSuite, Ivium, CSV/TSV tables, Excel), folders (their readable files;
add -r to descend into sub-folders) or quoted glob patterns ("data/**/*.mpt").
A file holding several sweeps or cycles gives one spectrum each.

The results are one table (one row per spectrum), printed as CSV or written
with -o to a .csv or .parquet file. Pictures per spectrum with --plots DIR.
"""

_EPILOG = """\
examples:
  velotz kk data/                              Kramers-Kronig test of every file in data/
  velotz fit "R0-(R1,C1)" cell.mpt -o fit.csv  fit a circuit, write the parameters
  velotz fit "R0-(R1,Cpe1)-W1" data/ -r --plots figs/
                                               all files below data/, one picture per spectrum
  velotz compare cell.DTA -c "R0-(R1,C1)" -c "R0-(R1,Cpe1)"
                                               rank candidate circuits by AIC
  velotz drt data/*.z -o drt.parquet           distribution of relaxation times

  velotz COMMAND --help                        the options of one command

exit status: 0 all spectra done, 1 a file or spectrum failed (the others are
still done; --strict stops at the first), 2 bad command line, 130 stopped with
Ctrl-C (the rows done so far are written).
"""

_COMMANDS = {
    "fit": ("fit one equivalent circuit to every spectrum",
            """\
examples:
  velotz fit "R0-(R1,C1)" cell.mpt
  velotz fit "R0-(R1,Cpe1)-(R2,Cpe2)" runs/ -r -o params.csv --plots figs/
  velotz fit "R0-(R1,C1)" a.csv --robust --weight unit

CIRCUIT is a circuit text (elements R, C, L, Cpe, W, Wo, Ws, G, Gs, K, Zarc,
Tlmq, T, La; "-" in series, "(A,B)" in parallel) or a model name. Without
values in the text, starting values come from the trained network for the
circuit (or an estimate read from the spectrum). Columns: file, sweep,
points, f_min, f_max, each parameter and its standard error, cost,
chi_square, success, iterations, impedance_evals, error.
"""),
    "kk": ("Kramers-Kronig test of every spectrum",
           """\
examples:
  velotz kk cell.mpt
  velotz kk data/ -r -o kk.csv --plots kk_figs/

Columns: file, sweep, points, f_min, f_max, passed, method, m, mu, noise,
max_residual, tolerance (fractions of |Z|), outliers (count),
outlier_frequencies and systematic (ranges in Hz), error. A spectrum that
fails the test is a result, not an error: the exit status stays 0.
"""),
    "compare": ("fit several circuits to every spectrum and rank them",
                """\
examples:
  velotz compare cell.mpt
  velotz compare data/ -c "R0-(R1,C1)" -c "R0-(R1,Cpe1)" -c "R0-(R1,Cpe1)-W1" -o ranking.csv

Without -c the trained circuits of the package are compared. One row per
spectrum and candidate, best first: file, sweep, rank, circuit, k, cost,
chi_square, aic, bic, delta, success, findings, problems, recommended,
diagnosis. --plots draws the recommended circuit's fit.
"""),
    "drt": ("distribution of relaxation times of every spectrum",
            """\
examples:
  velotz drt cell.mpt
  velotz drt data/ -o drt.csv --plots drt_figs/ --lam 1e-4

Columns: file, sweep, points, f_min, f_max, r_inf, inductance, r_pol, lam,
lam_method, peaks and for each peak k: tau_k (s), f_k (Hz), r_k (ohm),
width_k (decades), then error.
"""),
}


class Failure(Exception):
    """A file or spectrum that could not be done; the message names it."""


# ---------------------------------------------------------------- arguments
def _parser():
    parser = argparse.ArgumentParser(
        prog=PROG, description=_DESCRIPTION, epilog=_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", title="commands")
    for name, (summary, epilog) in _COMMANDS.items():
        p = sub.add_parser(name, help=summary, description=summary[0].upper() + summary[1:] + ".", epilog=epilog,
                           formatter_class=argparse.RawDescriptionHelpFormatter)
        if name == "fit":
            p.add_argument("circuit", metavar="CIRCUIT", help='circuit text or model name, e.g. "R0-(R1,C1)"')
        p.add_argument("files", metavar="FILES", nargs="+", help="instrument files, folders or glob patterns")
        _command_options(name, p)
        _common_options(p)
    return parser


def _version():
    from velotz import __version__

    return __version__


def _common_options(p):
    g = p.add_argument_group("input and output")
    g.add_argument("-o", "--output", metavar="PATH",
                   help="write the table here: .csv, or .parquet (needs pyarrow or polars); default: CSV on "
                        "standard output")
    g.add_argument("--plots", metavar="DIR", help="write one PNG picture per spectrum into DIR (needs matplotlib)")
    g.add_argument("-r", "--recursive", action="store_true", help="folders: also read the files in sub-folders")
    g.add_argument("--format", dest="input_format", metavar="FMT",
                   help="read every file as this format (gamry, mpt, mpr, zplot, autolab, chi, parstat, "
                        "versastudio, powersuite, ivium, csv, excel); default: recognised from the content")
    g = p.add_argument_group("behaviour")
    g.add_argument("--strict", action="store_true",
                   help="stop at the first file or spectrum that fails (default: report it and go on)")
    g.add_argument("-q", "--quiet", action="store_true", help="no progress, warnings or summary on standard error")
    g.add_argument("--progress", dest="progress", action="store_true", default=None,
                   help="show progress even when standard error is not a terminal")
    g.add_argument("--no-progress", dest="progress", action="store_false", help="never show progress")


def _command_options(name, p):
    g = p.add_argument_group(f"{name} options")
    if name in ("fit", "compare"):
        g.add_argument("--weight", choices=("modulus", "unit"), default="modulus",
                       help="residual weighting: divided by |Z| (modulus, default) or not (unit)")
    if name == "fit":
        g.add_argument("--method", default="levenberg_marquardt",
                       help="fitting method: levenberg_marquardt (default), or a global method such as "
                            "differential_evolution, basin_hopping, particle_swarm, nelder_mead or "
                            "simulated_annealing")
        g.add_argument("--seed", type=int, default=None, help="seed of a global method (repeatable runs)")
        g.add_argument("--max-iterations", type=int, default=200, help="iterations of the local fit (default 200)")
        g.add_argument("--robust", action="store_true",
                       help="best sound fit from several starts and a short seeded search (slower, surer)")
    elif name == "kk":
        g.add_argument("--method", choices=("auto", "mu", "fixed"), default="auto",
                       help="auto (default): number of RC elements by cross-validation, verdict from the noise; "
                            "mu: the linKK test of Schoenleber et al.; fixed: --max-m elements")
        g.add_argument("--tolerance", type=float, default=0.01,
                       help="deviations below this fraction of |Z| never count (default 0.01)")
        g.add_argument("--max-m", type=int, default=50, help="largest number of RC elements (default 50)")
    elif name == "compare":
        g.add_argument("-c", "--circuit", dest="circuits", action="append", metavar="CIRCUIT",
                       help="a candidate circuit (repeat for more); default: the trained circuits")
        g.add_argument("--criterion", choices=("aic", "bic"), default="aic", help="ranking criterion (default aic)")
    elif name == "drt":
        g.add_argument("--lam", default="gcv-corr",
                       help="regularisation: a number, or gcv-corr (default) / mgcv-corr / mgcv / gcv to choose it by "
                            "cross-validation (see help(velotz.drt))")
        g.add_argument("--derivative", type=int, choices=(1, 2), default=2,
                       help="order of the derivative penalised (default 2)")
        g.add_argument("--part", choices=("both", "real", "imag"), default="both",
                       help="parts of the spectrum fitted (default both)")
        g.add_argument("--x", dest="drt_x", choices=("tau", "frequency"), default="tau",
                       help="x axis of the pictures (default tau)")


# ---------------------------------------------------------------- files
def expand_inputs(items, recursive):
    """(files, problems): the files named, found in folders or matched by
    glob patterns, in order and without repeats; problems are messages about
    arguments that name nothing."""
    files, problems, seen = [], [], set()

    def add(path):
        key = os.path.abspath(path)
        if key not in seen:
            seen.add(key)
            files.append(path)

    for item in items:
        if os.path.isdir(item):
            found = []
            if recursive:
                for root, dirs, names in os.walk(item):
                    dirs[:] = sorted(d for d in dirs if not d.startswith("."))
                    found.extend(os.path.join(root, n) for n in names)
            else:
                found = [os.path.join(item, n) for n in os.listdir(item)]
            found = sorted(p for p in found if os.path.isfile(p) and _readable_name(p))
            if not found:
                problems.append(f"{item}: the folder holds no instrument file"
                                + ("" if recursive else " (-r reads sub-folders)"))
            for p in found:
                add(p)
        elif os.path.exists(item):
            add(item)
        elif glob.has_magic(item):
            found = sorted(p for p in glob.glob(item, recursive=True) if os.path.isfile(p))
            if not found:
                problems.append(f"{item}: no file matches the pattern")
            for p in found:
                add(p)
        else:
            problems.append(f"{item}: no such file or folder")
    return files, problems


def _readable_name(path):
    name = os.path.basename(path)
    return not name.startswith(".") and os.path.splitext(name)[1].lower() in READABLE_EXTENSIONS


def read_spectra(path, input_format):
    """[(sweep, frequencies, impedances, notes)] of one file; Failure when it
    cannot be read."""
    import numpy as np

    import velotz

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            cols = velotz.read(path, format=input_format, backend="numpy")
        except (ValueError, OSError, ImportError) as e:
            text = str(e)
            raise Failure(text if path in text else f"{path}: {text}") from None
    notes = [str(w.message) for w in caught]
    f = np.asarray(cols["Frequency / Hz"], dtype=float)
    z = np.asarray(cols["Real Impedance / ohm"], dtype=float) + 1j * np.asarray(
        cols["Imaginary Impedance / ohm"], dtype=float)
    sweeps = np.asarray(cols["Sweep"])
    out = []
    for s in np.unique(sweeps):
        mask = sweeps == s
        out.append((int(s), f[mask], z[mask], notes if not out else []))
    return out


# ---------------------------------------------------------------- commands
def _spectrum_columns(path, sweep, f):
    return {"file": path, "sweep": sweep, "points": len(f),
            "f_min": float(f.min()) if len(f) else None, "f_max": float(f.max()) if len(f) else None}


def _failed_row(base, error):
    row = dict(base)
    row["error"] = error
    return row


class _Fit:
    def __init__(self, args):
        import velotz

        try:
            self.circuit = velotz.Circuit(args.circuit)
        except ValueError as e:
            raise Failure(f"circuit {args.circuit!r}: {e}") from None
        self.args = args

    def run(self, f, z):
        import velotz
        from velotz import _table

        a = self.args
        if a.robust:
            result = velotz.fit_robust(self.circuit, f, z, weight=a.weight,
                                       **({} if a.seed is None else {"seed": a.seed}))
        else:
            result = self.circuit.fit(f, z, weight=a.weight, method=a.method, seed=a.seed,
                                      max_iterations=a.max_iterations)
        row = {"circuit": self.args.circuit}
        row.update(_table.fit_result_row(result))
        row["error"] = None
        return [row], result

    def picture(self, result, f, z, title):
        import velotz

        axes = velotz.plot_fit(result, f, z, title=title, table=True)
        return axes[0].figure


class _KK:
    def __init__(self, args):
        self.args = args

    def run(self, f, z):
        import velotz
        from velotz._analysis import _fmt

        a = self.args
        kk = velotz.kramers_kronig(f, z, method=a.method, max_m=a.max_m, tolerance=a.tolerance)
        row = {"passed": kk.passed, "method": kk.method, "m": kk.m, "mu": kk.mu, "noise": kk.noise,
               "max_residual": kk.max_residual, "tolerance": kk.tolerance, "outliers": len(kk.outliers),
               "outlier_frequencies": " ".join(_fmt(float(x)) for x in sorted(kk.outlier_frequencies)),
               "systematic": " ".join(f"{_fmt(lo)}-{_fmt(hi)}" for lo, hi in kk.systematic),
               "error": None}
        return [row], kk

    def picture(self, kk, f, z, title):
        import velotz

        axes = velotz.plot_fit(kk, f, z, title=title)
        return axes[0].figure


class _Compare:
    def __init__(self, args):
        self.args = args

    def run(self, f, z):
        import velotz

        a = self.args
        comparison = velotz.compare(f, z, a.circuits, criterion=a.criterion, weight=a.weight)
        chosen = comparison.recommended
        rows = []
        for entry, row in zip(comparison.entries, comparison.rows()):
            row = dict(row)
            row.pop("ms", None)
            # One line per row: the diagnosis's sentences joined.
            if isinstance(row.get("diagnosis"), str):
                row["diagnosis"] = " | ".join(line for line in row["diagnosis"].splitlines() if line.strip())
            row["recommended"] = entry is chosen
            row["error"] = entry.error
            rows.append(row)
        return rows, comparison

    def picture(self, comparison, f, z, title):
        import velotz

        chosen = comparison.recommended
        if chosen is None:
            return None
        axes = velotz.plot_fit(chosen.result, f, z, title=f"{title}: {chosen.name} (recommended)", table=True)
        return axes[0].figure


class _DRT:
    def __init__(self, args):
        lam = args.lam
        if lam not in ("gcv-corr", "mgcv-corr", "mgcv", "gcv"):
            try:
                lam = float(lam)
            except ValueError:
                raise Failure(f"--lam must be a number, gcv-corr, mgcv-corr, mgcv or gcv, not {lam!r}") from None
        self.lam = lam
        self.args = args

    def run(self, f, z):
        import math

        import velotz

        a = self.args
        res = velotz.drt(f, z, lam=self.lam, derivative=a.derivative, part=a.part)
        row = {"r_inf": res.r_inf, "inductance": res.inductance, "r_pol": res.polarization_resistance,
               "lam": res.lam, "lam_method": res.method, "peaks": len(res.peaks)}
        for k, (tau, area, width) in enumerate(res.peaks, 1):
            row[f"tau_{k}"] = tau
            row[f"f_{k}"] = 1 / (2 * math.pi * tau)
            row[f"r_{k}"] = area
            row[f"width_{k}"] = width
        row["error"] = None
        return [row], res

    def picture(self, res, f, z, title):
        import velotz

        plt = _pyplot()
        fig, (left, right) = plt.subplots(1, 2, figsize=(11.0, 4.4), constrained_layout=True)
        velotz.plot_nyquist(None, f, z, ax=left)
        left.plot(res.z_fit.real, -res.z_fit.imag, linestyle="-", linewidth=1.4, label="DRT model")
        left.legend(fontsize="small")
        velotz.plot_drt(res, ax=right, x=self.args.drt_x)
        fig.suptitle(title)
        return fig


_RUNNERS = {"fit": _Fit, "kk": _KK, "compare": _Compare, "drt": _DRT}


# ---------------------------------------------------------------- progress
class Progress:
    """A tqdm bar when tqdm is installed, else a plain counter on standard
    error; off when standard error is not a terminal (unless forced) or with
    --quiet. Messages go through it so that they do not break the bar."""

    def __init__(self, total, mode, quiet):
        self.total = total
        self.done = 0
        self.bar = None
        self.tty = sys.stderr.isatty()
        self.enabled = not quiet and (mode if mode is not None else (self.tty and total > 1))
        if self.enabled and self.tty:
            try:
                from tqdm import tqdm
            except ImportError:
                tqdm = None
            if tqdm is not None:
                self.bar = tqdm(total=total, unit="file", file=sys.stderr, dynamic_ncols=True, leave=False)

    def step(self, name):
        self.done += 1
        if not self.enabled:
            return
        if self.bar is not None:
            self.bar.update(1)
            self.bar.set_postfix_str(os.path.basename(name), refresh=False)
        elif self.tty:
            sys.stderr.write(f"\r{PROG}: {self.done}/{self.total} files")
            sys.stderr.flush()
        else:
            sys.stderr.write(f"{PROG}: {self.done}/{self.total} {name}\n")
            sys.stderr.flush()

    def message(self, text):
        if self.bar is not None:
            self.bar.write(text, file=sys.stderr)
        else:
            if self.enabled and self.tty:
                sys.stderr.write("\r\033[K")
            sys.stderr.write(text + "\n")
            sys.stderr.flush()

    def close(self):
        if self.bar is not None:
            self.bar.close()
        elif self.enabled and self.tty:
            sys.stderr.write("\r\033[K")
            sys.stderr.flush()


# ---------------------------------------------------------------- output
def columns_of(rows):
    names = []
    for row in rows:
        for k in row:
            if k not in names:
                names.append(k)
    if "error" in names:  # the error text last, after the variable columns
        names.remove("error")
        names.append("error")
    return names


def write_table(rows, path):
    """Write the rows as CSV (to standard output when `path` is None) or, for
    a .parquet/.pq path, Parquet through pyarrow or polars."""
    names = columns_of(rows)
    if path is not None and os.path.splitext(path)[1].lower() in (".parquet", ".pq"):
        return _write_parquet(rows, names, path)
    if path is None:
        _write_csv(rows, names, sys.stdout)
        sys.stdout.flush()
        return
    tmp = f"{path}.part"
    with open(tmp, "w", newline="", encoding="utf-8") as out:
        _write_csv(rows, names, out)
    os.replace(tmp, path)


def _check_output(path):
    """Fail before the work, not after it, when the table cannot be written."""
    if path is None:
        return
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise Failure(f"{path}: the folder {folder} does not exist")
    if os.path.splitext(path)[1].lower() in (".parquet", ".pq"):
        import importlib.util

        if importlib.util.find_spec("pyarrow") is None and importlib.util.find_spec("polars") is None:
            raise Failure(f"{path}: writing Parquet needs pyarrow or polars (pip install pyarrow); or write a "
                          f".csv file")


def _write_csv(rows, names, out):
    writer = csv.writer(out)
    writer.writerow(names)
    for row in rows:
        writer.writerow(["" if row.get(k) is None else row.get(k) for k in names])


def _write_parquet(rows, names, path):
    columns = {k: [_plain(row.get(k)) for row in rows] for k in names}
    try:
        import pyarrow as pa
        import pyarrow.parquet as pq
    except ImportError:
        pa = None
    tmp = f"{path}.part"
    if pa is not None:
        pq.write_table(pa.table({k: _arrow_column(pa, v) for k, v in columns.items()}), tmp)
    else:
        try:
            import polars as pl
        except ImportError:
            raise Failure(f"{path}: writing Parquet needs pyarrow or polars (pip install pyarrow); "
                          f"or write a .csv file") from None
        pl.DataFrame(columns, strict=False).write_parquet(tmp)
    os.replace(tmp, path)


def _plain(value):
    """numpy scalars as Python numbers, for the Parquet writers."""
    item = getattr(value, "item", None)
    return item() if callable(item) else value


def _arrow_column(pa, values):
    kinds = {type(v) for v in values if v is not None}
    if kinds and kinds <= {int, float} and float in kinds:
        values = [None if v is None else float(v) for v in values]
    elif len(kinds) > 1 and not kinds <= {int, bool}:
        values = [None if v is None else str(v) for v in values]
    return pa.array(values)


# ---------------------------------------------------------------- pictures
def _pyplot():
    import matplotlib

    if "matplotlib.pyplot" not in sys.modules:
        matplotlib.use("Agg")  # files only; no window, no display needed
    import matplotlib.pyplot as plt

    return plt


class Pictures:
    def __init__(self, folder):
        self.folder = folder
        self.used = set()
        os.makedirs(folder, exist_ok=True)

    def path(self, file, sweep, multiple, command):
        # The whole file name, extension included (cell.mpr and cell.mpt
        # are different files): cell_mpr_fit.png.
        stem = os.path.basename(file).replace(".", "_") or "spectrum"
        name = f"{stem}_{command}" + (f"_sweep{sweep}" if multiple else "")
        candidate, k = name, 2
        while candidate in self.used:
            candidate = f"{name}_{k}"
            k += 1
        self.used.add(candidate)
        return os.path.join(self.folder, candidate + ".png")

    def save(self, figure, path):
        plt = _pyplot()
        try:
            figure.savefig(path, dpi=130)
        finally:
            plt.close(figure)


# ---------------------------------------------------------------- main
def run(args):
    """Run one command; returns the exit status."""
    quiet = args.quiet
    err = sys.stderr

    def say(text):
        if not quiet:
            progress.message(text)

    files, problems = expand_inputs(args.files, args.recursive)
    failures = len(problems)
    progress = Progress(len(files), args.progress, quiet)
    for p in problems:
        progress.message(f"{PROG}: error: {p}")
    if args.strict and problems:
        progress.close()
        return EXIT_FAILED
    if not files:
        progress.close()
        err.write(f"{PROG}: error: no input files\n")
        return EXIT_FAILED
    try:
        _check_output(args.output)
        runner = _RUNNERS[args.command](args)
        pictures = Pictures(args.plots) if args.plots else None
        if pictures is not None:
            _pyplot()
    except Failure as e:
        progress.close()
        err.write(f"{PROG}: error: {e}\n")
        return EXIT_FAILED
    except (ImportError, OSError) as e:
        progress.close()
        err.write(f"{PROG}: error: {e}\n")
        return EXIT_FAILED
    rows, spectra, interrupted, warned = [], 0, False, set()
    try:
        for path in files:
            try:
                spectra_of_file = read_spectra(path, args.input_format)
            except Failure as e:
                failures += 1
                progress.message(f"{PROG}: error: {e}")
                progress.step(path)
                if args.strict:
                    break
                continue
            stop = False
            for sweep, f, z, notes in spectra_of_file:
                for note in notes:
                    say(f"{PROG}: warning: {note}")
                base = _spectrum_columns(path, sweep, f)
                label = path if len(spectra_of_file) == 1 else f"{path}#{sweep}"
                try:
                    with warnings.catch_warnings(record=True) as caught:
                        warnings.simplefilter("always")
                        new_rows, result = runner.run(f, z)
                    for w in caught:
                        # Each distinct warning once per run (a circuit
                        # without a trained network would warn per spectrum).
                        if str(w.message) not in warned:
                            warned.add(str(w.message))
                            say(f"{PROG}: warning: {label}: {w.message}")
                except (ValueError, TypeError, FloatingPointError) as e:
                    failures += 1
                    rows.append(_failed_row(base, f"{type(e).__name__}: {e}"))
                    progress.message(f"{PROG}: error: {label}: {e}")
                    if args.strict:
                        stop = True
                        break
                    continue
                spectra += 1
                for r in new_rows:
                    full = dict(base)
                    full.update(r)
                    rows.append(full)
                if pictures is not None:
                    target = pictures.path(path, sweep, len(spectra_of_file) > 1, args.command)
                    try:
                        title = os.path.basename(path) + (f" #{sweep}" if len(spectra_of_file) > 1 else "")
                        figure = runner.picture(result, f, z, title)
                        if figure is not None:
                            pictures.save(figure, target)
                    except (ValueError, TypeError, OSError) as e:
                        failures += 1
                        progress.message(f"{PROG}: error: picture of {label}: {e}")
            progress.step(path)
            if stop:
                break
    except KeyboardInterrupt:
        interrupted = True
    finally:
        progress.close()
    # A second Ctrl-C must not cut the table short while it is written.
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN) if interrupted else None
    try:
        try:
            write_table(rows, args.output)
        except (Failure, OSError, ImportError) as e:
            err.write(f"{PROG}: error: cannot write {args.output}: {e}\n")
            return EXIT_FAILED
    finally:
        if previous is not None:
            signal.signal(signal.SIGINT, previous)
    where = f" to {args.output}" if args.output else ""
    if interrupted:
        err.write(f"{PROG}: interrupted: {spectra} spectra done, {len(rows)} rows written{where}\n")
        return EXIT_INTERRUPTED
    if not quiet:
        failed = f", {failures} failed" if failures else ""
        err.write(f"{PROG} {args.command}: {spectra} spectra from {len(files)} files{failed}; "
                  f"{len(rows)} rows written{where or ' to standard output'}\n")
    return EXIT_FAILED if failures else EXIT_OK


def main(argv=None):
    """The console entry point: parse `argv` (default sys.argv[1:]), run the
    command and return the exit status."""
    parser = _parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help()
        return 2
    try:
        return run(args)
    except KeyboardInterrupt:
        sys.stderr.write(f"{PROG}: interrupted\n")
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # `velotz kk data/ | head`: the reader went away; nothing to report.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_FAILED
