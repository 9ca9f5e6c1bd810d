"""Networks of other sizes than the first shipped ones: train.py's
architecture options written to a weight file and read back, the module's
guess from such a file against the float64 reference inference, and the
benchmarks' choice of weight file per circuit."""

import math
import pathlib
import sys

import pytest

np = pytest.importorskip("numpy")
torch = pytest.importorskip("torch")

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "training"))
import eisnn  # noqa: E402
import train  # noqa: E402

import velotz  # noqa: E402

RQ = "R0-(R1,CPE1)"
RQ_NAMES = ["R0.r", "R1.r", "CPE1.q", "CPE1.alpha"]

# (channels, (h1, h2), groups, dilations, n_grid): narrower heads than
# 4 * channels, fewer blocks, coarser grids, a grid shorter than the
# receptive field, and one with unequal head widths.
ARCHITECTURES = [
    (16, (64, 64), 8, (1, 2, 4), 32),
    (8, (24, 16), 4, (1, 2), 16),
    (16, (32, 48), 8, (1, 2, 4, 8), 64),
    (8, (8, 8), 8, (1,), 24),
]


def write_network(path, arch, seed):
    channels, hidden, groups, dilations, n_grid = arch
    torch.manual_seed(seed)
    model = eisnn.EisNet(len(RQ_NAMES), channels=channels, groups=groups, dilations=dilations, hidden=hidden)
    with torch.no_grad():  # small outputs, so that the guesses stay in range
        model.head[4].weight.mul_(0.1)
    mean = np.array([1.0, 1.5, -0.5, 0.8])
    std = np.array([0.3, 0.4, 0.2, 0.05])
    eisnn.export_eisnn(path, model, RQ, RQ_NAMES, mean, std, n_grid=n_grid)
    return model


def rq_spectrum(seed):
    rng = np.random.default_rng(seed)
    f = np.logspace(rng.uniform(4, 6), rng.uniform(-2, 0), int(rng.integers(15, 80)))
    r0, r1, q, alpha = 10 ** rng.uniform(-1, 1), 10 ** rng.uniform(0, 3), 10 ** rng.uniform(-6, -3), rng.uniform(0.6, 1)
    z = r0 + r1 / (1 + r1 * q * (2j * math.pi * f) ** alpha)
    return f, z


@pytest.mark.parametrize("arch", ARCHITECTURES, ids=lambda a: f"c{a[0]}-h{a[1][0]}x{a[1][1]}-d{len(a[3])}-g{a[4]}")
def test_architecture_survives_the_weight_file(tmp_path, arch):
    path = tmp_path / "net.eisnn"
    write_network(path, arch, 3)
    got = train.architecture_of(eisnn.load_network(path))
    channels, hidden, groups, dilations, n_grid = arch
    assert got == {"channels": channels, "hidden": hidden, "groups": groups, "dilations": dilations,
                   "n_grid": n_grid}
    assert train.describe(got).endswith(f"n_grid={n_grid}")


@pytest.mark.parametrize("arch", ARCHITECTURES, ids=lambda a: f"c{a[0]}-h{a[1][0]}x{a[1][1]}-d{len(a[3])}-g{a[4]}")
@pytest.mark.parametrize("seed", [1, 2])
def test_module_guess_from_any_architecture_matches_the_reference(tmp_path, arch, seed):
    path = tmp_path / "net.eisnn"
    write_network(path, arch, seed)
    f, z = rq_spectrum(seed)
    want = eisnn.guess(eisnn.load_network(path), f, z)
    got = np.asarray(velotz.Circuit(RQ).guess(f, z, weights=str(path)), dtype=np.float64)
    assert got.shape == (len(RQ_NAMES),)
    np.testing.assert_allclose(got, want, rtol=1e-10, atol=0)


@pytest.mark.parametrize("grid_points", [32, 64])
def test_training_features_follow_the_grid_of_the_file(tmp_path, grid_points):
    # A file on a coarser grid must be fed features on that grid: the
    # reference guess reads n_grid from the metadata, and so must the module.
    path = tmp_path / "net.eisnn"
    write_network(path, (8, (16, 16), 4, (1, 2), grid_points), 5)
    f, z = rq_spectrum(7)
    net = eisnn.load_network(path)
    assert int(net.metadata["n_grid"]) == grid_points
    feat = eisnn.features(f, z, grid_points)
    assert feat.grid.shape == (3, grid_points)
    got = velotz.Circuit(RQ).guess(f, z, weights=str(path))
    np.testing.assert_allclose(got, eisnn.guess(net, f, z), rtol=1e-10, atol=0)


@pytest.mark.parametrize("text, name", [
    ("R0-(R1-W1,CPE1)", "randles"),
    ("(R1,CPE1)-R0", "rq"),
    ("L0-R0-(R1,CPE1)-(R2,CPE2)", "two_rq_l"),
    ("R0-(R1,CPE1)-(R2-Wo2,CPE2)", "sei_randles_wo"),
    ("R0-(R1,CPE1)-CPE2", None),
])
def test_bench_real_picks_the_weight_file_of_the_topology(text, name):
    pytest.importorskip("scipy")
    sys.path.insert(0, str(ROOT / "benchmarks"))
    import bench_real

    got = bench_real.weight_file_for(text, ROOT / "models")
    assert (None if got is None else pathlib.Path(got).stem) == name
    assert bench_real.weight_file_for(text, None) is None
