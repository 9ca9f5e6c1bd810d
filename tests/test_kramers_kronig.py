import contextlib
import io
import math

import numpy as np
import pytest

import velotz
from analysis_data import REAL_FILES, read_bdf


def spectrum(n=61, drift=0.0, noise=0.0, seed=0):
    """R0 + two depressed arcs, 1e5 .. 1e-2 Hz swept downwards. With drift,
    the low-frequency arc's resistance grows with the elapsed measuring time
    (two periods per point), so the late points belong to a changing system."""
    f = np.logspace(5, -2, n)
    w = 2 * np.pi * f
    elapsed = np.cumsum(2 / f)
    r2 = 200 * (1 + drift * elapsed / elapsed[-1])
    z = 20 + 100 / (1 + (1j * w * 1e-3) ** 0.8) + r2 / (1 + (1j * w * 2.0) ** 0.95)
    if noise:
        rng = np.random.default_rng(seed)
        z = z * (1 + noise * (rng.standard_normal(n) + 1j * rng.standard_normal(n)))
    return f, z


def reference(f, z, m, fit_type, add_cap, add_ind):
    """The linear Kramers-Kronig fit written from its definition with numpy's
    SVD least squares: residuals (Z - Z_fit) / |Z| and the R_k."""
    w = 2 * np.pi * f
    mod = np.abs(z)
    t_min, t_max = 1 / (2 * np.pi * f.max()), 1 / (2 * np.pi * f.min())
    taus = np.array([t_max]) if m == 1 else np.logspace(np.log10(t_min), np.log10(t_max), m)
    k = 1 / (1 + 1j * np.outer(w, taus))  # N x M
    cap = -1 / (w * mod)
    ind = w / mod
    extra_im = [c for c, on in ((cap, add_cap), (ind, add_ind)) if on]

    def lsq(a, b):
        # Columns scaled to unit norm first: the inductance column is larger
        # than the others by the frequency range, and the SVD's cutoff would
        # otherwise cost the small directions their accuracy.
        norms = np.linalg.norm(a, axis=0)
        return np.linalg.lstsq(a / norms, b, rcond=None)[0] / norms

    inv_c = l = 0.0
    if fit_type == "real":
        x = lsq(np.column_stack([1 / mod, k.real / mod[:, None]]), z.real / mod)
        r0, rk = x[0], x[1:]
        if extra_im:
            y = lsq(np.column_stack(extra_im), (z.imag - (k.imag @ rk)) / mod)
            inv_c = y[0] if add_cap else 0.0
            l = y[-1] if add_ind else 0.0
    elif fit_type == "imag":
        x = lsq(np.column_stack([k.imag / mod[:, None]] + extra_im), z.imag / mod)
        rk = x[:m]
        inv_c = x[m] if add_cap else 0.0
        l = x[-1] if add_ind else 0.0
        wts = 1 / mod**2
        r0 = np.sum(wts * (z.real - k.real @ rk)) / np.sum(wts)
    else:
        zeros = np.zeros_like(f)
        cols = [np.r_[1 / mod, zeros]] + [np.r_[k.real[:, i] / mod, k.imag[:, i] / mod] for i in range(m)]
        cols += [np.r_[zeros, c] for c in extra_im]
        x = lsq(np.column_stack(cols), np.r_[z.real / mod, z.imag / mod])
        r0, rk = x[0], x[1:m + 1]
        inv_c = x[m + 1] if add_cap else 0.0
        l = x[-1] if add_ind else 0.0
    z_fit = r0 + k @ rk + 1j * w * l - 1j * inv_c / w
    return (z - z_fit) / mod, rk, taus


