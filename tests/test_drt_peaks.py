"""Which maxima of a DRT count as peaks: ripples on tails and shoulders of
larger peaks are merged into their neighbours, separate processes stay."""
import math

import numpy as np
import pytest

import velotz
from velotz._drt import find_peaks, noise_level, peak_significance, significant_peaks

TAU = np.logspace(-6, 1, 281)
FREQS = np.logspace(5, -2, 71)
WINDOW = (1 / (2 * np.pi * FREQS.max()), 1 / (2 * np.pi * FREQS.min()))


def bell(tau0, height, width=0.3):
    """A Gaussian in log10 tau with the given height and standard deviation
    in decades."""
    return height * np.exp(-0.5 * (np.log10(TAU / tau0) / width) ** 2)


def area(gamma):
    return float(np.sum(0.5 * (gamma[1:] + gamma[:-1]) * np.diff(np.log(TAU))))


def model(gamma):
    """The impedance of gamma alone (trapezoid rule over ln tau)."""
    y = np.log(TAU)
    w = np.zeros(len(y))
    w[1:] += 0.5 * np.diff(y)
    w[:-1] += 0.5 * np.diff(y)
    return (1.0 / (1.0 + 1j * np.outer(2 * np.pi * FREQS, TAU))) @ (gamma * w)


def zarc(f, r, tau0, alpha):
    return r / (1 + (2j * np.pi * f * tau0) ** alpha)


@pytest.mark.parametrize("extra, expected", [
    # a ripple holding 1 % of the resistance on the tail of the main peak
    (lambda: bell(3e-2, 1.0, 0.15), 1),
    # a shoulder: a small maximum in the flank, barely above the valley
    (lambda: bell(4e-3, 14.0, 0.1), 1),
    # a second process a decade and a half away, a third of the first
    (lambda: bell(3e-2, 15.0), 2),
    # a separate small process, 8 % of the resistance
    (lambda: bell(1e-1, 3.5, 0.2), 2),
])
def test_ripples_and_shoulders_merge_processes_stay(extra, expected):
    gamma = bell(1e-3, 40.0) + extra()
    z = 10 + model(gamma)
    # every candidate is a local maximum, so only the rule can drop it
    assert len(find_peaks(np, TAU, gamma, window=WINDOW)) == 2
    peaks = significant_peaks(np, TAU, gamma, FREQS, np.abs(z), 1e-3, window=WINDOW)
    assert len(peaks) == expected
    # merged or not, the peaks share out the whole resistance
    assert sum(p[1] for p in peaks) == pytest.approx(area(gamma), rel=1e-6)
    main = max(peaks, key=lambda p: p[1])
    assert abs(math.log10(main[0] / 1e-3)) < 0.05


@pytest.mark.parametrize("sigma, expected", [(1e-4, 2), (0.3, 1)])
def test_a_peak_lost_in_the_noise_is_not_counted(sigma, expected):
    # 10 % of the resistance, well separated: counted against small noise,
    # merged when the noise is so large that removing it changes nothing
    gamma = bell(1e-4, 40.0) + bell(1e-1, 4.0)
    z = 10 + model(gamma)
    peaks = significant_peaks(np, TAU, gamma, FREQS, np.abs(z), sigma, window=WINDOW)
    assert len(peaks) == expected


@pytest.mark.parametrize("parts", [(True, True), (True, False), (False, True)])
def test_the_significance_is_the_change_of_the_model_in_noise_units(parts):
    gamma = bell(1e-4, 40.0) + bell(1e-1, 4.0)
    z = 10 + model(gamma)
    i = int(np.argmin(np.abs(TAU - 1e-1)))
    left = int(np.argmin(gamma[:i]))
    right = len(TAU) - 1
    sigma = 2e-3
    chi2 = peak_significance(np, TAU, gamma, FREQS, np.abs(z), sigma, left, right, parts)
    # independently: the impedance of the bump above the higher minimum
    bump = np.zeros_like(gamma)
    level = max(gamma[left], gamma[right])
    bump[left:right + 1] = np.maximum(gamma[left:right + 1] - level, 0)
    dz = model(bump) / np.abs(z) / sigma
    expected = parts[0] * np.sum(dz.real ** 2) + parts[1] * np.sum(dz.imag ** 2)
    assert chi2 == pytest.approx(expected, rel=1e-9)
    assert peak_significance(np, TAU, gamma, FREQS, np.abs(z), 0.0, left, right, parts) == math.inf


