import re
import subprocess
import sys

import numpy as np
import pytest

import velotz

matplotlib = pytest.importorskip("matplotlib", reason="matplotlib is an optional package that is not installed here (the PyPy lane installs numpy and pytest only)")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

F = np.logspace(4, -1, 30)
VALUES = {"R0.r": 10.0, "R1.r": 100.0, "C1.c": 1e-5}


def measured():
    rng = np.random.default_rng(2)
    return rc(F) * (1 + 0.01 * rng.standard_normal(F.size))


def rc(f):
    """R0 + R1 || C1 from its formula."""
    w = 2 * np.pi * np.asarray(f)
    return VALUES["R0.r"] + VALUES["R1.r"] / (1 + 1j * w * VALUES["R1.r"] * VALUES["C1.c"])


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


@pytest.mark.parametrize("model", ["result", "circuit"])
def test_plot_fit_draws_data_and_model(model):
    z = measured()
    circuit = velotz.Circuit("R0-(R1,C1)").with_named_values(VALUES)
    obj = circuit if model == "circuit" else circuit.fit(F, z, guess_init=False)
    nyquist, modulus, phase, resid = velotz.plot_fit(obj, F, z, title="t")
    data, line = nyquist.get_lines()[:2]
    np.testing.assert_allclose(data.get_xdata(), z.real)
    np.testing.assert_allclose(data.get_ydata(), -z.imag)  # -Im Z up: the arc lies above the axis
    assert np.all(line.get_ydata() > 0)
    assert line.get_linestyle() == "-" and data.get_linestyle() == "None"
    assert nyquist.get_aspect() == 1.0
    assert "\u03a9" in nyquist.get_xlabel() and "Im" in nyquist.get_ylabel()
    assert modulus.get_xscale() == modulus.get_yscale() == phase.get_xscale() == "log"
    np.testing.assert_allclose(modulus.get_lines()[0].get_ydata(), np.abs(z))
    np.testing.assert_allclose(phase.get_lines()[0].get_ydata(), -np.degrees(np.angle(z)))
    if model == "circuit":
        fd = line.get_xdata()
        np.testing.assert_allclose(modulus.get_lines()[1].get_ydata(), np.abs(rc(modulus.get_lines()[1].get_xdata())),
                                   rtol=1e-12)
        re, im = resid.get_lines()[:2]
        expected = (z - rc(F)) / np.abs(z) * 100
        np.testing.assert_allclose(re.get_ydata(), expected.real, atol=1e-10)
        np.testing.assert_allclose(im.get_ydata(), expected.imag, atol=1e-10)
        assert len(fd) > len(F)  # the model is drawn on a dense grid
    assert "%" in resid.get_ylabel() and "Hz" in resid.get_xlabel()


def test_axes_passed_in_are_used_and_kk_results_plot():
    z = measured()
    fig, grid = plt.subplots(2, 2)
    axes = list(grid.flat)
    kk = velotz.kramers_kronig(F, z)
    assert velotz.plot_fit(kk, F, z, axes=axes) == axes
    re = axes[3].get_lines()[0].get_ydata()
    np.testing.assert_allclose(re, kk.residuals_real * 100, atol=1e-9)
    with pytest.raises(ValueError, match="4 axes"):
        velotz.plot_fit(kk, F, z, axes=axes[:3])
    with pytest.raises(ValueError, match="model"):
        velotz.plot_residuals(None, F, z)
    with pytest.raises(TypeError, match="model"):
        velotz.plot_nyquist("R0", F, z)


def test_import_stays_light():
    code = "import sys, velotz; print(sorted(m for m in ('numpy', 'matplotlib', 'pandas') if m in sys.modules))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"


