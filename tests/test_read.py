"""velotz.read and velotz.read_many: instrument files in.

Three layers: the raw instrument files in ../shared/data/instruments (the
sources of some BDF CSVs in ../shared/data/real, and .mpr/.mpt twins; these
tests skip when the directory is absent), synthetic files written here by
each format's rules (tests/read_samples.py, so every reader is checked
without the shared files), and a fuzz pass over damaged files. Most tests
ask for backend="numpy" so they run where pandas is not installed (PyPy)."""
import csv
import json
import os
import pickle
import random
import subprocess
import sys
import time
import warnings
from pathlib import Path

import numpy as np
import pytest

import velotz
import read_samples as S
from analysis_data import REAL_DIR

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "fuzz"))
import read_fuzz  # noqa: E402

INSTRUMENTS = Path(os.environ.get("VELOTZ_INSTRUMENT_DATA",
                                  Path(__file__).resolve().parents[2] / "shared" / "data" / "instruments"))
needs_instruments = pytest.mark.skipif(not INSTRUMENTS.is_dir(), reason="../shared/data/instruments is absent "
                                       "(a user's clone has no ../shared)")
needs_real = pytest.mark.skipif(not REAL_DIR.is_dir(), reason="../shared/data/real is absent")

FREQ, REAL, IMAG = "Frequency / Hz", "Real Impedance / ohm", "Imaginary Impedance / ohm"


def spectrum(frame):
    """(f, z, sweep) numpy arrays of a frame of any backend."""
    col = (lambda c: np.asarray(frame[c].to_numpy())) if hasattr(frame, "columns") else (
        lambda c: np.asarray(frame[c]))
    return col(FREQ), col(REAL) + 1j * col(IMAG), col("Sweep")


def read(path, **kw):
    """velotz.read with backend="numpy", warnings recorded: (result, messages)."""
    kw.setdefault("backend", "numpy")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        out = velotz.read(path, **kw)
    return out, [str(w.message) for w in caught if issubclass(w.category, UserWarning)]


def write(tmp_path, name, data):
    path = tmp_path / name
    path.write_bytes(data)
    return path


def bdf_csv(path):
    with open(path, newline="") as handle:
        rows = list(csv.DictReader(handle))
    f = np.array([float(r[FREQ]) for r in rows])
    z = np.array([complex(float(r[REAL]), float(r[IMAG])) for r in rows])
    return f, z


def max_rel(a, b):
    return float(np.max(np.abs(a - b) / np.abs(b)))


# ---------------------------------------------------------------------------
# The shared instrument files

SHARED = [  # file, format, points, sweeps, BDF CSV in ../shared/data/real with the same spectrum
    ("Circuit1_EIS_1.z", "zplot", 48, 1, "impedancepy_Circuit1_EIS_1.csv"),
    ("exampleDataZPlot.z", "zplot", 21, 1, None),
    ("exampleDataZPlot_noComments.z", "zplot", 31, 1, None),
    ("exampleDataBioLogic.mpt", "mpt", 43, 1, "impedancepy_exampleDataBioLogic.csv"),
    ("exampleDataGamry.DTA", "gamry", 72, 1, "impedancepy_exampleDataGamry.csv"),
    ("exampleDataGamryABORT.DTA", "gamry", 72, 1, None),
    ("exampleDataCHInstruments.txt", "chi", 73, 1, "impedancepy_exampleDataCHInstruments.csv"),
    ("exampleDataPowersuite.txt", "powersuite", 30, 1, "impedancepy_exampleDataPowersuite.csv"),
    ("exampleDataAutolab.txt", "autolab", 41, 1, "impedancepy_exampleDataAutolab.csv"),
    ("exampleDataParstat.txt", "parstat", 31, 1, None),
    ("exampleDataVersaStudio.par", "versastudio", 61, 1, None),
    ("eclab_peis.mpt", "mpt", 32, 1, None),
    ("eclab_peis.mpr", "mpr", 32, 1, None),
    ("eclab_peis.issue_149.mpt", "mpt", 84, 4, None),
    ("eclab_peis.issue_149.mpr", "mpr", 84, 4, None),
    ("eclab_geis.mpr", "mpr", 2499, 61, None),
]


@needs_instruments
@pytest.mark.parametrize("name, fmt, points, sweeps, reference", SHARED, ids=[s[0] for s in SHARED])
def test_shared_files(name, fmt, points, sweeps, reference):
    frame, notes = read(INSTRUMENTS / name)
    f, z, sweep = spectrum(frame)
    assert frame.attrs["format"] == fmt and frame.attrs["source"] == str(INSTRUMENTS / name)
    assert len(f) == points and len(np.unique(sweep)) == sweeps
    assert np.all(f > 0) and np.all(np.isfinite(z))
    assert list(np.unique(sweep)) == list(range(sweeps)) and np.all(np.diff(sweep) >= 0)
    # Standard sign: the lowest frequency of every spectrum here is capacitive.
    assert z[np.argmin(f)].imag < 0
    if reference is not None and REAL_DIR.is_dir():
        rf, rz = bdf_csv(REAL_DIR / reference)
        assert np.array_equal(f, rf) and np.array_equal(z, rz), (max_rel(f, rf), max_rel(z, rz))
    # The format is recognised from the content, whatever the extension.
    assert all("aborted" in n or "left out" in n for n in notes), notes


