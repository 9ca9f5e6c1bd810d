# Readers of instrument text formats. Each takes the decoded text (or the
# bytes, for Excel) and a ReadContext and returns a Parsed: the columns by
# role in the file's own order, what tells sweeps apart, and metadata.
# Format facts are noted where they are used; every reader raises
# Unreadable with what it missed when a file does not follow its format.
import math
import re

from velotz._read_table import (
    Parsed, Unreadable, assign_roles, find_rows, numeric_row, parse_rows, parse_tail, require_spectrum, table,
    to_float,
)


def key_value(line, sep=":"):
    """(key, value) of a 'Key : value' line, or None (linear time whatever
    the line holds; long lines are no metadata)."""
    if len(line) > 2000 or sep not in line:
        return None
    key, _, value = line.partition(sep)
    key = key.strip()
    return (key, value.strip()) if key else None


def _float(text, decimal="."):
    v = to_float(text, decimal)
    return None if math.isnan(v) else v


def _put(attrs, key, value):
    if value is not None and value != "":
        attrs[key] = value


# ---------------------------------------------------------------------------
# Gamry EXPLAIN (.DTA)
#
# Tab-separated "KEY<TAB>TYPE<TAB>value..." lines; "NAME<TAB>TABLE[<TAB>count]"
# starts a table: a header line and a units line, then rows, all starting
# with a tab. ZCURVE (and any table with Freq, Zreal and Zimag columns) holds
# the spectrum; Zimag has the standard sign. Numbers follow the Windows
# locale (decimal commas occur). An aborted measurement sets
# EXPERIMENTABORTED to T and ends the table early.

_GAMRY_NAMES = {"freq": "frequency", "zreal": "real", "zimag": "imag", "zmod": "modulus", "zphz": "phase",
                "time": "time", "vdc": "voltage", "idc": "current"}


def read_gamry(text, ctx):
    import numpy as np

    lines = ctx.lines
    first = next((ln.strip() for ln in lines if ln.strip()), "")
    if first != "EXPLAIN":
        raise Unreadable(f"the first line is {first[:40]!r}, not 'EXPLAIN'")
    meta, tables = {}, []
    i, n = 0, len(lines)
    while i < n:
        line = lines[i]
        if not line.strip() or line.startswith("\t") or line.strip() == "EXPLAIN":
            i += 1
            continue
        parts = line.rstrip("\n").split("\t")
        key = parts[0].strip()
        kind = parts[1].strip() if len(parts) > 1 else ""
        if kind == "TABLE":
            declared = None
            if len(parts) > 2 and parts[2].strip().isdigit():
                declared = int(parts[2].strip())
            j = i + 1
            rows = []
            while j < n and lines[j].startswith("\t"):
                rows.append(lines[j][1:])
                j += 1
            tables.append((key, rows, declared, i))
            i = j
            continue
        meta.setdefault(key, parts[1:])
        i += 1
    spectra = []
    for name, rows, declared, at in tables:
        if len(rows) < 2:
            continue
        header = [h.strip() for h in rows[0].split("\t")]
        keys = {h.lower() for h in header}
        if "freq" in keys and (("zreal" in keys and "zimag" in keys) or ("zmod" in keys and "zphz" in keys)):
            body = rows[1:] if numeric_row(rows[1]) else rows[2:]  # a units line, usually
            spectra.append((name, header, body, declared, at))
    if not spectra:
        found = ", ".join(t[0] for t in tables) or "none"
        raise Unreadable(f"no impedance table (a TABLE with Freq, Zreal and Zimag columns); tables found: {found}")
    decimal = "."
    sample = next((r for _, _, body, _, _ in spectra for r in body if r.strip()), "")
    if "," in sample and "." not in sample:
        decimal = ","
    parts_values, sweeps = [], []
    total_rows = 0
    for k, (name, header, body, declared, at) in enumerate(spectra):
        roles = assign_roles(header, ctx, extra=_GAMRY_NAMES)
        require_spectrum(roles, header, at + 1)
        body = [r for r in body if r.strip()]
        if body and len(body[-1].rstrip("\t").split("\t")) < len(header) and len(body) > 1:
            lengths = {len(r.rstrip("\t").split("\t")) for r in body[:-1]}
            if len(body[-1].rstrip("\t").split("\t")) < min(lengths):
                ctx.note(f"the last row of {name} is incomplete (the file ends inside it) and was left out")
                body = body[:-1]
        if declared is not None and declared > len(body):
            ctx.note(f"{name} declares {declared} rows but the file holds {len(body)} (the file ends early)")
        used = sorted({index for index, _, _ in roles.values()})
        data = parse_rows(body, "\t", decimal, len(header), used)
        where = {c: q for q, c in enumerate(used)}
        values = {}
        for role, (index, factor, negated) in roles.items():
            col = data[where[index]] * factor
            values[role] = -col if negated else col
        parts_values.append(values)
        sweeps.append(np.full(len(body), k, dtype=np.int64))
        total_rows += len(body)
    values = _concat(parts_values)
    attrs = {"instrument": _gamry_text(meta, "PSTAT"), "technique": _gamry_text(meta, "TITLE") or
             (meta.get("TAG") or [None])[0]}
    date = " ".join(x for x in (_gamry_text(meta, "DATE"), _gamry_text(meta, "TIME")) if x)
    _put(attrs, "date", date)
    if attrs["instrument"]:
        attrs["instrument"] = f"Gamry {attrs['instrument']}"
    tag = (meta.get("TAG") or [""])[0].strip().upper()
    galvanostatic = "GALV" in tag
    if galvanostatic:
        _put(attrs, "dc_current / A", _gamry_number(meta, "IDC", decimal))
        _put(attrs, "ac_amplitude / A", _gamry_number(meta, "IAC", decimal))
    else:
        _put(attrs, "dc_potential / V", _gamry_number(meta, "VDC", decimal))
        vac = _gamry_number(meta, "VAC", decimal)
        _put(attrs, "ac_amplitude / V", None if vac is None else vac * 1e-3)  # written in mV rms
    _put(attrs, "area / cm^2", _gamry_number(meta, "AREA", decimal))
    attrs = {k: v for k, v in attrs.items() if v is not None}
    if (_gamry_text(meta, "EXPERIMENTABORTED") or "").upper() in ("T", "TRUE"):
        planned = _gamry_planned(meta, decimal)
        held = total_rows
        if planned is not None and planned > held:
            ctx.note(f"the measurement was aborted: the file holds {held} of the {planned} planned points")
        else:
            ctx.note(f"the measurement was aborted: the file holds the {held} points measured before")
        attrs["aborted"] = True
    keys = [np.concatenate(sweeps)] if len(sweeps) > 1 else []
    return Parsed(values, attrs, keys=keys, nrows=total_rows)


