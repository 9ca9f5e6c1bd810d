"""Synthetic instrument files for the reader tests and the reader fuzz pass:
each function writes a spectrum the way one format's rules say, so the
readers are checked without the shared instrument files. Written from the
formats' descriptions (and the shapes of the shared files), not copied from
them. Pure Python and numpy."""
import struct

import numpy as np

F = np.logspace(5, -1, 13)
R0, R1, C1 = 10.0, 100.0, 1e-5


def impedance(f):
    """R0-(R1,C1): standard sign, negative imaginary part."""
    w = 2 * np.pi * np.asarray(f, dtype=float)
    return R0 + R1 / (1 + 1j * w * R1 * C1)


Z = impedance(F)


def _e(x, digits=7):
    return f"{x:.{digits}E}"


def gamry(f=F, z=Z, *, galvanostatic=False, decimal=".", curves=1, aborted=False, truncate_last=False):
    """Gamry EXPLAIN: header keys, an OCV table, then ZCURVE table(s)."""
    tag = "EISGALV" if galvanostatic else "EISPOT"
    title = "Galvanostatic EIS" if galvanostatic else "Potentiostatic EIS"
    lines = ["EXPLAIN", f"TAG\t{tag}", f"TITLE\tLABEL\t{title}\tTest &Identifier", "DATE\tLABEL\t3/4/2021\tDate",
             "TIME\tLABEL\t10:11:12\tTime", "NOTES\tNOTES\t1\t&Notes...", "\tsample note", "PSTAT\tPSTAT\tREF600-1\t"
             "Potentiostat"]
    if galvanostatic:
        lines += ["IDC\tQUANT\t1.00000E-003\tDC Current (A)", "IAC\tQUANT\t5.00000E-005\tAC Current (A rms)"]
    else:
        lines += ["VDC\tPOTEN\t-5.00000E-002\tT\tDC &Voltage (V)", "VAC\tQUANT\t1.00000E+001\tAC &Voltage (mV rms)"]
    lines += ["FREQINIT\tQUANT\t1.00000E+005\tInitial Fre&q. (Hz)", "FREQFINAL\tQUANT\t1.00000E-001\tFinal Fre&q. (Hz)",
              "PTSPERDEC\tQUANT\t2.00000E+000\tPoints/&decade", "AREA\tQUANT\t2.00000E+000\t&Area (cm^2)",
              "OCVCURVE\tTABLE\t3", "\tPt\tT\tVf\tVm\tAch\tOver\tTemp", "\t#\ts\tV vs. Ref.\tV\tV\tbits\tdeg C"]
    lines += [f"\t{k}\t{k * 0.25}\t-3.4E-001\t-3.4E-001\t-5.5E-004\t..........a\t-327.67" for k in range(3)]
    for c in range(curves):
        name = "ZCURVE" if c == 0 else f"ZCURVE{c + 1}"
        lines += [f"{name}\tTABLE", "\tPt\tTime\tFreq\tZreal\tZimag\tZsig\tZmod\tZphz\tIdc\tVdc\tIERange",
                  "\t#\ts\tHz\tohm\tohm\tV\tohm\t\u00b0\tA\tV\t#"]
        for k, (fi, zi) in enumerate(zip(f, z)):
            row = [k, k + 1, fi, zi.real, zi.imag * (1 + c * 0.0), 1, abs(zi), np.degrees(np.angle(zi)), 1e-6,
                   -0.05, 7]
            text = "\t" + "\t".join(repr(float(v)) if isinstance(v, (float, np.floating)) else str(v) for v in row)
            if decimal == ",":
                text = text.replace(".", ",")
            lines.append(text)
    if truncate_last:  # the file ends inside the last row (after its fourth field)
        lines[-1] = "\t".join(lines[-1].split("\t")[:5])
        return "\n".join(lines).encode("latin-1")
    if aborted:  # the table ends early and the file says so
        lines.append("EXPERIMENTABORTED\tTOGGLE\tT\tExperiment Aborted")
    return ("\n".join(lines) + "\n").encode("latin-1")


