"""Initial-guess network: spectrum features, the PyTorch model and the
"EISNN001" weight-file format read by velotz.

The feature code here mirrors the C++ inference step for step (same
formulas, same summation order where it matters), so a network trained on
these features sees exactly what the module feeds it.
"""

from __future__ import annotations

import struct
from typing import Mapping, NamedTuple, Sequence, Union

import numpy as np
import torch
import torch.nn.functional as F
from torch import nn

MAGIC = b"EISNN001"
ESTIMATOR = "reactive_centroid"
TWO_PI = 6.283185307179586
PI = 3.141592653589793
HALF_PI = 1.5707963267948966
NORM_EPS = 1e-5

# Encoding codes of tensor records.
FLOAT32 = 0
HALF = 1
INT8 = 2

# Unit-dependent de-normalisation rows, keyed by the parameter's field name:
# (z_pow, w_pow, alpha_pow, log scale). CPE q also depends on its alpha.
_FIELD_ROWS = {
    "r": (1.0, 0.0, 0.0, True),
    "c": (-1.0, -1.0, 0.0, True),
    "l": (1.0, -1.0, 0.0, True),
    "q": (-1.0, 0.0, -1.0, True),
    "alpha": (0.0, 0.0, 0.0, False),
    "aw": (1.0, 0.5, 0.0, True),
    "z0": (1.0, 0.0, 0.0, True),
    "tau": (0.0, -1.0, 0.0, True),
}


# --------------------------------------------------------------- features


def _total_order_key(x: np.ndarray) -> np.ndarray:
    """int64 keys whose order is the IEEE total order of the doubles."""
    bits = np.ascontiguousarray(x, dtype=np.float64).view(np.int64)
    flip = ((bits >> 63).view(np.uint64) >> np.uint64(1)).view(np.int64)
    return bits ^ flip


def _seq_sum(values: np.ndarray) -> float:
    """Left-to-right sum (np.sum would sum pairwise)."""
    if values.size == 0:
        return 0.0
    return float(np.cumsum(values)[-1])


