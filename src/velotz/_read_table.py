# Reading tables of numbers out of text: decoding, finding the header and the
# rows, recognising columns from their names (and units), and parsing the
# rows fast (polars' or pandas' C parser reading the file from the first row,
# when installed; numpy or a line-by-line parse otherwise). The instrument readers (velotz._read_formats) are built on these
# pieces; velotz._read assembles their output into a dataframe.
#
# numpy, pandas and polars are imported inside the functions that need them:
# the package imports this module at start-up and must not import numpy then.
import io
import os
import re

_PANDAS_PARALLEL_BYTES = 5 << 20

# Battery Data Format names of the columns a reader fills.
FREQ = "Frequency / Hz"
REAL = "Real Impedance / ohm"
IMAG = "Imaginary Impedance / ohm"
ABS = "Absolute Impedance / ohm"
PHASE = "Phase / deg"
TIME = "Test Time / s"
VOLT = "Voltage / V"
CURR = "Current / A"
CYCLE = "Cycle Count / 1"
SWEEP = "Sweep"

# Output column of each role, in the order the frame lists them.
ROLE_COLUMNS = {
    "frequency": FREQ, "real": REAL, "imag": IMAG, "modulus": ABS, "phase": PHASE,
    "time": TIME, "voltage": VOLT, "current": CURR, "cycle": CYCLE,
}
# The roles "sweep" (a sweep column) and "step" (EC-Lab's Ns) only tell
# sweeps apart: they are no output column of their own.


class Unreadable(Exception):
    """Raised by a reader for a file it cannot read; velotz.read turns it into
    a ValueError naming the file and the format tried."""


class ReadContext:
    """What a reader knows besides the file's content: its path (for
    messages), the user's column mapping, the warnings to give; and the
    file itself, read and decoded lazily: a large table is parsed from the
    file by pandas' C parser after reading only the lines above it."""

    HEAD_BYTES = 1 << 18

    def __init__(self, path, columns=None, sheet=None, encoding=None, raw=None):
        self.name = path
        self.path = path
        self.columns = columns
        self.sheet = sheet
        self.encoding = encoding
        self.notes = []  # warnings, given by velotz.read with the file's name
        self._raw = raw
        self._head_raw = None
        self._text = None
        self._head_text = None
        self._compatible = True
        self._lines = None

    def note(self, text):
        self.notes.append(text)

    @property
    def raw(self):
        if self._raw is None:
            with open(self.path, "rb") as handle:
                self._raw = handle.read()
        return self._raw

    def head_raw(self):
        """The file's first bytes (all of them for a small file)."""
        if self._head_raw is None:
            if self._raw is not None:
                self._head_raw = self._raw[:self.HEAD_BYTES]
            else:
                with open(self.path, "rb") as handle:
                    self._head_raw = handle.read(self.HEAD_BYTES)
                if len(self._head_raw) < self.HEAD_BYTES:
                    self._raw = self._head_raw
        return self._head_raw

    def whole(self):
        """Whether the head is the whole file."""
        return len(self.head_raw()) < self.HEAD_BYTES or (self._raw is not None and len(self._raw) ==
                                                         len(self._head_raw))

    @property
    def text(self):
        if self._text is None:
            self._text, self._compatible = decode(self.raw, self.encoding)
        return self._text

    def head_text(self, size=None):
        """Decoded text of the file's first `size` bytes (HEAD_BYTES by
        default) up to their last line break; the whole text for a small
        file."""
        size = self.HEAD_BYTES if size is None else min(size, self.HEAD_BYTES)
        cached = self._head_text
        if cached is not None and cached[0] >= size:
            return cached[1]
        raw = self.head_raw()
        if self._text is not None or self.whole():
            text = self.text
        else:
            part = raw[:size]
            cut = max(part.rfind(b"\n"), part.rfind(b"\r"))
            text, self._compatible = decode(part[:cut] if cut > 0 else part, self.encoding)
        self._head_text = (size, text)
        return text

    @property
    def lines(self):
        if self._lines is None:
            self._lines = split_lines(self.text)
        return self._lines

    def head(self, count):
        """The first `count` lines (fewer when the head holds fewer), and
        whether they are all the lines of the file."""
        if self._lines is not None:
            return self._lines[:count], count >= len(self._lines)
        for size in (1 << 15, self.HEAD_BYTES):
            text = self.head_text(size)
            seen = 0
            for m in _BREAK.finditer(text):
                seen += 1
                if seen >= count:
                    return split_lines(text[:m.start()]), False
            if text is self._text:
                return self.lines, True
        return split_lines(text), False

    def preamble(self, line_index):
        """(byte offset of line `line_index`, whether a line above is blank)
        when pandas may read the file from that line on: plain bytes
        (ASCII-compatible) whose lines above end in LF or CR LF, so that
        pandas counts them as they are counted here; else None."""
        self.head_text(1 << 15)  # decodes the head: is the encoding ASCII-compatible?
        if not self._compatible or self.path is None:
            return None
        raw = self.head_raw()
        pos, blank = 0, False
        for _ in range(line_index):
            nl = raw.find(b"\n", pos)
            if nl < 0:
                return None
            segment = raw[pos:nl]
            if segment.count(b"\r") > (1 if segment.endswith(b"\r") else 0):
                return None
            blank = blank or not segment.rstrip(b"\r")
            pos = nl + 1
        return pos, blank


