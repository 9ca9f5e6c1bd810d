"""The measured-data defects of the training spectra (training/generate.py)."""

import pathlib
import sys

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("torch")

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "training"))
import generate  # noqa: E402

NAMES = ["R0.r", "R1.r", "CPE1.q", "CPE1.alpha", "R2.r", "CPE2.q", "CPE2.alpha"]


def tau(r, q, alpha):
    return (r * q) ** (1.0 / alpha)


@pytest.mark.parametrize("slow_first", [True, False])
def test_order_blocks_puts_the_faster_arc_first(slow_first):
    fast, slow = (10.0, 1e-6, 0.9), (100.0, 1e-2, 0.8)
    blocks = (slow, fast) if slow_first else (fast, slow)
    p = np.array([1.0, *blocks[0], *blocks[1]])
    out = generate.order_blocks("two_rq", NAMES, p)
    assert tau(*out[1:4]) < tau(*out[4:7])
    np.testing.assert_array_equal(out[1:4], fast)
    np.testing.assert_array_equal(out[4:7], slow)
    assert out[0] == 1.0


def test_noise_grows_towards_low_frequency():
    rng = np.random.default_rng(0)
    f = np.logspace(-2, 5, 36)
    z = np.full(f.size, 10.0 + 0j)
    rel = np.array([np.abs(generate.growing_noise(rng, f, z) - z) / 10.0 for _ in range(3000)])
    # the Rayleigh-distributed |noise| has mean sigma * sqrt(pi / 2)
    sigma = rel.mean(axis=0) / np.sqrt(np.pi / 2)
    top, bottom = sigma[-1], sigma[0]  # f ascending: last is the top frequency
    assert 0.001 < top < 0.02
    assert top < bottom < 0.05
    assert np.all(np.diff(sigma[::5]) < 0)


@pytest.mark.parametrize("name", ["two_rq", "randles", "sei_randles", "sei_randles_wo", "rq_l", "two_rc"])
def test_realistic_spectra_are_finite_and_labelled_inside_the_ranges(name):
    source = generate.SpectrumSource(name)
    rng = np.random.default_rng(7)
    log_mask = np.array([not n.endswith(".alpha") for n in source.names])
    for _ in range(25):
        s = source.draw_realistic(rng)
        assert s.freqs.size >= 10 and np.ptp(np.log10(s.freqs)) >= generate.CROP_MIN_DECADES
        assert np.all(np.isfinite(s.z)) and np.all(np.isfinite(s.params))
        assert np.all(s.params[log_mask] > 0)
        assert np.all((s.params[~log_mask] >= 0.05) & (s.params[~log_mask] <= 1.0))
        if name == "two_rq":
            p = s.params
            assert tau(*p[1:4]) <= tau(*p[4:7])


def test_check_realistic_measures_against_the_lowest_cost_of_all_starts():
    import check_realistic

    models = pathlib.Path(__file__).resolve().parent.parent / "models"
    for realistic in (True, False):
        (r,) = check_realistic.compare("rq", [models / "rq.eisnn"], 6, 3, realistic)
        assert r["file"] == str(models / "rq.eisnn")
        # the guess's own fit is among the starts the lowest cost is taken
        # over, and a fit never ends above its own start
        assert r["median"] >= 1.0 and r["p90"] >= r["median"]
        assert r["guess_median"] >= r["median"]
        assert 0.0 <= r["at_best"] <= 1.0
    with pytest.raises(ValueError, match="not R0-\\(R1,CPE1\\)"):
        check_realistic.compare("rq", [models / "rc.eisnn"], 1, 3, True)
