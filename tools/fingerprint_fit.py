"""Fingerprint of every way a fit chooses and uses its starting values.

Runs fit (default, guess_init True/False, a weight file, weight="unit",
fixed parameters, the global methods), fit_batch, guess and estimate_start
for every shipped topology and a set of other circuits, on synthetic spectra
and on measured spectra (read from ../shared/data/real when present), and
hashes the float64 bytes of every result together with the texts of every
warning and error. One line per case, then the hash of all lines: two builds
whose outputs are equal gave the same results bit for bit.

    PYTHONPATH=build-dev python3 tools/fingerprint_fit.py [--cases]
"""
import hashlib
import os
import pathlib
import struct
import sys
import warnings

import numpy as np

import velotz

ROOT = pathlib.Path(__file__).resolve().parent.parent
MODELS = ROOT / "models"
REAL = pathlib.Path(os.environ.get("VELOTZ_SHARED_DATA", ROOT.parent / "shared" / "data" / "real"))
if not REAL.is_dir():
    REAL = pathlib.Path("/work/shared/data/real")


def floats(values):
    return struct.pack(f"<{len(values)}d", *[float(v) for v in values])


def describe_warnings(caught):
    return [f"{w.category.__name__}|{pathlib.Path(w.filename).name}|{w.message}" for w in caught]


def fit_bytes(result):
    names = result.circuit.param_names()
    parts = [floats([result.params[n] for n in names])]
    if result.stderr is None:
        parts.append(b"none")
    else:
        parts.append(floats([result.stderr[n] for n in names if n in result.stderr]))
        parts.append(",".join(n for n in names if n in result.stderr).encode())
    parts.append(floats([result.cost, result.chi_square]))
    parts.append(struct.pack("<?qq", result.success, result.iterations, result.impedance_evals))
    parts.append(floats(result.circuit.param_values()))
    return b"".join(parts)