_BREAK = re.compile(r"\r\n|\r|\n")


class Parsed:
    """A reader's result: raw columns by role (float arrays, NaN where a
    field held no number), sweep keys, row count and metadata."""

    def __init__(self, values, attrs, keys=(), sweep_starts=None, nrows=None):
        self.values = values          # {role: float64 array}
        self.attrs = attrs            # metadata for frame.attrs
        self.keys = list(keys)        # arrays whose changes start a new sweep
        self.sweep_starts = sweep_starts  # row indices that start a sweep, or None
        self.nrows = nrows


class Block(list):
    """Parsed rows as columns: block[k] is a float64 array (one per column
    asked for), block.nrows the number of rows."""

    def __init__(self, columns, nrows):
        super().__init__(columns)
        self.nrows = nrows


# ---------------------------------------------------------------------------
# Decoding

_CONTROL = re.compile(r"[\x00-\x08\x0e-\x19\x1b-\x1f]")


def decode(data, encoding=None):
    """(text, ASCII-compatible) of a file's bytes: the given encoding, else a
    byte-order mark (UTF-8/16/32), else UTF-8, else Latin-1 (EC-Lab and
    Gamry write Windows code pages). Binary data raises Unreadable."""
    if encoding is not None:
        try:
            text = data.decode(encoding)
        except (UnicodeDecodeError, LookupError) as e:
            raise Unreadable(f"cannot decode the file as {encoding}: {e}") from None
        compatible = "16" not in encoding and "32" not in encoding
        return _check_text(text.lstrip("\ufeff")), compatible
    if data.startswith(b"\xef\xbb\xbf"):
        return _check_text(data[3:].decode("utf-8", errors="replace"), data[3:]), True
    for bom, codec in ((b"\xff\xfe\x00\x00", "utf-32-le"), (b"\x00\x00\xfe\xff", "utf-32-be"),
                       (b"\xff\xfe", "utf-16-le"), (b"\xfe\xff", "utf-16-be")):
        if data.startswith(bom):
            return _check_text(data[len(bom):].decode(codec, errors="replace")), False
    head = data[:4096]
    if b"\x00" in head:
        # UTF-16 without a byte-order mark: text whose every other byte is 0.
        even, odd = head[0::2], head[1::2]
        if len(head) >= 4 and odd.count(0) > 0.9 * len(odd) and even.count(0) < 0.1 * len(even):
            return _check_text(data.decode("utf-16-le", errors="replace")), False
        if len(head) >= 4 and even.count(0) > 0.9 * len(even) and odd.count(0) < 0.1 * len(odd):
            return _check_text(data.decode("utf-16-be", errors="replace")), False
        raise Unreadable("the file holds binary data, not text")
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        text = data.decode("latin-1")
    return _check_text(text, data), True


_CONTROL_BYTES = bytes(range(0, 9)) + bytes(range(14, 26)) + bytes(range(27, 32))