@pytest.mark.parametrize("fit_type", ["real", "imag", "complex"])
@pytest.mark.parametrize("add_cap, add_ind", [(False, False), (False, True), (True, False), (True, True)])
@pytest.mark.parametrize("m", [1, 7, 20])
def test_fixed_m_matches_numpy_least_squares(fit_type, add_cap, add_ind, m):
    f, z = spectrum(noise=0.003)
    got = velotz.kramers_kronig(f, z, c=None, max_m=m, fit_type=fit_type,
                                add_capacitance=add_cap, add_inductance=add_ind)
    res, rk, taus = reference(f, z, m, fit_type, add_cap, add_ind)
    assert got.m == m
    np.testing.assert_allclose(got.time_constants, taus, rtol=1e-12)
    np.testing.assert_allclose(got.residuals_real, res.real, rtol=0, atol=1e-9)
    np.testing.assert_allclose(got.residuals_imag, res.imag, rtol=0, atol=1e-9)
    neg, pos = -rk[rk < 0].sum(), rk[rk >= 0].sum()
    assert got.mu == pytest.approx(1 - neg / pos, abs=1e-6)
    assert got.max_residual == pytest.approx(np.abs(np.r_[res.real, res.imag]).max(), abs=1e-9)
    assert (got.inductance is None) == (not add_ind)
    assert (got.capacitance is None) == (not add_cap)


def test_number_of_elements_is_the_first_with_mu_at_most_c():
    f, z = spectrum(noise=0.003)
    chosen = velotz.kramers_kronig(f, z, c=0.85)
    assert chosen.mu <= 0.85
    for m in range(1, chosen.m):
        assert velotz.kramers_kronig(f, z, c=None, max_m=m).mu > 0.85


def test_drifting_low_frequency_end_fails_where_it_drifts():
    # With a basis dense enough for this spectrum (c = 0.5), the steady
    # spectrum passes within its 0.3 % noise; a 10 % drift of the slow arc
    # fails, with the largest residuals at the low-frequency end.
    f, z = spectrum(n=71, noise=0.002)
    steady = velotz.kramers_kronig(f, z, c=0.5, fit_type="complex")
    assert steady.passed and steady.max_residual < 0.01
    f, z = spectrum(n=71, drift=0.1, noise=0.002)
    drifting = velotz.kramers_kronig(f, z, c=0.5, fit_type="complex")
    assert not drifting.passed
    worst = np.maximum(np.abs(drifting.residuals_real), np.abs(drifting.residuals_imag))
    assert f[np.argmax(worst)] < 0.1
    assert worst[f > 10].max() < 0.01


def test_dataframe_input_drops_nonpositive_rows():
    pd = pytest.importorskip("pandas", reason="pandas is an optional package that is not installed here (the PyPy lane installs numpy and pytest only)")
    f, z = spectrum()
    frame = pd.DataFrame({"Frequency / Hz": np.r_[0.0, f], "Real Impedance / ohm": np.r_[1.0, z.real],
                          "Imaginary Impedance / ohm": np.r_[0.0, z.imag]})
    a = velotz.kramers_kronig(frame)
    b = velotz.kramers_kronig(list(f), list(z))
    assert a.m == b.m and len(a.residuals_real) == len(f)
    np.testing.assert_array_equal(a.residuals_imag, b.residuals_imag)


@pytest.mark.parametrize("kwargs, message", [
    (dict(frequencies=[1.0, -1.0], impedances=[1 + 1j, 2 + 1j]), "positive and finite"),
    (dict(frequencies=[1.0, 2.0], impedances=[0j, 2 + 1j]), "finite and nonzero"),
    (dict(frequencies=[], impedances=[]), "must not be empty"),
    (dict(frequencies=[1.0, 2.0], impedances=[1 + 1j]), "same length"),
    (dict(frequencies=[1.0, 2.0, 3.0], impedances=[1, 2, 3], max_m=0), "max_m"),
    (dict(frequencies=[1.0, 2.0, 3.0], impedances=[1, 2, 3], fit_type="both"), "fit_type"),
    (dict(frequencies=[1.0, 2.0, 3.0], impedances=[1, 2, 3], tolerance=0), "tolerance"),
])
def test_refusals(kwargs, message):
    with pytest.raises(ValueError, match=message):
        velotz.kramers_kronig(**kwargs)


def test_few_points_keep_the_system_overdetermined():
    got = velotz.kramers_kronig([1.0, 10.0, 100.0], [3 - 1j, 2 - 1j, 1 - 0.5j], c=None, max_m=50)
    assert got.m == 2  # three real equations: R0 and two RC elements