def _gamry_text(meta, key):
    parts = meta.get(key)
    if not parts or len(parts) < 2:
        return None
    return parts[1].strip() or None


def _gamry_number(meta, key, decimal):
    parts = meta.get(key)
    if not parts or len(parts) < 2:
        return None
    for p in parts[1:3]:  # QUANT value, or POTEN value (then a flag)
        v = _float(p, decimal)
        if v is not None:
            return v
    return None


def _gamry_planned(meta, decimal):
    fi, ff, ppd = (_gamry_number(meta, k, decimal) for k in ("FREQINIT", "FREQFINAL", "PTSPERDEC"))
    if not fi or not ff or not ppd or fi <= 0 or ff <= 0 or ppd <= 0:
        return None
    count = abs(math.log10(fi / ff)) * ppd
    if not math.isfinite(count) or count > 1e7:
        return None
    return int(round(count)) + 1


def _concat(parts):
    import numpy as np

    if len(parts) == 1:
        return parts[0]
    roles = [r for r in parts[0] if all(r in p for p in parts)]
    return {r: np.concatenate([p[r] for p in parts]) for r in roles}


# ---------------------------------------------------------------------------
# BioLogic EC-Lab ASCII (.mpt)
#
# "EC-Lab ASCII FILE", then "Nb header lines : N": line N holds the column
# names (tab-separated), the rows follow. Windows code page (Latin-1 here),
# decimal commas under European locales. -Im(Z)/Ohm holds the negated
# imaginary part. "cycle number" counts the cycles of a technique, "Ns" the
# technique in a modular sequence, and "Loop k from point number a to b"
# lines in the header mark the loops of the experiment.

ECLAB_NAMES = {"freq": "frequency", "re(z)": "real", "im(z)": "imag", "|z|": "modulus", "phase(z)": "phase",
               "time": "time", "<ewe>": "voltage", "ewe": "voltage", "<i>": "current", "i": "current",
               "cyclenumber": "cycle", "ns": "step"}


