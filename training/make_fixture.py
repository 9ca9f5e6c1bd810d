"""Writes the parity fixture of the C++ tests: a tiny randomly initialised
network (tests/data/tiny.eisnn) and the outputs PyTorch computes for a few
spectra from the file's own half-float weights (tests/data/tiny_expected.json).

Run from the repository root:  python training/make_fixture.py
"""

from __future__ import annotations

import json
import pathlib
import sys

import numpy as np
import torch

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import eisnn  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT / "tests" / "data"

CIRCUIT = "R0-(R1,CPE1)"
PARAM_NAMES = ["R0.r", "R1.r", "CPE1.q", "CPE1.alpha"]


def short(x: float) -> float:
    """Rounds to 7 significant digits so the JSON stays small."""
    return float(f"{x:.7g}")


def rq_spectrum(freqs, r0, r1, q, alpha):
    w = 2 * np.pi * np.asarray(freqs)
    return r0 + r1 / (1 + r1 * q * (1j * w) ** alpha)


def cases():
    rng = np.random.default_rng(7)
    f = np.logspace(-1, 5, 13)
    z = rq_spectrum(f, 10.0, 80.0, 2e-4, 0.85)
    yield "rq_ascending", f, z
    f2 = np.logspace(4, 0, 9)  # descending input order
    yield "rq_descending", f2, rq_spectrum(f2, 0.02, 0.3, 5e-2, 0.6)
    f3 = np.array([1.0, 10.0, 100.0, 1000.0, 10000.0, 100000.0])
    yield "resistive_fallback", f3, 25.0 + 1j * 1e-4 * f3
    yield "two_points", np.array([50.0, 5.0]), np.array([3.0 - 1.0j, 4.0 - 2.5j])
    # Phase crossing +-pi between neighbours (negative real part).
    f5 = np.array([1.0, 2.0, 4.0, 8.0, 16.0])
    yield "phase_wrap", f5, np.array([-5 + 0.2j, -5 + 0.05j, -5 - 0.05j, -5 - 0.3j, -4 - 1.0j])
    # Shuffled order with a repeated frequency.
    f6 = np.array([30.0, 0.5, 3000.0, 30.0, 7.0, 300.0, 0.05])
    z6 = rq_spectrum(f6, 1.0e3, 4.0e3, 3e-6, 0.95) + rng.normal(0, 5, f6.size) * (1 + 1j)
    yield "shuffled_with_tie", f6, z6


def main() -> None:
    torch.manual_seed(20240611)
    model = eisnn.EisNet(len(PARAM_NAMES), channels=4, kernel=5, groups=2,
                         dilations=(1, 2, 4, 8), hidden=8).to(torch.float64)
    with torch.no_grad():
        for name, p in model.named_parameters():
            if ".norm" in name:  # non-trivial affine parameters
                p.copy_((1.0 if name.endswith("weight") else 0.0) + 0.3 * torch.randn_like(p))
            elif name.startswith("head.4"):
                p.mul_(4.0)  # spread the outputs so both sides of the alpha clamp occur
            # The file stores half floats: compute with exactly those values.
            p.copy_(p.half().double())

    # Chosen so that the alpha output lands inside [alpha_min, alpha_max] for
    # most spectra and below alpha_min (clamped) for the phase-wrap one.
    target_mean = np.array([0.0, 0.5, -0.3, 2.3])
    target_std = np.array([0.6, 0.5, 0.7, 0.6])
    DATA.mkdir(parents=True, exist_ok=True)
    path = DATA / "tiny.eisnn"
    eisnn.export_eisnn(path, model, CIRCUIT, PARAM_NAMES, target_mean, target_std)

    net = eisnn.load_network(path)
    for name, p in model.state_dict().items():
        assert torch.equal(p, net.model.state_dict()[name]), name

    out = {"file": "tiny.eisnn", "circuit": CIRCUIT, "param_names": PARAM_NAMES, "cases": []}
    for name, f, z in cases():
        f = np.array([short(x) for x in f])
        z = np.array([complex(short(c.real), short(c.imag)) for c in z])
        feat = eisnn.features(f, z, 64)
        values = eisnn.guess(net, f, z)
        case = {
            "name": name,
            "freqs": f.tolist(),
            "re": z.real.tolist(),
            "im": z.imag.tolist(),
            "z0": feat.z0,
            "omega0": feat.omega0,
            "e1": float(feat.extras[0]),
            "e2": float(feat.extras[1]),
            "expected": values.tolist(),
        }
        if name == "rq_ascending":
            case["grid"] = feat.grid.reshape(-1).tolist()
        out["cases"].append(case)
        print(f"{name:20s} alpha={values[3]:.6g} values={values}")
    (DATA / "tiny_expected.json").write_text(json.dumps(out, separators=(",", ":")) + "\n")
    print(f"wrote {path} ({path.stat().st_size} bytes) and tiny_expected.json")


if __name__ == "__main__":
    main()