impedance_validation = None
if REAL_FILES:
    try:
        import impedance.validation as impedance_validation
    except ImportError:  # pragma: no cover
        impedance_validation = None


@pytest.mark.skipif(impedance_validation is None, reason="needs impedance.py and ../shared/data/real")
@pytest.mark.parametrize("path", REAL_FILES, ids=[p.stem for p in REAL_FILES])
@pytest.mark.parametrize("fit_type, add_cap", [("real", False), ("real", True), ("complex", False), ("imag", True)])
def test_agrees_with_impedance_py_lin_kk(path, fit_type, add_cap):
    # impedance.py evaluates its circuit text with eval(); numpy 2 prints its
    # floats as np.float64(...), so the evaluation namespace needs np.
    impedance_validation.circuit_elements.setdefault("np", np)
    f, z = read_bdf(path)
    with contextlib.redirect_stdout(io.StringIO()):  # linKK prints every tenth M
        m, mu, _, res_re, res_im = impedance_validation.linKK(f, z, c=0.85, max_M=50, fit_type=fit_type,
                                                              add_cap=add_cap)
    got = velotz.kramers_kronig(f, z, c=0.85, fit_type=fit_type, add_capacitance=add_cap)
    assert got.m == m
    assert got.mu == pytest.approx(mu, abs=1e-6)
    # The real fit solves the same least squares by SVD (linKK) and QR
    # (velotz): equal to rounding. The complex and imaginary fits of linKK go
    # through the normal equations and an SVD pseudo-inverse of an
    # ill-conditioned matrix, which costs it up to ~1e-6.
    atol = 1e-11 if fit_type == "real" else 1e-5
    np.testing.assert_allclose(got.residuals_real, res_re, rtol=0, atol=atol)
    np.testing.assert_allclose(got.residuals_imag, res_im, rtol=0, atol=atol)


def test_threads_give_the_same_results_and_memory_stays_flat(memory_is_flat):
    from concurrent.futures import ThreadPoolExecutor

    f, z = spectrum(noise=0.003)
    fl, zl = list(f), list(z)
    alone = velotz.kramers_kronig(fl, zl)
    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lambda _: velotz.kramers_kronig(fl, zl), range(16)))
    for r in results:
        assert r.m == alone.m
        np.testing.assert_array_equal(r.residuals_real, alone.residuals_real)
    core = __import__("sys").modules["velotz._core"]
    memory_is_flat(lambda: core._kramers_kronig(fl[:20], zl[:20], 0.85, 50, True, True, "complex"),
                   per_round=500)
    result = velotz.Circuit("R0-(R1,CPE1)").fit(fl, zl)
    memory_is_flat(lambda: velotz.diagnose(result, fl), per_round=300)


def test_auto_lets_other_threads_run_and_does_not_leak(memory_is_flat):
    import threading
    import time

    f = np.logspace(5, -2, 30_000)
    z = 5 + 40 / (1 + (2j * np.pi * f * 1e-4) ** 0.8) + 200 / (1 + (2j * np.pi * f * 0.3) ** 0.9)
    z = z * (1 + 0.003 * np.cos(np.arange(f.size)))
    done = threading.Event()
    span = []

    def long_test():
        t0 = time.perf_counter()
        velotz.kramers_kronig(f, z)
        span.append(time.perf_counter() - t0)
        done.set()

    thread = threading.Thread(target=long_test)
    longest_pause, last = 0.0, time.perf_counter()
    thread.start()
    while not done.is_set():
        now = time.perf_counter()
        longest_pause, last = max(longest_pause, now - last), now
    thread.join()
    assert span[0] > 0.05
    # Holding the interpreter lock for the test would stall this loop for its whole duration.
    assert longest_pause < 0.5 * span[0]
    core = __import__("sys").modules["velotz._core"]
    fl, zl = list(f[::2500]), list(z[::2500])
    memory_is_flat(lambda: core._kk_auto(fl, zl, 2, True, True, 0.01), per_round=500)