def test_example_script_writes_its_pictures(tmp_path):
    import os
    from pathlib import Path

    script = Path(__file__).resolve().parents[1] / "examples" / "validate_compare_fit.py"
    env = dict(os.environ, PYTHONPATH=str(Path(velotz.__file__).resolve().parents[1]))
    out = subprocess.run([sys.executable, "-W", "ignore", str(script), "", str(tmp_path)],
                         capture_output=True, text=True, env=env)
    assert out.returncode != 0  # "" names no file
    out = subprocess.run([sys.executable, "-W", "ignore", str(script)], capture_output=True, text=True,
                         cwd=tmp_path, env=env, check=True)
    # eleven candidates, and reduced entries of those with parts the data cannot see
    assert "Kramers-Kronig" in out.stdout and re.search(r"Comparison of 1[1-9] circuits", out.stdout)
    for name in ("synthetic_kk.png", "synthetic_fit.png"):
        data = (tmp_path / name).read_bytes()
        assert data[:8] == b"\x89PNG\r\n\x1a\n" and len(data) > 20000


# ---------------------------------------------------------------- readable pictures
PLOT = sys.modules["velotz._plot"]  # the module behind velotz.plot_*, for its helpers


def ticks(axis, minor=False):
    """(tick values in view, their label texts), as a draw would write them."""
    locs = axis.get_minorticklocs() if minor else axis.get_majorticklocs()
    formatter = axis.get_minor_formatter() if minor else axis.get_major_formatter()
    labels = formatter.format_ticks(locs)
    lo, hi = sorted(axis.get_view_interval())
    pairs = [(v, t) for v, t in zip(locs, labels) if lo - 1e-12 * abs(hi) <= v <= hi + 1e-12 * abs(hi)]
    return [p[0] for p in pairs], [p[1] for p in pairs]


@pytest.mark.parametrize("factor, prefix", [(1e-4, "m"), (1.0, ""), (100.0, "k"), (1e5, "M"), (1e8, "G")])
def test_impedance_axes_carry_an_si_prefix_and_no_offset(factor, prefix):
    z = rc(F) * factor
    ax = velotz.plot_nyquist(None, F, z)
    modulus, _ = velotz.plot_bode(None, F, z)
    ax.apply_aspect()
    assert ax.get_xlabel().endswith(f"/ {prefix}\u03a9") and ax.get_ylabel().endswith(f"/ {prefix}\u03a9")
    assert modulus.get_ylabel().endswith(f"/ {prefix}\u03a9")
    scale = {"m": 1e-3, "": 1.0, "k": 1e3, "M": 1e6, "G": 1e9}[prefix]
    for axis in (ax.xaxis, ax.yaxis):
        assert axis.get_major_formatter().get_offset() == ""
        values, labels = ticks(axis)
        assert len(values) >= 3
        # Each label is the tick value in the prefixed unit, written alike.
        np.testing.assert_allclose([float(t.replace("\u2212", "-")) for t in labels], np.array(values) / scale,
                                   rtol=1e-9, atol=1e-9 * max(abs(v) for v in values) / scale)
        assert len({len(t.split(".")[1]) if "." in t else 0 for t in labels}) == 1
        assert all("e" not in t for t in labels)


@pytest.mark.parametrize("value, unit, text", [
    (1000.0, "Hz", "1 kHz"), (0.1, "Hz", "100 mHz"), (1.0, "Hz", "1 Hz"), (1e5, "Hz", "100 kHz"),
    (0.0123, "\u03a9", "12.3 m\u03a9"), (4.6e6, "\u03a9", "4.6 M\u03a9"), (999.96, "Hz", "1 kHz"),
    (-2.5e-6, "F", "\u22122.5 \u00b5F"),
])
def test_si_format(value, unit, text):
    assert PLOT.si_format(value, unit) == text