def reactive_centroid(freqs, z) -> tuple[float, float]:
    """(Z0, omega0): the impedance and angular-frequency scales of a spectrum.

    Capacitive points (Im Z < 0) are weighted by -Im Z / |Z|; a spectrum
    without them falls back to the geometric mean of 2*pi*f and the upper
    median of |Z|.
    """
    f = np.asarray(freqs, dtype=np.float64)
    zz = np.asarray(z, dtype=np.complex128)
    n = min(f.size, zz.size)
    f, zz = f[:n], zz[:n]
    if n == 0:
        return float("nan"), float("nan")
    mod = np.hypot(zz.real, zz.imag)
    with np.errstate(all="ignore"):
        keep = (f > 0.0) & (mod > 0.0)
        w = -zz.imag[keep] / mod[keep]
        w = np.where(w > 0.0, w, 0.0)
        s = _seq_sum(w)
        a = _seq_sum(w * np.log(TWO_PI * f[keep]))
        b = _seq_sum(w * np.log(mod[keep]))
        if s >= 1e-9 or np.isnan(s):
            return float(np.exp(b / s)), float(np.exp(a / s))
        omega0 = float(np.exp(_seq_sum(np.log(TWO_PI * f)) / n))
    order = np.argsort(_total_order_key(mod), kind="stable")
    return float(mod[order[n // 2]]), omega0


def interpolate(x, xs: np.ndarray, ys: np.ndarray) -> np.ndarray:
    """Piecewise-linear interpolation on ascending xs, constant beyond the ends."""
    x = np.asarray(x, dtype=np.float64)
    n = xs.size
    a = np.searchsorted(xs, x, side="right")
    hi = np.minimum(np.maximum(a, 1), n - 1)
    lo = hi - 1
    with np.errstate(all="ignore"):
        inner = ys[lo] + (x - xs[lo]) * (ys[hi] - ys[lo]) / (xs[hi] - xs[lo])
    out = np.where(xs[lo] == xs[hi], ys[lo], inner)
    out = np.where(x >= xs[-1], ys[-1], out)
    return np.where(x <= xs[0], ys[0], out)


def unwrap_phase(p: np.ndarray) -> np.ndarray:
    """Sequential unwrapping with a discontinuity threshold of pi."""
    out = np.empty_like(p)
    if p.size == 0:
        return out
    prev = float(p[0])
    out[0] = prev
    for k in range(1, p.size):
        d = float(p[k]) - prev
        r = d - TWO_PI * np.floor((d + PI) / TWO_PI)
        if r == -PI and d > 0.0:
            r = PI
        prev = prev + r
        out[k] = prev
    return out


class Features(NamedTuple):
    grid: np.ndarray  # [3, n_grid]: log|Z| - log Z0, phase / (pi/2), scaled log-frequency
    extras: np.ndarray  # [2]: log10 span / 8, log10(n) / 2
    z0: float
    omega0: float


def features(freqs, z, n_grid: int = 64) -> Features:
    """Network input of one spectrum (frequencies in Hz, complex impedances)."""
    f = np.asarray(freqs, dtype=np.float64)
    zz = np.asarray(z, dtype=np.complex128)
    n = min(f.size, zz.size)
    if n < 2:
        raise ValueError(f"need at least 2 frequency points to guess, got {n}")
    f, zz = f[:n], zz[:n]
    z0, omega0 = reactive_centroid(f, zz)
    order = np.argsort(_total_order_key(f), kind="stable")
    f, zz = f[order], zz[order]
    with np.errstate(all="ignore"):
        lf = np.log10(f)
        lm = np.log10(np.hypot(zz.real, zz.imag))
        phase = unwrap_phase(np.arctan2(zz.imag, zz.real))
        span = lf[-1] - lf[0]
        step = span / (n_grid - 1) if n_grid > 1 else 0.0
        x = lf[0] + np.arange(n_grid, dtype=np.float64) * step
        grid = np.empty((3, n_grid))
        grid[0] = interpolate(x, lf, lm) - np.log10(z0)
        grid[1] = interpolate(x, lf, phase) / HALF_PI
        grid[2] = (x - np.log10(omega0 / TWO_PI)) * 0.25
        extras = np.array([span * 0.125, np.log10(float(n)) * 0.5])
    return Features(grid, extras, z0, omega0)


# --------------------------------------------------------------- model


def _same_pad(x: torch.Tensor, kernel: int, dilation: int) -> torch.Tensor:
    total = dilation * (kernel - 1)
    return F.pad(x, (total // 2, total - total // 2))


class ResidualBlock(nn.Module):
    def __init__(self, channels: int, kernel: int, groups: int, dilation: int):
        super().__init__()
        self.kernel = kernel
        self.dilation = dilation
        self.conv1 = nn.Conv1d(channels, channels, kernel, dilation=dilation)
        self.norm1 = nn.GroupNorm(groups, channels, eps=NORM_EPS)
        self.conv2 = nn.Conv1d(channels, channels, kernel, dilation=dilation)
        self.norm2 = nn.GroupNorm(groups, channels, eps=NORM_EPS)

    def forward(self, h: torch.Tensor) -> torch.Tensor:
        y = self.norm1(self.conv1(_same_pad(h, self.kernel, self.dilation)))
        y = F.gelu(y, approximate="tanh")
        y = self.norm2(self.conv2(_same_pad(y, self.kernel, self.dilation)))
        return F.gelu(h + y, approximate="tanh")


class EisNet(nn.Module):
    """Dilated residual 1-D CNN over the feature grid with a dense head.

    forward(grid [B, 3, L], extras [B, 2]) -> [B, 2 * n_params]: the first
    n_params outputs are the normalised parameter means, the rest their
    log-variances (used by the training loss only).
    """

    def __init__(
        self,
        n_params: int,
        channels: int = 32,
        kernel: int = 5,
        groups: int = 8,
        dilations: Sequence[int] = (1, 2, 4, 8),
        hidden: Union[int, tuple[int, int], None] = None,
    ):
        super().__init__()
        if channels % groups != 0:
            raise ValueError("channels must be a multiple of groups")
        h1, h2 = (4 * channels, 4 * channels) if hidden is None else (
            (hidden, hidden) if isinstance(hidden, int) else tuple(hidden))
        self.n_params = n_params
        self.channels = channels
        self.kernel = kernel
        self.groups = groups
        self.dilations = tuple(int(d) for d in dilations)
        self.stem = nn.Conv1d(3, channels, kernel)
        self.blocks = nn.ModuleList(
            ResidualBlock(channels, kernel, groups, d) for d in self.dilations)
        self.head = nn.Sequential(
            nn.Linear(2 * channels + 2, h1),
            nn.GELU(approximate="tanh"),
            nn.Linear(h1, h2),
            nn.GELU(approximate="tanh"),
            nn.Linear(h2, 2 * n_params),
        )

    def forward(self, grid: torch.Tensor, extras: torch.Tensor) -> torch.Tensor:
        h = self.stem(_same_pad(grid, self.kernel, 1))
        for block in self.blocks:
            h = block(h)
        pooled = torch.cat([h.mean(dim=2), h.amax(dim=2), extras], dim=1)
        return self.head(pooled)


def scaling_table(param_names: Sequence[str]) -> tuple[np.ndarray, np.ndarray]:
    """("scaling" [P, 4], "log_params" [P]) for parameters named "label.field"."""
    index = {name: i for i, name in enumerate(param_names)}
    rows, logs = [], []
    for name in param_names:
        label, _, field = name.rpartition(".")
        if field not in _FIELD_ROWS:
            raise ValueError(f"no scaling rule for parameter {name!r}")
        z_pow, w_pow, alpha_pow, log = _FIELD_ROWS[field]
        alpha_index = -1.0
        if field == "q":
            alpha_name = f"{label}.alpha"
            if alpha_name not in index:
                raise ValueError(f"{name!r} has no matching {alpha_name!r}")
            alpha_index = float(index[alpha_name])
        rows.append((z_pow, w_pow, alpha_pow, alpha_index))
        logs.append(1.0 if log else 0.0)
    return np.array(rows, dtype=np.float64), np.array(logs, dtype=np.float64)


def _round_index(x: float) -> int:
    """Nearest integer, halves away from zero, saturated to int32 (NaN -> 0)."""
    if np.isnan(x):
        return 0
    r = np.trunc(x)
    if abs(x - r) >= 0.5:
        r += np.copysign(1.0, x)
    return int(min(max(r, -2.0**31), 2.0**31 - 1))


def denormalise(head, target_mean, target_std, log_params, scaling, z0, omega0,
                alpha_min=0.05, alpha_max=1.0) -> np.ndarray:
    """Physical parameter values from the first P head outputs."""
    p = len(target_mean)
    a = np.asarray(head, dtype=np.float64)[:p]
    log = np.asarray(log_params, dtype=np.float64) != 0.0
    y = np.asarray(target_mean, dtype=np.float64) + a * np.asarray(target_std, dtype=np.float64)
    with np.errstate(all="ignore"):
        v = np.where(log, np.power(10.0, y), y)
    lin = ~log
    v[lin & (v < alpha_min)] = alpha_min
    v[lin & (v > alpha_max)] = alpha_max
    u = v.copy()
    rows = np.asarray(scaling, dtype=np.float64).reshape(p, 4)
    out = np.empty(p)
    for i, (z_pow, w_pow, alpha_pow, alpha_index) in enumerate(rows):
        k = _round_index(alpha_index)
        e = w_pow + (alpha_pow * u[k] if k >= 0 else 0.0)
        out[i] = omega0 ** e * (u[i] * z0 ** z_pow)
    return out


# --------------------------------------------------------------- file format


class EisnnFile(NamedTuple):
    metadata: dict  # key -> value text, in file order
    tensors: dict  # name -> float64 array (shaped by its dims when they match)
    encodings: dict  # name -> encoding code


def _string(text: str) -> bytes:
    raw = text.encode("utf-8")
    return struct.pack("<I", len(raw)) + raw


def _encode(name: str, values: np.ndarray, code: int) -> bytes:
    flat = values.reshape(-1)
    if flat.size == 0:  # a zero dimension still stores one element
        flat = np.zeros(1)
    if code == FLOAT32:
        return flat.astype("<f4").tobytes()
    if code == HALF:
        with np.errstate(over="ignore"):
            half = flat.astype("<f2")
        if np.any(np.isinf(half) & np.isfinite(flat)):
            raise ValueError(f"tensor {name!r} has values beyond the half-float range")
        return half.tobytes()
    if code == INT8:
        peak = float(np.max(np.abs(flat))) if flat.size else 0.0
        scale = np.float32(peak / 127.0 if peak > 0.0 else 1.0)
        q = np.clip(np.rint(flat / float(scale)), -127, 127).astype(np.int8)
        return struct.pack("<f", scale) + q.tobytes()
    raise ValueError(f"unknown tensor encoding {code}")


def write_eisnn(path, metadata: Mapping[str, str], tensors: Mapping[str, object],
                encoding: Union[int, Mapping[str, int]] = HALF) -> None:
    """Writes an "EISNN001" file.

    metadata: key -> text, written in the mapping's order.
    tensors: name -> array (numpy or torch), written in the mapping's order.
    encoding: code for the network weights (names starting with "w."), the
    other tensors being written as float32 like the shipped files; or a
    mapping name -> code for every tensor.
    """
    out = bytearray(MAGIC)
    out += struct.pack("<I", len(metadata))
    for key, value in metadata.items():
        if not isinstance(value, str):
            raise TypeError(f"metadata value of {key!r} must be a str")
        out += _string(key) + _string(value)
    out += struct.pack("<I", len(tensors))
    for name, value in tensors.items():
        if isinstance(value, torch.Tensor):
            value = value.detach().cpu().to(torch.float64).numpy()
        arr = np.asarray(value, dtype=np.float64)
        if isinstance(encoding, Mapping):
            code = encoding[name]
        else:
            code = encoding if name.startswith("w.") else FLOAT32
        if arr.ndim > 255 or any(d >= 2**32 for d in arr.shape):
            raise ValueError(f"tensor {name!r} has an unsupported shape {arr.shape}")
        out += _string(name) + struct.pack("<BB", code, arr.ndim)
        out += struct.pack(f"<{arr.ndim}I", *arr.shape)
        out += _encode(name, arr, code)
    with open(path, "wb") as fh:
        fh.write(out)


def read_eisnn(source) -> EisnnFile:
    """Reads an "EISNN001" file (a path, or the bytes themselves)."""
    data = bytes(source) if isinstance(source, (bytes, bytearray, memoryview)) else open(source, "rb").read()
    if len(data) < 8:
        raise ValueError("weight file is truncated")
    if data[:8] != MAGIC:
        raise ValueError("not an eisnn weight file (bad magic bytes)")
    pos = 8

    def take(k: int) -> bytes:
        nonlocal pos
        if len(data) - pos < k:
            raise ValueError("weight file is truncated")
        chunk = data[pos:pos + k]
        pos += k
        return chunk

    def u32() -> int:
        return struct.unpack("<I", take(4))[0]

    def string() -> str:
        try:
            return take(u32()).decode("utf-8")
        except UnicodeDecodeError:
            raise ValueError("weight file is truncated") from None

    metadata = {}
    for _ in range(u32()):
        key = string()
        metadata[key] = string()
    tensors, encodings = {}, {}
    for _ in range(u32()):
        name = string()
        code, ndim = take(2)
        dims = struct.unpack(f"<{ndim}I", take(4 * ndim))
        n = max(int(np.prod(dims, dtype=object)) if dims else 1, 1)
        if code == FLOAT32:
            values = np.frombuffer(take(4 * n), dtype="<f4").astype(np.float64)
        elif code == HALF:
            values = np.frombuffer(take(2 * n), dtype="<f2").astype(np.float64)
        elif code == INT8:
            scale = struct.unpack("<f", take(4))[0]
            values = float(scale) * np.frombuffer(take(n), dtype=np.int8).astype(np.float64)
        else:
            raise ValueError(f"weight file uses tensor encoding {code}, which this build does not know")
        if int(np.prod(dims, dtype=object)) == n:
            values = values.reshape(dims)
        tensors[name] = values
        encodings[name] = code
    return EisnnFile(metadata, tensors, encodings)


# --------------------------------------------------------------- export / import


def export_eisnn(path, model: EisNet, circuit: str, param_names: Sequence[str],
                 target_mean, target_std, n_grid: int = 64, alpha_min: float = 0.05,
                 alpha_max: float = 1.0, encoding: int = HALF) -> None:
    """Writes a trained EisNet with its normalisation in the shipped layout."""
    if len(param_names) != model.n_params:
        raise ValueError("param_names does not match the model's output count")
    scaling, log_params = scaling_table(param_names)
    metadata = {
        "circuit": circuit,
        "param_names": ",".join(param_names),
        "estimator": ESTIMATOR,
        "n_grid": str(n_grid),
        "channels": str(model.channels),
        "kernel": str(model.kernel),
        "groups": str(model.groups),
        "dilations": ",".join(str(d) for d in model.dilations),
        "alpha_min": repr(float(alpha_min)),
        "alpha_max": repr(float(alpha_max)),
    }
    tensors = {f"w.{k}": v for k, v in model.state_dict().items()}
    tensors["target_mean"] = np.asarray(target_mean, dtype=np.float64)
    tensors["target_std"] = np.asarray(target_std, dtype=np.float64)
    tensors["scaling"] = scaling
    tensors["log_params"] = log_params
    write_eisnn(path, metadata, tensors, encoding)


class LoadedNetwork(NamedTuple):
    model: EisNet  # float64, eval mode
    metadata: dict
    target_mean: np.ndarray
    target_std: np.ndarray
    log_params: np.ndarray
    scaling: np.ndarray


def load_network(source) -> LoadedNetwork:
    """An EisNet in float64 holding a weight file's (decoded) values."""
    f = read_eisnn(source)
    meta = f.metadata
    param_names = meta["param_names"].split(",")
    head0 = f.tensors["w.head.0.weight"]
    head2 = f.tensors["w.head.2.weight"]
    model = EisNet(
        len(param_names),
        channels=int(meta["channels"]),
        kernel=int(meta["kernel"]),
        groups=int(meta["groups"]),
        dilations=[int(d) for d in meta["dilations"].split(",")],
        hidden=(head0.shape[0], head2.shape[0]),
    ).to(torch.float64)
    state = {k[2:]: torch.from_numpy(np.array(v, dtype=np.float64))
             for k, v in f.tensors.items() if k.startswith("w.")}
    model.load_state_dict(state)
    model.eval()
    return LoadedNetwork(model, meta, f.tensors["target_mean"].reshape(-1),
                         f.tensors["target_std"].reshape(-1),
                         f.tensors["log_params"].reshape(-1), f.tensors["scaling"])


def guess(net: LoadedNetwork, freqs, z) -> np.ndarray:
    """Starting values for one spectrum, as the C++ module computes them."""
    meta = net.metadata
    feat = features(freqs, z, int(meta["n_grid"]))
    with torch.no_grad():
        head = net.model(torch.from_numpy(feat.grid)[None], torch.from_numpy(feat.extras)[None])[0]
    return denormalise(head.numpy(), net.target_mean, net.target_std, net.log_params, net.scaling,
                       feat.z0, feat.omega0, float(meta["alpha_min"]), float(meta["alpha_max"]))