# ---------------------------------------------------------------- automatic test
def arcs(kind, n=61, noise=0.01, seed=0):
    """Clean spectra of several shapes, swept from 1e5 to 1e-2 Hz, with
    proportional complex noise."""
    f = np.logspace(5, -2, n)
    s = 2j * np.pi * f
    z = {
        "rc": 10 + 100 / (1 + s * 1e-3),
        "two_rq": 5 + 40 / (1 + (s * 1e-4) ** 0.8) + 200 / (1 + (s * 0.3) ** 0.9),
        "randles_l": 1e-6 * s + 2 + 1 / (1 / (30 + 40 / np.sqrt(s)) + 1e-4 * s ** 0.85),
        "blocking": 50 + 1 / (1 / 1e3 + 1e-6 * s) + 1 / (2e-4 * s ** 0.95),
    }[kind]
    rng = np.random.default_rng(seed)
    return f, z * (1 + noise * (rng.standard_normal(n) + 1j * rng.standard_normal(n)))


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("kind", ["rc", "two_rq", "randles_l", "blocking"])
def test_auto_passes_clean_spectra_and_estimates_their_noise(kind, seed):
    f, z = arcs(kind, seed=seed)
    kk = velotz.kramers_kronig(f, z)
    assert kk.passed, kk.summary()
    assert kk.method == "auto" and len(kk.outliers) == 0 and kk.systematic == []
    # 1 % noise on each part: the estimate from the residuals is close
    assert 0.006 < kk.noise < 0.0125
    assert "consistent with the Kramers-Kronig relations" in kk.summary()


def test_auto_names_the_corrupted_points_and_nothing_else():
    f, z = arcs("two_rq", noise=0.003, seed=4)
    bad = [20, 21, 22, 40]
    z = z.copy()
    z[bad] *= 1.08 * np.exp(0.05j)
    kk = velotz.kramers_kronig(f, z)
    assert not kk.passed
    assert kk.outliers.tolist() == bad
    np.testing.assert_array_equal(kk.outlier_frequencies, f[bad])
    text = kk.summary()
    assert "4 points stand out" in text and f"{f[40]:.4g} Hz" in text


@pytest.mark.parametrize("spoil", ["flipped", "drift"])
def test_auto_fails_a_flipped_sign_and_a_drifting_end(spoil):
    if spoil == "flipped":
        f, z = arcs("two_rq", noise=0.003, seed=1)
        z = np.conj(z)
    else:
        f, z = spectrum(n=71, drift=0.1, noise=0.002)
    kk = velotz.kramers_kronig(f, z)
    assert not kk.passed
    if spoil == "drift":
        # the deviation sits at the slow end, where the drift happened
        flagged = list(f[kk.outliers]) + [hi for _, hi in kk.systematic]
        assert flagged and max(flagged) < 1.0


def test_auto_fit_is_the_least_squares_fit_of_its_basis():
    # The chosen M's residuals, from the definition: R0, M RC elements with
    # time constants from half a decade below 1/omega_max up to 1/omega_min,
    # 1/C and L, fitted to both parts of Z/|Z|.
    f, z = arcs("randles_l", noise=0.004, seed=2)
    kk = velotz.kramers_kronig(f, z)
    w = 2 * np.pi * f
    m = kk.m
    taus = np.logspace(np.log10(1 / w.max()) - 0.5, np.log10(1 / w.min()), m) if m > 1 else np.array([1 / w.min()])
    np.testing.assert_allclose(kk.time_constants, taus, rtol=1e-12)
    cols = [np.ones_like(w) + 0j] + [1 / (1 + 1j * w * t) for t in taus] + [-1j / w, 1j * w]
    a = np.column_stack(cols) / np.abs(z)[:, None]
    a2 = np.vstack([a.real, a.imag])
    b2 = np.r_[z.real, z.imag] / np.r_[np.abs(z), np.abs(z)]
    norms = np.linalg.norm(a2, axis=0)
    x = np.linalg.lstsq(a2 / norms, b2, rcond=None)[0] / norms
    res = (z - np.column_stack(cols) @ x) / np.abs(z)
    np.testing.assert_allclose(kk.residuals_real, res.real, atol=1e-9)
    np.testing.assert_allclose(kk.residuals_imag, res.imag, atol=1e-9)
    assert kk.capacitance is not None and kk.inductance == pytest.approx(x[-1], rel=1e-6, abs=1e-12)


