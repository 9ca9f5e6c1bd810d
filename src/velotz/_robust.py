# One call for hard fits: several starting points and a short seeded global
# search, each a compiled fit (the lock released inside), and the best sound
# result of them all.
import math

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
    results += _other_starts(circuit, frequencies, impedances, weight)
    best = min(results, key=_key)
    if hops > 0:
        results.append(best.circuit.fit(frequencies, impedances, guess_init=False, weight=weight,
                                        method="basin_hopping", basin_hopping_hops=hops, seed=seed))
    return min(results, key=_key)


def _other_starts(circuit, frequencies, impedances, weight):
    """Default fits of `circuit` from the network's guess (when a network
    matches it) and from `estimate_start`: the starts other than the
    circuit's own values."""
    results = []
    try:
        results.append(circuit.fit(frequencies, impedances, guess_init=True, weight=weight))
    except ValueError:
        pass  # no network for this circuit
    start = circuit.estimate_start(frequencies, impedances, weight=weight)
    results.append(start.fit(frequencies, impedances, guess_init=False, weight=weight))
    return results