def read_mpt(text, ctx):
    head, complete = ctx.head(200)
    first = head[0].strip() if head else ""
    header_at = None
    attrs = {}
    if first.endswith("ASCII FILE"):
        m = re.match(r"\s*Nb\s+header\s+lines\s*:\s*(\d+)", head[1] if len(head) > 1 else "")
        if m:
            k = int(m.group(1)) - 1
            if k + 50 >= len(head) and not complete:
                head, complete = ctx.head(k + 50) if k < 100000 else (head, complete)
            if k >= len(head) and not complete and k < len(ctx.lines):
                head, complete = ctx.lines, True
            if 0 < k < len(head) and "\t" in head[k] and ("freq" in head[k].lower() or "re(z)" in head[k].lower()):
                header_at = k
        attrs = _eclab_header(head[: header_at if header_at is not None else min(len(head), 400)])
    if header_at is None:
        if len(head) < 5000 and not complete:
            head, complete = ctx.head(5000)
        for k, line in enumerate(head[:5000]):
            low = line.lower()
            if "\t" in line and ("freq/hz" in low or "re(z)/ohm" in low):
                header_at = k
                break
    if header_at is None:
        raise Unreadable("no column header line (a tab-separated line with 'freq/Hz' and 'Re(Z)/Ohm')")
    names = [h.strip() for h in head[header_at].split("\t")]
    while names and names[-1] == "":
        names.pop()
    roles = assign_roles(names, ctx, extra=ECLAB_NAMES)
    if ctx.columns is None:
        prefer_averages(roles, names)
    sample_at = next((k for k in range(header_at + 1, min(len(head), header_at + 50)) if head[k].strip()), None)
    sample = head[sample_at] if sample_at is not None else ""
    try:
        require_spectrum(roles, names, header_at)
    except Unreadable as e:
        count = len(sample.rstrip("\t").split("\t")) if sample else 0
        extra = f"; the rows hold {count} values for {len(names)} names" if count and count != len(names) else ""
        raise Unreadable(f"{e}{extra}") from None
    decimal = "," if "," in sample and "." not in sample else "."
    used = sorted({index for index, _, _ in roles.values()})
    ncols = max(len(names), max(used) + 1, len(sample.split("\t")))
    if sample_at is None:
        data = parse_rows([], "\t", decimal, ncols, used)
    else:
        data = parse_tail(ctx, sample_at, "\t", decimal, ncols, used, first_line=sample)
    values = _role_values(roles, data, used)
    keys = [values["cycle"]] if "cycle" in values else []
    if "step" in values:
        keys.append(values.pop("step"))
    starts = _eclab_loops(head[:header_at])
    return Parsed(values, attrs, keys=keys, sweep_starts=starts, nrows=data.nrows)


def prefer_averages(roles, names):
    """EC-Lab files may hold both Ewe/V and <Ewe>/V (I/mA and <I>/mA): the
    averages over the sine periods are the DC values of an impedance
    point."""
    for role, name, factor in (("voltage", "<Ewe>/V", 1.0), ("current", "<I>/mA", 1e-3)):
        if name in names and role in roles and names[roles[role][0]] != name and not roles[role][2]:
            roles[role] = (names.index(name), factor, False)
    return roles


def _role_values(roles, data, used):
    where = {c: k for k, c in enumerate(used)}
    values = {}
    for role, (index, factor, negated) in roles.items():
        col = data[where[index]] * factor
        values[role] = -col if negated else col
    return values


def _eclab_loops(lines):
    starts = []
    for line in lines:
        m = re.match(r"\s*Loop\s+\d+\s+from\s+point\s+number\s+(\d+)\s+to\s+(\d+)", line)
        if m:
            starts.append(int(m.group(1)))
    return starts or None