@needs_instruments
def test_content_decides_over_the_extension(tmp_path):
    for name, fmt, points, _, _ in SHARED:
        copy = write(tmp_path, Path(name).stem + ".dat", (INSTRUMENTS / name).read_bytes())
        frame, _ = read(copy)
        assert frame.attrs["format"] == fmt and len(frame[FREQ]) == points, name


@needs_instruments
def test_shared_file_notes_and_metadata():
    frame, notes = read(INSTRUMENTS / "exampleDataParstat.txt")
    assert notes == [f"{INSTRUMENTS / 'exampleDataParstat.txt'}: 781 of 812 rows left out: 781 with a frequency "
                     "of zero or less"]
    frame, notes = read(INSTRUMENTS / "exampleDataGamryABORT.DTA")
    assert frame.attrs["aborted"] is True and len(notes) == 1 and "aborted" in notes[0] and "72 of the 98" in notes[0]
    gamry, _ = read(INSTRUMENTS / "exampleDataGamry.DTA")
    assert np.array_equal(spectrum(frame)[1], spectrum(gamry)[1])  # the aborted file holds the same points
    a = gamry.attrs
    assert (a["instrument"], a["technique"], a["date"]) == ("Gamry REF3000-34128", "Potentiostatic EIS",
                                                             "4/23/2018 16:43:15")
    assert (a["dc_potential / V"], a["ac_amplitude / V"], a["area / cm^2"]) == (-0.05, 0.01, 1.0)
    mpt, _ = read(INSTRUMENTS / "exampleDataBioLogic.mpt")
    assert mpt.attrs["instrument"] == "BioLogic SP-150 (SN 10791079)"
    assert mpt.attrs["technique"] == "Potentio Electrochemical Impedance Spectroscopy"
    assert mpt.attrs["area / cm^2"] == 0.001 and mpt.attrs["ac_amplitude / V"] == 0.02
    geis, notes = read(INSTRUMENTS / "eclab_geis.mpr")
    assert geis.attrs["technique"] == "Galvano Electrochemical Impedance Spectroscopy"
    assert notes[0].endswith("29 of 2528 rows left out: 29 with a frequency of zero or less")


@needs_instruments
@pytest.mark.parametrize("stem", ["eclab_peis", "eclab_peis.issue_149"])
def test_mpr_gives_the_spectrum_of_its_mpt_twin(stem):
    binary, _ = read(INSTRUMENTS / f"{stem}.mpr")
    text, _ = read(INSTRUMENTS / f"{stem}.mpt")
    assert list(binary) == list(text)
    assert np.array_equal(binary["Sweep"], text["Sweep"]) and np.array_equal(binary["Cycle Count / 1"],
                                                                               text["Cycle Count / 1"])
    # The .mpt export prints EC-Lab's float32 values with 8 significant
    # digits: the binary values, so rounded, are the text values exactly.
    for column in (FREQ, REAL, IMAG, "Absolute Impedance / ohm", "Phase / deg", "Voltage / V"):
        rounded = np.array([float(f"{v:.7E}") for v in binary[column].tolist()])
        assert np.array_equal(rounded, text[column]), column
        assert max_rel(binary[column], text[column]) < 6e-8
    assert max_rel(binary["Test Time / s"], text["Test Time / s"]) < 1e-15  # float64, printed with 16 digits


@needs_instruments
def test_a_file_without_a_frequency_column_names_what_is_missing():
    path = INSTRUMENTS / "exampleDataBioLogic_MissingFreq.mpt"
    with pytest.raises(ValueError) as info:
        velotz.read(path, backend="numpy")
    message = str(info.value)
    assert message.startswith(f"{path}: cannot read as a BioLogic EC-Lab text file (.mpt), format='mpt': "
                              "missing a frequency column: the columns are 'Re(Z)/Ohm', '-Im(Z)/Ohm'")
    assert "the rows hold 18 values for 17 names" in message


# ---------------------------------------------------------------------------
# Each format's rules, on synthetic files

def check(frame, f=S.F, z=S.Z, rtol=1e-6, sweeps=1):
    got_f, got_z, sweep = spectrum(frame)
    assert len(np.unique(sweep)) == sweeps
    for s in range(sweeps):
        m = sweep == s
        np.testing.assert_allclose(got_f[m], f, rtol=rtol)
        np.testing.assert_allclose(got_z[m], z, rtol=rtol)