ECLAB_COLUMNS = ["freq/Hz", "Re(Z)/Ohm", "-Im(Z)/Ohm", "|Z|/Ohm", "Phase(Z)/deg", "time/s", "<Ewe>/V", "<I>/mA",
                 "Cs/\u00b5F", "cycle number", "I Range", "Ns"]


def mpt(f=F, z=Z, *, cycles=1, decimal=".", extra_lines=3, loops=False, banner=True, ns=None):
    """EC-Lab ASCII: banner, 'Nb header lines', settings, one column line,
    tab-separated rows written as %.7E (trailing tab), Latin-1."""
    rows = []
    t = 0.0
    for cy in range(1, cycles + 1):
        for fi, zi in zip(f, z):
            t += 1.5
            values = [fi, zi.real, -zi.imag, abs(zi), np.degrees(np.angle(zi)), t, 0.25, 1.5, 10.0, cy, 41,
                      (ns or 0)]
            text = "\t".join(_e(v) for v in values[:5]) + "\t" + repr(t) + "\t" + "\t".join(_e(v) for v in values[6:9])
            text += "\t" + _e(float(cy), 15) + "\t41\t" + str(ns or 0) + "\t"
            rows.append(text)
    if decimal == ",":
        rows = [r.replace(".", ",") for r in rows]
    head = ["", "Potentio Electrochemical Impedance Spectroscopy", "",
            "Acquisition started on : 05/06/2022 07:08:09", "Device : SP-300 (SN 1)",
            "Electrode surface area : " + ("0,5" if decimal == "," else "0.5") + " cm\u00b2"]
    head += [f"Comments line {k} : \u00b5A and \u00b0C" for k in range(extra_lines)]
    head += ["Mode                Single sine         ",
             "E (V)               " + ("0,1000" if decimal == "," else "0.1000") + "              ",
             "vs.                 Eoc                 ",
             "Va (mV)             " + ("10,0" if decimal == "," else "10.0") + "                ", ""]
    if loops:
        n = len(f)
        head += [f"Number of loops : {cycles}"] + [f"Loop {k} from point number {k * n} to {(k + 1) * n - 1}"
                                                  for k in range(cycles)] + [""]
    column_line = "\t".join(ECLAB_COLUMNS) + "\t"
    if banner:
        total = 2 + len(head) + 1
        lines = ["EC-Lab ASCII FILE", f"Nb header lines : {total}                          "] + head + [column_line]
    else:
        lines = [column_line]
    return ("\n".join(lines + rows) + "\n").encode("latin-1")


# --- EC-Lab binary (.mpr), written from the layout velotz._read_mpr documents.

MPR_IDS = {"freq/Hz": (32, "<f4"), "Re(Z)/Ohm": (37, "<f4"), "-Im(Z)/Ohm": (38, "<f4"), "|Z|/Ohm": (36, "<f4"),
           "Phase(Z)/deg": (35, "<f4"), "time/s": (4, "<f8"), "<Ewe>/V": (77, "<f4"), "<I>/mA": (76, "<f4"),
           "cycle number": (24, "<f8"), "I Range": (39, "<u2"), "Ns": (131, "<u2")}


