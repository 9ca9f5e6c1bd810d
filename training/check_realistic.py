"""Compares weight files of one network on held-out spectra with the defects
of measured data (generate.realistic(), drawn with a seed no training run
uses) and on clean ones.

For every spectrum and every file given, the fit started from the file's
guess (eisnn.guess, the float64 reference of the module's inference, then
`with_values(guess).fit(f, z, guess_init=False)`) is compared with the lowest
cost any start reached on that spectrum: all the files' guesses, the label
(the truth, or the least-squares compromise for a spectrum the circuit does
not model), `estimate_start` and the circuit's default values. A fit is "at
best" when its cost is at most 1.001 x that lowest cost.

    PYTHONPATH=build python3 training/check_realistic.py two_rq models/two_rq.eisnn /tmp/nets/two_rq.eisnn \
        [--spectra 200] [--seed 4242]

Prints, per file: the share at best, the median and 90th percentile of
cost / lowest cost, and the median guess cost / lowest cost (how close the
guess alone starts).
"""

from __future__ import annotations

import argparse
import pathlib
import sys
import warnings

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import eisnn  # noqa: E402
import generate  # noqa: E402

import velotz  # noqa: E402

AT_BEST = 1.001


def cost_at(circuit, params, f, z) -> float:
    r = np.asarray(circuit.residuals(list(params), f, z), dtype=np.float64)
    return 0.5 * float(np.dot(r, r))


def fit_cost(circuit, start, f, z) -> float:
    try:
        fit = circuit.with_values(list(start)).fit(f, z, guess_init=False)
    except ValueError:
        return np.inf
    return cost_at(circuit, fit.params.values(), f, z)


def compare(name: str, files: list[pathlib.Path], n: int, seed: int, realistic: bool) -> list[dict]:
    source = generate.SpectrumSource(name, (0.01, 0.01))
    base = source.circuit
    nets = [eisnn.load_network(p) for p in files]
    for p, net in zip(files, nets):
        if net.metadata["circuit"] != source.entry.circuit:
            raise ValueError(f"{p} is a {net.metadata['circuit']} network, not {source.entry.circuit}")
    rng = np.random.default_rng(seed + sum(map(ord, name)))
    costs, guess_costs = [], []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for _ in range(n):
            s = source.draw_realistic(rng) if realistic else source.draw(rng)
            guesses = [eisnn.guess(net, s.freqs, s.z) for net in nets]
            row = [fit_cost(base, g, s.freqs, s.z) for g in guesses]
            others = [fit_cost(base, s.params, s.freqs, s.z)]
            try:
                others.append(fit_cost(base, base.estimate_start(s.freqs, s.z).param_values(), s.freqs, s.z))
            except (AttributeError, ValueError):
                pass
            try:
                others.append(base.fit(s.freqs, s.z, guess_init=False).cost)
            except ValueError:
                pass
            best = min(row + others)
            costs.append(np.array(row) / best)
            guess_costs.append(np.array([cost_at(base, g, s.freqs, s.z) for g in guesses]) / best)
    costs, guess_costs = np.array(costs), np.array(guess_costs)
    return [{"file": str(p), "at_best": float(np.mean(costs[:, i] <= AT_BEST)),
             "median": float(np.median(costs[:, i])), "p90": float(np.percentile(costs[:, i], 90)),
             "guess_median": float(np.median(guess_costs[:, i]))} for i, p in enumerate(files)]


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("name", choices=list(generate.LAYOUTS))
    ap.add_argument("files", nargs="+", type=pathlib.Path)
    ap.add_argument("--spectra", type=int, default=200)
    ap.add_argument("--seed", type=int, default=4242)
    args = ap.parse_args()
    import torch
    torch.set_num_threads(1)
    for realistic in (True, False):
        kind = "realistic" if realistic else "clean (1 % noise)"
        print(f"{args.name}: {args.spectra} {kind} spectra, seed {args.seed}")
        for r in compare(args.name, args.files, args.spectra, args.seed, realistic):
            print(f"  {r['file']}: at best {100 * r['at_best']:.1f} %, cost ratio median {r['median']:.4g} "
                  f"p90 {r['p90']:.4g}, guess cost ratio median {r['guess_median']:.4g}")


if __name__ == "__main__":
    main()
