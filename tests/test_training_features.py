"""Network input features of the training pipeline on spectra whose features
can be worked out by hand. (The module's own inference is checked against
the same code by the C++ parity fixture.)"""

import math
import pathlib
import sys

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("torch")

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "training"))
import eisnn  # noqa: E402

T = np.arange(64) / 63.0  # grid positions as a fraction of the span


@pytest.mark.parametrize("order", [1, -1], ids=["ascending", "descending"])
def test_constant_phase_spectrum(order):
    # |Z| goes 1 -> 100 over 1 -> 100 Hz at a constant -45 degrees: both points
    # weigh 1/sqrt(2), so Z0 = 10 ohm and omega0 = 2*pi*10 rad/s; log|Z| is
    # linear in log f, so the grid is exact.
    f = np.array([1.0, 100.0])[::order]
    z = (np.array([1.0, 100.0]) * np.exp(-1j * math.pi / 4))[::order]
    feat = eisnn.features(f, z)
    assert feat.z0 == pytest.approx(10.0, rel=1e-14)
    assert feat.omega0 == pytest.approx(2 * math.pi * 10.0, rel=1e-14)
    x = 2.0 * T  # log10 f on the grid
    np.testing.assert_allclose(feat.grid[0], x - 1.0, atol=1e-14)
    np.testing.assert_allclose(feat.grid[1], -0.5, atol=1e-15)
    np.testing.assert_allclose(feat.grid[2], (x - 1.0) / 4, atol=1e-14)
    np.testing.assert_allclose(feat.extras, [2 / 8, math.log10(2) / 2], atol=1e-15)


@pytest.mark.parametrize("moduli, z0", [([3.0, 1.0, 2.0], 2.0), ([4.0, 1.0, 3.0, 2.0], 3.0)])
def test_resistive_spectrum_takes_fallback_scales(moduli, z0):
    # No capacitive point: omega0 is the geometric mean of 2*pi*f and Z0 the
    # upper median of |Z|.
    f = np.logspace(0, 2 * (len(moduli) - 1), len(moduli))
    feat = eisnn.features(f, np.array(moduli) + 0j)
    assert feat.z0 == z0
    assert feat.omega0 == pytest.approx(2 * math.pi * 10.0 ** (len(moduli) - 1), rel=1e-14)
    np.testing.assert_array_equal(feat.grid[1], 0.0)


def test_phase_jump_unwraps():
    # +3.1 rad then -3.1 rad: unwrapped, the second point is 2*pi - 3.1 (about 3.18).
    f = np.array([1.0, 10.0])
    z = np.exp(1j * np.array([3.1, -3.1]))
    feat = eisnn.features(f, z)
    assert feat.grid[1][0] == pytest.approx(3.1 / (math.pi / 2), rel=1e-14)
    assert feat.grid[1][-1] == pytest.approx((2 * math.pi - 3.1) / (math.pi / 2), rel=1e-14)


def test_one_point_is_refused():
    with pytest.raises(ValueError, match="need at least 2 frequency points to guess, got 1"):
        eisnn.features([1.0], [1.0 - 1.0j])