@pytest.mark.parametrize("decimal", [".", ","])
@pytest.mark.parametrize("galvanostatic", [False, True])
def test_gamry(tmp_path, decimal, galvanostatic):
    frame, notes = read(write(tmp_path, "a.DTA", S.gamry(decimal=decimal, galvanostatic=galvanostatic)))
    check(frame, rtol=0)
    assert notes == [] and frame.attrs["format"] == "gamry"
    assert frame.attrs["area / cm^2"] == 2.0
    if galvanostatic:
        assert frame.attrs["technique"] == "Galvanostatic EIS"
        assert (frame.attrs["dc_current / A"], frame.attrs["ac_amplitude / A"]) == (1e-3, 5e-5)
    else:
        assert (frame.attrs["dc_potential / V"], frame.attrs["ac_amplitude / V"]) == (-0.05, 0.01)
    np.testing.assert_array_equal(frame["Voltage / V"], -0.05)
    np.testing.assert_array_equal(frame["Test Time / s"], np.arange(1, 14))


def test_gamry_curves_aborted_and_truncated(tmp_path):
    frame, _ = read(write(tmp_path, "two.DTA", S.gamry(curves=2)))
    check(frame, rtol=0, sweeps=2)
    frame, notes = read(write(tmp_path, "abort.DTA", S.gamry(aborted=True)))
    check(frame, rtol=0)
    assert frame.attrs["aborted"] and notes == [f"{tmp_path / 'abort.DTA'}: the measurement was aborted: the file "
                                                "holds the 13 points measured before"]
    frame, notes = read(write(tmp_path, "cut.DTA", S.gamry(truncate_last=True)))
    check(frame, S.F[:-1], S.Z[:-1], rtol=0)
    assert notes == [f"{tmp_path / 'cut.DTA'}: the last row of ZCURVE is incomplete (the file ends inside it) and "
                     "was left out"]
    with pytest.raises(ValueError, match="not 'EXPLAIN'"):
        velotz.read(write(tmp_path, "x.DTA", b"EXPLAN\nTAG\tEISPOT\n"), backend="numpy")
    with pytest.raises(ValueError, match=r"no impedance table .* tables found: OCVCURVE"):
        velotz.read(write(tmp_path, "y.DTA", S.gamry().split(b"ZCURVE")[0]), backend="numpy")


def mpt_values(f=S.F, z=S.Z):
    """The spectrum as the .mpt writes it (%.7E), read back."""
    return (np.array([float(f"{v:.7E}") for v in f]),
            np.array([complex(float(f"{v.real:.7E}"), -float(f"{-v.imag:.7E}")) for v in z]))


@pytest.mark.parametrize("decimal", [".", ","])
@pytest.mark.parametrize("extra_lines", [0, 40, 400])
def test_mpt_header_lengths_decimal_commas_latin1(tmp_path, decimal, extra_lines):
    data = S.mpt(decimal=decimal, extra_lines=extra_lines, cycles=2)
    assert "\u00b5".encode("latin-1") in data
    frame, notes = read(write(tmp_path, "a.mpt", data))
    f, z = mpt_values()
    check(frame, f, z, rtol=0, sweeps=2)
    assert notes == []
    assert list(frame["Cycle Count / 1"]) == [1] * 13 + [2] * 13
    np.testing.assert_allclose(frame["Current / A"], 1.5e-3)  # <I>/mA
    a = frame.attrs
    assert (a["dc_potential / V"], a["dc_potential_vs"], a["ac_amplitude / V"], a["area / cm^2"]) == (
        0.1, "Eoc", 0.01, 0.5)
    assert a["instrument"] == "BioLogic SP-300 (SN 1)" and a["date"] == "05/06/2022 07:08:09"


def test_mpt_loops_and_a_file_without_banner(tmp_path):
    # Loops split sweeps even where the cycle number does not change.
    data = S.mpt(cycles=3, loops=True).replace(b"2.000000000000000E+000", b"1.000000000000000E+000").replace(
        b"3.000000000000000E+000", b"1.000000000000000E+000")
    frame, _ = read(write(tmp_path, "loops.mpt", data))
    check(frame, *mpt_values(), rtol=0, sweeps=3)
    frame, _ = read(write(tmp_path, "export.txt", S.mpt(banner=False)))
    assert frame.attrs["format"] == "mpt"
    check(frame, *mpt_values(), rtol=0)


@pytest.mark.parametrize("new_layout", [False, True])
def test_mpr_layouts_loops_and_unknown_columns(tmp_path, new_layout):
    f32 = lambda a: np.asarray(a, dtype=np.float32).astype(np.float64)  # noqa: E731
    z32 = f32(S.Z.real) + 1j * -f32(-S.Z.imag)
    frame, notes = read(write(tmp_path, "a.mpr", S.mpr(cycles=2, new_layout=new_layout, loops=new_layout)))
    check(frame, f32(S.F), z32, rtol=0, sweeps=2)
    assert notes == [] and frame.attrs["technique"] == "Potentio Electrochemical Impedance Spectroscopy"
    assert frame.attrs["date"] == "05/06/22"
    np.testing.assert_array_equal(frame["Test Time / s"], np.arange(1, 27) * 1.5)  # float64 column
    # A column ID the reader does not know: its width follows from the record size.
    frame, _ = read(write(tmp_path, "u.mpr", S.mpr(unknown_column=999, new_layout=new_layout)))
    check(frame, f32(S.F), z32, rtol=0)
    assert frame.attrs["unknown_column_ids"] == [999]
    frame, _ = read(write(tmp_path, "g.mpr", S.mpr(technique=0x1E, new_layout=new_layout)))
    assert frame.attrs["technique"] == "Galvano Electrochemical Impedance Spectroscopy"


