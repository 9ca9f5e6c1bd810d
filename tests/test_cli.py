"""The velotz command line, run as a user runs it: a real subprocess
(python -m velotz) on small files written here, and read-only on the shared
instrument files when they are present."""
import csv
import importlib.util
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import velotz
import read_samples as S

INSTRUMENTS = Path(os.environ.get("VELOTZ_INSTRUMENT_DATA",
                                  Path(__file__).resolve().parents[2] / "shared" / "data" / "instruments"))
# Whatever this process imports velotz from (the build tree, or site-packages).
PACKAGE_ROOT = str(Path(velotz.__file__).resolve().parents[1])
R0, R1, C1 = 12.0, 150.0, 2e-6
F = np.logspace(5, -1, 31)


def env():
    out = dict(os.environ)
    out["PYTHONPATH"] = PACKAGE_ROOT + (os.pathsep + out["PYTHONPATH"] if out.get("PYTHONPATH") else "")
    out.pop("COLUMNS", None)
    return out


def velotz_cli(*args, cwd=None, timeout=60):
    return subprocess.run([sys.executable, "-m", "velotz", *map(str, args)], capture_output=True, text=True,
                          env=env(), cwd=cwd, timeout=timeout)


def rc(f, r0=R0, r1=R1, c1=C1):
    w = 2 * np.pi * np.asarray(f)
    return r0 + r1 / (1 + 1j * w * r1 * c1)


def bdf(path, f, z):
    lines = ["Frequency / Hz,Real Impedance / ohm,Imaginary Impedance / ohm"]
    lines += [f"{a!r},{b.real!r},{b.imag!r}" for a, b in zip(f.tolist(), z.tolist())]
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("\n".join(lines) + "\n")
    return path


def table(path):
    with open(path, newline="") as handle:
        return list(csv.DictReader(handle))


@pytest.fixture
def folder(tmp_path):
    """data/a.csv and data/b.csv (R0-(R1,C1) with different R1), data/sub/c.csv,
    data/ab_bad.csv (not a spectrum) and data/notes.md (not an instrument file)."""
    d = tmp_path / "data"
    bdf(d / "a.csv", F, rc(F))
    bdf(d / "b.csv", F, rc(F, r1=2 * R1))
    bdf(d / "sub" / "c.csv", F, rc(F, r1=3 * R1))
    (d / "ab_bad.csv").write_text("this is not,a spectrum\nat,all\n")
    (d / "notes.md").write_text("# notes\n")
    return d


def test_kk_over_a_folder_reports_the_unreadable_file_and_goes_on(folder, tmp_path):
    out = tmp_path / "kk.csv"
    run = velotz_cli("kk", folder, "-o", out)
    assert run.returncode == 1, run.stderr
    assert "ab_bad.csv" in run.stderr and "error" in run.stderr
    rows = table(out)
    assert [Path(r["file"]).name for r in rows] == ["a.csv", "b.csv"]  # sorted, no sub-folder, no .md
    assert all(r["passed"] == "True" and r["points"] == str(len(F)) for r in rows)
    assert float(rows[0]["f_min"]) == pytest.approx(F.min()) and float(rows[0]["f_max"]) == pytest.approx(F.max())
    # -r descends; --strict stops at the first failure (ab_bad.csv sorts between a and b).
    run = velotz_cli("kk", folder, "-r", "--strict", "-o", out)
    assert run.returncode == 1
    assert [Path(r["file"]).name for r in table(out)] == ["a.csv"]
    run = velotz_cli("kk", folder / "a.csv", folder / "sub", "-q")
    assert run.returncode == 0 and run.stderr == ""
    rows = list(csv.DictReader(run.stdout.splitlines()))  # CSV on standard output without -o
    assert [Path(r["file"]).name for r in rows] == ["a.csv", "c.csv"]


@pytest.mark.parametrize("args, message", [
    (["kk", "missing.csv"], "missing.csv: no such file"),
    (["kk", "nothing*.csv"], "no file matches"),
    (["fit", "R0-(R1,Q1)", "a.csv"], "circuit"),
    (["kk", "a.csv", "-o", "no/such/folder/out.csv"], "does not exist"),
])
def test_failures_exit_non_zero_with_a_message(folder, args, message):
    run = velotz_cli(*args, cwd=folder)
    assert run.returncode == 1
    assert message in run.stderr