def _eclab_header(lines):
    attrs = {}
    settings = {}
    technique = None
    for k, line in enumerate(lines):
        s = line.strip()
        if not s:
            continue
        if technique is None and k >= 2 and ":" not in s and len(s) > 10 and "  " not in s:
            technique = s
        m = key_value(line)
        if m and len(line) - len(line.lstrip()) < 2 and not line.startswith("\t"):
            key, value = m
            if key == "Device":
                attrs.setdefault("instrument", f"BioLogic {value}")
            elif key == "Acquisition started on":
                attrs.setdefault("date", value)
            elif key == "Electrode surface area":
                v = _float(value.split()[0].replace(",", ".")) if value.split() else None
                if v is not None:
                    attrs["area / cm^2"] = v
        elif len(line) > 20 and line[:20].strip() and ":" not in line[:20]:
            fields = line[20:].split()
            if fields:
                settings.setdefault(line[:20].strip(), fields[0])
    if technique:
        attrs["technique"] = technique
    decimal = ","
    e = _float(settings.get("E (V)", ""), decimal if "," in settings.get("E (V)", "") else ".")
    vs = settings.get("vs.")
    if e is not None:
        attrs["dc_potential / V"] = e
        if vs:
            attrs["dc_potential_vs"] = vs
    va = settings.get("Va (mV)")
    if va is not None:
        v = _float(va, "," if "," in va else ".")
        if v is not None:
            attrs["ac_amplitude / V"] = v * 1e-3
    for key, unit_key, out in (("Is", "unit Is", "dc_current / A"), ("Ia", "unit Ia", "ac_amplitude / A")):
        raw = settings.get(key)
        if raw is None:
            continue
        v = _float(raw, "," if "," in raw else ".")
        scale = {"A": 1.0, "mA": 1e-3, "\u00b5A": 1e-6, "uA": 1e-6, "nA": 1e-9, "pA": 1e-12}.get(
            settings.get(unit_key, "A"), None)
        if v is not None and scale is not None:
            attrs[out] = v * scale
    return attrs


# ---------------------------------------------------------------------------
# Scribner ZPlot / ZView (.z), and the Z60W files Autolab software writes in
# the same layout
#
# "ZPLOT2 ASCII": "  Key:  value" comment lines up to "End Comments", the
# line before it names the columns (tab-separated); rows follow.
# "ZPlotW Data File" / "Z60W Data File": quoted header lines, the quoted
# line with "Freq" names the columns (separated by runs of spaces), then
# comma-separated rows. Columns: Freq(Hz), Ampl, Bias, Time(Sec), Z'(a),
# Z''(b), GD, Err, Range; Z'' has the standard sign.

_ZPLOT_NAMES = {"freq": "frequency", "z'(a)": "real", 'z"(b)': "imag", "time": "time", "time(sec)": "time"}
_ZPLOT_POSITIONS = {"frequency": 0, "time": 3, "real": 4, "imag": 5}


def read_zplot(text, ctx, *, instrument="Scribner ZPlot"):
    lines, _ = ctx.head(10000)
    first = next((ln.strip().strip('"') for ln in lines if ln.strip()), "")
    attrs = {}
    if first.startswith("ZPLOT2 ASCII") or first.startswith("ZPLOT"):
        end = next((k for k, ln in enumerate(lines[:5000]) if ln.strip() == "End Comments"), None)
        if end is None:
            raise Unreadable("no 'End Comments' line ending the header")
        comments = {}
        for line in lines[:end]:
            m = key_value(line)
            if m:
                comments.setdefault(*m)
        names = [h.strip() for h in lines[end - 1].split("\t")] if end > 0 else []
        version = comments.get("Measured Data, ZPlot")
        attrs["instrument"] = f"{instrument} {version}" if version else instrument
        _put(attrs, "technique", comments.get("Experiment Type"))
        _put(attrs, "date", " ".join(x for x in (comments.get("Date"), comments.get("Time")) if x))
        dc = _float(comments.get("Potential-DC", ""))
        ac = _float(comments.get("Potential-AC", ""))
        area = _float(comments.get("Surface Area", ""))
        if "Control Current" in comments.get("Experiment Type", ""):
            _put(attrs, "dc_current / A", _float(comments.get("Current-DC", "")))
        else:
            _put(attrs, "dc_potential / V", dc)
            _put(attrs, "ac_amplitude / V", None if ac is None else ac * 1e-3)  # written in mV
        _put(attrs, "area / cm^2", area)
        ocp = _float(comments.get("Open Circuit Potential (V)", ""))
        _put(attrs, "open_circuit_potential / V", ocp)
        start = end + 1
        header = names
    elif "Data File" in first:
        head_at = next((k for k, ln in enumerate(lines[:200])
                        if ln.strip().startswith('"') and "Freq" in ln and "Z'" in ln), None)
        if head_at is None:
            raise Unreadable("no quoted column header line naming Freq")
        header = [h.strip() for h in re.split(r"\s{2,}", lines[head_at].strip().strip('"').strip()) if h.strip()]
        attrs["instrument"] = instrument
        for line in lines[:head_at]:
            s = line.strip().strip('"').strip()
            m = re.match(r"Date:\s*(\S+)\s+Time:\s*(\S+)", s)
            if m:
                attrs["date"] = f"{m.group(1)} {m.group(2)}"
            elif s.startswith("Sweep Frequency"):
                attrs["technique"] = s
            else:
                m = re.match(r"Open Circuit Potential \(V\):\s*(\S+)", s)
                if m and _float(m.group(1)) is not None:
                    attrs["open_circuit_potential / V"] = _float(m.group(1))
        start = head_at + 1
    else:
        raise Unreadable(f"the first line is {first[:40]!r}, not 'ZPLOT2 ASCII' or a ZPlot/Z60W data file title")
    found = find_rows(lines, start)
    if found is None and len(lines) < len(ctx.lines):
        lines = ctx.lines
        found = find_rows(lines, start)
    if found is None:
        raise Unreadable("no rows of numbers after the column header")
    row, delim, decimal, n = found
    names = header + [f"column {k}" for k in range(len(header), n)] if len(header) < n else header
    roles = assign_roles(names, ctx, extra=_ZPLOT_NAMES, positional=_ZPLOT_POSITIONS)
    require_spectrum(roles, names, start - 1)
    used = sorted({index for index, _, _ in roles.values()})
    data = parse_tail(ctx, row, delim, decimal, max(n, len(names)), used, first_line=lines[row])
    values = _role_values(roles, data, used)
    return Parsed(values, attrs, nrows=data.nrows)


