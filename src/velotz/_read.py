# Instrument files in: velotz.read reads the spectrum (or spectra) of one
# file into a Battery Data Format dataframe, velotz.read_many many files
# into one long frame for fit_batch. The format is recognised from the
# content first and the extension second. The readers themselves live in
# velotz._read_formats (text) and velotz._read_mpr (EC-Lab binary).
import glob as _glob
import os
import struct
import warnings

from velotz import _read_formats as _formats
from velotz import _read_mpr as _mpr
from velotz._read_table import (
    CYCLE, FREQ, ROLE_COLUMNS, SWEEP, ReadContext, Unreadable, decode, split_lines,
)

__all__ = ["read", "read_many", "FORMATS"]

# name -> (description, reader, takes bytes)
_READERS = {
    "gamry": ("Gamry EXPLAIN file (.DTA)", _formats.read_gamry, False),
    "mpt": ("BioLogic EC-Lab text file (.mpt)", _formats.read_mpt, False),
    "mpr": ("BioLogic EC-Lab binary file (.mpr)", _mpr.read_mpr, True),
    "zplot": ("Scribner ZPlot/ZView file (.z)", _formats.read_zplot, False),
    "autolab": ("Metrohm Autolab export (Z60W, NOVA text/CSV)", _formats.read_autolab, False),
    "chi": ("CH Instruments text file", _formats.read_chi, False),
    "parstat": ("Princeton Applied Research Parstat text file", _formats.read_parstat, False),
    "versastudio": ("VersaStudio file (.par)", _formats.read_versastudio, False),
    "powersuite": ("PowerSuite text file", _formats.read_powersuite, False),
    "ivium": ("Ivium file (.idf, .ids, text export)", _formats.read_ivium, False),
    "csv": ("delimited text table (CSV, TSV)", _formats.read_table, False),
    "excel": ("Excel workbook (.xlsx, .xls)", _formats.read_excel, True),
}
FORMATS = tuple(_READERS)

_ALIASES = {
    "dta": "gamry", "biologic": "mpt", "eclab": "mpt", "ec-lab": "mpt", "zview": "zplot", "z": "zplot",
    "scribner": "zplot", "nova": "autolab", "z60w": "autolab", "ch": "chi", "chinstruments": "chi",
    "par": "versastudio",
    "idf": "ivium", "ids": "ivium", "tsv": "csv", "txt": "csv", "text": "csv", "xlsx": "excel", "xls": "excel",
}
_EXTENSIONS = {
    ".dta": "gamry", ".mpt": "mpt", ".mpr": "mpr", ".z": "zplot", ".par": "versastudio", ".idf": "ivium",
    ".ids": "ivium", ".xlsx": "excel", ".xlsm": "excel", ".xls": "excel",
}
_BACKENDS = ("pandas", "polars", "numpy")


class Columns(dict):
    """What read(backend="numpy") returns: a dict {column name: numpy array}
    with the file's metadata in `attrs`. Circuit.fit and the other functions
    that take a dataframe read it as they read a frame."""

    __slots__ = ("attrs",)

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.attrs = {}


def _format_name(format):
    if format is None:
        return None
    if not isinstance(format, str):
        raise TypeError(f"argument 'format': expected a str or None, got '{type(format).__name__}'")
    key = format.strip().lower().lstrip(".")
    key = _ALIASES.get(key, key)
    if key not in _READERS:
        raise ValueError(f"unknown format {format!r}; formats are {', '.join(repr(f) for f in FORMATS)}")
    return key