def test_fit_recovers_the_parameters_and_draws_pictures(tmp_path):
    spectra = tmp_path / "two.mpt"
    spectra.write_bytes(S.mpt(cycles=2))  # one EC-Lab file, two cycles of R0-(R1,C1): two rows
    out, figs = tmp_path / "fit.csv", tmp_path / "figs"
    # Pictures where matplotlib is installed (not in the PyPy lane).
    plots = importlib.util.find_spec("matplotlib") is not None
    run = velotz_cli("fit", "R0-(R1,C1)", spectra, "-o", out, *(["--plots", figs] if plots else []))
    assert run.returncode == 0, run.stderr
    rows = table(out)
    assert [(Path(r["file"]).name, r["sweep"], r["points"]) for r in rows] == [
        ("two.mpt", "0", str(len(S.F))), ("two.mpt", "1", str(len(S.F)))]
    for row in rows:
        got = {k: float(row[k]) for k in ("R0.r", "R1.r", "C1.c")}
        # The file holds 8 significant digits.
        assert got == pytest.approx({"R0.r": S.R0, "R1.r": S.R1, "C1.c": S.C1}, rel=1e-5)
        assert row["success"] == "True" and row["error"] == "" and row["R1.r_stderr"] != ""
    if not plots:
        return
    pictures = sorted(p.name for p in figs.iterdir())
    assert pictures == ["two_mpt_fit_sweep0.png", "two_mpt_fit_sweep1.png"]
    assert all((figs / p).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" for p in pictures)


def test_compare_and_drt_tables(folder, tmp_path):
    out = tmp_path / "cmp.csv"
    run = velotz_cli("compare", folder / "a.csv", "-c", "R0-(R1,C1)", "-c", "R0-C1", "-o", out)
    assert run.returncode == 0, run.stderr
    rows = table(out)
    assert [r["circuit"] for r in rows] == ["R0-(R1,C1)", "R0-C1"]  # the right circuit ranks first
    assert [r["recommended"] for r in rows] == ["True", "False"]
    assert float(rows[1]["delta"]) > 0
    assert len(out.read_text().splitlines()) == 1 + len(rows)  # one line per row, the diagnosis too
    # Parquet where pyarrow is installed (read back with it), CSV elsewhere.
    parquet = importlib.util.find_spec("pyarrow") is not None
    out = tmp_path / ("drt.parquet" if parquet else "drt.csv")
    run = velotz_cli("drt", folder / "a.csv", folder / "ab_bad.csv", folder / "b.csv", "-o", out)
    assert run.returncode == 1 and "ab_bad.csv" in run.stderr
    if parquet:
        import pyarrow.parquet as pq

        rows = pq.read_table(out).to_pylist()
        assert isinstance(rows[0]["r_pol"], float) and isinstance(rows[0]["peaks"], int)
    else:
        rows = table(out)
    assert [Path(r["file"]).name for r in rows] == ["a.csv", "b.csv"]
    for row, r1 in zip(rows, (R1, 2 * R1)):
        # One peak at tau = R1 C1 holding the resistance R1.
        assert int(row["peaks"]) == 1
        assert float(row["tau_1"]) == pytest.approx(r1 * C1, rel=0.1)
        assert float(row["r_pol"]) == pytest.approx(r1, rel=0.05)
        assert float(row["r_inf"]) == pytest.approx(R0, rel=0.05)


def test_help_is_quick_and_shows_examples():
    run = velotz_cli("--help")
    assert run.returncode == 0
    for word in ("examples:", "velotz fit", "velotz kk", "velotz compare", "velotz drt", "exit status"):
        assert word in run.stdout
    run = velotz_cli("fit", "--help")
    assert run.returncode == 0 and "CIRCUIT" in run.stdout and "--plots" in run.stdout
    assert velotz_cli().returncode == 2  # no command: the help, and a usage error status
    code = "import sys, velotz._cli, velotz.__main__; print('numpy' in sys.modules)"
    light = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env(), check=True)
    assert light.stdout.strip() == "False"


@pytest.mark.skipif(sys.platform == "win32", reason="SIGINT to a child process")
def test_ctrl_c_stops_keeps_what_was_done_and_exits_130(tmp_path):
    d = tmp_path / "many"
    n = 400
    for k in range(n):
        bdf(d / f"s{k:03d}.csv", F, rc(F, r1=R1 * (1 + k / n)))
    out = tmp_path / "partial.csv"
    proc = subprocess.Popen([sys.executable, "-m", "velotz", "drt", str(d), "-o", str(out), "--progress"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env())
    # The progress lines (one per file, stderr is a pipe) say when work is under way.
    seen = 0
    deadline = time.monotonic() + 30
    while seen < 5 and time.monotonic() < deadline:
        line = proc.stderr.readline()
        if not line:
            break
        seen += "velotz: " in line and "/400" in line
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=30)
    assert proc.returncode == 130, err
    assert "interrupted" in err
    rows = table(out)
    assert 5 <= len(rows) < n
    assert [Path(r["file"]).name for r in rows] == [f"s{k:03d}.csv" for k in range(len(rows))]


@pytest.mark.skipif(not INSTRUMENTS.is_dir(), reason="../shared/data/instruments is absent")
def test_instrument_files(tmp_path):
    names = ["Circuit1_EIS_1.z", "eclab_peis.issue_149.mpt", "exampleDataBioLogic_MissingFreq.mpt",
             "exampleDataGamry.DTA"]
    present = [INSTRUMENTS / n for n in names if (INSTRUMENTS / n).is_file()]
    if len(present) < len(names):
        pytest.skip("some of the shared instrument files are missing")
    out = tmp_path / "kk.csv"
    run = velotz_cli("kk", *present, "--method", "mu", "-o", out)
    rows = table(out)
    # The file without a frequency column is named in an error; the others
    # give one row per sweep, in the order given.
    assert run.returncode == 1 and "exampleDataBioLogic_MissingFreq.mpt" in run.stderr
    assert [(Path(r["file"]).name, r["sweep"]) for r in rows] == [
        ("Circuit1_EIS_1.z", "0"), *[("eclab_peis.issue_149.mpt", str(k)) for k in range(4)],
        ("exampleDataGamry.DTA", "0")]
    assert all(r["method"] == "mu" and r["error"] == "" for r in rows)