# ---------------------------------------------------------------------------
# Metrohm Autolab: Z60W files (ZView layout, above) and NOVA/FRA ASCII
# exports: a header line naming "Frequency (Hz)", "Z' (Ω)", "-Z'' (Ω)",
# "Z (Ω)", "-Phase (°)", "Time (s)", separated by tabs, semicolons or
# commas. -Z'' and -Phase hold negated values.

def read_autolab(text, ctx):
    first = next((ln.strip().strip('"') for ln in ctx.head(5)[0] if ln.strip()), "")
    if "Data File" in first:
        return read_zplot(text, ctx, instrument="Metrohm Autolab")
    parsed = read_table(text, ctx, label="Autolab export table")
    parsed.attrs.setdefault("instrument", "Metrohm Autolab")
    return parsed


# ---------------------------------------------------------------------------
# CH Instruments (.txt): date, technique ("A.C. Impedance"), "Key: value" and
# "Name (unit) = value" lines, then "Freq/Hz, Z'/ohm, Z"/ohm, Z/ohm,
# Phase/deg" and comma-separated rows. Z" has the standard sign.

def read_chi(text, ctx):
    lines, _ = ctx.head(1000)
    head_at = next((k for k, ln in enumerate(lines[:500]) if ln.strip().lower().startswith("freq")), None)
    if head_at is None:
        raise Unreadable("no column header line starting with 'Freq/Hz'")
    attrs = {}
    settings = {}
    head = [ln.strip() for ln in lines[:head_at] if ln.strip()]
    if head:
        attrs["date"] = head[0]
    if len(head) > 1:
        attrs["technique"] = head[1]
    for line in head:
        m = key_value(line, "=")
        if m:
            settings[m[0]] = m[1]
            continue
        m = key_value(line)
        if m and m[0] == "Instrument Model" and m[1]:
            attrs["instrument"] = f"CH Instruments {m[1]}"
    _put(attrs, "dc_potential / V", _float(settings.get("Init E (V)", "")))
    _put(attrs, "ac_amplitude / V", _float(settings.get("Amplitude (V)", "")))
    values, meta, names, _ = table(None, ctx, start=head_at, label="CH Instruments table")
    attrs.update(meta)
    return Parsed(values, attrs, keys=_sweep_keys(values), nrows=_rows(values))


# ---------------------------------------------------------------------------
# Princeton Applied Research: Parstat text exports (tab-separated, "Potential
# (V)", "Current (A)", "Elapsed Time (s)", "Frequency (Hz)", "Zre (ohms)",
# "Zim (ohms)"; rows with frequency 0 record the DC part before the sweep)
# and PowerSuite text ("Frequency", "Zre", "Zimg"). Zim/Zimg have the
# standard sign.

def read_parstat(text, ctx):
    parsed = read_table(text, ctx, label="Parstat table")
    parsed.attrs.setdefault("instrument", "Princeton Applied Research Parstat")
    return parsed