@pytest.mark.parametrize("kwargs, method, c", [
    ({}, "auto", None),
    ({"c": 0.85}, "mu", 0.85),
    ({"c": None}, "fixed", None),
    ({"method": "mu"}, "mu", 0.85),
    ({"method": "fixed", "max_m": 9}, "fixed", None),
])
def test_method_follows_c_when_not_given(kwargs, method, c):
    f, z = spectrum(noise=0.003)
    kk = velotz.kramers_kronig(f, z, **kwargs)
    assert kk.method == method and kk.c == c
    if method == "fixed":
        assert kk.m == kwargs.get("max_m", 50)
    if method != "auto":
        assert kk.fit_type == "real" and kk.passed == (kk.max_residual <= 0.01)


@pytest.mark.parametrize("kwargs, message", [
    ({"method": "best"}, "method must be"),
    ({"method": "auto", "c": 0.5}, "does not use it"),
    ({"fit_type": "real"}, 'fit_type="real" needs method'),
])
def test_auto_refusals(kwargs, message):
    f, z = spectrum()
    with pytest.raises(ValueError, match=message):
        velotz.kramers_kronig(f, z, **kwargs)


@pytest.mark.parametrize("n", [1, 2, 3, 5])
def test_auto_handles_a_handful_of_points(n):
    f, z = arcs("rc", n=n, noise=0.0)
    if n == 1:
        with pytest.raises(ValueError, match="too few frequencies"):
            velotz.kramers_kronig(f, z)
        return
    kk = velotz.kramers_kronig(f, z)
    assert kk.m >= 1 and len(kk.residuals_real) == n and np.all(np.isfinite(kk.residuals_imag))


@pytest.mark.skipif(not REAL_FILES, reason="needs ../shared/data/real")
def test_auto_passes_the_dummy_cells_and_finds_the_mains_pickup():
    by_stem = {p.stem: p for p in REAL_FILES}
    for stem in ["impedancepy_Circuit1_EIS_1", "impedancepy_Circuit1_EIS_2", "impedancepy_Circuit2_EIS_1",
                 "impedancepy_Circuit3_EIS_1"]:
        assert velotz.kramers_kronig(*read_bdf(by_stem[stem])).passed, stem
    # The macrodisk sweeps pick up the 60 Hz mains at 59.8 Hz.
    f, z = read_bdf(by_stem["pyeis_ex1_cycle2"])
    kk = velotz.kramers_kronig(f, z)
    assert not kk.passed and 59.79 in np.round(kk.outlier_frequencies, 2)


def test_auto_recovers_series_inductance_and_capacitance():
    # A blocking electrode with lead inductance: L and C are the test
    # circuit's own series terms, so the fit returns them.
    f = np.logspace(5, -2, 61)
    s = 2j * np.pi * f
    z = 1e-6 * s + 2 + 1 / (1 / (30 + 40 / np.sqrt(s)) + 1e-4 * s ** 0.85) + 1 / (2e-3 * s)
    kk = velotz.kramers_kronig(f, z)
    assert kk.passed
    assert kk.inductance == pytest.approx(1e-6, rel=1e-3)
    # the CPE and Warburg tails take a little of the low-frequency reactance
    assert kk.capacitance == pytest.approx(2e-3, rel=2e-2)


@pytest.mark.parametrize("decades", [10, 300, 600])
def test_auto_survives_frequencies_over_hundreds_of_decades(decades):
    f = np.logspace(-decades / 2, decades / 2, 25)
    z = 5 + 100 / (1 + 2j * np.pi * f * 1e-3)
    kk = velotz.kramers_kronig(f, z)
    assert np.all(np.isfinite(kk.residuals_real)) and np.all(np.isfinite(kk.residuals_imag))
    assert np.all(np.isfinite(kk.z_fit))