@pytest.mark.parametrize("version", [0, 2])
def test_mpr_older_layouts(tmp_path, version):
    f32 = lambda a: np.asarray(a, dtype=np.float32).astype(np.float64)  # noqa: E731
    frame, _ = read(write(tmp_path, "old.mpr", S.mpr(version=version, cycles=2)))
    check(frame, f32(S.F), f32(S.Z.real) + 1j * -f32(-S.Z.imag), rtol=0, sweeps=2)


def test_mpr_damage_is_refused(tmp_path):
    data = S.mpr()
    log = data.find(b"MODULEVMP LOG")
    cut = r"module 'VMP data' needs \d+ bytes from byte \d+ but the file ends at byte \d+ \(truncated file\)"
    with pytest.raises(ValueError, match=cut):
        velotz.read(write(tmp_path, "t.mpr", data[:log - 7]), backend="numpy")
    # Cut inside the log module, after the data: the data are read, with a warning.
    frame, notes = read(write(tmp_path, "l.mpr", data[:-7]))
    assert len(frame[FREQ]) == 13 and len(notes) == 1
    assert notes[0].endswith("(truncated file); the data module before it is complete and was read")
    with pytest.raises(ValueError, match="does not start with 'BIO-LOGIC MODULAR FILE'"):
        velotz.read(write(tmp_path, "j.mpr", b"\x00junk" * 100), backend="numpy")
    at = data.find(b"MODULEVMP data") + 6 + 51
    bad = data[:at] + (7).to_bytes(4, "little") + data[at + 4:]  # 7 records announced, 13 stored
    with pytest.raises(ValueError, match="do not agree with any known layout"):
        velotz.read(write(tmp_path, "n.mpr", bad), backend="numpy")


@pytest.mark.parametrize("maker, fmt, rtol", [
    (S.zplot, "zplot", 5e-5), (S.zplotw, "zplot", 0),
    (lambda: S.zplotw(title="Z60W Data File: Version 1.1"), "autolab", 0),
    (S.nova, "autolab", 0), (lambda: S.nova(sep=";", decimal=","), "autolab", 0),
    (S.chi, "chi", 1e-4), (S.powersuite, "powersuite", 0), (S.ivium, "ivium", 0),
])
def test_text_formats(tmp_path, maker, fmt, rtol):
    frame, notes = read(write(tmp_path, "file.txt", maker()))
    assert frame.attrs["format"] == fmt and notes == []
    check(frame, rtol=rtol)


def test_text_format_details(tmp_path):
    frame, _ = read(write(tmp_path, "a.z", S.zplot()))
    a = frame.attrs
    assert (a["technique"], a["date"], a["dc_potential / V"], a["ac_amplitude / V"], a["area / cm^2"]) == (
        "Sweep Frequency, Control Voltage", "01-02-2020 03:04:05", 0.1, 0.01, 1.5)
    np.testing.assert_array_equal(frame["Test Time / s"], np.arange(1, 14))
    frame, _ = read(write(tmp_path, "n.txt", S.nova()))
    f, z, _ = spectrum(frame)
    np.testing.assert_allclose(frame["Phase / deg"], np.degrees(np.angle(S.Z)), rtol=1e-12)  # -Phase read back
    frame, _ = read(write(tmp_path, "c.txt", S.chi()))
    assert (frame.attrs["instrument"], frame.attrs["dc_potential / V"], frame.attrs["ac_amplitude / V"]) == (
        "CH Instruments CHI660E", 0.2, 0.005)
    frame, notes = read(write(tmp_path, "p.txt", S.parstat(zero_rows=5)))
    check(frame)
    assert notes == [f"{tmp_path / 'p.txt'}: 5 of 18 rows left out: 5 with a frequency of zero or less"]
    np.testing.assert_array_equal(frame["Voltage / V"], 3.5)
    frame, _ = read(write(tmp_path, "v.par", S.versastudio(segments=2)))
    check(frame, sweeps=2)
    assert (frame.attrs["instrument"], frame.attrs["technique"], frame.attrs["area / cm^2"]) == (
        "Princeton Applied Research VersaSTAT4", "Potentiostatic EIS", 1.5)
    frame, _ = read(write(tmp_path, "i.ids", S.ivium(datasets=3)))
    check(frame, sweeps=3)
    # A segment of another technique (no frequency column) is passed over.
    ocp = (b"<Segment1>\nType=1\nDefinition=Segment #, Point #, E(V), I(A), Elapsed Time(s)\n0,0,0.1,0,1\n"
           b"0,1,0.1,0,2\n</Segment1>\n")
    data = S.versastudio().replace(b"<Segment1>", b"<Segment2>").replace(b"</Segment1>", b"</Segment2>")
    frame, _ = read(write(tmp_path, "o.par", data.replace(b"<Segment2>", ocp + b"<Segment2>", 1)))
    check(frame)
    # EC-Lab: <Ewe>/V and <I>/mA (averages) over Ewe/V and I/mA.
    lines = S.mpt().decode("latin-1").split("\n")
    at = next(k for k, line in enumerate(lines) if line.startswith("freq/Hz"))
    lines[at] = lines[at].replace("<Ewe>/V\t<I>/mA", "Ewe/V\tI/mA\t<Ewe>/V\t<I>/mA")
    for k in range(at + 1, len(lines)):
        if lines[k]:
            fields = lines[k].split("\t")
            lines[k] = "\t".join(fields[:6] + ["0.0", "0.0"] + fields[6:])
    frame, _ = read(write(tmp_path, "avg.mpt", "\n".join(lines).encode("latin-1")))
    np.testing.assert_array_equal(frame["Voltage / V"], 0.25)
    np.testing.assert_array_equal(frame["Current / A"], 1.5e-3)