def mpr(f=F, z=Z, *, cycles=1, new_layout=False, unknown_column=None, technique=0x1D, loops=False, flags=True,
        version=3):
    """A .mpr file holding the spectrum (float32 where EC-Lab stores f4)."""
    columns = [(1, "flag", None), (2, "flag", None), (3, "flag", None)] if flags else []
    columns += [(cid, t, name) for name, (cid, t) in MPR_IDS.items()]
    if unknown_column is not None:  # an ID this reader does not know, holding a 4-byte value
        at = next(k for k, c in enumerate(columns) if c[2] == "cycle number")
        columns.insert(at, (unknown_column, "<f4", None))
    ids = [c[0] for c in columns]
    records = []
    t = 0.0
    for cy in range(1, cycles + 1):
        for fi, zi in zip(f, z):
            t += 1.5
            values = {"freq/Hz": fi, "Re(Z)/Ohm": zi.real, "-Im(Z)/Ohm": -zi.imag, "|Z|/Ohm": abs(zi),
                      "Phase(Z)/deg": np.degrees(np.angle(zi)), "time/s": t, "<Ewe>/V": 0.25, "<I>/mA": 1.5,
                      "cycle number": float(cy), "I Range": 41, "Ns": 0}
            record, flag_written = b"", False
            for cid, kind, name in columns:
                if kind == "flag":
                    if not flag_written:
                        record += b"\x00"
                        flag_written = True
                    continue
                record += np.array([values[name] if name else 123.0], dtype=kind).tobytes()
            records.append(record)
    n = len(records)
    if new_layout:  # EC-Lab 11.50+: u2 column count, u2 IDs, records at 1007
        head = struct.pack("<IH", n, len(ids)) + struct.pack("<%dH" % len(ids), *ids)
        data = head.ljust(1006, b"\x00") + b"\x01" + b"".join(records)
    elif version == 0:  # oldest: u1 count and IDs, records at 100
        head = struct.pack("<IB", n, len(ids)) + bytes(ids)
        data = head.ljust(100, b"\x00") + b"".join(records)
    else:  # versions 2 and 3: u1 count, u2 IDs, records at 405 (406 with a 0x01 first)
        head = struct.pack("<IB", n, len(ids)) + struct.pack("<%dH" % len(ids), *ids)
        data = head.ljust(405, b"\x00") + (b"\x01" if version == 3 else b"") + b"".join(records)
    settings = bytes([technique]) + b"\x00" * 100
    modules = [(b"VMP Set   ", b"VMP settings", settings, 0), (b"VMP data  ", b"VMP data", data, version),
               (b"VMP LOG   ", b"VMP LOG", b"\x00" * 64, 0)]
    if loops:
        starts = [k * len(f) for k in range(cycles)] + [n]
        modules.append((b"VMP loop  ", b"VMP expt. loop indexes",
                        struct.pack("<I", len(starts)) + struct.pack("<%dI" % len(starts), *starts), 0))
    out = b"BIO-LOGIC MODULAR FILE\x1a".ljust(48) + b"\x00\x00\x00\x00"
    for short, long, payload, version in modules:
        out += b"MODULE" + short + long.ljust(25)
        if new_layout:
            out += struct.pack("<4I", 0xFFFFFFFF, len(payload), 0, 11 if short.startswith(b"VMP data") else 10)
        else:
            out += struct.pack("<2I", len(payload), version)
        out += b"05/06/22" + payload
    return out


def zplot(f=F, z=Z):
    """ZPlot2 ASCII: indented comments, column names, End Comments, rows."""
    lines = ["ZPLOT2 ASCII", "  Measured Data, ZPlot:       3.2c", "  Experiment Type:            Sweep Frequency, "
             "Control Voltage", "  Date:                       01-02-2020", "  Time:                       03:04:05",
             "  Begin Experiment:           0", "    Potential-DC:             0.1", "    Potential-AC:             10",
             "  End Experiment:             0", "  Begin Information:          Cell Information",
             "    Surface Area:             1.5", "  End Information:            Cell Information",
             f"  Data Points:                {len(f)}",
             "  Freq(Hz)\tAmpl\tBias\tTime(Sec)\tZ'(a)\tZ''(b)\tGD\tErr\tRange",
             "End Comments"]
    for k, (fi, zi) in enumerate(zip(f, z)):
        lines.append("\t".join([_e(fi, 6), "1.0000E-02", "0.0000E+00", _e(k + 1.0, 6), _e(zi.real, 4),
                                _e(zi.imag, 4), "0.0000E+00", "0", "4"]))
    return ("\n".join(lines) + "\n").encode("ascii")


