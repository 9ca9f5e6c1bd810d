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
    assert "Kramers-Kronig" in out.stdout and "Comparison of 11 circuits" in out.stdout
    for name in ("synthetic_kk.png", "synthetic_fit.png"):
        data = (tmp_path / name).read_bytes()
        assert data[:8] == b"\x89PNG\r\n\x1a\n" and len(data) > 20000