# ---------------------------------------------------------------------------
# Delimited text and Excel: columns recognised from their names, or mapped

SPELLINGS = [
    (("freq", "Zreal", "Zimag"), 1.0, 1.0, 1.0),
    (("Freq/Hz", "Z'", "Z''"), 1.0, 1.0, 1.0),
    (("Frequency (Hz)", "Z' (Ohm)", "-Z'' (Ohm)"), 1.0, 1.0, -1.0),
    (("f [kHz]", "Zre [kOhm]", "Zim [kOhm]"), 1e-3, 1e-3, 1.0),
    (("frequency", "Re(Z)/Ohm", "-Im(Z)/Ohm"), 1.0, 1.0, -1.0),
    (("Freq", "Zre (mOhm)", "Zim (mOhm)"), 1.0, 1e3, 1.0),
    (("Frequency / Hz", "Real Impedance / ohm", "Imaginary Impedance / ohm"), 1.0, 1.0, 1.0),
    (("frequency_hertz", "real_impedance_ohm", "imaginary_impedance_ohm"), 1.0, 1.0, 1.0),
    (("freq", "zre", 'z"'), 1.0, 1.0, 1.0),
]


@pytest.mark.parametrize("header, f_scale, z_scale, sign", SPELLINGS, ids=[" | ".join(s[0]) for s in SPELLINGS])
@pytest.mark.parametrize("sep, decimal", [(",", "."), ("\t", "."), (";", ","), (" ", ".")])
def test_csv_spellings_units_and_separators(tmp_path, header, f_scale, z_scale, sign, sep, decimal):
    if sep == " ":
        header = tuple(h.replace(" ", "") for h in header)
    data = S.csv(header=header, sep=sep, decimal=decimal, f_scale=f_scale, z_scale=z_scale, imag_sign=sign,
                 preamble=("Exported by some software", "Sample: cell 7", ""))
    frame, notes = read(write(tmp_path, "s.csv", data))
    assert notes == [] and frame.attrs["format"] == "csv"
    check(frame, rtol=1e-14)


def test_csv_modulus_and_phase(tmp_path):
    f, z = S.F, S.Z
    rows = ["freq,|Z| (Ohm),Phase (deg)"] + [f"{a!r},{abs(b)!r},{float(np.degrees(np.angle(b)))!r}" for a, b in
                                             zip(f.tolist(), z.tolist())]
    frame, _ = read(write(tmp_path, "p.csv", ("\n".join(rows)).encode()))
    check(frame, rtol=1e-12)
    assert "derived" in frame.attrs
    rows = ["f,Zmod,-phase (rad)"] + [f"{a!r},{abs(b)!r},{float(-np.angle(b))!r}"
                                      for a, b in zip(f.tolist(), z.tolist())]
    frame, _ = read(write(tmp_path, "r.csv", ("\n".join(rows)).encode()))
    check(frame, rtol=1e-12)