def outcome(call):
    """(bytes of the result or the error, warning texts)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            value = call()
        except Exception as e:  # noqa: BLE001 - the error's type and text are the result
            return f"{type(e).__name__}: {e}".encode(), describe_warnings(caught)
    if isinstance(value, velotz.FitResult):
        data = fit_bytes(value)
    elif isinstance(value, velotz.Circuit):
        data = floats(value.param_values()) + str(value.fixed_params()).encode()
    elif isinstance(value, velotz.BatchResult):
        data = b"".join(fit_bytes(r) if isinstance(r, velotz.FitResult) else f"{type(r).__name__}: {r}".encode()
                        for r in value)
    elif isinstance(value, bytes):
        data = value
    else:
        data = floats(value)
    return data, describe_warnings(caught)


def synthetic(circuit, seed):
    f = np.logspace(5, -2, 50)
    z = np.asarray(circuit.impedance(f))
    rng = np.random.default_rng(seed)
    z = z * (1 + 0.005 * (rng.standard_normal(len(f)) + 1j * rng.standard_normal(len(f))))
    return f, z


def real_spectra():
    out = {}
    for name in ("impedancepy_exampleData.csv", "autoeis_test_data.csv", "pyeis_ex1_cycle1.csv",
                 "pydrttools_LIB_data.csv"):
        path = REAL / name
        if path.exists():
            data = np.loadtxt(path, delimiter=",", skiprows=1)
            out[name] = (data[:, 0].copy(), data[:, 1] + 1j * data[:, 2])
    return out


# Values for the synthetic spectra of the shipped topologies, in param_names() order.
SHIPPED_VALUES = {
    "rc": [10.0, 100.0, 1e-5],
    "rc_l": [1e-6, 10.0, 100.0, 1e-5],
    "rq": [10.0, 100.0, 1e-5, 0.85],
    "rq_l": [1e-6, 10.0, 100.0, 1e-5, 0.85],
    "two_rc": [10.0, 100.0, 1e-5, 50.0, 1e-2],
    "two_rc_l": [1e-6, 10.0, 100.0, 1e-5, 50.0, 1e-2],
    "two_rq": [10.0, 100.0, 1e-5, 0.9, 50.0, 1e-2, 0.8],
    "two_rq_l": [1e-6, 10.0, 100.0, 1e-5, 0.9, 50.0, 1e-2, 0.8],
    "randles": [10.0, 100.0, 30.0, 1e-5, 0.85],
    "sei_randles": [10.0, 20.0, 1e-6, 0.9, 100.0, 30.0, 1e-4, 0.85],
    "sei_randles_wo": [10.0, 20.0, 1e-6, 0.9, 100.0, 40.0, 5.0, 1e-4, 0.85],
}

# Circuits without a shipped network (or reaching one through K and Zarc).
OTHER = [
    "R0-K1", "R0-Zarc1", "(C3,R9)-R2", "R0-(R1,W1)", "R0-(R1,CPE1)-Ws1", "R0-(R1,G1)", "R0-Tlmq1", "R0-T1",
    "L0-La1-R0-(R1,Gs1)", "R0-(R1,CPE1)-Wo1", "R0-(Zarc1,C1)", "R0-K1-Zarc2",
]


def cases():
    real = real_spectra()
    real_items = list(real.items())
    for k, name in enumerate(velotz.Circuit.ml_circuits()):
        model = velotz.Circuit(name)
        truth = model.with_values(SHIPPED_VALUES[name])
        spectra = [("synthetic", synthetic(truth, k))] + real_items[k % 2: k % 2 + 2]
        path = str(MODELS / f"{name}.eisnn")
        first = model.param_names()[0]
        for label, (f, z) in spectra:
            tag = f"{name}/{label}"
            yield f"{tag}/fit", lambda: model.fit(f, z)
            yield f"{tag}/fit-noguess", lambda: model.fit(f, z, guess_init=False)
            yield f"{tag}/fit-guess", lambda: model.fit(f, z, guess_init=True)
            yield f"{tag}/fit-file", lambda: model.fit(f, z, weights=path)
            yield f"{tag}/fit-pathlike", lambda: model.fit(f, z, weights=pathlib.Path(path), guess_init=False)
            yield f"{tag}/fit-unit", lambda: model.fit(f, z, weight="unit")
            yield f"{tag}/fit-fixed", lambda: model.with_fixed({first: 5.0}).fit(f, z)
            yield f"{tag}/fit-given", lambda: truth.fit(f, z)
            yield f"{tag}/fit-given-guess", lambda: truth.fit(f, z, guess_init=True)
            yield f"{tag}/guess", lambda: model.guess(f, z)
            yield f"{tag}/guess-file", lambda: model.guess(f, z, weights=path)
            yield f"{tag}/guess-fixed", lambda: model.with_fixed({first: 5.0}).guess(f, z)
            yield f"{tag}/estimate", lambda: model.estimate_start(f, z)
            yield f"{tag}/estimate-unit", lambda: model.estimate_start(f, z, weight="unit")
        f, z = spectra[0][1]
        yield f"{name}/batch", lambda: velotz.fit_batch(model, [(f, z)] + [s for _, s in real_items[:2]])
        yield f"{name}/batch-file", lambda: velotz.fit_batch(model, [(f, z), (f[:1], z[:1])], weights=path)
        yield f"{name}/batch-fixed", lambda: velotz.fit_batch(model.with_fixed(first), [(f, z)])
    rng_spectra = [("synthetic", synthetic(velotz.Circuit("R0-(R1,CPE1)-Wo2").with_values(
        [5.0, 40.0, 1e-5, 0.9, 20.0, 3.0]), 99))] + real_items[:2]
    for text in OTHER:
        circuit = velotz.Circuit(text)
        for label, (f, z) in rng_spectra:
            tag = f"{text}/{label}"
            yield f"{tag}/fit", lambda: circuit.fit(f, z)
            yield f"{tag}/fit-noguess", lambda: circuit.fit(f, z, guess_init=False)
            yield f"{tag}/fit-guess", lambda: circuit.fit(f, z, guess_init=True)
            yield f"{tag}/fit-file", lambda: circuit.fit(f, z, weights=str(MODELS / "rc.eisnn"))
            yield f"{tag}/guess", lambda: circuit.guess(f, z)
            yield f"{tag}/estimate", lambda: circuit.estimate_start(f, z)
            yield f"{tag}/estimate-fit", lambda: circuit.estimate_start(f, z).fit(f, z)
        f, z = rng_spectra[0][1]
        yield f"{text}/batch", lambda: velotz.fit_batch(circuit, [(f, z)] + [s for _, s in real_items[:1]])
        yield f"{text}/batch-guess", lambda: velotz.fit_batch(circuit, [(f, z)], guess_init=True)
    # The global methods, seeded and with small budgets.
    rq = velotz.Circuit("rq")
    f, z = synthetic(rq.with_values(SHIPPED_VALUES["rq"]), 7)
    small = dict(num_particles=20, generations=30, nelder_mead_iterations=300, de_evaluations=800,
                 sa_iterations=400, basin_hopping_hops=3, seed=11)
    for method in ("nelder_mead", "particle_swarm", "differential_evolution", "simulated_annealing",
                   "basin_hopping"):
        if method == "differential_evolution":
            # Draws fresh random state on every call whatever the seed: only
            # that it runs and what it returns are compared.
            yield f"rq/{method}", lambda: [float(len(rq.fit(f, z, method=method, **small).params))]
            yield f"rq/{method}/batch", lambda: [float(isinstance(r, velotz.FitResult)) for r in velotz.fit_batch(
                rq, [(f, z), (f, z)], method=method, **small)]
            continue
        yield f"rq/{method}", lambda: rq.fit(f, z, method=method, **small)
        yield f"rq/{method}/batch", lambda: velotz.fit_batch(rq, [(f, z), (f, z)], method=method, **small)
    # Options and refusals.
    yield "rq/options", lambda: rq.fit(f, z, max_iterations=5, ftol=1e-4, xtol=1e-4)
    yield "rq/bad-method", lambda: rq.fit(f, z, method="bfgs")
    yield "rq/bad-weight", lambda: rq.fit(f, z, weight="Modulus")
    yield "rq/negative-ftol", lambda: rq.fit(f, z, ftol=-1.0)
    yield "rq/missing-file", lambda: rq.fit(f, z, weights="/nonexistent/x.eisnn")
    yield "rq/weights-name", lambda: rq.fit(f, z, weights="modulus")
    yield "rq/weights-type", lambda: rq.fit(f, z, weights=3)
    yield "rq/guess_init-type", lambda: rq.fit(f, z, guess_init=1)
    yield "rq/batch-bad-method", lambda: velotz.fit_batch(rq, [(f, z)], method="bfgs")
    yield "rq/one-point", lambda: rq.fit(f[:1], z[:1])
    yield "rq/one-point-noguess", lambda: rq.fit(f[:1], z[:1], guess_init=False)
    # Messages for likely mistakes (argument spelling, Z given as two real arrays).
    yield "rq/unknown-keyword", lambda: rq.fit(f, z, weigth="unit")
    yield "rq/batch-unknown-keyword", lambda: velotz.fit_batch(rq, [(f, z)], methd="nelder_mead")
    yield "rq/split-z", lambda: rq.fit(f, z.real, z.imag)
    yield "rq/pair-z", lambda: rq.fit(f, (z.real, z.imag))
    yield "rq/pair-z-guess", lambda: rq.guess(f, (list(z.real), list(z.imag)))
    # Text signatures and docstrings.
    core = sys.modules["velotz._core"]
    for name, obj in [("fit", velotz.Circuit.fit), ("guess", velotz.Circuit.guess),
                      ("estimate_start", velotz.Circuit.estimate_start), ("residuals", velotz.Circuit.residuals),
                      ("jacobian", velotz.Circuit.jacobian), ("_fit_batch", core._fit_batch)]:
        yield f"doc/{name}", lambda: (str(obj.__text_signature__) + "\n" + obj.__doc__).encode()


def main():
    show = "--cases" in sys.argv
    total = hashlib.sha256()
    count = 0
    for label, call in cases():
        data, texts = outcome(call)
        digest = hashlib.sha256(data + "\n".join(texts).encode()).hexdigest()[:16]
        line = f"{label} {digest}"
        if texts:
            line += " warnings=" + str(len(texts))
        total.update(line.encode() + b"\n")
        count += 1
        if show:
            print(line)
    print(f"cases {count} fingerprint {total.hexdigest()}")


if __name__ == "__main__":
    main()
