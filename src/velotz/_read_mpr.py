# BioLogic EC-Lab binary files (.mpr), read from the published facts of the
# format; every read is bounds-checked, so a truncated or damaged file gives
# Unreadable, never a crash or a hang.
#
# Layout. The file starts with b"BIO-LOGIC MODULAR FILE\x1a", padded with
# spaces to 48 bytes, and 4 zero bytes. Modules follow, each b"MODULE" and a
# header: short name (10 bytes), long name (25), then either length (u4),
# version (u4), date (8 bytes, mm/dd/yy) or -- EC-Lab 11.50 and later, marked
# by 0xFFFFFFFF where the length was -- maximum length (u4), length (u4),
# two u4 and the date. The module's data (length bytes) follows.
#
# "VMP Set" holds the settings (its first byte is the technique: 0x1D PEIS,
# 0x1E GEIS); "VMP data" the records; "VMP LOG" the log; "VMP loop" the
# first record of each loop (u4 count, then u4 indexes).
#
# "VMP data": number of records (u4), number of columns and the column IDs,
# zero padding, then the records. Three layouts are known: column count u1
# and u1 IDs with records at byte 100 (oldest); count u1 and u2 IDs with
# records at 405 or 406 (a 0x01 byte at 405); count u2 and u2 IDs from byte 6
# with records at 1006 or 1007 (EC-Lab 11.50+). A record stores each column
# in ID order, little-endian; the flag IDs (1, 2, 3, 21, 31, 65) share one
# byte at the place of the first of them.
import struct

from velotz._read_table import Parsed, Unreadable, assign_roles, require_spectrum
from velotz._read_formats import ECLAB_NAMES, prefer_averages

MAGIC = b"BIO-LOGIC MODULAR FILE\x1a"