def read_powersuite(text, ctx):
    parsed = read_table(text, ctx, label="PowerSuite table")
    parsed.attrs.setdefault("instrument", "Princeton Applied Research PowerSuite")
    return parsed


# ---------------------------------------------------------------------------
# VersaStudio (.par): sections <Name> ... </Name> of key=value lines; each
# <SegmentN> holds "Definition=Segment #, Point #, E(V), I(A), Elapsed
# Time(s), ..., Frequency(Hz), ..., Z Real, Z Imag, ..." and comma-separated
# rows. Z Imag has the standard sign.

_VERSA_NAMES = {"zreal": "real", "zimag": "imag", "e": "voltage", "i": "current", "elapsedtime": "time",
                "segment#": "sweep", "frequency": "frequency"}


def read_versastudio(text, ctx):
    import numpy as np

    lines = ctx.lines
    sections = {}
    segments = []
    current, body = None, []
    for k, line in enumerate(lines):
        s = line.strip()
        m = re.fullmatch(r"<(/?)([A-Za-z][\w ]*)>", s)
        if m:
            if not m.group(1):
                current, body = m.group(2), []
                if current.startswith("Segment"):
                    segments.append((current, body, k))
                else:
                    sections.setdefault(current, body)
            elif current == m.group(2):
                current = None
            continue
        if current is not None:
            body.append(line)
    if not segments:
        raise Unreadable("no <Segment> section holding data")
    parts, names_seen, total = [], None, 0
    sweep_parts, skipped = [], []
    for index, (name, body, at) in enumerate(segments):
        definition = next((ln for ln in body if ln.startswith("Definition=")), None)
        if definition is None:
            continue
        names = [h.strip() for h in definition[len("Definition="):].split(",")]
        rows = [ln for ln in body if ln.strip() and "=" not in ln]
        roles = assign_roles(names, ctx, extra=_VERSA_NAMES)
        try:
            require_spectrum(roles, names, at)
        except Unreadable as e:
            skipped.append((name, e))  # a segment of another technique (open circuit, a sweep of E)
            continue
        used = sorted({i for i, _, _ in roles.values()})
        data = parse_rows(rows, ",", ".", len(names), used)
        values = _role_values(roles, data, used)
        seg = values.pop("sweep", None)
        sweep_parts.append(np.full(data.nrows, float(index)) if seg is None else seg + 1e6 * index)
        parts.append(values)
        names_seen = names
        total += data.nrows
    if not parts:
        if skipped:
            raise Unreadable(f"no segment holds impedance data; {skipped[0][0]}: {skipped[0][1]}")
        raise Unreadable("no <Segment> section has a 'Definition=' line naming its columns")
    del names_seen
    values = _concat(parts)
    attrs = {}
    kv = {name: _key_values(body) for name, body in sections.items()}
    inst = kv.get("Instrument", {})
    _put(attrs, "instrument", " ".join(x for x in ("Princeton Applied Research", inst.get("Type")) if x))
    exp = kv.get("Experiment", {})
    _put(attrs, "date", " ".join(x for x in (exp.get("DateAcquired"), exp.get("TimeAcquired")) if x))
    for name, items in kv.items():
        if name.startswith("Action") and "Frequency" in " ".join(items):
            _put(attrs, "technique", items.get("Name"))
            amp = _float(items.get("Amplitude (mV RMS)", ""))
            _put(attrs, "ac_amplitude / V", None if amp is None else amp * 1e-3)
            _put(attrs, "dc_potential / V", _float(items.get("Potential (V),Value", "")))
            break
    for items in kv.values():
        area = _float(items.get("Working Electrode Area (cm2)", ""))
        if area is not None:
            attrs["area / cm^2"] = area
            break
    keys = [np.concatenate(sweep_parts)]
    return Parsed(values, attrs, keys=keys, nrows=total)


def _key_values(body):
    out = {}
    for line in body:
        if "=" in line:
            k, _, v = line.partition("=")
            out.setdefault(k.strip(), v.strip())
    return out


# ---------------------------------------------------------------------------
# Ivium (.idf, .ids): IviumSoft data files of "key=value" lines; a dataset's
# numbers follow a "primary_data" line: the number of columns (3), the
# number of points, then rows "Z' Z'' frequency" (Z'' with the standard
# sign). An .ids file holds several datasets, each with its own
# "primary_data". Other Ivium text exports are tables read by name.