@pytest.mark.parametrize("parts, expected", [((True, True), math.sqrt(3 / 8)), ((True, False), math.sqrt(0.5)),
                                              ((False, True), 0.5)])
def test_noise_level_is_the_rms_of_the_fitted_parts(parts, expected):
    residuals = np.array([1 + 0j, -1 + 0j, 0 + 0j, 0 + 1j])
    assert noise_level(np, residuals, parts) == pytest.approx(expected)


@pytest.mark.parametrize("case, count", [
    ("zarc", 1),
    ("two_zarc", 2),
])
def test_drt_reports_one_peak_per_process_at_one_percent_noise(case, count):
    if case == "zarc":
        clean = 10 + zarc(FREQS, 100, 1e-3, 0.8)
    else:
        clean = 10 + zarc(FREQS, 50, 1e-3, 0.9) + zarc(FREQS, 80, 1e-2, 0.9)
    right = ripples = 0
    for seed in range(21, 31):
        rng = np.random.default_rng(seed)
        z = clean + 1e-2 * np.abs(clean) * (rng.standard_normal(71) + 1j * rng.standard_normal(71))
        res = velotz.drt(FREQS, z)
        right += len(res.peaks) == count
        # the grid's maxima include ripples on the tails; the reported peaks not
        ripples += len(find_peaks(np, res.tau, res.gamma)) > count
        assert sum(p[1] for p in res.peaks) == pytest.approx(100 if case == "zarc" else 130, rel=0.1)
    # lambda chosen by GCV undersmooths now and then (a split peak), so
    # not every draw: eight of ten
    assert right >= 8 and ripples >= 5


def second_draw(seed, level=1e-2):
    """The second of a run of noisy draws of one ZARC (the first is skipped)."""
    rng = np.random.default_rng(seed)
    clean = 10 + zarc(FREQS, 100, 1e-3, 0.8)
    draws = [clean + level * np.abs(clean) * (rng.standard_normal(71) + 1j * rng.standard_normal(71))
             for _ in range(2)]
    return draws[1]


def core_drt(z, robust, decades=2.0):
    import sys

    core = sys.modules["velotz._core"]
    return core._drt(FREQS, z, None, 2, "both", "modulus", True, 0.5, 400, 1.0, False, 1e-3, 2.0, 10,
                     robust, decades)


def test_the_robust_guard_lifts_a_lambda_from_the_flat_end_of_gcv():
    # on this draw the GCV curve is flat from 1e-6 to 1e-2 and its minimum
    # lies at about 1e-6, where gamma splits the single arc in two
    z = second_draw(777)
    plain, guarded = core_drt(z, 1.0), core_drt(z, 0.3)
    assert plain["lam"] < 1e-5
    assert guarded["lam"] > 100 * plain["lam"]
    # the plain scores are the same either way: the guard only adds its own
    n = len(plain["gcv_lambdas"])
    assert guarded["gcv_lambdas"][:n] == plain["gcv_lambdas"][:n]
    assert guarded["gcv_scores"][:n] == plain["gcv_scores"][:n]
    assert len(velotz.drt(FREQS, z).peaks) == 1


@pytest.mark.parametrize("seed", [1, 2, 3, 4])
def test_the_robust_guard_leaves_a_sound_gcv_choice(seed):
    # where GCV has a clear minimum the guard keeps it (to the bit), and a
    # margin too wide for any switch keeps it everywhere
    z = second_draw(seed, 1e-3)
    plain = core_drt(z, 1.0)
    assert core_drt(z, 0.3)["lam"] == plain["lam"]
    assert core_drt(z, 0.3, 100.0)["lam"] == plain["lam"]
    assert 1e-6 < plain["lam"] < 1e-2


@pytest.mark.parametrize("robust, decades, message", [
    (0.0, 1.5, "robust GCV weight"),
    (1.5, 1.5, "robust GCV weight"),
    (0.5, -1.0, "robust GCV margin"),
    (0.5, math.inf, "robust GCV margin"),
])
def test_the_robust_guard_options_are_checked(robust, decades, message):
    with pytest.raises(ValueError, match=message):
        core_drt(zarc(FREQS, 100, 1e-3, 0.8), robust, decades)