def detect(data, path):
    """The format a file's first bytes show, or None when they show nothing
    more specific than (maybe) a table of numbers: then velotz.read tries a
    table and, failing that, the format of the file's extension."""
    ext = os.path.splitext(path)[1].lower()
    if data.startswith(_mpr.MAGIC[:22]):
        return "mpr"
    if data[:4] == b"PK\x03\x04" and (ext in (".xlsx", ".xlsm") or b"xl/" in data[:4096]):
        return "excel"
    if data[:8] == b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" and ext in (".xls", ".xlsx"):
        return "excel"
    if b"primary_data" in data[:65536] and any(k in data[:65536] for k in (b"Title=", b"QR=", b"Technique=")):
        return "ivium"
    sample = data[:8192]
    cut = max(sample.rfind(b"\n"), sample.rfind(b"\r"))
    try:
        text, _ = decode(sample[:cut] if cut > 0 and len(data) > len(sample) else sample)
    except Unreadable:
        return _EXTENSIONS.get(ext, "csv")  # binary: only the extension can tell
    nonblank = []
    for line in split_lines(text):
        line = line.strip()
        if line:
            nonblank.append(line)
            if len(nonblank) == 40:
                break
    first = nonblank[0].strip('"').strip() if nonblank else ""
    if first == "EXPLAIN":
        return "gamry"
    if first.endswith("ASCII FILE") and ("EC-Lab" in first or "BT-Lab" in first or "EC-LAB" in first):
        return "mpt"
    if first.startswith("ZPLOT2 ASCII") or first.startswith("ZPlotW Data File"):
        return "zplot"
    if first.startswith("Z60W Data File"):
        return "autolab"
    if first.startswith("<") and (first == "<Application>" or any(ln.startswith("Definition=Segment #")
                                                                   for ln in nonblank)):
        return "versastudio"
    head = "\n".join(nonblank[:60])
    if "Instrument Model:  CHI" in head or "Instrument Model: CHI" in head or (
            len(nonblank) > 1 and nonblank[1] == "A.C. Impedance"):
        return "chi"
    for line in nonblank[:30]:
        if line[:1].isdigit() or line[:1] in "+-.":
            continue  # a row of numbers, not a header
        if "\t" in line or "," in line or ";" in line:
            low = line.lower()
            if "zre (ohms)" in low and "zim (ohms)" in low:
                return "parstat"
            words = [w.strip().lower() for w in line.replace(",", "\t").split("\t") if w.strip()]
            if words[:3] == ["frequency", "zre", "zimg"]:
                return "powersuite"
            if "freq/hz" in low and "re(z)/ohm" in low:
                return "mpt"
            if ("-z'' (\u03c9)" in low or "z' (\u03c9)" in low or "we(1)." in low) and "freq" in low:
                return "autolab"
    return None


def _describe(fmt):
    return f"{_READERS[fmt][0]}, format={fmt!r}"


def read(path, format=None, columns=None, backend="pandas", *, encoding=None, sheet=None):
    """Read the impedance spectrum (or spectra) in an instrument file.

    Returns a pandas DataFrame (polars with backend="polars"; a dict of
    numpy arrays with backend="numpy") with the Battery Data Format columns
    "Frequency / Hz", "Real Impedance / ohm" and "Imaginary Impedance / ohm"
    (standard sign: negative for capacitive behaviour, whatever the file
    stores), rows in measurement order, then the columns the file carries
    that have a Battery Data Format name ("Absolute Impedance / ohm",
    "Phase / deg", "Test Time / s", "Voltage / V", "Current / A",
    "Cycle Count / 1"), and "Sweep": 0, 1, 2, ... for the sweeps of a file
    that holds several (EC-Lab cycles and loops, Gamry curves, VersaStudio
    segments, Ivium datasets). What the file says about the measurement
    (instrument, technique, date, DC potential or current, AC amplitude,
    electrode area) is in `frame.attrs`, with "source" and "format".

    Formats (`format=` overrides the detection): "gamry" (.DTA), "mpt" and
    "mpr" (BioLogic EC-Lab text and binary), "zplot" (.z), "autolab",
    "chi", "parstat", "versastudio" (.par), "powersuite", "ivium", "csv"
    (any delimited text table whose columns are recognised from their names
    -- freq, Freq/Hz, Z', Z'', -Z'', Zre/Zim, |Z| with phase, with units --
    or mapped with `columns`) and "excel" (pandas and openpyxl).

    `columns` maps roles to the file's columns (names or 0-based positions):
    {"frequency": "f", "real": "Zr", "imag": "Zi"}, "-imag" for a column
    holding -Im Z, "modulus" and "phase" (degrees), or the Battery Data
    Format names as roles.

    Rows without a number and rows whose frequency is zero or negative are
    left out, with a warning saying how many and why. A file that is not
    impedance data, or is damaged, raises ValueError naming the file, the
    format tried and what was missing.
    """
    if backend not in _BACKENDS:
        raise ValueError(f'unknown backend "{backend}", expected "pandas", "polars" or "numpy"')
    _check_backend(backend)
    fmt = _format_name(format)
    if columns is not None and not isinstance(columns, dict):
        raise TypeError(f"argument 'columns': expected a dict, got '{type(columns).__name__}'")
    name = os.fspath(path)
    if isinstance(name, bytes):
        name = os.fsdecode(name)
    out, notes = _read_file(name, fmt, columns, encoding, sheet)
    for note in notes:
        warnings.warn(f"{name}: {note}", UserWarning, stacklevel=2)
    return _frame(out, backend)