# Column ID -> (name in the .mpt export, numpy type). Flags are handled apart.
COLUMNS = {
    4: ("time/s", "<f8"), 5: ("control/V/mA", "<f4"), 6: ("Ewe/V", "<f4"), 7: ("dq/mA.h", "<f8"),
    8: ("I/mA", "<f4"), 9: ("Ece/V", "<f4"), 11: ("<I>/mA", "<f8"), 13: ("(Q-Qo)/mA.h", "<f8"),
    16: ("Analog IN 1/V", "<f4"), 19: ("control/V", "<f4"), 20: ("control/mA", "<f4"), 23: ("dQ/mA.h", "<f8"),
    24: ("cycle number", "<f8"), 26: ("Rapp/Ohm", "<f4"), 27: ("Ewe-Ece/V", "<f4"), 32: ("freq/Hz", "<f4"),
    33: ("|Ewe|/V", "<f4"), 34: ("|I|/A", "<f4"), 35: ("Phase(Z)/deg", "<f4"), 36: ("|Z|/Ohm", "<f4"),
    37: ("Re(Z)/Ohm", "<f4"), 38: ("-Im(Z)/Ohm", "<f4"), 39: ("I Range", "<u2"), 50: ("E0/V", "<f4"),
    69: ("R/Ohm", "<f4"), 70: ("P/W", "<f4"), 73: ("rotation rate/rpm", "<f4"), 74: ("|Energy|/W.h", "<f8"),
    75: ("Analog OUT/V", "<f4"), 76: ("<I>/mA", "<f4"), 77: ("<Ewe>/V", "<f4"), 78: ("Cs-2/\u00b5F-2", "<f4"),
    96: ("|Ece|/V", "<f4"), 98: ("Phase(Zce)/deg", "<f4"), 99: ("|Zce|/Ohm", "<f4"),
    100: ("Re(Zce)/Ohm", "<f4"), 101: ("-Im(Zce)/Ohm", "<f4"), 123: ("Energy charge/W.h", "<f8"),
    124: ("Energy discharge/W.h", "<f8"), 125: ("Capacitance charge/\u00b5F", "<f8"),
    126: ("Capacitance discharge/\u00b5F", "<f8"), 131: ("Ns", "<u2"), 163: ("|Estack|/V", "<f4"),
    168: ("Rcmp/Ohm", "<f4"), 169: ("Cs/\u00b5F", "<f4"), 172: ("Cp/\u00b5F", "<f4"), 173: ("Cp-2/\u00b5F-2", "<f4"),
    174: ("<Ewe>/V", "<f4"), 178: ("(Q-Qo)/C", "<f4"), 179: ("dQ/C", "<f4"), 182: ("step time/s", "<f8"),
    211: ("Q charge/discharge/mA.h", "<f8"), 212: ("half cycle", "<u4"), 213: ("z cycle", "<u4"),
    217: ("THD Ewe/%", "<f4"), 218: ("THD I/%", "<f4"), 220: ("NSD Ewe/%", "<f4"), 221: ("NSD I/%", "<f4"),
    223: ("NSR Ewe/%", "<f4"), 224: ("NSR I/%", "<f4"), 422: ("Phase(Zstack)/deg", "<f4"),
    423: ("|Zstack|/Ohm", "<f4"), 424: ("Re(Zstack)/Ohm", "<f4"), 425: ("-Im(Zstack)/Ohm", "<f4"),
    426: ("<Estack>/V", "<f4"), 430: ("Phase(Zwe-ce)/deg", "<f4"), 431: ("|Zwe-ce|/Ohm", "<f4"),
    432: ("Re(Zwe-ce)/Ohm", "<f4"), 433: ("-Im(Zwe-ce)/Ohm", "<f4"), 434: ("(Q-Qo)/C", "<f4"),
    435: ("dQ/C", "<f4"), 438: ("step time/s", "<f8"), 441: ("<Ecv>/V", "<f4"), 462: ("Temperature/\u00b0C", "<f4"),
    467: ("Q charge/discharge/mA.h", "<f8"), 468: ("half cycle", "<u4"), 469: ("z cycle", "<u4"),
    471: ("<Ece>/V", "<f4"), 473: ("THD Ewe/%", "<f4"), 474: ("THD I/%", "<f4"), 475: ("THD Ece/%", "<f4"),
    476: ("NSD Ewe/%", "<f4"), 477: ("NSD I/%", "<f4"), 478: ("NSD Ece/%", "<f4"), 479: ("NSR Ewe/%", "<f4"),
    480: ("NSR I/%", "<f4"), 481: ("NSR Ece/%", "<f4"), 505: ("Rdc/Ohm", "<f4"), 509: ("Acir/Dcir Control", "<u1"),
}
for _k in range(6):  # harmonics 2 to 7 of Ewe, I and Ece
    COLUMNS[230 + _k] = (f"|Ewe h{_k + 2}|/V", "<f4")
    COLUMNS[236 + _k] = (f"|I h{_k + 2}|/A", "<f4")
    COLUMNS[486 + _k] = (f"|Ewe h{_k + 2}|/V", "<f4")
    COLUMNS[492 + _k] = (f"|I h{_k + 2}|/A", "<f4")
    COLUMNS[498 + _k] = (f"|Ece h{_k + 2}|/V", "<f4")
for _k in range(7):  # potentials of the stack elements 2 to 8
    COLUMNS[242 + _k] = (f"|E{_k + 2}|/V", "<f4")
for _k in range(8):  # impedances and potentials of the eight stack elements
    COLUMNS[271 + _k] = (f"Phase(Z{_k + 1})/deg", "<f4")
    COLUMNS[301 + _k] = (f"|Z{_k + 1}|/Ohm", "<f4")
    COLUMNS[331 + _k] = (f"Re(Z{_k + 1})/Ohm", "<f4")
    COLUMNS[361 + _k] = (f"-Im(Z{_k + 1})/Ohm", "<f4")
    COLUMNS[391 + _k] = (f"<E{_k + 1}>/V", "<f4")
del _k

FLAGS = {1: "mode", 2: "ox/red", 3: "error", 21: "control changes", 31: "Ns changes", 65: "counter inc."}
TECHNIQUES = {0x1D: "PEIS", 0x1E: "GEIS"}
TECHNIQUE_NAMES = {"PEIS": "Potentio Electrochemical Impedance Spectroscopy",
                   "GEIS": "Galvano Electrochemical Impedance Spectroscopy"}

# (column count width, ID offset, ID width, candidate record offsets)
_LAYOUTS = ((1, 5, 1, (100,)), (1, 5, 2, (405, 406)), (2, 6, 2, (1006, 1007)))
_MAX_COLUMNS = 1000