def _check_text(text, raw=None):
    """Refuses text that is mostly not text: many control characters (a
    binary file with a text format's extension)."""
    if raw is not None:
        sample = raw[:65536]
        count = len(sample) - len(sample.translate(None, _CONTROL_BYTES))
    else:
        sample = text[:65536]
        count = len(_CONTROL.findall(sample))
    if sample and count > max(8, len(sample) // 100):
        raise Unreadable("the file holds binary data, not text")
    return text


def split_lines(text):
    """Lines of a text, whatever its line ends (CR LF, LF, CR, CR CR LF)."""
    return text.replace("\r\n", "\n").replace("\r", "\n").split("\n")


# ---------------------------------------------------------------------------
# Numbers

_NUM_DOT = re.compile(r"[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?|[+-]?(?:nan|inf|infinity)", re.I)
_NUM_COMMA = re.compile(r"[+-]?(?:\d+,?\d*|,\d+)(?:[eE][+-]?\d+)?")


def to_float(text, decimal="."):
    """A field as a float; NaN when it holds no number."""
    s = text.strip().strip('"').strip()
    if decimal == ",":
        s = s.replace(",", ".")
    try:
        return float(s)
    except ValueError:
        return float("nan")


def _numeric(field, decimal):
    if len(field) > 60:  # no number is that long (and the pattern stays linear)
        return False
    return (_NUM_DOT if decimal == "." else _NUM_COMMA).fullmatch(field) is not None


def numeric_row(line):
    """(delimiter, decimal, field count) when a line is a row of two or more
    numbers, else None. delimiter None means runs of whitespace."""
    s = line.strip()
    if not s:
        return None
    for delim in ("\t", ";", ","):
        if delim in s:
            fields = [f.strip().strip('"').strip() for f in s.split(delim)]
            while fields and fields[-1] == "":
                fields.pop()
            filled = [f for f in fields if f]
            if len(filled) < 2:
                continue
            if all(_numeric(f, ".") for f in filled):
                return delim, ".", len(fields)
            if delim != "," and all(_numeric(f, ",") for f in filled) and any("," in f for f in filled):
                return delim, ",", len(fields)
    fields = s.split()
    if len(fields) >= 2:
        if all(_numeric(f, ".") for f in fields):
            return None, ".", len(fields)
        if all(_numeric(f, ",") for f in fields):
            return None, ",", len(fields)
    return None


def split_fields(line, delim):
    if delim is None:
        return line.split()
    fields = [f.strip() for f in line.split(delim)]
    while fields and fields[-1] == "":
        fields.pop()
    return fields


def parse_rows(lines, delim, decimal, ncols, usecols):
    """The numbers of rows given as text lines (blank lines skipped): a
    float64 array (rows, len(usecols)) with NaN where a field held no number.
    Uses pandas' C parser when pandas is installed and the rows are clean,
    else numpy, else a line-by-line parse that tolerates anything."""
    import numpy as np

    usecols = list(usecols)
    rows = [ln for ln in lines if ln.strip()]
    if not rows:
        return Block([np.empty(0) for _ in usecols], 0)
    block = "\n".join(rows)
    fast = _parse_fast(block, len(rows), delim, decimal, ncols, usecols)
    if fast is None:
        fast = np.full((len(rows), len(usecols)), np.nan, order="F")
        where = {c: k for k, c in enumerate(usecols)}
        for r, line in enumerate(rows):
            fields = split_fields(line, delim)
            for c, k in where.items():
                if c < len(fields):
                    fast[r, k] = to_float(fields[c], decimal)
    return Block([fast[:, k] for k in range(len(usecols))], len(rows))


def parse_tail(ctx, first, delim, decimal, ncols, usecols, first_line=None):
    """The rows from line `first` to the end of the file, as parse_rows
    gives them. For a plain file (ASCII-compatible bytes, LF or CR LF line
    ends above the rows) a C parser reads the file itself from that line --
    polars' when polars is installed, else pandas' -- which is as fast as
    reading the file gets; whatever they refuse (a field without a number,
    a ragged row) is parsed line by line. The first row parsed must be the
    line `first`, or the result is not used."""
    import numpy as np

    usecols = list(usecols)
    preamble = ctx.preamble(first)
    if preamble is not None:
        data = _parse_tail_polars(ctx, first, delim, decimal, ncols, usecols)
        if data is not None and _starts_with(data, first_line, delim, decimal, usecols):
            return data
        try:
            import pandas as pd
        except ImportError:
            pd = None
        if pd is not None:
            # pandas reads a large file in parallel (5 MiB of rows or more
            # below a preamble without blank lines) and anything else in
            # chunks; read whole is cheaper then, and costs little memory.
            offset, blank = preamble
            size = len(ctx.raw) if ctx._raw is not None else os.path.getsize(ctx.path)
            whole = {"low_memory": False} if blank or size - offset < _PANDAS_PARALLEL_BYTES else {}
            # All columns, types inferred: pandas' own fast path (naming a
            # dtype or usecols makes it slower). A column that is not all
            # numbers comes back as objects and sends the rows line by line.
            try:
                frame = pd.read_csv(
                    ctx.path, skiprows=first, sep=r"\s+" if delim is None else delim, header=None,
                    names=list(range(ncols)), decimal=decimal, skip_blank_lines=True, na_filter=False,
                    engine="c", index_col=False, encoding="utf-8", encoding_errors="replace", **whole)
                columns = [frame[c].to_numpy() for c in usecols]
                if all(c.dtype.kind in "fiu" for c in columns):
                    data = Block([c if c.dtype == np.float64 else c.astype(np.float64) for c in columns],
                                 len(frame))
                else:
                    data = None
            except Exception:  # noqa: BLE001 - any refusal means: parse line by line
                data = None
            if data is not None and _starts_with(data, first_line, delim, decimal, usecols):
                return data
    return parse_rows(ctx.lines[first:], delim, decimal, ncols, usecols)


def _parse_tail_polars(ctx, first, delim, decimal, ncols, usecols):
    """The rows from line `first` on, parsed by polars' CSV reader when
    polars is installed (several times faster than pandas', and as exact),
    or None when polars is absent or the rows are not a clean table of
    numbers for it: a whitespace separator, a blank line or an empty field
    (polars reads both as nulls, which would hide what velotz.read must
    count), a field that is no number, a ragged row."""
    if delim is None or len(delim) != 1 or (decimal == "," and delim == ","):
        return None
    try:
        import polars as pl
    except ImportError:
        return None
    names = [f"c{k}" for k in range(ncols)]
    try:
        frame = pl.read_csv(ctx.path, has_header=False, skip_lines=first, separator=delim, quote_char='"',
                            schema={name: pl.Float64 for name in names}, decimal_comma=decimal == ",",
                            encoding="utf8-lossy", raise_if_empty=False)
        columns = [frame.get_column(names[c]) for c in usecols]
        if any(col.null_count() for col in columns):
            return None
        return Block([col.to_numpy() for col in columns], frame.height)
    except Exception:  # noqa: BLE001 - anything polars refuses is parsed another way
        return None


def _starts_with(data, line, delim, decimal, usecols):
    """Whether the first parsed row is the given line (the parse started
    where it was meant to)."""
    import math

    if line is None:
        return True
    if data.nrows == 0:
        return False
    fields = split_fields(line, delim)
    for k, c in enumerate(usecols):
        want = to_float(fields[c], decimal) if c < len(fields) else math.nan
        got = float(data[k][0])
        if not (want == got or (math.isnan(want) and math.isnan(got))):
            return False
    return True


def _parse_fast(block, nrows, delim, decimal, ncols, usecols):
    import numpy as np

    try:
        import pandas as pd
    except ImportError:
        pd = None
    if pd is not None:
        try:
            frame = pd.read_csv(
                io.StringIO(block), sep=r"\s+" if delim is None else delim, header=None,
                names=list(range(ncols)), usecols=usecols, dtype=np.float64, decimal=decimal,
                skip_blank_lines=True, engine="c", skipinitialspace=True, index_col=False)
        except Exception:  # noqa: BLE001 - any refusal means: parse line by line
            return None
        if len(frame) != nrows:
            return None
        return np.asfortranarray(frame[usecols].to_numpy(dtype=np.float64))
    # numpy: whitespace-separated numbers, all rows complete and clean.
    if '"' in block:
        return None
    text = block
    if delim is not None and delim != ",":
        if decimal == ",":
            text = text.replace(",", ".")
        text = text.replace(delim, " ")
    elif delim == ",":
        text = text.replace(",", " ")
    elif decimal == ",":
        text = text.replace(",", ".")
    try:
        flat = np.fromstring(text, dtype=np.float64, sep=" ")
    except (ValueError, DeprecationWarning):
        return None
    if flat.size != nrows * ncols:
        return None
    return np.asfortranarray(flat.reshape(nrows, ncols)[:, usecols])


# ---------------------------------------------------------------------------
# Column names: roles, signs and units

def unquote(text):
    """A field without the double quotes around it (CSV quoting, with ""
    inside standing for one quote); quotes inside a name are kept."""
    s = text.strip()
    if len(s) >= 2 and s[0] == '"' and s[-1] == '"':
        s = s[1:-1].replace('""', '"').strip()
    return s


def _norm(name):
    s = unquote(name).lower()
    s = (s.replace("\u2212", "-").replace("\u2019", "'").replace("\u2018", "'").replace("\u2032", "'")
         .replace("\u00b4", "'").replace("`", "'").replace("\u2033", '"').replace("\u201c", '"')
         .replace("\u201d", '"').replace("''", '"'))
    return re.sub(r"[\s_]+", "", s)


def _set(*names):
    return frozenset(_norm(n) for n in names)


_ROLE_SPELLINGS = {
    "frequency": _set("freq", "frequency", "f", "freq.", "frequenz", "fhz", "frequency/hz", "frequence",
                      "fr\u00e9quence", "frecuencia"),
    "real": _set("z'", "zre", "zreal", "z_re", "z_real", "zr", "re(z)", "re z", "re", "real", "realz", "z'(a)",
                 "real impedance", "impedance real", "re[z]", "rez", "z real", "z' real", "zreal'", "real part",
                 "resistance", "zreal part", "real(z)"),
    "imag": _set('z"', "zim", "zimag", "zimg", "z_im", "z_imag", "zi", "im(z)", "im z", "im", "imag", "imaginary",
                 "imagz", 'z"(b)', "imaginary impedance", "impedance imaginary", "im[z]", "imz", "z imag",
                 "imaginary part", "reactance", "imag(z)", "zimaginary"),
    "modulus": _set("|z|", "z", "zmod", "mod(z)", "abs(z)", "modulus", "magnitude", "impedance",
                    "absolute impedance", "zabs", "|impedance|", "impedance magnitude", "zmag", "modz", "mod z",
                    "|z|(ohm)"),
    "phase": _set("phase", "phase(z)", "zphz", "zphase", "phi", "theta", "phase angle", "phz", "arg(z)",
                  "impedance phase", "phasez", "phase z"),
    "time": _set("time", "t", "elapsed time", "test time", "time/s", "elapsedtime", "test_time"),
    "voltage": _set("e", "ewe", "<ewe>", "potential", "voltage", "vdc", "edc", "u", "we(1).potential", "ecell",
                    "<ecell>", "dc potential", "e dc", "e(v)"),
    "current": _set("i", "<i>", "current", "idc", "we(1).current", "dc current", "i dc"),
    "cycle": _set("cycle", "cycle number", "cyclenumber", "cycle count", "cycle no", "cycle index"),
    "sweep": _set("sweep", "sweep number", "sweep index"),
}
# Roles whose spellings may carry a minus sign: the column holds the negated value.
_SIGNED = ("imag", "phase")

# Battery Data Format machine names (snake case) and labels, read as they are.
_BDF_NAMES = {
    "frequency_hertz": ("frequency", 1.0), "real_impedance_ohm": ("real", 1.0),
    "imaginary_impedance_ohm": ("imag", 1.0), "absolute_impedance_ohm": ("modulus", 1.0),
    "phase_degree": ("phase", 1.0), "test_time_second": ("time", 1.0), "voltage_volt": ("voltage", 1.0),
    "current_ampere": ("current", 1.0), "cycle_count": ("cycle", 1.0),
    FREQ: ("frequency", 1.0), REAL: ("real", 1.0), IMAG: ("imag", 1.0), ABS: ("modulus", 1.0),
    PHASE: ("phase", 1.0), TIME: ("time", 1.0), VOLT: ("voltage", 1.0), CURR: ("current", 1.0),
    CYCLE: ("cycle", 1.0), SWEEP: ("sweep", 1.0),
}

_SNAKE_UNIT = re.compile(r"^(.+?)[_ ]+(Hz|kHz|MHz|mHz|hz|ohm|Ohm|ohms|Ohms|kOhm|kohm|mOhm|mohm|MOhm|\u03a9|deg|"
                         r"Deg|degree|degrees|rad|s|sec|ms|V|mV|A|mA|uA)$")
_UNIT = re.compile(r"^(?P<base>.*?)\s*(?:/\s*(?P<a>[^/()\[\]]*?)|\((?P<b>[^()]*)\)|\[(?P<c>[^\[\]]*)\])\s*$")
_PREFIX = {"": 1.0, "k": 1e3, "K": 1e3, "M": 1e6, "G": 1e9, "m": 1e-3, "u": 1e-6, "\u00b5": 1e-6, "\u03bc": 1e-6,
           "n": 1e-9, "p": 1e-12}
# The unit each role is measured in, and the spellings of its root.
_ROLE_UNIT = {"frequency": "Hz", "real": "ohm", "imag": "ohm", "modulus": "ohm", "phase": "deg", "time": "s",
              "voltage": "V", "current": "A"}


def _unit_factor(role, unit):
    """Factor from the unit to the role's own unit, or None when the text is
    not a unit of that quantity."""
    u = unit.strip().replace(" ", "")
    kind = _ROLE_UNIT.get(role)
    if kind is None:
        return 1.0 if u in ("", "1", "#", "-") else None
    if kind == "deg":
        low = u.lower()
        if low in ("deg", "degree", "degrees", "\u00b0", "\u00ba", "grad", "degr"):
            return 1.0
        if low in ("rad", "radian", "radians"):
            return 57.29577951308232  # 180/pi
        return None
    if kind == "s":
        low = u.lower()
        return {"s": 1.0, "sec": 1.0, "second": 1.0, "seconds": 1.0, "secs": 1.0, "ms": 1e-3, "min": 60.0,
                "h": 3600.0, "hr": 3600.0}.get(low)
    if kind == "ohm":
        m = re.fullmatch(r"(?P<p>[kKMGmu\u00b5\u03bcn]?)(?:ohm|ohms|\u03a9|\u2126)", u, re.I)
        if m is None:
            return None
        p = m.group("p")
        return _PREFIX.get(p if p not in ("K",) else "k")
    if kind == "Hz":
        m = re.fullmatch(r"(?P<p>[kKMGmu\u00b5\u03bc]?)hz", u, re.I)
        return None if m is None else _PREFIX[m.group("p")]
    m = re.fullmatch(r"(?P<p>[kMGmu\u00b5\u03bcnp]?)" + kind, u)  # V or A: case matters (m/M)
    return None if m is None else _PREFIX[m.group("p")]


def split_unit(name):
    """(base, unit) of a column name such as 'Re(Z)/Ohm', "Z' (Ω)", 'Freq [Hz]'
    ('' when there is no unit)."""
    s = unquote(name)
    m = _UNIT.match(s)
    if m is None:
        return s, ""
    unit = m.group("a") if m.group("a") is not None else m.group("b") if m.group("b") is not None else m.group("c")
    base = m.group("base")
    if not base:
        return s, ""
    return base, unit


def recognise(name, extra=None):
    """(role, factor, negated) of a column name, or None. `extra` maps further
    normalised spellings to roles (a format's own names)."""
    if len(name) > 120:  # no column name is that long (and the patterns stay fast)
        return None
    if name in _BDF_NAMES:
        role, factor = _BDF_NAMES[name]
        return role, factor, False
    candidates = [(name, "")]
    base, unit = split_unit(name)
    if unit:
        candidates.insert(0, (base, unit))
    else:
        m = _SNAKE_UNIT.match(name.strip())
        if m:  # "freq_Hz", "Zreal_Ohm", "phase_deg"
            candidates.insert(0, (m.group(1), m.group(2)))
    for text, unit in candidates:
        key = _norm(text)
        negated = False
        if key.startswith("-") and len(key) > 1:
            negated, key = True, key[1:]
        role = None
        if extra and key in extra:
            role = extra[key]
        else:
            for r, spellings in _ROLE_SPELLINGS.items():
                if key in spellings:
                    role = r
                    break
        if role is None or (negated and role not in _SIGNED):
            continue
        if unit:
            factor = _unit_factor(role, unit)
            if factor is None:
                continue  # '(a)' in "Z'(a)" is not a unit: try the whole name
        else:
            factor = 1.0
        return role, factor, negated
    return None


_USER_ROLES = {
    "frequency": "frequency", "freq": "frequency", FREQ: "frequency", "frequency_hertz": "frequency",
    "real": "real", REAL: "real", "real_impedance_ohm": "real",
    "imag": "imag", "imaginary": "imag", IMAG: "imag", "imaginary_impedance_ohm": "imag",
    "-imag": "-imag", "-imaginary": "-imag",
    "modulus": "modulus", "abs": "modulus", "|z|": "modulus", ABS: "modulus", "absolute_impedance_ohm": "modulus",
    "phase": "phase", PHASE: "phase", "phase_degree": "phase", "-phase": "-phase",
    "time": "time", TIME: "time", "test_time_second": "time",
    "voltage": "voltage", VOLT: "voltage", "voltage_volt": "voltage",
    "current": "current", CURR: "current", "current_ampere": "current",
    "cycle": "cycle", CYCLE: "cycle", "cycle_count": "cycle",
    "sweep": "sweep", SWEEP: "sweep",
}


def user_role(key):
    if not isinstance(key, str):
        return None
    return _USER_ROLES.get(key, _USER_ROLES.get(key.strip().lower()))


def _find_column(names, ref):
    """Index of the column `ref` (a name or a 0-based position) names."""
    if isinstance(ref, bool):
        return None
    if isinstance(ref, int):
        return ref if 0 <= ref < len(names) else None
    if not isinstance(ref, str):
        return None
    for k, n in enumerate(names):
        if n == ref:
            return k
    for k, n in enumerate(names):
        if unquote(n).lower() == ref.strip().lower():
            return k
    return None


def assign_roles(names, ctx, extra=None, positional=None):
    """{role: (column index, factor, negated)} for a table's column names.
    The user's mapping (ctx.columns) comes first, then recognised names (the
    first column of a role wins), then `positional` defaults {role: index}
    for columns a format fixes by position."""
    roles = {}
    taken = set()
    user = ctx.columns
    if user is not None:
        if not isinstance(user, dict):
            raise TypeError(f"argument 'columns': expected a dict, got '{type(user).__name__}'")
        for k, v in user.items():
            role, ref = user_role(k), v
            if role is None:
                role, ref = user_role(v), k
            if role is None:
                raise ValueError(
                    f"argument 'columns': cannot tell which of {k!r}: {v!r} is a role; roles are "
                    "'frequency', 'real', 'imag', '-imag' (a column holding -Im Z), 'modulus', 'phase', '-phase', "
                    "'time', 'voltage', 'current', 'cycle', 'sweep' or their Battery Data Format names")
            index = _find_column(names, ref)
            if index is None:
                shown = ", ".join(repr(n) for n in names[:40]) + (", ..." if len(names) > 40 else "")
                raise Unreadable(f"argument 'columns' names the column {ref!r}, which the file does not have "
                                 f"(its columns: {shown})")
            # The column holds the role's quantity, negated when the role
            # says so ('-imag') or the column's own name does ("-Z''"); a
            # unit in the name ('Z (kOhm)') scales it.
            negated = role.startswith("-")
            role = role.lstrip("-")
            factor = 1.0
            name = names[index]
            found = recognise(name, extra) if isinstance(name, str) else None
            if found is not None and found[0] == role:
                factor = found[1]
                negated = negated or found[2]
            elif isinstance(name, str) and role in _ROLE_UNIT:
                unit = split_unit(name)[1]
                if unit and _unit_factor(role, unit) is not None:
                    factor = _unit_factor(role, unit)
            roles[role] = (index, factor, negated)
            taken.add(index)
    for index, name in enumerate(names):
        if index in taken or not isinstance(name, str):
            continue
        found = recognise(name, extra)
        if found is None:
            continue
        role, factor, negated = found
        if role not in roles:
            roles[role] = (index, factor, negated)
            taken.add(index)
    if positional:
        for role, index in positional.items():
            if role not in roles and index not in taken and index < len(names):
                roles[role] = (index, 1.0, False)
                taken.add(index)
    return roles


def describe_roles():
    return ("a frequency column (freq, frequency, Freq/Hz, f), and a real and an imaginary part (Z', Zre, Zreal, "
            "Re(Z); Z'', Zim, Zimag, Im(Z), or -Z'', -Im(Z) for a column holding -Im Z) or a modulus and a phase "
            "(|Z|, Zmod; phase, Zphz in degrees)")


# ---------------------------------------------------------------------------
# Finding a table in lines of text

def find_rows(lines, start=0, stop=None):
    """(index of the first row, delimiter, decimal, field count) of the first
    run of rows of numbers (three in a row, or fewer at the end of the
    text) from lines[start:stop], or None."""
    stop = len(lines) if stop is None else stop
    i = start
    while i < stop:
        shape = numeric_row(lines[i])
        if shape is None:
            i += 1
            continue
        delim, decimal, n = shape
        ok, seen, j = True, 0, i + 1
        while j < stop and seen < 2:
            if lines[j].strip():
                nxt = numeric_row(lines[j])
                if nxt is None or nxt[0] != delim or (nxt[1] != decimal and nxt[1] != "." and decimal != "."):
                    ok = False
                    break
                seen += 1
            j += 1
        if ok:
            return i, delim, decimal, n
        i += 1
    return None


def header_fields(line, delim, n):
    """Column names of a header line, split like the rows below it."""
    s = line.strip().strip("\ufeff")
    if delim is not None:
        fields = [unquote(f) for f in s.split(delim)]
        while fields and fields[-1] == "":
            fields.pop()
        return fields
    s = unquote(s)
    if "\t" in s:
        return [unquote(f) for f in s.split("\t") if f.strip()]
    wide = [unquote(f) for f in re.split(r"\s{2,}", s) if f.strip()]
    if len(wide) == n:
        return wide
    narrow = s.split()
    if len(narrow) == n:
        return narrow
    return wide if abs(len(wide) - n) <= abs(len(narrow) - n) else narrow


def find_named_header(lines, start, stop, extra=None):
    """Index of the first line in lines[start:stop] whose names include a
    frequency and an impedance column, or None."""
    for k in range(start, min(stop, len(lines))):
        line = lines[k]
        if not line.strip() or numeric_row(line) is not None:
            continue
        for delim in ("\t", ";", ",", None):
            if delim is not None and delim not in line:
                continue
            roles = set()
            for name in header_fields(line, delim, 0):
                found = recognise(name, extra)
                if found is not None:
                    roles.add(found[0])
            if "frequency" in roles and roles & {"real", "imag", "modulus", "phase"}:
                return k
    return None


def find_header(lines, first_row, delim, n, floor=0, extra=None):
    """(names, header line index) of the header above the rows starting at
    first_row: the nearest line above (within four) whose names include a
    recognised column, with a units row between them folded into the names.
    (None, None) when there is none."""
    k = first_row - 1
    looked = 0
    below = None
    nearest = None
    while k >= floor and looked < 4:
        line = lines[k]
        if not line.strip():
            k -= 1
            continue
        looked += 1
        names = header_fields(line, delim, n)
        if any(recognise(nm, extra) for nm in names):
            if below is not None and len(below) == len(names):
                names = [f"{nm} ({u})" if u and _looks_like_unit(u) else nm for nm, u in zip(names, below)]
            return names, k
        if nearest is None and len(names) == n and numeric_row(line) is None:
            nearest = (names, k)  # names nobody recognises: still the table's header
        below = names
        k -= 1
    return nearest if nearest is not None else (None, None)


_UNIT_TOKENS = frozenset(["hz", "khz", "mhz", "ohm", "ohms", "kohm", "mohm", "\u03c9", "k\u03c9", "m\u03c9", "s", "sec",
                          "ms", "min", "h", "v", "mv", "a", "ma", "\u00b5a", "ua", "na", "deg", "\u00b0", "rad", "#",
                          "bits", "%", "\u00b0c", "degc", "c", "f", "\u00b5f", "uf", "w", "mah", "ah", "-", "1",
                          "v vs. ref.", "m-0"])


def _units_row(fields):
    """Whether a line below the header names units ('Hz', 'ohm', '°', '#')."""
    filled = [f.strip().lower() for f in fields if f.strip()]
    return bool(filled) and all(f in _UNIT_TOKENS or f.strip("[]()") in _UNIT_TOKENS for f in filled)


def _looks_like_unit(text):
    return len(text) <= 12 and not any(ch.isdigit() for ch in text.replace("^", "").strip("0123456789")[:1])


def table(lines, ctx, *, start=0, stop=None, extra=None, positional=None, label="table", headerless=None):
    """Parsed columns of the first table of numbers in lines[start:stop]
    (lines None: the file's lines, to its end): header found above the
    rows, columns recognised by name (or mapped by ctx.columns), rows parsed
    up to `stop` (blank lines skipped, rows without numbers left as NaN for
    velotz.read to count and drop)."""
    import numpy as np

    to_end = lines is None
    found = None
    if to_end:
        for count in (100, 5000):
            lines, complete = ctx.head(start + count)
            found = find_rows(lines, start, len(lines))
            if found is not None and (found[0] + 3 <= len(lines) or complete):
                break
            found = None
            if complete:
                break
        if found is None and not complete:
            lines = ctx.lines
            found = find_rows(lines, start, len(lines))
    else:
        stop = len(lines) if stop is None else stop
        found = find_rows(lines, start, stop)
    if found is None:
        raise Unreadable(f"no {label} of numbers (no run of lines holding two or more numbers each)")
    first, delim, decimal, n = found
    named = find_named_header(lines, start, first, extra)
    if named is not None:
        # A header naming a frequency and an impedance column: the rows are
        # every line below it, whatever they hold.
        head_at = named
        after = find_rows(lines, head_at + 1, len(lines))
        if after is not None:
            first, delim, decimal, n = after
        names = header_fields(lines[head_at], delim, n)
    else:
        names, head_at = find_header(lines, first, delim, n, floor=start, extra=extra)
    if head_at is not None:
        # The rows are every line below the header (a units line folded
        # into the names excepted): rows without numbers among them are
        # rows too, for velotz.read to count and leave out.
        below = head_at + 1
        while below < first and not lines[below].strip():
            below += 1
        if below < first and _units_row(header_fields(lines[below], delim, n)):
            below += 1
        first = min(first, below)
    guessed = False
    if names is None:
        names = [f"column {k}" for k in range(n)]
        if ctx.columns is None and positional is None:
            if headerless is not None:
                positional = headerless
            elif n >= 3:
                positional = {"frequency": 0, "real": 1, "imag": 2}
                guessed = True
    ncols = max(n, len(names))
    names = names + [f"column {k}" for k in range(len(names), ncols)]
    roles = assign_roles(names, ctx, extra, positional)
    if guessed and "frequency" in roles:
        ctx.note("the table has no header: its first three columns were read as frequency, real and imaginary "
                 "part (pass columns={...} to say otherwise)")
    require_spectrum(roles, names, head_at)
    used = sorted({index for index, _, _ in roles.values()})
    if to_end:
        data = parse_tail(ctx, first, delim, decimal, ncols, used, first_line=lines[first])
    else:
        data = parse_rows(lines[first:stop], delim, decimal, ncols, used)
    where = {c: k for k, c in enumerate(used)}
    values = {}
    for role, (index, factor, negated) in roles.items():
        col = data[where[index]]
        if factor != 1.0:
            col = col * factor
        if negated:
            col = -col
        values[role] = np.ascontiguousarray(col, dtype=np.float64)
    meta = {"columns": {ROLE_COLUMNS.get(r, r): names[i] for r, (i, _, _) in roles.items()}}
    if decimal == ",":
        meta["decimal"] = ","
    return values, meta, names, (head_at, first)


def require_spectrum(roles, names, head_at=None):
    """Raises Unreadable unless the roles hold a frequency and either a real
    and an imaginary part or a modulus and a phase."""
    has_parts = "real" in roles and "imag" in roles
    has_polar = "modulus" in roles and "phase" in roles
    if "frequency" in roles and (has_parts or has_polar):
        return
    missing = []
    if "frequency" not in roles:
        missing.append("a frequency column")
    if not (has_parts or has_polar):
        if "real" in roles or "imag" in roles:
            missing.append("an imaginary part" if "real" in roles else "a real part")
        elif "modulus" in roles or "phase" in roles:
            missing.append("a phase" if "modulus" in roles else "a modulus")
        else:
            missing.append("a real and an imaginary part (or a modulus and a phase)")
    shown = ", ".join(repr(n) for n in names[:30]) + (", ..." if len(names) > 30 else "")
    where = f" (header on line {head_at + 1})" if head_at is not None else ""
    raise Unreadable(f"missing {' and '.join(missing)}: the columns are {shown}{where}; expected "
                     f"{describe_roles()}, or map them with columns={{...}}")