def read_ivium(text, ctx):
    import numpy as np

    lines = ctx.lines
    starts = [k for k, ln in enumerate(lines) if ln.strip() == "primary_data"]
    if not starts:
        if any(numeric_row(ln) for ln in lines[:2000]):
            parsed = read_table(text, ctx, label="Ivium export table")
            parsed.attrs.setdefault("instrument", "Ivium")
            return parsed
        raise Unreadable("no 'primary_data' section")
    parts, sweeps = [], []
    for index, k in enumerate(starts):
        try:
            ncols = int(lines[k + 1].strip())
            npts = int(lines[k + 2].strip())
        except (IndexError, ValueError):
            raise Unreadable(f"the 'primary_data' section on line {k + 1} does not give its column and point "
                             "counts on the next two lines") from None
        if ncols < 3 or npts < 0:
            raise Unreadable(f"the 'primary_data' section on line {k + 1} has {ncols} columns (expected 3)")
        rows = lines[k + 3:k + 3 + npts]
        if len(rows) < npts:
            raise Unreadable(f"the 'primary_data' section on line {k + 1} announces {npts} points but the file "
                             f"ends after {len(rows)}")
        names = ["Z'", "Z''", "frequency"] + [f"column {c}" for c in range(3, ncols)]
        roles = assign_roles(names, ctx, positional={"real": 0, "imag": 1, "frequency": 2})
        used = sorted({i for i, _, _ in roles.values()})
        data = parse_rows(rows, None, ".", ncols, used)
        parts.append(_role_values(roles, data, used))
        sweeps.append(np.full(data.nrows, index, dtype=np.int64))
    values = _concat(parts)
    kv = _key_values(lines[:starts[0]])
    attrs = {"instrument": "Ivium"}
    _put(attrs, "technique", kv.get("Technique") or kv.get("Method"))
    _put(attrs, "title", kv.get("Title"))
    keys = [np.concatenate(sweeps)] if len(sweeps) > 1 else []
    return Parsed(values, attrs, keys=keys, nrows=sum(len(s) for s in sweeps))


# ---------------------------------------------------------------------------
# Generic delimited text (CSV, TSV, whitespace): the first run of rows of
# numbers, the header above it; columns recognised by name or mapped.

def read_table(text, ctx, *, label="table"):
    values, meta, names, _ = table(None, ctx, label=label)
    return Parsed(values, meta, keys=_sweep_keys(values), nrows=_rows(values))


def _sweep_keys(values):
    keys = [values.pop(r) for r in ("sweep",) if r in values]
    if "cycle" in values:
        keys.append(values["cycle"])
    return keys


def _rows(values):
    return len(next(iter(values.values()))) if values else 0


# ---------------------------------------------------------------------------
# Excel workbooks (pandas with openpyxl, or xlrd for .xls): the sheet's
# cells are read as a table like a delimited text.

def read_excel(data, ctx):
    if not (data[:4] == b"PK\x03\x04" or data[:8] == b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1"):
        raise Unreadable("not an Excel workbook (no zip or OLE2 signature)")
    try:
        import pandas as pd
    except ImportError:
        raise ImportError("reading Excel files needs pandas and openpyxl: pip install \"velotz[excel]\"") from None
    import io

    try:
        sheets = pd.read_excel(io.BytesIO(data), sheet_name=ctx.sheet if ctx.sheet is not None else 0,
                               header=None, dtype=object)
    except ImportError:
        raise
    except Exception as e:  # noqa: BLE001 - a damaged workbook fails in many ways inside its reader
        raise Unreadable(f"the workbook cannot be opened ({type(e).__name__}: {e})") from None
    lines = []
    for row in sheets.itertuples(index=False):
        cells = []
        for v in row:
            if v is None or (isinstance(v, float) and math.isnan(v)):
                cells.append("")
            elif isinstance(v, float):
                cells.append(repr(v))
            else:
                cells.append(str(v).replace("\t", " ").replace("\n", " "))
        lines.append("\t".join(cells))
    values, meta, names, _ = table(lines, ctx, label="sheet table")
    return Parsed(values, meta, keys=_sweep_keys(values), nrows=_rows(values))


__all__ = ["read_gamry", "read_mpt", "read_zplot", "read_autolab", "read_chi", "read_parstat", "read_powersuite",
           "read_versastudio", "read_ivium", "read_table", "read_excel", "prefer_averages", "ECLAB_NAMES"]
