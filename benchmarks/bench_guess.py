"""Quality of the shipped initial-guess networks on held-out synthetic spectra.

For each network: spectra drawn like the training data (same parameter
ranges and frequency windows, 1 % proportional noise, a seed the training
never used). Reports

- the median error of the guess per parameter: |log10(guess / truth)| in
  decades, and |guess - truth| for the CPE exponents;
- the share of spectra on which the default fit started from the guess
  reaches the true optimum (final cost <= 1.05 x the cost at the true
  parameters), next to the same share when started from the circuit's
  default values, and when started from the true parameters themselves
  (the ceiling: the fit's handling of bounds can end above the cost at the
  truth, for instance when noise puts the best CPE exponent just above 1),
  and the share from the guess among the spectra where that ceiling is
  reached.

    PYTHONPATH=build python3 benchmarks/bench_guess.py [--spectra 500] [--names rq two_rq]

The guess comes from the module (`Circuit.guess`, and the fit from the guess
is then the plain `fit(f, z)`, which guesses by itself) when the module
provides one, and otherwise from training/eisnn.py's reference inference of
the same models/NAME.eisnn file, fitted with `with_values(guess).fit(f, z,
guess_init=False)` (`--source` forces one of them).

`--weights DIR` takes each network from DIR/NAME.eisnn instead (the module
then loads that file: `guess(f, z, weights=...)`, `fit(f, z, weights=...)`),
to judge a weight file before it replaces the shipped one.
"""

from __future__ import annotations

import argparse
import pathlib
import sys
import time

import numpy as np
import torch

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "training"))
import eisnn  # noqa: E402
import generate  # noqa: E402

import velotz  # noqa: E402

OPTIMUM_SLACK = 1.05
SEED = 777_2024


def module_guess_works(circuit: str, spectrum) -> bool:
    try:
        g = velotz.Circuit(circuit).guess(spectrum.freqs, spectrum.z)
    except ValueError:
        return False
    return len(g) == len(spectrum.params)


def reference_guesses(net: eisnn.LoadedNetwork, spectra) -> np.ndarray:
    """eisnn.guess for many spectra at once: one float64 batch through the
    network, then the same de-normalisation per spectrum."""
    feats = [eisnn.features(s.freqs, s.z, int(net.metadata["n_grid"])) for s in spectra]
    with torch.no_grad():
        heads = net.model(torch.from_numpy(np.stack([f.grid for f in feats])),
                          torch.from_numpy(np.stack([f.extras for f in feats]))).numpy()
    return np.array([
        eisnn.denormalise(h, net.target_mean, net.target_std, net.log_params, net.scaling, f.z0, f.omega0,
                          float(net.metadata["alpha_min"]), float(net.metadata["alpha_max"]))
        for h, f in zip(heads, feats)])


def cost_at(circuit: "velotz.Circuit", params, f, z) -> float:
    r = np.asarray(circuit.residuals(list(params), f, z), dtype=np.float64)
    return 0.5 * float(np.dot(r, r))


