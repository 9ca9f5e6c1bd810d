"""The distribution of relaxation times against spectra whose DRT is known
in closed form, hard input, and the result object."""
import math
import pickle
import sys
import threading

import numpy as np
import pytest

import velotz
from analysis_data import REAL_DIR, read_bdf

FREQS = np.logspace(5, -2, 71)


def zarc(f, r, tau0, alpha):
    return r / (1 + (2j * np.pi * f * tau0) ** alpha)


def zarc_gamma(tau, r, tau0, alpha):
    """The exact DRT of R || CPE with time constant tau0 and exponent alpha."""
    s = math.sin((1 - alpha) * math.pi)
    return r / (2 * math.pi) * s / (np.cosh(alpha * np.log(tau / tau0)) - math.cos((1 - alpha) * math.pi))


def noisy(z, level, seed):
    rng = np.random.default_rng(seed)
    return z + level * np.abs(z) * (rng.standard_normal(z.shape) + 1j * rng.standard_normal(z.shape))


@pytest.mark.parametrize("derivative", [1, 2])
@pytest.mark.parametrize("tau0, alpha, l2", [(1e-3, 0.8, 0.1), (1e-1, 0.9, 0.3), (3e-3, 0.7, 0.1)])
def test_single_zarc_matches_its_exact_drt(tau0, alpha, l2, derivative):
    r = 100.0
    z = noisy(10.0 + zarc(FREQS, r, tau0, alpha), 1e-3, seed=1)
    res = velotz.drt(FREQS, z, derivative=derivative)
    assert res.method == "gcv-corr" and 1e-10 <= res.lam <= 10
    # The largest peak sits at tau0; the non-negative fit may split off
    # small bumps in the long tails of the exact distribution, but the peaks
    # within a decade of tau0 together hold R.
    main = max(res.peaks, key=lambda p: p[1])
    assert abs(math.log10(main[0] / tau0)) < 0.1
    near = sum(a for t, a, _ in res.peaks if abs(math.log10(t / tau0)) < 1)
    assert near == pytest.approx(r, rel=0.05)
    assert res.polarization_resistance == pytest.approx(r, rel=0.02)
    exact = zarc_gamma(res.tau, r, tau0, alpha)
    assert np.linalg.norm(res.gamma - exact) / np.linalg.norm(exact) < l2
    assert res.r_inf == pytest.approx(10.0, rel=0.03)
    assert np.all(res.gamma >= 0)
    # The fitted impedance follows the data to within the noise.
    assert np.sqrt(np.mean(np.abs(res.residuals) ** 2)) < 3e-3


def test_two_arcs_a_decade_apart_are_two_peaks_at_one_percent_noise():
    z = noisy(5.0 + zarc(FREQS, 50.0, 1e-3, 0.9) + zarc(FREQS, 80.0, 1e-2, 0.9), 1e-2, seed=3)
    res = velotz.drt(FREQS, z)
    big = [p for p in res.peaks if p[1] > 0.1 * res.polarization_resistance]
    assert len(big) == 2 and all(p[1] < 0.03 * 130 for p in res.peaks if p not in big)
    (t1, a1, _), (t2, a2, _) = big
    assert abs(math.log10(t1 / 1e-3)) < 0.15 and abs(math.log10(t2 / 1e-2)) < 0.15
    assert a1 + a2 == pytest.approx(130.0, rel=0.05)
    assert a1 == pytest.approx(50.0, rel=0.25) and a2 == pytest.approx(80.0, rel=0.25)


def test_series_resistance_and_inductance_are_recovered():
    f = np.logspace(6, -1, 60)
    inductance = 2e-6
    z = noisy(3.0 + 2j * np.pi * f * inductance + zarc(f, 20.0, 1e-4, 0.85), 1e-3, seed=7)
    assert np.any(z.imag > 0)  # an inductive tail
    res = velotz.drt(f, z)
    assert res.r_inf == pytest.approx(3.0, rel=0.02)
    assert res.inductance == pytest.approx(inductance, rel=0.02)
    assert res.polarization_resistance == pytest.approx(20.0, rel=0.02)
    assert abs(math.log10(max(res.peaks, key=lambda p: p[1])[0] / 1e-4)) < 0.1
    # Without the inductance the tail cannot be followed.
    without = velotz.drt(f, z, inductance=False)
    assert without.inductance is None
    assert np.max(np.abs(without.residuals)) > 10 * np.max(np.abs(res.residuals))