def zplotw(f=F, z=Z, title="ZPlotW Data File: Version 3.2c"):
    """ZPlotW / Z60W: quoted title lines, a quoted column line, CSV rows."""
    lines = [f'"{title}"', '"Raw Data"', '"Sweep Frequency: Control Voltage"', "Date: 12-17-2019    Time: 16:24:35",
             '"Open Circuit Potential (V):  0 "', '"Frequency"', "0,3,0,1,300000,0.005", str(len(f)),
             '"  Freq(Hz)    Ampl     Bias   Time(Sec)   Z\'(a)    Z\'\'(b)    GD   Err   Range"']
    for k, (fi, zi) in enumerate(zip(f, z)):
        lines.append(", ".join([repr(float(fi)), "1.0000E-02", "0.0000E+00", repr(k + 1.0), repr(float(zi.real)),
                                repr(float(zi.imag)), "0", "0", "5"]))
    return ("\n".join(lines) + "\n").encode("ascii")


def nova(f=F, z=Z, *, sep="\t", decimal="."):
    """Autolab NOVA ASCII export: -Z'' and -Phase hold negated values."""
    names = ["Index", "Frequency (Hz)", "Z' (\u03a9)", "-Z'' (\u03a9)", "Z (\u03a9)", "-Phase (\u00b0)", "Time (s)"]
    lines = [sep.join(names)]
    for k, (fi, zi) in enumerate(zip(f, z)):
        vals = [str(k + 1)] + [repr(float(v)) for v in (fi, zi.real, -zi.imag, abs(zi), -np.degrees(np.angle(zi)),
                                                        k * 2.0)]
        if decimal == ",":
            vals = [v.replace(".", ",") for v in vals]
        lines.append(sep.join(vals))
    return ("\n".join(lines) + "\n").encode("utf-8")


def chi(f=F, z=Z):
    lines = ["Feb. 20, 2020   15:55:08", "A.C. Impedance", "File: c:\\data.bin", "Data Source:  Experiment",
             "Instrument Model:  CHI660E", "Header: ", "Note: ", "", "Init E (V) = 0.2", "High Frequency (Hz) = 1e+5",
             "Low Frequency (Hz) = 0.1", "Amplitude (V) = 0.005", "", 'Freq/Hz, Z\'/ohm, Z"/ohm, Z/ohm, Phase/deg', ""]
    for fi, zi in zip(f, z):
        lines.append(", ".join(f"{v:.4e}" for v in (fi, zi.real, zi.imag, abs(zi))) +
                     f", {np.degrees(np.angle(zi)):.1f}")
    return ("\n".join(lines) + "\n").encode("ascii")


def parstat(f=F, z=Z, zero_rows=5):
    lines = ["Potential (V)\tCurrent (A)\tElapsed Time (s)\tFrequency (Hz)\tZre (ohms)\tZim (ohms)\t|Vac| (V)\t"
             "|Iac| (A)\t"]
    for k in range(zero_rows):
        lines.append(f"3.5\t-0.15\t{10 * (k + 1)}\t0\t0\t0\t0\t0\t")
    for k, (fi, zi) in enumerate(zip(f, z)):
        lines.append("\t".join(repr(float(v)) for v in (3.5, 0.02, 100.0 + k, fi, zi.real, zi.imag, 1e-3, 1e-2)) + "\t")
    return ("\n".join(lines) + "\n").encode("ascii")


def powersuite(f=F, z=Z):
    lines = ["Frequency\t Zre\t Zimg"] + [f"{fi!r}\t {zi.real!r}\t {zi.imag!r}" for fi, zi in
                                            zip(f.tolist(), z.tolist())]
    return ("\r\r\n".join(lines) + "\r\r\n").encode("ascii")