def test_nyquist_marks_each_decade_on_the_measured_points():
    z = rc(F)
    ax = velotz.plot_nyquist(None, F, z)
    marks = [t for t in ax.texts if t.get_gid() == "velotz-decades"]
    names = {t.get_text() for t in marks}
    assert {"10 kHz", "1 kHz", "100 Hz", "10 Hz"} <= names
    order = np.argsort(F)
    extent = max(np.ptp(z.real), np.ptp(z.imag))
    for t in marks:
        number, unit = t.get_text().split()
        f = float(number) * {"mHz": 1e-3, "Hz": 1.0, "kHz": 1e3}[unit]
        assert np.log10(f) == pytest.approx(round(np.log10(f)))
        # On the measured polyline, interpolated in log f.
        expected = (np.interp(np.log10(f), np.log10(F[order]), z.real[order]),
                    -np.interp(np.log10(f), np.log10(F[order]), z.imag[order]))
        np.testing.assert_allclose(t.xy, expected, rtol=1e-12)
    points = np.array([t.xy for t in marks])
    gaps = [np.hypot(*(a - b)) for i, a in enumerate(points) for b in points[:i]]
    assert min(gaps) >= PLOT.MARK_SPACING * extent  # crowded marks are left out
    dots = [line for line in ax.lines if line.get_gid() == "velotz-decades"]
    assert len(dots) == 1 and len(dots[0].get_xdata()) == len(marks)
    plain = velotz.plot_nyquist(None, F, z, decades=False)
    assert not [t for t in plain.texts if t.get_gid() == "velotz-decades"]


@pytest.mark.parametrize("r1, inset, zoomed", [
    (1e6, "auto", True), (100.0, "auto", False), (1e6, False, False), (100.0, True, True), (1e6, 50.0, True),
])
def test_inset_zooms_on_the_high_frequency_end(r1, inset, zoomed):
    f = np.logspace(6, -3, 46)
    z = 20.0 + 30.0 / (1 + 2j * np.pi * f * 30.0 * 1e-7) + r1 / (1 + 2j * np.pi * f * r1 * 1e-6)
    ax = velotz.plot_nyquist(None, f, z, inset=inset)
    inner = ax.velotz_inset
    assert (inner is not None) == zoomed
    if inner is not None:
        assert inner.get_gid() == "velotz-inset" and inner in ax.child_axes
        x0, x1 = inner.get_xlim()
        low, span = np.abs(z).min(), np.log10(np.abs(z).max() / np.abs(z).min())
        # The documented zoom: |Z| up to the number given, or within the
        # lowest third of the decades spanned (at least one decade for "auto").
        limit = {True: low * 10 ** (span / 3), "auto": low * 10 ** max(1, span / 3)}.get(inset, inset)
        near = np.abs(z) <= limit
        assert x0 <= z.real[near].min() and z.real[near].max() <= x1  # the small arc is in view
        assert x1 - x0 < 0.05 * np.ptp(z.real) if r1 > 1e3 else True


@pytest.mark.parametrize("kind", ["passes", "outlier"])
def test_kk_residuals_show_the_tolerance_band_and_the_verdict(kind):
    z = measured() if kind == "passes" else rc(F)
    rng = np.random.default_rng(5)
    if kind == "outlier":
        z = z * (1 + 2e-4 * rng.standard_normal(F.size))
        z[12] *= 1.06
    kk = velotz.kramers_kronig(F, z, tolerance=0.02)
    assert kk.passed == (kind == "passes")
    ax = velotz.plot_residuals(kk, F, z)
    band = [p for p in ax.patches if p.get_gid() == "velotz-tolerance"]
    assert len(band) == 1
    ys = band[0].get_path().transformed(band[0].get_patch_transform()).vertices[:, 1]
    assert (ys.min(), ys.max()) == pytest.approx((-2.0, 2.0))
    verdict = [t for t in ax.texts if t.get_gid() == "velotz-verdict"]
    assert len(verdict) == 1 and ("passed" if kk.passed else "failed") in verdict[0].get_text()
    rings = [line for line in ax.lines if line.get_gid() == "velotz-outliers"]
    if kind == "outlier":
        assert 12 in kk.outliers and len(rings) == 2
        assert F[12] in rings[0].get_xdata()
    else:
        assert not rings
    assert "Z_\\mathrm{KK}" in ax.get_ylabel()
    fitted = velotz.Circuit("R0-(R1,C1)").fit(F, z, guess_init=False)
    ax = velotz.plot_residuals(fitted, F, z)
    assert not [p for p in ax.patches if p.get_gid() == "velotz-tolerance"]  # a fit has no tolerance of its own
    assert "Z_\\mathrm{model}" in ax.get_ylabel() and "_model" not in ax.get_ylabel().replace("_\\mathrm{model}", "")
    ax = velotz.plot_residuals(fitted, F, z, band=0.005)
    assert len([p for p in ax.patches if p.get_gid() == "velotz-tolerance"]) == 1
    with pytest.raises(ValueError, match="band"):
        velotz.plot_residuals(fitted, F, z, band=-1)