def _check_backend(backend):
    if backend == "pandas":
        try:
            import pandas  # noqa: F401
        except ImportError:
            raise ImportError('velotz.read returns a pandas DataFrame and pandas is not installed: pip install '
                              'pandas, or pass backend="polars", or backend="numpy" for a dict of numpy '
                              'arrays') from None
    elif backend == "polars":
        import polars  # noqa: F401


def _read_file(name, fmt, columns, encoding, sheet):
    """({column: array} in order, attrs), notes. Raises ValueError (or
    OSError when the file cannot be opened)."""
    ctx = ReadContext(name, columns, sheet, encoding)
    head = ctx.head_raw()
    chosen = fmt or detect(head, name)
    by_extension = _EXTENSIONS.get(os.path.splitext(name)[1].lower(), "csv")
    try:
        if not head:
            chosen = chosen or by_extension
            raise Unreadable("the file is empty (0 bytes)")
        if chosen is None:
            # The content is no instrument format: a table of numbers, if
            # anything. The extension names the format when the content
            # cannot be read as a table (a damaged instrument file).
            chosen = "csv"
            try:
                parsed = _run(chosen, ctx)
            except (Unreadable, ValueError):
                if by_extension == "csv":
                    raise
                chosen = by_extension
                ctx = ReadContext(name, columns, sheet, encoding)
                parsed = _run(chosen, ctx)
        else:
            parsed = _run(chosen, ctx)
        out = _assemble(parsed, ctx)
    except Unreadable as e:
        raise ValueError(f"{name}: cannot read as a {_describe(chosen)}: {e}") from None
    except (IndexError, KeyError, OverflowError, UnicodeError, struct.error) as e:
        raise ValueError(f"{name}: cannot read as a {_describe(chosen)}: the file is malformed "
                         f"({type(e).__name__}: {e})") from None
    attrs = out[1]
    attrs["source"] = name
    attrs["format"] = chosen
    return out, ctx.notes


def _run(fmt, ctx):
    _, reader, binary = _READERS[fmt]
    if binary:
        return reader(ctx.raw, ctx)
    if not ctx.head_text().strip() and ctx.whole():
        raise Unreadable("the file holds no text (only blank lines)")
    return reader(None, ctx)


