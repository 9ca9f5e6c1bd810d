"""The shipped networks' guesses against a forward pass written here in
numpy from the definitions of the layers (features, dilated convolutions,
group norm, tanh GELU, pooling, dense head, de-normalisation)."""
import math
import pathlib

import pytest

np = pytest.importorskip("numpy")

import eisnn_io  # noqa: E402
import velotz  # noqa: E402

MODELS = pathlib.Path(__file__).resolve().parent.parent / "models"
TWO_PI = 2 * math.pi


def reference_features(f, z, n_grid):
    f = np.asarray(f, dtype=np.float64)
    z = np.asarray(z, dtype=np.complex128)
    mod = np.abs(z)
    w = np.maximum(-z.imag / mod, 0.0)
    assert w.sum() >= 1e-9  # the spectra below are capacitive
    omega0 = math.exp(np.dot(w, np.log(TWO_PI * f)) / w.sum())
    z0 = math.exp(np.dot(w, np.log(mod)) / w.sum())
    order = np.argsort(f, kind="stable")
    f, z = f[order], z[order]
    lf, lm, phase = np.log10(f), np.log10(np.abs(z)), np.unwrap(np.angle(z))
    x = np.linspace(lf[0], lf[-1], n_grid)
    grid = np.stack([np.interp(x, lf, lm) - math.log10(z0), np.interp(x, lf, phase) / (math.pi / 2),
                     (x - math.log10(omega0 / TWO_PI)) * 0.25])
    return grid, np.array([(lf[-1] - lf[0]) / 8, math.log10(len(f)) / 2]), z0, omega0


def conv(t, name, x, d):
    w, b = t[f"w.{name}.weight"], t[f"w.{name}.bias"]
    k, length = w.shape[2], x.shape[1]
    pad = d * (k - 1) // 2
    xp = np.pad(x, ((0, 0), (pad, d * (k - 1) - pad + length)))
    return b[:, None] + sum(w[:, :, j] @ xp[:, j * d:j * d + length] for j in range(k))


def group_norm(t, name, x, groups):
    g = x.reshape(groups, -1)
    g = (g - g.mean(axis=1, keepdims=True)) / np.sqrt(g.var(axis=1, keepdims=True) + 1e-5)
    return t[f"w.{name}.bias"][:, None] + g.reshape(x.shape) * t[f"w.{name}.weight"][:, None]


def gelu(x):
    return 0.5 * x * (1 + np.tanh(0.7978845608028654 * (x + 0.044715 * x ** 3)))


def reference_guess(model, f, z):
    meta, tensors = eisnn_io.read((MODELS / f"{model}.eisnn").read_bytes())
    meta = dict(meta)
    t = {name: values.reshape(dims) for name, dims, values in tensors}
    grid, extras, z0, omega0 = reference_features(f, z, int(meta["n_grid"]))
    groups = int(meta["groups"])
    h = conv(t, "stem", grid, 1)
    for b, d in enumerate(int(v) for v in meta["dilations"].split(",")):
        y = gelu(group_norm(t, f"blocks.{b}.norm1", conv(t, f"blocks.{b}.conv1", h, d), groups))
        y = group_norm(t, f"blocks.{b}.norm2", conv(t, f"blocks.{b}.conv2", y, d), groups)
        h = gelu(h + y)
    a = np.concatenate([h.mean(axis=1), h.max(axis=1), extras])
    for layer in ("head.0", "head.2", "head.4"):
        a = t[f"w.{layer}.weight"] @ a + t[f"w.{layer}.bias"]
        a = gelu(a) if layer != "head.4" else a
    p = len(t["target_mean"])
    y = t["target_mean"] + a[:p] * t["target_std"]
    log = t["log_params"] != 0
    v = np.where(log, 10.0 ** y, np.clip(y, float(meta["alpha_min"]), float(meta["alpha_max"])))
    out = np.empty(p)
    for i, (z_pow, w_pow, alpha_pow, alpha_index) in enumerate(t["scaling"].reshape(p, 4)):
        e = w_pow + (alpha_pow * v[int(alpha_index)] if alpha_index >= 0 else 0.0)
        out[i] = omega0 ** e * v[i] * z0 ** z_pow
    return meta["param_names"].split(","), out


def spectrum(seed):
    rng = np.random.default_rng(seed)
    f = np.logspace(rng.uniform(4, 6), rng.uniform(-2, 0), int(rng.integers(20, 90)))
    jw = 1j * TWO_PI * f
    r0, r1, q, alpha = 10 ** rng.uniform(-1, 2), 10 ** rng.uniform(0, 3), 10 ** rng.uniform(-6, -3), rng.uniform(0.6, 1)
    z = r0 + r1 / (1 + r1 * q * jw ** alpha) + 10 ** rng.uniform(-4, 2) / np.sqrt(jw)
    return f, z


# Networks of 16, 32 and 64 channels, on spectra of several shapes.
@pytest.mark.parametrize("model", ["rc", "rq", "two_rq_l", "sei_randles"])
@pytest.mark.parametrize("seed", [1, 2, 3])
def test_shipped_network_matches_numpy_forward_pass(model, seed):
    f, z = spectrum(seed)
    names, want = reference_guess(model, f, z)
    circuit = velotz.Circuit(dict(eisnn_io.read((MODELS / f"{model}.eisnn").read_bytes())[0])["circuit"])
    got = np.asarray(circuit.guess(f.tolist(), z.tolist()), dtype=np.float64)
    assert got.shape == want.shape == (len(names),)
    np.testing.assert_allclose(got, want, rtol=1e-11, atol=0)