def modules(data):
    """[(short name, version, date, payload offset, length)] of an .mpr file."""
    if not data.startswith(MAGIC):
        raise Unreadable("the file does not start with 'BIO-LOGIC MODULAR FILE'")
    pos = data.find(b"MODULE", len(MAGIC))
    if pos < 0 or pos > 64:
        raise Unreadable("no module after the file header")
    found = []
    while pos < len(data):
        if data[pos:pos + 6] != b"MODULE":
            raise Unreadable(f"expected the start of a module at byte {pos}, found {data[pos:pos + 6]!r}")
        head = data[pos + 6:pos + 6 + 59]
        if len(head) < 51:
            raise Unreadable(f"the file ends inside the header of the module at byte {pos} (truncated file)")
        short = head[:10].decode("latin-1").strip()
        if head[35:39] == b"\xff\xff\xff\xff":
            if len(head) < 59:
                raise Unreadable(f"the file ends inside the header of the module at byte {pos} (truncated file)")
            length, version, version2 = struct.unpack_from("<3I", head, 39)
            date = head[51:59]
            start = pos + 6 + 59
            version = (version, version2)
        else:
            length, version = struct.unpack_from("<2I", head, 35)
            date = head[43:51]
            start = pos + 6 + 51
            version = (version,)
        if start + length > len(data):
            message = (f"module '{short}' needs {length} bytes from byte {start} but the file ends at byte "
                       f"{len(data)} (truncated file)")
            if any(m[0] == "VMP data" for m in found) and short != "VMP data":
                found.append((short, None, message, start, 0))  # after the data: read what is complete
                break
            raise Unreadable(message)
        found.append((short, version, date.decode("latin-1", errors="replace").strip(), start, length))
        pos = start + length
    return found


def _columns_of(payload, layout):
    """(record count, column IDs, end of the ID table) under a layout, or None."""
    count_width, ids_at, id_width, _ = layout
    if len(payload) < ids_at:
        return None
    (n,) = struct.unpack_from("<I", payload, 0)
    ncols = payload[4] if count_width == 1 else struct.unpack_from("<H", payload, 4)[0]
    if ncols == 0 or ncols > _MAX_COLUMNS:
        return None
    end = ids_at + ncols * id_width
    if end > len(payload):
        return None
    fmt = "<%d%s" % (ncols, "B" if id_width == 1 else "H")
    ids = list(struct.unpack_from(fmt, payload, ids_at))
    return n, ids, end


def _record_layout(ids):
    """([(id, offset or None, type)], known size, unknown IDs): offsets of the
    columns up to the first unknown ID."""
    items, offset, unknown, flags_placed = [], 0, [], False
    for cid in ids:
        if cid in FLAGS:
            if not flags_placed:
                items.append((cid, offset, "u1"))
                offset = None if offset is None else offset + 1
                flags_placed = True
            continue
        if cid in COLUMNS:
            t = COLUMNS[cid][1]
            items.append((cid, offset, t))
            if offset is not None:
                offset += int(t[-1])
        else:
            unknown.append(cid)
            items.append((cid, offset, None))
            offset = None
    return items, unknown


def _sizes(items):
    return sum(int(t[-1]) if t != "u1" else 1 for _, _, t in items if t is not None)