@pytest.mark.parametrize("part", ["real", "imag"])
@pytest.mark.parametrize("noise, kwargs", [
    # exact data drive GCV to the bottom of its range, where a non-negative
    # fit with the second-derivative penalty splits the arc into a main peak
    # and bumps on its tails: the first-derivative penalty with modified GCV
    (0.0, {"derivative": 1, "lam": "mgcv-corr"}),
    (1e-3, {}),
])
def test_one_part_alone_finds_the_arc(part, noise, kwargs):
    z = 10.0 + zarc(FREQS, 100.0, 1e-3, 0.8)
    if noise:
        z = noisy(z, noise, seed=6)
    res = velotz.drt(FREQS, z, part=part, **kwargs)
    main = max(res.peaks, key=lambda p: p[1])
    assert res.part == part and abs(math.log10(main[0] / 1e-3)) < 0.1
    assert main[1] == pytest.approx(100.0, rel=0.05)
    assert res.r_inf == pytest.approx(10.0, rel=0.05)
    assert (res.inductance is None) == (part == "real")


def test_a_given_lambda_is_used_and_smooths():
    z = noisy(zarc(FREQS, 100.0, 1e-3, 0.9), 1e-3, seed=2)
    sharp = velotz.drt(FREQS, z, lam=1e-8)
    smooth = velotz.drt(FREQS, z, lam=1.0)
    assert sharp.method == smooth.method == "given" and sharp.lam == 1e-8 and smooth.lam == 1.0
    assert len(sharp.gcv_lambdas) == 0
    assert smooth.gamma.max() < 0.5 * sharp.gamma.max()
    # Either way gamma holds the arc's resistance.
    assert smooth.polarization_resistance == pytest.approx(100.0, rel=0.1)


def test_unit_weighting_residuals_are_relative_to_the_largest_modulus():
    z = noisy(zarc(FREQS, 100.0, 1e-3, 0.8), 1e-3, seed=4)
    res = velotz.drt(FREQS, z, weighting="unit")
    assert np.allclose(res.residuals, (z - res.z_fit) / np.abs(z).max())
    assert max(res.peaks, key=lambda p: p[1])[1] == pytest.approx(100.0, rel=0.05)


# The second-derivative penalty (the default) leaves the slope of gamma
# free beyond the five points, so more of the arc's resistance can stray
# into the grid's margins than with the first.
@pytest.mark.parametrize("derivative, rel", [(1, 0.2), (2, 0.25)])
def test_five_points_give_a_result(derivative, rel):
    f = np.logspace(4, 0, 5)
    res = velotz.drt(f, 1.0 + zarc(f, 10.0, 1e-2, 0.9), derivative=derivative)
    assert np.all(np.isfinite(res.gamma)) and np.all(res.gamma >= 0)
    assert res.polarization_resistance == pytest.approx(10.0, rel=rel)


@pytest.mark.parametrize("frequencies, impedances, kwargs, message", [
    ([1.0, 10.0], [1 - 1j, 1 - 0.5j], {}, "at least 3 points"),
    ([1.0, 10.0, float("nan")], [1 - 1j, 1 - 0.5j, 1 - 0.1j], {}, "frequency must be positive"),
    ([1.0, 10.0, 100.0], [1 - 1j, complex(float("nan"), 0), 1 - 0.1j], {}, "index 1"),
    ([1.0, 1.0, 1.0], [1 - 1j, 1 - 0.5j, 1 - 0.1j], {}, "2 different frequencies"),
    ([1.0, 10.0, 100.0], [0j, 0j, 0j], {}, "zero"),
    ([1.0, 10.0, 100.0], [1 - 1j, 1 - 0.5j, 1 - 0.1j], {"derivative": 3}, "derivative"),
    ([1.0, 10.0, 100.0], [1 - 1j, 1 - 0.5j, 1 - 0.1j], {"part": "complex"}, "part"),
    ([1.0, 10.0, 100.0], [1 - 1j, 1 - 0.5j, 1 - 0.1j], {"weighting": "proportional"}, "weighting"),
    ([1.0, 10.0, 100.0], [1 - 1j, 1 - 0.5j, 1 - 0.1j], {"lam": -1.0}, "lambda"),
    ([1.0, 10.0, 100.0], [1 - 1j, 1 - 0.5j, 1 - 0.1j], {"shape": 0.0}, "shape"),
])
def test_bad_input_is_a_clear_value_error(frequencies, impedances, kwargs, message):
    with pytest.raises(ValueError, match=message):
        velotz.drt(frequencies, impedances, **kwargs)