def test_csv_without_header_and_with_mapped_columns(tmp_path):
    path = write(tmp_path, "n.txt", S.csv(header=None, sep="\t"))
    frame, notes = read(path)
    check(frame, rtol=0)
    assert notes == [f"{path}: the table has no header: its first three columns were read as frequency, real and "
                     "imaginary part (pass columns={...} to say otherwise)"]
    frame, notes = read(path, columns={"frequency": 0, "real": 1, "imag": 2})
    check(frame, rtol=0)
    assert notes == []
    odd = S.csv(header=("omega_hz", "r_part", "x_part_neg"), imag_sign=-1.0)
    path = write(tmp_path, "odd.csv", odd)
    with pytest.raises(ValueError) as info:
        velotz.read(path, backend="numpy")
    assert str(info.value).startswith(f"{path}: cannot read as a delimited text table (CSV, TSV), format='csv': "
                                      "missing a frequency column and a real and an imaginary part")
    assert "'omega_hz', 'r_part', 'x_part_neg'" in str(info.value)
    for mapping in ({"frequency": "omega_hz", "real": "r_part", "-imag": "x_part_neg"},
                    {"omega_hz": "Frequency / Hz", "r_part": "Real Impedance / ohm", "x_part_neg": "-imag"}):
        frame, _ = read(path, columns=mapping)
        check(frame, rtol=0)
    with pytest.raises(ValueError, match="names the column 'nope', which the file does not have"):
        velotz.read(path, columns={"frequency": "nope"}, backend="numpy")
    with pytest.raises(ValueError, match="cannot tell which of 'a': 'b' is a role"):
        velotz.read(path, columns={"a": "b"}, backend="numpy")
    with pytest.raises(TypeError, match="argument 'columns': expected a dict, got 'list'"):
        velotz.read(path, columns=["freq"], backend="numpy")


def test_rows_without_numbers_and_non_positive_frequencies(tmp_path):
    lines = S.csv().decode().splitlines()
    lines.insert(3, "1e3,,")             # no number in the impedance
    lines.insert(5, "n/a,1,2")           # no number in the frequency
    lines.insert(7, "0,5,6")             # zero frequency
    lines.insert(8, "-10,5,6")           # negative frequency
    lines.append("end of data")
    path = write(tmp_path, "d.csv", ("\n".join(lines) + "\n").encode())
    frame, notes = read(path)
    check(frame, rtol=0)
    assert notes == [f"{path}: 5 of 18 rows left out: 3 without a number in the frequency or impedance columns and "
                     "2 with a frequency of zero or less"]
    assert frame.attrs["rows_left_out"] == {"no number": 3, "frequency <= 0": 2}
    with pytest.raises(ValueError, match="no measured point: all 3 rows were left out"):
        velotz.read(write(tmp_path, "z.csv", b"f,Zre,Zim\n0,1,2\n0,1,2\n-1,1,1\n"), backend="numpy")


def test_not_impedance_data(tmp_path):
    cases = {
        "notes.txt": (b"Shopping list\nmilk\neggs\n", "no table of numbers"),
        "cycling.csv": (b"time,voltage,current\n0,3.7,1\n1,3.6,1\n2,3.5,1\n", "missing a frequency column"),
        "empty.csv": (b"", "the file is empty (0 bytes)"),
        "blank.csv": (b"\n \n\t\n", "the file holds no text"),
        "junk.DTA": (bytes(range(256)) * 8, "binary data"),
        "junk.mpt": (bytes(range(256)) * 8, "binary data"),
    }
    for name, (data, reason) in cases.items():
        path = write(tmp_path, name, data)
        with pytest.raises(ValueError) as info:
            velotz.read(path, backend="numpy")
        assert str(info.value).startswith(f"{path}: cannot read as a "), str(info.value)
        assert "format='" in str(info.value) and reason in str(info.value), str(info.value)
    with pytest.raises(ValueError, match="unknown format 'bogus'"):
        velotz.read(path, format="bogus", backend="numpy")
    with pytest.raises(FileNotFoundError):
        velotz.read(tmp_path / "missing.csv", backend="numpy")


def test_format_argument_overrides_detection(tmp_path):
    path = write(tmp_path, "x.DTA", S.csv())
    with pytest.raises(ValueError, match="format='gamry'"):
        velotz.read(path, format="gamry", backend="numpy")
    frame, _ = read(path)  # the content says: a table
    assert frame.attrs["format"] == "csv"
    frame, _ = read(write(tmp_path, "m.txt", S.mpt()), format="eclab")  # an alias
    assert frame.attrs["format"] == "mpt"


def test_encodings(tmp_path):
    text = S.csv(header=("Fréquence (Hz)", "Z' (Ω)", "Z'' (Ω)")).decode("utf-8").replace("Fréquence", "Freq")
    for codec in ("utf-8", "utf-8-sig", "utf-16", "utf-16-le", "utf-32", "latin-1"):
        data = text.replace("Ω", "Ohm").encode(codec) if codec == "latin-1" else text.encode(codec)
        frame, _ = read(write(tmp_path, f"{codec}.csv", data))
        check(frame, rtol=0)
    frame, _ = read(write(tmp_path, "cp.csv", text.replace("Ω", "Ohm").encode("cp1252")), encoding="cp1252")
    check(frame, rtol=0)