def read_data_module(payload, short_versions):
    """(names, {name: array}) of the records in a "VMP data" payload."""
    import numpy as np

    candidates = []
    for layout in _LAYOUTS:
        parsed = _columns_of(payload, layout)
        if parsed is None:
            continue
        n, ids, id_end = parsed
        items, unknown = _record_layout(ids)
        known = _sizes(items)
        for start in layout[3]:
            if start < id_end or start > len(payload):
                continue
            padding = payload[id_end:start]
            if any(padding[:-1]) or (padding and padding[-1] not in (0, 1)):
                continue
            body = len(payload) - start
            if n == 0:
                if body == 0:
                    candidates.append((layout, start, n, ids, items, unknown, known))
                continue
            if body % n:
                continue
            size = body // n
            if size < known + len(unknown) or (not unknown and size != known):
                continue
            if len(unknown) == 1 and size - known not in (1, 2, 4, 8):
                continue
            candidates.append((layout, start, n, ids, items, unknown, size))
    if not candidates:
        raise Unreadable("the data module's column table and record size do not agree with any known layout "
                         "(damaged file, or a layout this reader does not know)")
    # Prefer a layout with no unknown column, then the newest layout.
    candidates.sort(key=lambda c: (len(c[5]), -_LAYOUTS.index(c[0])))
    layout, start, n, ids, items, unknown, size = candidates[0]
    if n and len(payload) - start < n * size:
        raise Unreadable("the data module is shorter than its records (truncated file)")
    records = np.frombuffer(payload, dtype=np.uint8, count=n * size, offset=start).reshape(n, size) if n else \
        np.empty((0, size), dtype=np.uint8)
    # Offsets: from the front up to the first unknown column, from the back after the last one.
    names, columns = [], {}
    seen = {}
    for position, (cid, offset, t) in enumerate(items):
        if t is None:
            continue
        if offset is None:
            offset = _back_offset(items, position, size)
            if offset is None:
                continue
        width = 1 if t == "u1" else int(t[-1])
        raw = np.ascontiguousarray(records[:, offset:offset + width])
        if cid in FLAGS:
            continue
        name, dtype = COLUMNS[cid]
        values = raw.view(np.dtype(dtype)).reshape(n).astype(np.float64)
        count = seen.get(name, 0)
        seen[name] = count + 1
        key = name if count == 0 else f"{name} {count + 1}"
        names.append(key)
        columns[key] = values
    return names, columns, {"column_ids": ids, "unknown_column_ids": unknown}


def _back_offset(items, position, size):
    """Offset of items[position] counted from the end of the record, when no
    unknown column follows it."""
    offset = size
    for cid, _, t in reversed(items[position:]):
        if t is None:
            return None
        offset -= 1 if t == "u1" else int(t[-1])
    return offset


def read_mpr(data, ctx):
    found = modules(data)
    by_name = {}
    for m in found:
        if m[1] is None:  # a module cut off after the data module
            ctx.note(f"{m[2]}; the data module before it is complete and was read")
            continue
        by_name.setdefault(m[0], m)
    if "VMP data" not in by_name:
        raise Unreadable("no 'VMP data' module: modules are " + ", ".join(repr(m[0]) for m in found))
    short, version, date, start, length = by_name["VMP data"]
    names, columns, info = read_data_module(data[start:start + length], version)
    if "freq/Hz" not in columns:
        technique = _technique(data, by_name)
        raise Unreadable("not an impedance measurement: no frequency column (column 32) among the "
                         f"{len(info['column_ids'])} columns" + (f" of this {technique} file" if technique else ""))
    roles = assign_roles(names, ctx, extra=ECLAB_NAMES)
    if ctx.columns is None:
        prefer_averages(roles, names)
    require_spectrum(roles, names)
    values = {}
    for role, (index, factor, negated) in roles.items():
        col = columns[names[index]] * factor
        values[role] = -col if negated else col
    keys = [values["cycle"]] if "cycle" in values else []
    if "step" in values:
        keys.append(values.pop("step"))
    nrows = len(next(iter(columns.values()))) if columns else 0
    starts = None
    if "VMP loop" in by_name:
        _, _, _, lstart, llength = by_name["VMP loop"]
        loop = data[lstart:lstart + llength]
        if len(loop) >= 4:
            (count,) = struct.unpack_from("<I", loop, 0)
            count = min(count, (len(loop) - 4) // 4)
            indexes = list(struct.unpack_from("<%dI" % count, loop, 4)) if count else []
            starts = sorted({i for i in indexes if 0 <= i < nrows}) or None
    attrs = {"instrument": "BioLogic (EC-Lab binary file)"}
    technique = _technique(data, by_name)
    if technique:
        attrs["technique"] = TECHNIQUE_NAMES.get(technique, technique)
    if date:
        attrs["date"] = date
    if info["unknown_column_ids"]:
        attrs["unknown_column_ids"] = info["unknown_column_ids"]
    return Parsed(values, attrs, keys=keys, sweep_starts=starts, nrows=nrows)


def _technique(data, by_name):
    m = by_name.get("VMP Set")
    if m is None or m[4] < 1:
        return None
    code = data[m[3]]
    return TECHNIQUES.get(code, f"technique {code:#04x}")


__all__ = ["read_mpr", "modules", "read_data_module", "COLUMNS", "MAGIC"]