def versastudio(f=F, z=Z, segments=1):
    names = ("Segment #, Point #, E(V), I(A), Elapsed Time(s), ADC Sync Input(V), Current Range, Status, E Applied(V), "
             "Frequency(Hz), E Real, E Imag, I Real, I Imag, Z Real, Z Imag, E2 Status, E2(V), E2 Real, E2 Imag, "
             "Z2 Real, Z2 Imag, ActionId, AC Amplitude, 0")
    lines = ["<Application>", "Name=VersaStudio", "Version=2.52.3.0", "</Application>", "", "<Action0>",
             "Working Electrode Area (cm2)=1.5", "Segments=0", "Name=Common", "</Action0>", "", "<Instrument>",
             "Type=VersaSTAT4", "Model=-400", "</Instrument>", "", "<Experiment>", "TimeAcquired=9:40:30 AM",
             "DateAcquired=Thursday, July 19, 2018", "</Experiment>", "", "<Action1>", "Amplitude (mV RMS)=20",
             "Potential (V),Value=0.1", "End Frequency (Hz)=0.1", "Start Frequency (Hz)=100000",
             "Name=Potentiostatic EIS", "</Action1>", ""]
    for s in range(segments):
        lines += [f"<Segment{s + 1}>", "Type=2", "Version=3", "Definition=" + names]
        for k, (fi, zi) in enumerate(zip(f.tolist(), z.tolist())):
            row = [s, k, 0.1, 1e-6, 1.0 + k, 0, 5, 53, 0, fi, 0.01, 0.02, 1e-4, 2e-4, zi.real, zi.imag, 0, 0, 0, 0,
                   0, 0, 21, 0.02]
            lines.append(",".join(repr(v) if isinstance(v, float) else str(v) for v in row))
        lines += [f"</Segment{s + 1}>", ""]
    lines += ["<Graph1>", "Type=Unknown", "</Graph1>"]
    return ("\n".join(lines) + "\n").encode("utf-8")


def ivium(f=F, z=Z, datasets=1):
    lines = []
    for d in range(datasets):
        lines += ["QR=QR", f"Title=cell {d}", "Technique=Impedance", "Method=EIS", "Methodtype=Impedance",
                  "primary_data", "3", str(len(f))]
        lines += [f"  {zi.real!r}  {zi.imag!r}  {fi!r}" for fi, zi in zip(f.tolist(), z.tolist())]
    return ("\n".join(lines) + "\n").encode("latin-1")


def csv(f=F, z=Z, *, header=("freq", "Zreal", "Zimag"), sep=",", imag_sign=1.0, decimal=".", f_scale=1.0,
        z_scale=1.0, preamble=()):
    lines = list(preamble) + ([sep.join(header)] if header else [])
    for fi, zi in zip(f.tolist(), z.tolist()):
        vals = [repr(fi * f_scale), repr(zi.real * z_scale), repr(imag_sign * zi.imag * z_scale)]
        if decimal == ",":
            vals = [v.replace(".", ",") for v in vals]
        lines.append(sep.join(vals))
    return ("\n".join(lines) + "\n").encode("utf-8")


# name -> (file name, bytes): one file of every format, for the fuzz pass.
def every_format():
    return {
        "gamry": ("sample.DTA", gamry()),
        "mpt": ("sample.mpt", mpt(cycles=2)),
        "mpr": ("sample.mpr", mpr(cycles=2)),
        "mpr-new": ("sample_new.mpr", mpr(new_layout=True, loops=True, cycles=2)),
        "zplot": ("sample.z", zplot()),
        "zplotw": ("samplew.z", zplotw()),
        "autolab": ("sample_nova.txt", nova()),
        "chi": ("sample_chi.txt", chi()),
        "parstat": ("sample_parstat.txt", parstat()),
        "powersuite": ("sample_ps.txt", powersuite()),
        "versastudio": ("sample.par", versastudio(segments=2)),
        "ivium": ("sample.ids", ivium(datasets=2)),
        "csv": ("sample.csv", csv()),
    }