def test_same_result_from_concurrent_threads():
    z = noisy(zarc(FREQS, 100.0, 1e-3, 0.8) + zarc(FREQS, 40.0, 1e-1, 0.9), 1e-2, seed=5)
    reference = velotz.drt(FREQS, z)
    results = [None] * 4

    def run(k):
        results[k] = velotz.drt(FREQS, z)

    threads = [threading.Thread(target=run, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for r in results:
        assert r.lam == reference.lam and np.array_equal(r.gamma, reference.gamma)
        assert r.peaks == reference.peaks


def test_result_pickles_prints_and_tabulates():
    z = noisy(zarc(FREQS, 100.0, 1e-3, 0.8) + zarc(FREQS, 40.0, 1e-1, 0.9), 1e-3, seed=6)
    res = velotz.drt(FREQS, z)
    back = pickle.loads(pickle.dumps(res))
    for name in type(res).__slots__:
        a, b = getattr(res, name), getattr(back, name)
        assert np.array_equal(a, b) if isinstance(a, np.ndarray) else a == b
    n = len(res.peaks)
    assert repr(back) == repr(res) and repr(res).startswith(f"DRTResult(peaks={n},")
    lines = res.summary().splitlines()
    assert lines[0].startswith(f"DRT with {n} peaks") and len(lines) == 2 + n
    assert np.allclose(res.frequency * res.tau, 1 / (2 * np.pi))
    pd = pytest.importorskip("pandas")
    table = res.to_dataframe()
    assert isinstance(table, pd.DataFrame) and list(table.columns) == ["tau", "frequency", "gamma"]
    assert len(table) == len(res.tau)


def test_dataframe_input_equals_arrays():
    pd = pytest.importorskip("pandas")
    z = zarc(FREQS, 100.0, 1e-3, 0.8)
    frame = pd.DataFrame({"Frequency / Hz": FREQS, "Real Impedance / ohm": z.real,
                          "Imaginary Impedance / ohm": z.imag})
    assert np.array_equal(velotz.drt(frame).gamma, velotz.drt(FREQS, z).gamma)


def test_plot_drt_marks_the_peaks():
    pytest.importorskip("matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    res = velotz.drt(FREQS, zarc(FREQS, 100.0, 1e-3, 0.8))
    ax = velotz.plot_drt(res, x="frequency")
    assert ax.get_xscale() == "log" and len(ax.lines) == 2
    assert ax.lines[1].get_xdata()[0] == pytest.approx(1 / (2 * np.pi * res.peaks[0][0]))
    with pytest.raises(TypeError):
        velotz.plot_drt(object())
    import matplotlib.pyplot as plt

    plt.close("all")


def test_ctrl_c_stops_a_long_computation():
    import _thread
    import time

    # 1200 points: several seconds of CPU uninterrupted. The bound is on
    # this process's CPU time, which a busy machine does not stretch.
    f = np.logspace(6, -3, 1200)
    z = noisy(zarc(f, 100.0, 1e-3, 0.8), 1e-3, seed=8)
    timer = threading.Timer(0.05, _thread.interrupt_main)
    start = time.process_time()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            velotz.drt(f, z)
    finally:
        timer.cancel()
    assert time.process_time() - start < 1.0


@pytest.mark.parametrize("tail", ["capacitor", "warburg"])
def test_a_tail_rising_into_the_end_of_the_grid_is_not_a_peak(tail):
    # a blocking capacitor or a semi-infinite Warburg below the lowest
    # frequency: gamma rises into the long-tau end of the grid
    f = np.logspace(5, -2, 60)
    w = 2 * np.pi * f
    extra = 1 / (1j * w * 1e-2) if tail == "capacitor" else 30 / np.sqrt(w) * (1 - 1j)
    # lambda from GCV alone: the default may raise it (the capacitor's misfit
    # leaves correlated residuals), which bends the rise over inside the
    # grid's margin (see the test below)
    res = velotz.drt(f, noisy(5 + zarc(f, 40.0, 1e-4, 0.85) + extra, 1e-3, seed=4), lam="mgcv")
    assert res.gamma[-1] > res.gamma[-2]
    assert all(t < res.tau[-1] for t, _, _ in res.peaks)
    # the arc is still found, though the rise is far higher than its peak
    assert any(abs(math.log10(t / 1e-4)) < 0.15 for t, _, _ in res.peaks)
    near = sum(a for t, a, _ in res.peaks if abs(math.log10(t / 1e-4)) < 1)
    assert near == pytest.approx(40, rel=0.2)


@pytest.mark.parametrize("tail", ["capacitor", "warburg"])
def test_a_tail_bent_over_beyond_the_window_is_not_a_peak(tail):
    # with the default lambda choice the tail may end in a maximum in the
    # half decade the grid adds beyond the lowest frequency; that maximum is
    # not a peak and does not hide the arc behind the 1 % threshold
    f = np.logspace(5, -2, 60)
    w = 2 * np.pi * f
    extra = 1 / (1j * w * 1e-2) if tail == "capacitor" else 30 / np.sqrt(w) * (1 - 1j)
    res = velotz.drt(f, noisy(5 + zarc(f, 40.0, 1e-4, 0.85) + extra, 1e-3, seed=4))
    assert all(t <= 1 / (2 * np.pi * f.min()) for t, _, _ in res.peaks)
    assert any(abs(math.log10(t / 1e-4)) < 0.15 for t, _, _ in res.peaks)
    assert sum(a for t, a, _ in res.peaks if abs(math.log10(t / 1e-4)) < 1) == pytest.approx(40, rel=0.2)


@pytest.mark.parametrize("case", ["zarc", "two_zarc"])
@pytest.mark.parametrize("level", [1e-3, 1e-2])
def test_independent_noise_keeps_the_gcv_choice(case, level):
    # white residuals are not positively correlated: the default lambda is
    # GCV's own, and "mgcv-corr" keeps modified GCV's
    z = 10.0 + zarc(FREQS, 100.0, 1e-3, 0.8)
    if case == "two_zarc":
        z = 10.0 + zarc(FREQS, 50.0, 1e-3, 0.9) + zarc(FREQS, 80.0, 1e-2, 0.9)
    z = noisy(z, level, seed=5)
    default, plain = velotz.drt(FREQS, z), velotz.drt(FREQS, z, lam="gcv")
    assert default.method == "gcv-corr" and plain.method == "gcv"
    assert default.lam == plain.lam
    np.testing.assert_array_equal(default.gamma, plain.gamma)
    modified, plain = velotz.drt(FREQS, z, lam="mgcv-corr"), velotz.drt(FREQS, z, lam="mgcv")
    assert modified.method == "mgcv-corr" and modified.lam == plain.lam


def test_measured_low_noise_spectrum_does_not_ring():
    # pyDRTtools' LIB_data_2: GCV alone picks lambda ~ 3e-8 and gamma
    # breaks into nine evenly spaced spikes. The best circuit fit holds
    # three (R, CPE) arcs; a non-negative fit may split a small bump off
    # each arc's tails, so at most twice as many peaks.
    path = REAL_DIR / "pydrttools_LIB_data_2.csv"
    if not path.is_file():
        pytest.skip("the shared measured spectra are not available")
    f, z = read_bdf(path)
    plain = velotz.drt(f, z, lam="gcv")
    res = velotz.drt(f, z)
    assert len(plain.peaks) > 6
    assert len(res.peaks) <= 6
    assert res.lam > plain.lam
    # the raised lambda still fits: within 1 % of |Z| at every point, 0.2 %
    # in the mean square
    assert np.max(np.abs(res.residuals)) < 1e-2
    assert np.sqrt(np.mean(np.abs(res.residuals) ** 2)) < 2e-3


@pytest.mark.parametrize("derivative, cap", [(1, 1e-2), (2, 1e-3)])
def test_the_raise_for_correlated_residuals_stops_at_the_cap_of_the_penalty(derivative, cap):
    # a capacitive tail the model cannot follow leaves correlated residuals
    # that would let lambda rise far; the rise stops at the cap set for the
    # penalised derivative (the penalties differ in scale)
    f = np.logspace(5, -2, 60)
    z = noisy(5 + zarc(f, 40.0, 1e-4, 0.85) + 1 / (2j * np.pi * f * 1e-2), 1e-3, seed=4)
    for lam in ("gcv-corr", "mgcv-corr"):
        raised = velotz.drt(f, z, lam=lam, derivative=derivative)
        plain = velotz.drt(f, z, lam=lam[:-5], derivative=derivative)
        assert raised.lam > plain.lam
        assert raised.lam <= cap * (1 + 1e-9)


@pytest.mark.parametrize("extra, message", [
    ((1e-2, 0.05, 10), "grid step"),
    ((1e-2, 12.0, 10), "grid step"),
    ((1e-2, 2.0, -1), "gcv_steps"),
    ((0.0, 2.0, 10), "largest raised lambda"),
])
def test_the_compiled_search_options_are_checked(extra, message):
    core = sys.modules["velotz._core"]
    z = zarc(FREQS, 100.0, 1e-3, 0.8)
    with pytest.raises(ValueError, match=message):
        core._drt(FREQS, z, None, 2, "both", "modulus", True, 0.5, 400, 1.0, True, *extra)


@pytest.mark.parametrize("grid_step, steps", [(1.0, 12), (2.0, 10)])
def test_the_search_grid_finds_the_same_gcv_minimum(grid_step, steps):
    # the coarse bracket and the golden-section steps end within 0.1 decade
    # of the best point of a scan of the same score in steps of 0.1 decade
    core = sys.modules["velotz._core"]
    z = noisy(10.0 + zarc(FREQS, 100.0, 1e-3, 0.8), 1e-2, seed=9)
    raw = core._drt(FREQS, z, None, 2, "both", "modulus", True, 0.5, 400, 1.0, False, 1e-3, grid_step, steps)
    fine = core._drt(FREQS, z, None, 2, "both", "modulus", True, 0.5, 400, 1.0, False, 1e-3, 0.1, 0)
    best = fine["gcv_lambdas"][int(np.argmin(fine["gcv_scores"]))]
    assert abs(math.log10(raw["lam"] / best)) < 0.1