def _assemble(parsed, ctx):
    """Columns in output order with the dropped rows left out, and attrs."""
    import numpy as np

    values = parsed.values
    n = parsed.nrows if parsed.nrows is not None else len(values["frequency"])
    for role in list(values):
        if len(values[role]) != n:
            raise Unreadable(f"the {role} column has {len(values[role])} values for {n} rows")
    attrs = dict(parsed.attrs)
    if "real" not in values or "imag" not in values:
        mod, ph = values["modulus"], values["phase"]
        rad = np.radians(ph)
        values["real"] = mod * np.cos(rad)
        values["imag"] = mod * np.sin(rad)
        attrs["derived"] = "real and imaginary parts computed from the modulus and the phase"
    # Sweeps: a new one wherever a key (cycle, step, segment, curve) changes
    # or a loop starts.
    sweep = None
    if n and (parsed.keys or parsed.sweep_starts):
        change = np.zeros(n, dtype=bool)
        for key in parsed.keys:
            key = np.asarray(key, dtype=np.float64)
            same = (key[1:] == key[:-1]) | (np.isnan(key[1:]) & np.isnan(key[:-1]))
            change[1:] |= ~same
        if parsed.sweep_starts:
            starts = np.asarray([s for s in parsed.sweep_starts if 0 < s < n], dtype=np.intp)
            change[starts] = True
        sweep = np.cumsum(change, dtype=np.int64)
    f, re_, im = values["frequency"], values["real"], values["imag"]
    finite = np.isfinite(f)
    finite &= np.isfinite(re_)
    finite &= np.isfinite(im)
    keep = f > 0
    keep &= finite
    count_finite = int(np.count_nonzero(finite))
    no_number = n - count_finite
    not_positive = count_finite - int(np.count_nonzero(keep))
    if no_number or not_positive:
        reasons = []
        if no_number:
            reasons.append(f"{no_number} without a number in the frequency or impedance columns")
        if not_positive:
            reasons.append(f"{not_positive} with a frequency of zero or less")
        ctx.note(f"{no_number + not_positive} of {n} rows left out: {' and '.join(reasons)}")
        attrs["rows_left_out"] = {"no number": no_number, "frequency <= 0": not_positive}
    kept = int(np.count_nonzero(keep))
    if kept == 0:
        raise Unreadable(f"no measured point: {'all ' + str(n) + ' rows were left out' if n else 'no rows'}")
    everything = kept == n
    out = {}
    for role, column in ROLE_COLUMNS.items():
        if role in values:
            col = values[role] if everything else values[role][keep]
            out[column] = np.ascontiguousarray(col, dtype=np.float64)
    if CYCLE in out:
        cycles = out[CYCLE]
        if np.all(np.isfinite(cycles)) and np.all(cycles == np.round(cycles)):
            out[CYCLE] = cycles.astype(np.int64)
    # The sweeps that keep points, numbered 0, 1, 2, ...
    if sweep is None:
        out[SWEEP] = np.zeros(kept, dtype=np.int64)
    elif everything:
        out[SWEEP] = sweep
    else:
        kept_sweeps = sweep[keep]
        renumbered = np.zeros(kept, dtype=np.int64)
        if kept > 1:
            np.cumsum(kept_sweeps[1:] != kept_sweeps[:-1], out=renumbered[1:])
        out[SWEEP] = renumbered
    return out, attrs


def _frame(result, backend):
    (columns, attrs) = result
    if backend == "pandas":
        import pandas as pd

        frame = pd.DataFrame(columns, copy=False)
        frame.attrs.update(attrs)
        return frame
    if backend == "polars":
        import polars as pl

        frame = pl.DataFrame(columns)
        frame.attrs = attrs  # plain attribute: polars keeps no metadata through operations
        return frame
    out = Columns(columns)
    out.attrs.update(attrs)
    return out


def _paths(paths_or_glob):
    if isinstance(paths_or_glob, (str, bytes)) or hasattr(paths_or_glob, "__fspath__"):
        pattern = os.fspath(paths_or_glob)
        if isinstance(pattern, bytes):
            pattern = os.fsdecode(pattern)
        if _glob.has_magic(pattern):
            found = sorted(_glob.glob(pattern, recursive=True))
            found = [p for p in found if os.path.isfile(p)]
            if not found:
                raise ValueError(f"no file matches {pattern!r}")
            return found
        return [pattern]
    try:
        items = list(paths_or_glob)
    except TypeError:
        raise TypeError("argument 'paths': expected a path, a glob pattern or a sequence of paths, got "
                        f"'{type(paths_or_glob).__name__}'") from None
    out = []
    for p in items:
        if not isinstance(p, (str, bytes)) and not hasattr(p, "__fspath__"):
            raise TypeError(f"argument 'paths': expected paths, got an item of type '{type(p).__name__}'")
        p = os.fspath(p)
        out.append(os.fsdecode(p) if isinstance(p, bytes) else p)
    return out


