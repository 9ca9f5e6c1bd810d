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


def _arc_lfc(r, q, alpha):
    """log10 characteristic frequency of an R || CPE arc (Zarc relation)."""
    return -np.log10(2 * np.pi * tau(r, q, alpha))


@pytest.mark.parametrize("name", ["sei_randles", "sei_randles_wo"])
@pytest.mark.parametrize("overlap", [False, True])
def test_swapped_arc_draws_keep_every_range(name, overlap):
    source = generate.SpectrumSource(name)
    rng = np.random.default_rng(3)
    ranges = {"swap_arcs": True, "alpha_range": generate.REAL_ALPHA_RANGE}
    if overlap:
        ranges["separation"] = generate.OVERLAP_SEPARATION
    for _ in range(200):
        f = generate.sample_window(rng)
        a, b = np.log10(f.min()), np.log10(f.max())
        p = dict(zip(source.names, generate.sample_params(name, rng, f, source.names, **ranges)))
        assert 1e-3 <= p["R0.r"] <= 1e3
        lfc = {}
        for k in (1, 2):
            r, q, alpha = p[f"R{k}.r"], p[f"CPE{k}.q"], p[f"CPE{k}.alpha"]
            assert 1e-2 <= r <= 1e4 and 1e-9 <= q <= 1e-1 and 0.4 <= alpha <= 1.0
            assert -1.0 - 1e-9 <= np.log10(r / p["R0.r"]) <= 2.5 + 1e-9
            lfc[k] = _arc_lfc(r, q, alpha)
            assert 1e-6 * (1 - 1e-9) <= tau(r, q, alpha) <= 1e2 * (1 + 1e-9)
            assert a - 0.5 - 1e-9 <= lfc[k] <= b + 0.5 + 1e-9
        assert abs(np.log10(p["R1.r"] / p["R2.r"])) <= 1.5 + 1e-9
        # the diffusion-carrying arc (block 2) is the faster one
        sep = lfc[2] - lfc[1]
        if overlap:
            assert -1e-9 <= sep <= 1.0 + 1e-9
        else:
            assert sep >= 0.5 - 1e-9
        if name == "sei_randles":
            # crossover where the Warburg's real part aw / sqrt(omega) equals R2
            lfw = np.log10((p["W2.aw"] / p["R2.r"]) ** 2 / (2 * np.pi))
            assert max(a - 0.5, lfc[2] - 3.0) - 1e-9 <= lfw <= lfc[2] + 1e-9
        else:
            assert 1e-4 <= p["Wo2.tau"] <= 1e4
            assert -0.5 - 1e-9 <= np.log10(p["Wo2.z0"] / p["R2.r"]) <= 1.5 + 1e-9
            lft = -np.log10(2 * np.pi * p["Wo2.tau"])
            assert lfc[2] - 3.0 - 1e-9 <= lft <= lfc[2] - 0.3 + 1e-9


@pytest.mark.parametrize("name", ["sei_randles", "sei_randles_wo", "two_rq"])
def test_realistic_draws_swap_the_arcs_of_the_sei_networks_only(name, monkeypatch):
    drawn = []
    sample = generate.sample_params

    def recording(name_, rng, f, names, **ranges):
        p = sample(name_, rng, f, names, **ranges)
        drawn.append((ranges.get("swap_arcs", False), dict(zip(names, p))))
        return p

    monkeypatch.setattr(generate, "sample_params", recording)
    source = generate.SpectrumSource(name)
    rng = np.random.default_rng(11)
    for _ in range(150):
        source.draw_realistic(rng)
    swapped = [p for s, p in drawn if s]
    if name == "two_rq":
        assert not swapped
        return
    # binomial(n, 0.3): the share lies within 0.3 +- 4 standard deviations
    n = len(drawn)
    assert abs(len(swapped) / n - generate.P_SWAP_ARCS) < 4 * np.sqrt(0.21 / n)
    for s, p in drawn:
        l1 = _arc_lfc(p["R1.r"], p["CPE1.q"], p["CPE1.alpha"])
        l2 = _arc_lfc(p["R2.r"], p["CPE2.q"], p["CPE2.alpha"])
        assert (l2 >= l1 - 1e-9) if s else (l1 >= l2 - 1e-9)
