"""The analysis layer's advice on measured spectra: what `diagnose` says about
sound and absurd fits, whether it sees lack of fit, and which circuit
`compare(f, z).recommended` picks.

For every spectrum in DATA_DIR (default ../shared/data/real) and each of the
eleven trained topologies:
- the default fit `Circuit(name).fit(f, z)`, and a reference cost for that
  circuit: the lowest of the default fit, the fit from `estimate_start` and a
  seeded basin hopping from the default start;
- "absurd": the default fit ends above 1.5 x the reference cost, or a free
  parameter beyond 1e15 or below 1e-15 (bounds of 0 aside);
  "sound": within 1.05 x the reference with every parameter inside that range
  and no systematic residual above 5 % (below), and no free parameter on its
  lower bound (an element the data do not need: diagnose calls that a problem);
- "systematic": the default fit's residuals (Z_model - Z)/|Z|, averaged over
  5 neighbouring points, exceed 5 % somewhere (measured here, independently
  of `diagnose`).
Then `compare(f, z)` and `compare(f, z, robust=True)`: the recommended
circuit and its cost against the best adequate cost (adequate: a fit that is
not absurd and has no systematic residual above 5 %; the best cost when no
candidate is adequate), where each candidate's cost is its reference cost
above (so a recommendation is measured against the best fit of each
circuit that the search found, not only against the other default fits).

    python3 benchmarks/bench_advice.py [DATA_DIR] [--hops 20]
"""
from __future__ import annotations

import argparse
import math
import pathlib
import warnings

import numpy as np

import velotz

ROOT = pathlib.Path(__file__).resolve().parent.parent


def read(path):
    frame = velotz.read(path, backend="numpy")
    return frame["Frequency / Hz"], frame["Real Impedance / ohm"] + 1j * frame["Imaginary Impedance / ohm"]


def systematic(result, f, z, width=5):
    order = np.argsort(f)
    f, z = f[order], z[order]
    r = (np.asarray(result.circuit.impedance(f)) - z) / np.abs(z)
    if not np.all(np.isfinite(r)):
        return math.inf
    k = np.ones(width) / width
    if f.size < width:
        return float(np.max(np.abs(np.r_[r.real, r.imag])))
    return float(max(np.max(np.abs(np.convolve(r.real, k, "valid"))),
                     np.max(np.abs(np.convolve(r.imag, k, "valid")))))


def at_lower_bound(result):
    """A free parameter on its lower bound: an element the data do not need."""
    c = result.circuit
    free = set(c.free_param_names())
    for name, value, (lo, _) in zip(c.param_names(), c.param_values(), c.param_bounds()):
        if name in free and math.isfinite(lo) and value <= lo * (1 + 1e-6) + (1e-12 if lo == 0 else 0):
            return True
    return False


def extreme(result):
    for name, value in result.params.items():
        if name in result.circuit.free_param_names() and value != 0 and not (1e-15 <= abs(value) <= 1e15):
            return True
    return False


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("data", nargs="?", default=str(ROOT.parent / "shared" / "data" / "real"))
    ap.add_argument("--hops", type=int, default=20)
    args = ap.parse_args()
    warnings.simplefilter("ignore")
    files = sorted(pathlib.Path(args.data).glob("*.csv"))
    tally = dict(sound=0, sound_problem=0, absurd=0, absurd_flagged=0, systematic=0, systematic_flagged=0,
                 sound_note=0)
    print("== diagnosis of the default fits (P: problems, N: notes)")
    rec_rows = []
    for path in files:
        f, z = read(path)
        refs = {}
        for name in velotz.Circuit.ml_circuits():
            c = velotz.Circuit(name)
            try:
                default = c.fit(f, z)
            except ValueError:
                continue
            costs = [default.cost]
            try:
                costs.append(c.estimate_start(f, z).fit(f, z).cost)
            except ValueError:
                pass
            costs.append(c.fit(f, z, method="basin_hopping", basin_hopping_hops=args.hops, seed=0).cost)
            ref = min(x for x in costs if math.isfinite(x))
            refs[name] = ref
            d = velotz.diagnose(default, f, z)
            absurd = default.cost > 1.5 * ref or extreme(default) or not default.success
            sys_dev = systematic(default, f, z)
            sound = (not absurd and default.cost <= 1.05 * ref and sys_dev <= 0.05
                     and not at_lower_bound(default))
            kinds = ",".join(d.kinds("problem")) or "-"
            tag = "absurd" if absurd else ("sound" if sound else "other")
            if absurd:
                tally["absurd"] += 1
                tally["absurd_flagged"] += not d.ok
            if sound:
                tally["sound"] += 1
                tally["sound_problem"] += not d.ok
                tally["sound_note"] += bool(d.notes)
            if sys_dev > 0.05:
                tally["systematic"] += 1
                tally["systematic_flagged"] += "lack_of_fit" in d.kinds("problem")
            print(f"{path.stem:<38}{name:<16}{tag:<7} cost/ref {default.cost / ref:8.3g}  systematic "
                  f"{sys_dev:6.1%}  P: {kinds}")
        row = [path.stem]
        for robust in (False, True):
            cmp = velotz.compare(f, z, robust=robust)
            fitted = [e for e in cmp if e.error is None]
            adequate = [e for e in fitted
                        if e.result.success and not extreme(e.result) and systematic(e.result, f, z) <= 0.05]
            pool = adequate or fitted
            # An entry "NAME without PARTS" is NAME's curve: NAME's reference applies.
            best_cost = min(min(e.cost, refs.get(e.name.split(" without ")[0], math.inf)) for e in pool)
            rec = cmp.recommended
            row += [rec.name, rec.cost / best_cost, bool(adequate), systematic(rec.result, f, z)]
        rec_rows.append(tuple(row))
    print("\n== diagnosis totals")
    print(f"sound fits flagged with a problem: {tally['sound_problem']} of {tally['sound']} "
          f"({tally['sound_note']} carry notes only or too)")
    print(f"absurd fits flagged with a problem: {tally['absurd_flagged']} of {tally['absurd']}")
    print(f"fits with systematic residuals above 5 % flagged as lack of fit: {tally['systematic_flagged']} of "
          f"{tally['systematic']}")
    print("\n== recommended circuit per spectrum (cost / best adequate reference cost)")
    print(f"{'spectrum':<38}{'compare(f, z)':<34}{'compare(f, z, robust=True)':<34}")
    worst = [0.0, 0.0]
    for stem, *cols in rec_rows:
        text = f"{stem:<38}"
        for i in (0, 1):
            name, ratio, has_adequate, sys_dev = cols[4 * i:4 * i + 4]
            worst[i] = max(worst[i], ratio)
            text += f"{name:<22}{ratio:6.3f}{'' if has_adequate else '*'} {sys_dev:5.1%}  "
        print(text)
    print("(* no adequate candidate; the percentage is the recommended fit's largest systematic residual)")
    print(f"largest ratio: {worst[0]:.3f} (default fits), {worst[1]:.3f} (robust=True)")


if __name__ == "__main__":
    main()