def test_log_axes_label_decades_only():
    z = rc(F)
    modulus, phase = velotz.plot_bode(None, F, z)
    for axis in (modulus.xaxis, phase.xaxis):
        _, minor = ticks(axis, minor=True)
        assert minor and not any(minor)
        values, labels = ticks(axis)
        assert all(np.log10(v) == pytest.approx(round(np.log10(v))) for v in values) and all(labels)
    # Less than a decade of |Z| (102 ... 172 ohm, no decade inside): round
    # numbers, evenly spaced, several of them in view.
    f = np.logspace(3, 1, 9)
    modulus, _ = velotz.plot_bode(None, f, 100 + 60j * np.log10(f) - 200j)
    values, labels = ticks(modulus.yaxis)
    assert len(values) >= 3 and len(set(np.round(np.diff(values), 9))) == 1
    assert [float(t) for t in labels] == pytest.approx(values)
    assert not any(ticks(modulus.yaxis, minor=True)[1])
    # Between one and two decades (2 ... 25 kOhm): the decade and the ticks
    # at 2 and 5 of each decade are labelled, in kOhm.
    modulus, _ = velotz.plot_bode(None, f, np.geomspace(2e3, 2.5e4, f.size) + 0j)
    values, labels = ticks(modulus.yaxis, minor=True)
    shown = {round(v / 1e3, 9): t for v, t in zip(values, labels) if t}
    assert shown == {2.0: "2", 5.0: "5", 20.0: "20"} and modulus.get_ylabel().endswith("k\u03a9")


def test_parameter_table():
    z = measured()
    result = velotz.Circuit("R0-(R1,C1)").fit(F, z, guess_init=False)
    axes = velotz.plot_fit(result, F, z, table=True)
    fig = axes[0].figure
    tables = [t for a in fig.axes for t in a.tables if t.get_gid() == "velotz-table"]
    assert len(tables) == 1 and len(fig.axes) >= 5
    cells = tables[0].get_celld()
    texts = [[cells[r, c].get_text().get_text() for c in range(3)] for r in range(1, 4)]
    assert [row[0] for row in texts] == result.circuit.param_names()
    assert texts[2][1] == PLOT.si_format(result.params["C1.c"], "F", 4) and texts[2][1].endswith("\u00b5F")
    assert texts[1][2].startswith("\u00b1") and texts[1][2].endswith("%")
    with pytest.raises(ValueError, match="table"):
        velotz.plot_fit(result, F, z, axes=axes, table=True)
    fixed = velotz.Circuit("R0-(R1,C1)").with_named_values(VALUES).with_fixed("R0.r")
    rows = PLOT.parameter_rows(fixed)
    assert rows[0] == ("R0.r", "10 \u03a9", "fixed")


def test_drt_axes_in_prefixed_units():
    f = np.logspace(4, -2, 50)
    res = velotz.drt(f, rc(f) * 1e-3)
    ax = velotz.plot_drt(res)
    assert ax.get_ylabel() == "$\\gamma$ / m\u03a9" and ax.yaxis.get_major_formatter().get_offset() == ""
    assert any(t.get_text().endswith("m\u03a9") for t in ax.texts)  # the peak's resistance


@pytest.mark.parametrize("unit, text", [
    ("ohm", "\u03a9"), ("-", ""), ("ohm^-1*s^alpha", "\u03a9$^{-1}$\u2009s$^{\\alpha}$"),
    ("F*s^(gamma-1)", "F\u2009s$^{\\gamma-1}$"), ("ohm*s^-0.5", "\u03a9\u2009s$^{-0.5}$"),
])
def test_units_in_the_parameter_table(unit, text):
    assert PLOT._unit_text(unit) == text
    assert PLOT._number(2.054e-6) == "2.054\u00d710$^{-6}$" and PLOT._number(-0.5) == "\u22120.5"