def test_excel(tmp_path):
    pd = pytest.importorskip("pandas", reason="pandas is an optional package that is not installed here")
    pytest.importorskip("openpyxl", reason="openpyxl (velotz[excel]) is not installed here")
    sheet = pd.DataFrame({"Freq (Hz)": S.F, "Z' (Ohm)": S.Z.real, "-Z'' (Ohm)": -S.Z.imag})
    path = tmp_path / "book.xlsx"
    with pd.ExcelWriter(path) as writer:
        pd.DataFrame({"note": ["another sheet"]}).to_excel(writer, sheet_name="notes", index=False)
        sheet.to_excel(writer, sheet_name="eis", index=False, startrow=2)
    frame, _ = read(path, sheet="eis")
    assert frame.attrs["format"] == "excel"
    check(frame, rtol=1e-15)  # the workbook keeps 16 significant digits
    with pytest.raises(ValueError, match="no sheet table of numbers"):
        velotz.read(path, backend="numpy")  # the first sheet holds no spectrum
    with pytest.raises(ValueError, match="not an Excel workbook"):
        velotz.read(write(tmp_path, "fake.xlsx", b"not a zip"), backend="numpy")


# ---------------------------------------------------------------------------
# Backends and the way into a fit

def test_backends(tmp_path):
    path = write(tmp_path, "a.mpt", S.mpt(cycles=2))
    numpy_out, _ = read(path)
    assert isinstance(numpy_out, dict) and all(isinstance(v, np.ndarray) for v in numpy_out.values())
    assert numpy_out["Sweep"].dtype == np.int64 and numpy_out["Cycle Count / 1"].dtype == np.int64
    with pytest.raises(ValueError, match='unknown backend "arrow"'):
        velotz.read(path, backend="arrow")
    pd = pytest.importorskip("pandas", reason="pandas is an optional package that is not installed here")
    frame = velotz.read(path)
    assert isinstance(frame, pd.DataFrame) and list(frame.columns) == list(numpy_out)
    assert frame.attrs == numpy_out.attrs
    for c in frame.columns:
        np.testing.assert_array_equal(frame[c].to_numpy(), numpy_out[c])
    pl = pytest.importorskip("polars", reason="polars is an optional package that is not installed here")
    frame = velotz.read(path, backend="polars")
    assert isinstance(frame, pl.DataFrame) and frame.columns == list(numpy_out) and frame.attrs == numpy_out.attrs


def test_read_then_fit_in_three_lines(tmp_path):
    path = write(tmp_path, "cell.DTA", S.gamry())
    frame = velotz.read(path, backend="numpy")
    result = velotz.Circuit("R0-(R1,C1)").fit(frame)
    np.testing.assert_allclose([result.params[n] for n in ("R0.r", "R1.r", "C1.c")], [S.R0, S.R1, S.C1], rtol=1e-6)


def test_without_pandas(tmp_path):
    """The readers work without pandas (as on PyPy); the default backend says
    what to install or pass instead."""
    path = write(tmp_path, "big.csv", S.csv(f=np.logspace(6, -2, 3000), z=S.impedance(np.logspace(6, -2, 3000))))
    script = ("import sys; sys.modules['pandas'] = None\n"
              "import numpy as np, velotz\n"
              f"out = velotz.read({str(path)!r}, backend='numpy')\n"
              "print(len(out['Frequency / Hz']), repr(float(out['Real Impedance / ohm'][7])))\n"
              "try:\n"
              f"    velotz.read({str(path)!r})\n"
              "except ImportError as e:\n"
              "    print(e)\n")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    first, message = done.stdout.splitlines()
    count, value = first.split()
    assert count == "3000" and float(value) == S.impedance(np.logspace(6, -2, 3000))[7].real
    assert message == ('velotz.read returns a pandas DataFrame and pandas is not installed: pip install pandas, or '
                       'pass backend="polars", or backend="numpy" for a dict of numpy arrays')


PARSER_CASES = {  # tables that take each parser's fast path, or make it give way
    "clean.csv": S.csv(),
    "blank_lines.csv": S.csv().replace(b"\n", b"\n\n", 5) + b"\n\n",
    "crlf.csv": S.csv().replace(b"\n", b"\r\n"),
    "semicolon_comma.csv": S.csv(sep=";", decimal=","),
    "quoted.csv": b'"freq","Zre","Zim"\n' + b"".join(b'"%r","%r","%r"\n' % (f, z.real, z.imag)
                                                   for f, z in zip(S.F.tolist(), S.Z.tolist())),
    "junk_rows.csv": S.csv() + b"n/a,1,2\n1e3,,\nend of table\n",
    "ragged.csv": S.csv() + b"1,2,3,4\n",
    "whitespace.txt": S.csv(sep=" "),
    "special.csv": b"f,Zre,Zim\n+1.5e3,-.5,1E+005\n2,inf,nan\n3,1,2\n",
    "eclab.mpt": S.mpt(cycles=2, decimal=","),
}