def read_many(paths, format=None, columns=None, backend="pandas", *, encoding=None, sheet=None):
    """Read many instrument files into one long frame for fit_batch.

    `paths` is a glob pattern ("data/*.mpt", "**" recursive), one path, or a
    sequence of paths. Each file is read as `read` reads it (same options);
    the frame stacks their rows with "File" (the path), "Sweep" (the sweep
    within the file) and "Spectrum" ("{File}#{Sweep}", one value per
    spectrum) in front, so that

        batch = velotz.fit_batch(circuit, frame, id_column="Spectrum")

    fits every sweep of every file. A file that cannot be read does not stop
    the others: `frame.attrs["errors"]` maps its path to the exception and a
    warning lists them; `frame.attrs["files"]` maps each file read to its
    own attrs. ValueError when no file could be read.

    Returns the frame of `backend` ("pandas", "polars" or "numpy", which
    gives a dict of column arrays); frequencies in Hz and impedances in ohm
    under the Battery Data Format column names.
    """
    if backend not in _BACKENDS:
        raise ValueError(f'unknown backend "{backend}", expected "pandas", "polars" or "numpy"')
    _check_backend(backend)
    fmt = _format_name(format)
    if columns is not None and not isinstance(columns, dict):
        raise TypeError(f"argument 'columns': expected a dict, got '{type(columns).__name__}'")
    import numpy as np

    files = _paths(paths)
    if not files:
        raise ValueError("argument 'paths': no file given")
    parts, errors, per_file = [], {}, {}
    for name in files:
        try:
            (cols, attrs), notes = _read_file(name, fmt, columns, encoding, sheet)
        except (ValueError, OSError, ImportError) as e:
            errors[name] = e
            continue
        for note in notes:
            warnings.warn(f"{name}: {note}", UserWarning, stacklevel=2)
        parts.append((name, cols))
        per_file[name] = attrs
    if errors:
        listed = "; ".join(f"{p} ({type(e).__name__}: {e})" for p, e in list(errors.items())[:10])
        more = f"; and {len(errors) - 10} more" if len(errors) > 10 else ""
        if not parts:
            raise ValueError(f"none of the {len(files)} files could be read: {listed}{more}")
        warnings.warn(f"{len(errors)} of {len(files)} files could not be read and were left out: {listed}{more}",
                      UserWarning, stacklevel=2)
    names = ["File", SWEEP, "Spectrum"]
    for _, cols in parts:
        for c in cols:
            if c not in names:
                names.append(c)
    out = {}
    lengths = [len(cols[FREQ]) for _, cols in parts]
    out["File"] = np.array([name for (name, _), n in zip(parts, lengths) for _ in range(n)], dtype=object)
    out[SWEEP] = np.concatenate([cols[SWEEP] for _, cols in parts])
    out["Spectrum"] = np.array([f"{name}#{s}" for (name, cols) in parts for s in cols[SWEEP].tolist()],
                               dtype=object)
    for c in names[3:]:
        pieces = []
        for (_, cols), n in zip(parts, lengths):
            if c in cols:
                pieces.append(np.asarray(cols[c], dtype=np.float64))
            else:
                pieces.append(np.full(n, np.nan))
        column = np.concatenate(pieces)
        if c == CYCLE and all(c in cols and cols[c].dtype.kind == "i" for _, cols in parts):
            column = column.astype(np.int64)
        out[c] = column
    attrs = {"files": per_file, "errors": errors, "format": fmt}
    frame = _frame((out, attrs), backend)
    return frame