def bench_one(name: str, n: int, seed: int, source: str, estimate: bool = False,
              weights: pathlib.Path | None = None) -> dict:
    entry = generate.registry()[name]
    src = generate.SpectrumSource(name, (0.01, 0.01))
    names = src.names
    log_mask = eisnn.scaling_table(names)[1] != 0.0
    rng = np.random.default_rng(seed + sum(map(ord, name)))
    spectra = [src.draw(rng) for _ in range(n)]
    use_module = source == "module" or (source == "auto" and module_guess_works(entry.circuit, spectra[0]))
    file = (weights or ROOT / "models") / f"{name}.eisnn"
    net = None if use_module else eisnn.load_network(file)
    # keyword arguments of the module's guess and fit: the file named by --weights
    kw = {} if weights is None else {"weights": str(file)}
    base = velotz.Circuit(entry.circuit)
    t = time.perf_counter()
    if use_module:
        guesses = [np.asarray(base.guess(s.freqs, s.z, **kw)) for s in spectra]
    else:
        guesses = list(reference_guesses(net, spectra))
    t_guess = time.perf_counter() - t
    errors, ok_guess, ok_default, ok_truth, evals_guess, evals_default = [], [], [], [], [], []
    ok_estimate = []
    for s, g in zip(spectra, guesses):
        errors.append(np.where(log_mask, np.abs(np.log10(g / s.params)), np.abs(g - s.params)))
        target = OPTIMUM_SLACK * cost_at(base, s.params, s.freqs, s.z)
        try:
            if use_module:  # the default fit guesses its own starting point
                fit = base.fit(s.freqs, s.z, **kw)
            else:
                fit = base.with_values(g.tolist()).fit(s.freqs, s.z, guess_init=False)
            ok_guess.append(fit.cost <= target)
            evals_guess.append(fit.impedance_evals)
        except ValueError:
            ok_guess.append(False)
        fit = base.fit(s.freqs, s.z, guess_init=False)
        ok_default.append(fit.cost <= target)
        evals_default.append(fit.impedance_evals)
        # The ceiling: the same fit started at the truth itself.
        fit = base.with_values(s.params.tolist()).fit(s.freqs, s.z, guess_init=False)
        ok_truth.append(fit.cost <= target)
        if estimate:  # the network-free start read from the spectrum
            fit = base.estimate_start(s.freqs, s.z).fit(s.freqs, s.z)
            ok_estimate.append(fit.cost <= target)
    ok_guess, ok_default, ok_truth = np.array(ok_guess), np.array(ok_default), np.array(ok_truth)
    return {
        "name": name, "names": names, "median": np.nanmedian(np.array(errors), axis=0), "n": n,
        "guess": ok_guess.mean(), "default": ok_default.mean(), "truth": ok_truth.mean(),
        # Among the spectra where the fit from the truth reaches the optimum:
        # how often the fit from the guess does too.
        "guess_where_truth": ok_guess[ok_truth].mean() if ok_truth.any() else float("nan"),
        "guess_ms": 1e3 * t_guess / n, "source": "module" if use_module else "reference",
        "evals_guess": float(np.median(evals_guess)), "evals_default": float(np.median(evals_default)),
        "estimate": float(np.mean(ok_estimate)) if ok_estimate else None,
    }


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--spectra", type=int, default=500)
    ap.add_argument("--seed", type=int, default=SEED)
    ap.add_argument("--names", nargs="*", default=list(generate.LAYOUTS))
    ap.add_argument("--source", choices=("auto", "module", "reference"), default="auto")
    ap.add_argument("--estimate", action="store_true",
                    help="also fit from Circuit.estimate_start (no network) and report its share")
    ap.add_argument("--weights", type=pathlib.Path, default=None,
                    help="directory of NAME.eisnn files to use instead of the shipped networks")
    args = ap.parse_args()
    torch.set_num_threads(1)

    rows = []
    for name in args.names:
        t = time.time()
        r = bench_one(name, args.spectra, args.seed, args.source, args.estimate, args.weights)
        rows.append(r)
        print(f"{name}: {time.time() - t:.1f} s ({r['source']} guess, {r['guess_ms']:.2f} ms each)",
              file=sys.stderr, flush=True)

    print(f"{args.spectra} spectra per network, 1 % noise, seed {args.seed}")
    print("median error: decades for logarithmic parameters, absolute for alpha\n")
    print("| network | median error per parameter | optimum from guess | optimum from defaults "
          "| optimum from truth | from guess where the truth start reaches it "
          "| median evaluations (guess / defaults) |")
    print("|---|---|---|---|---|---|---|")
    for r in rows:
        med = ", ".join(f"{n} {m:.3f}" for n, m in zip(r["names"], r["median"]))
        shares = " | ".join(f"{100 * r[k]:.1f} %" for k in ("guess", "default", "truth", "guess_where_truth"))
        print(f"| {r['name']} | {med} | {shares} | {r['evals_guess']:.0f} / {r['evals_default']:.0f} |")
    if args.estimate:
        print("\noptimum from estimate_start (no network): " +
              ", ".join(f"{r['name']} {100 * r['estimate']:.1f} %" for r in rows))
    short = [r["name"] for r in rows if r["guess"] < 0.97]
    print("\nbelow 97 % from the guess: " + (", ".join(short) if short else "none"))


if __name__ == "__main__":
    main()