def test_the_parsers_agree(tmp_path):
    """polars' reader (when installed), pandas' (when installed), numpy's and
    the line-by-line parse give the same bits, rows and warnings."""
    for name, data in PARSER_CASES.items():
        write(tmp_path, name, data)
    script = ("import sys, json, warnings\n"
              "for blocked in sys.argv[2:]: sys.modules[blocked] = None\n"
              "import velotz\n"
              "out = {}\n"
              "for name in sys.argv[1].split(','):\n"
              "    with warnings.catch_warnings(record=True) as w:\n"
              "        warnings.simplefilter('always')\n"
              f"        r = velotz.read({str(tmp_path)!r} + '/' + name, backend='numpy')\n"
              "    out[name] = [{k: [float(x).hex() for x in v] for k, v in r.items()},\n"
              "                 [str(m.message) for m in w]]\n"
              "print(json.dumps(out))\n")
    names = ",".join(PARSER_CASES)
    results = []
    for blocked in ([], ["polars"], ["polars", "pandas"]):
        done = subprocess.run([sys.executable, "-c", script, names, *blocked], capture_output=True, text=True,
                              timeout=300)
        assert done.returncode == 0, done.stderr
        results.append(json.loads(done.stdout))
    assert results[0] == results[1] == results[2]
    clean = results[0]["clean.csv"][0]
    assert [float.fromhex(x) for x in clean[FREQ]] == S.F.tolist()


# ---------------------------------------------------------------------------
# Many files

def test_read_many(tmp_path):
    pytest.importorskip("pandas", reason="pandas is an optional package that is not installed here")
    write(tmp_path, "a.DTA", S.gamry())
    write(tmp_path, "b.mpt", S.mpt(cycles=2))
    write(tmp_path, "c.csv", S.csv())
    write(tmp_path, "d.csv", b"not, impedance\n1,2\n")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        frame = velotz.read_many(str(tmp_path / "*"))
    messages = [str(w.message) for w in caught]
    assert len(messages) == 1 and messages[0].startswith(f"1 of 4 files could not be read and were left out: "
                                                         f"{tmp_path / 'd.csv'} (ValueError: ")
    assert list(frame.columns[:6]) == ["File", "Sweep", "Spectrum", FREQ, REAL, IMAG]
    assert list(frame.attrs["errors"]) == [str(tmp_path / "d.csv")]
    assert isinstance(frame.attrs["errors"][str(tmp_path / "d.csv")], ValueError)
    assert set(frame.attrs["files"]) == {str(tmp_path / n) for n in ("a.DTA", "b.mpt", "c.csv")}
    spectra = list(dict.fromkeys(frame["Spectrum"]))
    assert spectra == [f"{tmp_path / 'a.DTA'}#0", f"{tmp_path / 'b.mpt'}#0", f"{tmp_path / 'b.mpt'}#1",
                       f"{tmp_path / 'c.csv'}#0"]
    assert frame["Cycle Count / 1"].isna().sum() == 26  # the files without cycles
    circuit = velotz.Circuit("R0-(R1,C1)").with_values([S.R0, S.R1, S.C1])
    batch = velotz.fit_batch(circuit, frame, id_column="Spectrum")
    assert batch.ids == spectra and not batch.errors
    for r in batch:
        np.testing.assert_allclose(r.params["R1.r"], S.R1, rtol=1e-5)
    # A list of paths, and the numpy backend.
    out = velotz.read_many([tmp_path / "a.DTA", str(tmp_path / "c.csv")], backend="numpy")
    assert list(out["File"]) == [str(tmp_path / "a.DTA")] * 13 + [str(tmp_path / "c.csv")] * 13
    with pytest.raises(ValueError, match="no file matches"):
        velotz.read_many(str(tmp_path / "*.nothing"))
    with pytest.raises(ValueError, match="none of the 1 files could be read"):
        velotz.read_many([tmp_path / "d.csv"])
    with pytest.raises(TypeError, match="expected paths, got an item of type 'int'"):
        velotz.read_many([1, 2])


# ---------------------------------------------------------------------------
# Fuzz: damaged files are read or refused with ValueError, quickly

FUZZ_FILES = read_fuzz.samples(str(INSTRUMENTS))


@pytest.mark.parametrize("key", list(FUZZ_FILES))
def test_fuzz_damaged_files_are_read_or_refused(tmp_path, key):
    name, data = FUZZ_FILES[key]
    rng = random.Random(f"7:{key}")
    outcomes = {"read": 0, "refused": 0}
    for label, fname, blob in read_fuzz.mutants(name, data, rng, 60):
        path = write(tmp_path, fname, blob)
        start = time.perf_counter()
        outcome = read_fuzz.run_case(velotz, path)
        assert time.perf_counter() - start < 10, label
        assert outcome in outcomes, f"{label}: {outcome}"
        outcomes[outcome] += 1
    assert outcomes["refused"] >= 4  # empty, one byte, NUL bytes, junk at least


def test_batch_result_from_read_many_pickles(tmp_path):
    pytest.importorskip("pandas", reason="pandas is an optional package that is not installed here")
    write(tmp_path, "a.DTA", S.gamry())
    frame = velotz.read_many(str(tmp_path / "*.DTA"))
    batch = velotz.fit_batch("R0-(R1,C1)", frame, id_column="Spectrum", guess_init=False)
    assert pickle.loads(pickle.dumps(batch)) == batch
