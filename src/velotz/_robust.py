# One call for hard fits: several starting points and a short seeded global
# search, each a compiled fit (the lock released inside), and the best sound
# result of them all.
import math

from velotz import _core

__all__ = ["fit_robust"]

# An open-bound parameter this large (a resistance of 1e15 ohm, a CPE
# coefficient of 1e37) means the fit ran off to a limit, not that it found
# a value: such results are taken only when no other result is sound.
ABSURD = 1e15


def _sound(result):
    if not (result.success and math.isfinite(result.cost)):
        return False
    circuit = result.circuit
    for value, (_, hi) in zip(circuit.param_values(), circuit.param_bounds()):
        if not math.isfinite(value) or (math.isinf(hi) and abs(value) >= ABSURD):
            return False
    return True


def _key(result):
    # Sound results first, then the lowest finite cost.
    cost = result.cost if math.isfinite(result.cost) else math.inf
    return (not _sound(result), cost)


def fit_robust(circuit, frequencies, impedances=None, *, weight="modulus", seed=0, hops=8):
    """Fit `circuit` from several starts and return the best sound result.

    For spectra where the default fit may stop in a poor local minimum,
    this tries, each with the default Levenberg-Marquardt fit:

    - the circuit's own values (the placeholders when none were given),
    - the trained network's guess, when a network matches the circuit,
    - `circuit.estimate_start(...)`, the estimate read from the spectrum,
    - for a circuit with a series resistor beside its arcs, the estimate
      with that resistance held near zero and then freed (the basin where
      an arc above the window, a capacitance across the series
      resistance, takes it),

    and then a short basin-hopping search (`hops` hops, seeded with `seed`,
    so a call repeats exactly) from the best of them. It returns the
    `FitResult` with the lowest cost among the sound ones: successful,
    finite, and with no open-bound parameter at an absurd extreme (1e15 or
    more, where a fit has run off to a limit); only when none is sound, the
    lowest-cost result. Fixed parameters and custom bounds of `circuit` are
    kept, and no warning is issued for a circuit without a network.

    Accepts two sequences or a dataframe, like `Circuit.fit`; raises the
    ValueError `Circuit.fit` raises for unusable input.
    """
    results = [circuit.fit(frequencies, impedances, guess_init=False, weight=weight)]
    results += _other_starts(circuit, frequencies, impedances, weight, hidden_series=True)
    best = min(results, key=_key)
    if hops > 0:
        results.append(best.circuit.fit(frequencies, impedances, guess_init=False, weight=weight,
                                        method="basin_hopping", basin_hopping_hops=hops, seed=seed))
    return min(results, key=_key)


def _other_starts(circuit, frequencies, impedances, weight, hidden_series=False):
    """Default fits of `circuit` from the network's guess (when a network
    matches it) and from `estimate_start`: the starts other than the
    circuit's own values; with `hidden_series`, also the fit of
    `_hidden_series_fit` where it applies."""
    results = []
    try:
        results.append(circuit.fit(frequencies, impedances, guess_init=True, weight=weight))
    except ValueError:
        pass  # no network for this circuit
    start = circuit.estimate_start(frequencies, impedances, weight=weight)
    results.append(start.fit(frequencies, impedances, guess_init=False, weight=weight))
    if hidden_series:
        hidden = _hidden_series_fit(circuit, frequencies, impedances, weight, below=min(r.cost for r in results))
        if hidden is not None:
            results.append(hidden)
    return results


def _series_resistance(circuit):
    """The parameter of the circuit's first free resistor in its top-level
    series, when that series also holds a parallel group; else None."""
    nodes = circuit.to_dict()["nodes"]
    if not any("parallel" in node for node in nodes):
        return None
    free = set(circuit.free_param_names())
    for node in nodes:
        if node.get("element") == "R" and f"{node['label']}.r" in free:
            return f"{node['label']}.r"
    return None


def _hidden_series_fit(circuit, frequencies, impedances, weight, below=math.inf):
    """The fit from `estimate_start` with the circuit's top-level series
    resistance held near zero, then fitted again with it free; None when
    the circuit has no free top-level resistor beside a parallel group, or
    when that fit's cost is not below `below` (the cost of the other
    starts: this start is there to find a cheaper basin, and where it does
    not, the basin it finds says nothing more).

    A capacitance across the series resistance (the cell's or the leads')
    puts an arc above the measured window: -Im Z rises again towards the
    highest frequencies. The ordinary starts set the series resistance to
    the real part there, and the fit stays in that basin; held near zero,
    one of the circuit's arcs takes the resistance and the stray
    capacitance, a basin the other starts do not reach."""
    name = _series_resistance(circuit)
    if name is None:
        return None
    names = circuit.param_names()
    lo, _ = circuit.param_bounds()[names.index(name)]
    try:
        _, imps = _core._spectrum(frequencies, impedances)
        scale = sorted(abs(z) for z in imps)[len(imps) // 2]
        held = circuit.with_fixed({name: max(1e-9 * scale, 10.0 * lo)})
        start = held.estimate_start(frequencies, impedances, weight=weight)
        near_zero = start.fit(frequencies, impedances, guess_init=False, weight=weight)
        freed = near_zero.circuit.with_free(name).fit(frequencies, impedances, guess_init=False, weight=weight)
    except ValueError:
        return None
    return freed if freed.cost < below else None


def _arc_above_window(frequencies, impedances):
    """Whether the highest frequencies show the beginning of an arc above
    the window: -Im Z at the top point is at least 2 % of |Z| there and
    has risen by at least 1 % of |Z| and by half again from its smallest
    value over the upper half of the points, which lies two or more points
    below the top; no point of the top decade is inductive."""
    points = sorted(zip(frequencies, impedances), key=lambda p: p[0])
    if len(points) < 6:
        return False
    f_top, z_top = points[-1]
    if any(complex(z).imag > 0 for f, z in points if f >= f_top / 10):
        return False
    upper = [-complex(z).imag for _, z in points[len(points) // 2:]]
    low = min(range(len(upper)), key=upper.__getitem__)
    top = abs(complex(z_top))
    return (low + 2 < len(upper) and upper[-1] >= 0.02 * top and upper[-1] - upper[low] >= 0.01 * top
            and upper[-1] > 1.5 * max(upper[low], 0.0))
