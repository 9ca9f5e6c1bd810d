"""The derivative-free fitting methods seen from Python.

The seeded methods are checked against a reference written here from the
method descriptions: its own ChaCha12 generator (rand's StdRng seeded through
PCG32), the search in internal coordinates, the hand-over to the
Levenberg-Marquardt polish and the evaluation bookkeeping. The reference costs
points with Circuit.residuals, so a seeded fit must agree with it bit for bit.
"""
import json
import math
import os
import subprocess
import sys

import numpy as np
import pytest

import velotz

F = list(np.logspace(-2, 5, 40))
TRUE_RQ = [10.0, 100.0, 1e-5, 0.85]
START_RQ = [30.0, 30.0, 3e-5, 0.7]
M32, M64 = 0xFFFFFFFF, 0xFFFFFFFFFFFFFFFF
MAX_HALF_WIDTH = "8.988465674311579e307"  # the largest h whose 2h is finite


def spectrum(text, values, noise=0.0, seed=3):
    z = np.asarray(velotz.Circuit(text).with_values(values).impedance(F))
    rng = np.random.default_rng(seed)
    z = z * (1 + noise * (rng.standard_normal(len(z)) + 1j * rng.standard_normal(len(z))))
    return [complex(v) for v in z]


NOISY_RQ = spectrum("rq", TRUE_RQ, noise=0.01)


# ------------------------------------------------------------------ reference generator


class ChaCha12:
    """rand's StdRng: ChaCha12 (64-bit block counter from 0, nonce 0) keyed by the
    eight PCG32 words of seed_from_u64, read as one stream of 32-bit words."""

    def __init__(self, seed):
        key, s = [], seed
        for _ in range(8):
            s = (s * 6364136223846793005 + 11634580027462260723) & M64
            xorshifted = (((s >> 18) ^ s) >> 27) & M32
            rot = s >> 59
            key.append(((xorshifted >> rot) | (xorshifted << (32 - rot))) & M32)
        self.key, self.counter, self.words = key, 0, []

    def _block(self):
        state = [0x61707865, 0x3320646E, 0x79622D32, 0x6B206574, *self.key,
                 self.counter & M32, self.counter >> 32, 0, 0]
        x = list(state)

        def quarter(a, b, c, d):
            for p, q, r, n in ((a, b, d, 16), (c, d, b, 12), (a, b, d, 8), (c, d, b, 7)):
                x[p] = (x[p] + x[q]) & M32
                v = x[r] ^ x[p]
                x[r] = ((v << n) | (v >> (32 - n))) & M32

        for _ in range(6):
            quarter(0, 4, 8, 12), quarter(1, 5, 9, 13), quarter(2, 6, 10, 14), quarter(3, 7, 11, 15)
            quarter(0, 5, 10, 15), quarter(1, 6, 11, 12), quarter(2, 7, 8, 13), quarter(3, 4, 9, 14)
        self.counter += 1
        return [(a + b) & M32 for a, b in zip(x, state)]

    def u64(self):
        while len(self.words) < 2:
            self.words += self._block()
        low, high = self.words.pop(0), self.words.pop(0)
        return (high << 32) | low

    def unit52(self):
        return (self.u64() >> 12) / 2.0 ** 52

    def unit53(self):
        return (self.u64() >> 11) * 2.0 ** -53

    def between(self, lo, hi):
        return lo + (hi - lo) * self.unit52()


def test_reference_generator_matches_a_known_draw():
    # StdRng seeded with 42 draws 2.2124592720221905 on [-2, 6] (rand's value).
    assert ChaCha12(42).between(-2.0, 6.0) == 2.2124592720221905


# ------------------------------------------------------------------ reference problem


def half_sum(r):
    s = -0.0
    for v in r:
        s += v * v
    return 0.5 * s


def summary(result):
    return (result.circuit.param_values(), result.iterations, result.impedance_evals, result.cost, result.success)


class Reference:
    """Cost, coordinates, search box and polish of one circuit and spectrum."""

    def __init__(self, text, values, z):
        self.start = velotz.Circuit(text).with_values(values)
        self.values, self.z = list(values), z
        self.bounds = self.start.param_bounds()
        self.evals = 0

    def physical(self, x):
        return [v if math.isfinite(hi) else 10.0 ** v + lo for v, (lo, hi) in zip(x, self.bounds)]

    def internal(self, p):
        out = []
        for v, (lo, hi) in zip(p, self.bounds):
            d = v - lo
            out.append(v if math.isfinite(hi) else math.log10(d if d > 1e-300 else 1e-300))
        return out

    def cost(self, x):
        self.evals += 1
        return half_sum(self.start.residuals(self.physical(x), F, self.z))

    def box(self):
        lower, upper = [], []
        for v, (lo, hi) in zip(self.values, self.bounds):
            if math.isfinite(hi):
                lower.append(lo), upper.append(hi)
                continue
            size = max(abs(v), 1e-6)
            lower.append(math.log10(max(max(size * 1e-4, lo) - lo, 1e-300)))
            upper.append(math.log10(max(size * 1e4 - lo, 1e-300)))
        return lower, upper

    def fit_from(self, params):
        """A default Levenberg-Marquardt fit: the polish and the local fits of basin hopping."""
        return self.start.with_values(params).fit(F, self.z, guess_init=False)

    def handed_over(self, best_x, iterations):
        """The polished outcome of a global method whose best point is best_x after
        self.evals cost evaluations: its own outcome (1 + 2n evaluations, always
        successful) unless the polish ends with a finite cost that is not higher."""
        best = self.physical(best_x)
        clamped = [min(max(v, lo), hi) for v, (lo, hi) in zip(best, self.bounds)]
        own_cost = half_sum(self.start.residuals(clamped, F, self.z))
        polish = self.fit_from(best)
        evals = self.evals + 1 + 2 * len(best) + polish.impedance_evals
        if math.isfinite(polish.cost) and polish.cost <= own_cost:
            return polish.circuit.param_values(), polish.iterations, evals, polish.cost, polish.success
        return clamped, iterations, evals, own_cost, True


def particle_swarm(ref, particles, generations, seed):
    rng = ChaCha12(seed)

    def draw(a, b):
        return [x if x == y else rng.between(min(x, y), max(x, y)) for x, y in zip(a, b)]

    lower, upper = ref.box()
    width = [u - l for l, u in zip(lower, upper)]
    positions = [draw(lower, upper) for _ in range(particles)]
    velocities = [draw([-w for w in width], width) for _ in range(particles)]
    swarm = sorted(([ref.cost(x), x, v] for x, v in zip(positions, velocities)), key=lambda p: p[0])
    swarm = [{"x": x, "v": v, "c": c, "bx": x, "bc": c} for c, x, v in swarm]
    top_x, top_c = swarm[0]["x"], swarm[0]["c"]
    best_x, best_c = top_x, top_c
    zeros = [0.0] * len(lower)
    for _ in range(generations):
        for p in swarm:
            own = draw(zeros, [b - x for b, x in zip(p["bx"], p["x"])])
            social = draw(zeros, [b - x for b, x in zip(top_x, p["x"])])
            p["v"] = [0.7213475204444817 * v + 1.1931471805599454 * a + 1.1931471805599454 * b
                      for v, a, b in zip(p["v"], own, social)]
            moved = [x + v for x, v in zip(p["x"], p["v"])]
            moved = [m if m > lo else lo for m, lo in zip(moved, lower)]
            p["x"] = [m if m < hi else hi for m, hi in zip(moved, upper)]
        costs = [ref.cost(p["x"]) for p in swarm]
        for p, c in zip(swarm, costs):
            p["c"] = c
            if c < p["bc"]:
                p["bx"], p["bc"] = p["x"], c
                if c < top_c:
                    top_x, top_c = p["x"], c
        if top_c < best_c:
            best_x, best_c = top_x, top_c
    return ref.handed_over(best_x, generations)


def simulated_annealing(ref, iterations, t0, seed):
    moves, accept = ChaCha12(seed), ChaCha12((seed + 1) & M64)
    x = ref.internal(ref.values)
    f = ref.cost(x)
    best_x, best_f = x, f
    t = t0
    for k in range(1, iterations + 1):
        candidate = [v + (2 * t * moves.unit52() - t) for v in x]
        fc = ref.cost(candidate)
        u = accept.unit53()
        try:
            barker = 1 / (1 + math.exp((fc - f) / t))
        except OverflowError:
            barker = 0.0
        if fc < f or barker > u:
            x, f = candidate, fc
        t = t0 / (k + 1)
        if f < best_f:
            best_x, best_f = x, f
    return ref.handed_over(best_x, iterations)


def basin_hopping(ref, hops, step, temperature, seed):
    rng = ChaCha12(seed)
    current = ref.fit_from(ref.values)
    best, total = current, current.iterations
    for _ in range(hops):
        x = [v + (2 * step * rng.unit52() - step) for v in ref.internal(current.circuit.param_values())]
        found = ref.fit_from(ref.physical(x))
        total += found.iterations
        if math.isfinite(found.cost) and found.cost < best.cost:
            best = found
        if not math.isfinite(found.cost):
            continue
        if current.cost <= found.cost:
            if math.exp(-(found.cost - current.cost) / temperature) <= rng.unit53():
                continue
        current = found
    # The outcome at the best minimum counts only its own 1 + 2n evaluations.
    params = best.circuit.param_values()
    return params, total, 1 + 2 * len(params), best.cost, True


def nelder_mead(ref, iterations):
    x0 = ref.internal(ref.values)
    n = len(x0)
    vertices = [x0] + [[v + (0.1 * abs(v) if abs(v) > 1e-8 else 0.1) if j == i else v for j, v in enumerate(x0)]
                       for i in range(n)]
    simplex = sorted(([ref.cost(x), x] for x in vertices), key=lambda v: v[0])
    best_c, best_x = simplex[0]
    k = 0

    def toward(a, b, t):
        return [p + (q - p) * t for p, q in zip(a, b)]

    while True:
        costs = [c for c, _ in simplex]
        mean = sum(costs) / (n + 1)
        if math.sqrt((1.0 / n) * sum((c - mean) * (c - mean) for c in costs)) < 2.0 ** -52 or k >= iterations:
            break
        (f0, _), (f_second, _), (f_worst, x_worst) = simplex[0], simplex[n - 1], simplex[n]
        centroid = [sum(simplex[j][1][i] for j in range(n)) * (1.0 / n) for i in range(n)]
        xr = [c + (c - w) * 1.0 for c, w in zip(centroid, x_worst)]
        fr = ref.cost(xr)
        shrink = False
        if f0 <= fr < f_second:
            simplex[n] = [fr, xr]
        elif fr < f0:
            xe = toward(centroid, xr, 2.0)
            fe = ref.cost(xe)
            simplex[n] = [fe, xe] if fe < fr else [fr, xr]
        elif fr < f_worst:
            xc = toward(centroid, xr, 0.5)
            fc = ref.cost(xc)
            shrink = not fc <= fr
            simplex[n] = simplex[n] if shrink else [fc, xc]
        else:
            xc = toward(centroid, x_worst, 0.5)
            fc = ref.cost(xc)
            shrink = not fc < f_worst
            simplex[n] = simplex[n] if shrink else [fc, xc]
        if shrink:
            for j in range(1, n + 1):
                x = toward(simplex[0][1], simplex[j][1], 0.5)
                simplex[j] = [ref.cost(x), x]
        simplex.sort(key=lambda v: v[0])
        if simplex[0][0] < best_c:
            best_c, best_x = simplex[0]
        k += 1
    return ref.handed_over(best_x, k)


# ------------------------------------------------------------------ agreement with the reference


@pytest.mark.parametrize("particles, generations, seed", [(1, 0, 0), (5, 0, 11), (6, 4, 2024), (4, 6, M64)])
def test_particle_swarm_follows_the_reference(particles, generations, seed):
    r = velotz.Circuit("rq").with_values(START_RQ).fit(
        F, NOISY_RQ, guess_init=False, method="particle_swarm", num_particles=particles,
        generations=generations, seed=seed)
    ref = Reference("rq", START_RQ, NOISY_RQ)
    expected = particle_swarm(ref, particles, generations, seed)
    assert ref.evals == particles * (1 + generations)
    assert summary(r) == expected


@pytest.mark.parametrize("iterations, t0, seed", [(0, 2.0, 1), (40, 0.5, 9), (25, 2.0, M64)])
def test_simulated_annealing_follows_the_reference(iterations, t0, seed):
    # seed 2**64 - 1 seeds the acceptance stream with 0 (the sum wraps).
    r = velotz.Circuit("rq").with_values(START_RQ).fit(
        F, NOISY_RQ, guess_init=False, method="simulated_annealing", sa_iterations=iterations,
        sa_initial_temperature=t0, seed=seed)
    ref = Reference("rq", START_RQ, NOISY_RQ)
    expected = simulated_annealing(ref, iterations, t0, seed)
    assert ref.evals == 1 + iterations
    assert summary(r) == expected


@pytest.mark.parametrize("hops, step, temperature, seed", [(0, 1.0, 1.0, 4), (4, 1.0, 1.0, 4),
                                                           (3, 0.5, 1e-12, 77), (2, 0.0, 0.0, 5)])
def test_basin_hopping_follows_the_reference(hops, step, temperature, seed):
    far = [1000.0, 1.0, 1e-8, 0.5]
    r = velotz.Circuit("rq").with_values(far).fit(
        F, NOISY_RQ, guess_init=False, method="basin_hopping", basin_hopping_hops=hops,
        basin_hopping_step_size=step, basin_hopping_temperature=temperature, seed=seed)
    assert summary(r) == basin_hopping(Reference("rq", far, NOISY_RQ), hops, step, temperature, seed)


@pytest.mark.parametrize("iterations", [0, 30, 400])
@pytest.mark.parametrize("alpha", [0.7, 5e-9, 2e-8])  # steps 0.07, 0.1 and 2e-9
def test_nelder_mead_follows_the_reference(iterations, alpha):
    start = START_RQ[:3] + [alpha]
    r = velotz.Circuit("rq").with_values(start).fit(F, NOISY_RQ, guess_init=False, method="nelder_mead",
                                                    nelder_mead_iterations=iterations)
    ref = Reference("rq", start, NOISY_RQ)
    expected = nelder_mead(ref, iterations)
    assert summary(r) == expected
    if iterations == 0:
        assert ref.evals == len(start) + 1


@pytest.mark.parametrize("evaluations", [0, 1, 30])
def test_differential_evolution_counts(evaluations):
    # A NaN point makes every cost NaN: the polish cannot win, so the result is
    # the search's own outcome, and the polish (nine one-evaluation runs from any
    # start) counts what a plain fit on the same data counts.
    z = list(NOISY_RQ)
    z[11] = complex(math.nan, 0.0)
    start = velotz.Circuit("rq").with_values(START_RQ)
    polish = start.fit(F, z, guess_init=False)
    r = start.fit(F, z, guess_init=False, method="differential_evolution", de_evaluations=evaluations)
    steps = max(evaluations, 1)
    # The search's result is kept, but with a NaN cost it is not a success.
    assert (r.success, r.iterations) == (False, 10 * steps)
    assert r.impedance_evals == 10 * (steps + 1) + (1 + 2 * 4) + polish.impedance_evals
    assert math.isnan(r.cost)


# ------------------------------------------------------------------ reproducibility


SEEDED = {
    "particle_swarm": dict(num_particles=8, generations=10),
    "simulated_annealing": dict(sa_iterations=200),
    "basin_hopping": dict(basin_hopping_hops=3),
}


def seeded_summary(method, seed):
    r = velotz.Circuit("rq").with_values(START_RQ).fit(F, NOISY_RQ, guess_init=False, method=method, seed=seed,
                                                        **SEEDED[method])
    return [sorted(r.params.items()), r.iterations, r.impedance_evals, r.cost.hex(), r.success]


def test_seeded_runs_repeat_bit_for_bit_also_in_another_process():
    here = {m: seeded_summary(m, 123) for m in SEEDED}
    assert here == {m: seeded_summary(m, 123) for m in SEEDED}
    assert here != {m: seeded_summary(m, 124) for m in SEEDED}
    script = ("import json, sys; sys.path.insert(0, sys.argv[1]); import test_global_methods as t; "
              "print(json.dumps({m: t.seeded_summary(m, 123) for m in t.SEEDED}))")
    module_dir = os.path.dirname(os.path.abspath(velotz.__file__))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([module_dir, os.environ.get("PYTHONPATH", "")]))
    out = subprocess.run([sys.executable, "-c", script, os.path.dirname(os.path.abspath(__file__))],
                         env=env, capture_output=True, text=True, check=True).stdout
    there = json.loads(out)
    assert there == json.loads(json.dumps(here))


def unseeded(method, z, **options):
    r = velotz.Circuit("rq").with_values(START_RQ).fit(F, z, guess_init=False, method=method, **options)
    return r.circuit.param_values(), r.iterations, r.impedance_evals


def test_unseeded_particle_swarm_differs():
    # With unit weights and an infinite point every cost is +inf: the first
    # particle stays the best, the polish cannot win, and the result is that
    # particle's random start.
    z = list(NOISY_RQ)
    z[5] = complex(math.inf, 0.0)
    runs = [unseeded("particle_swarm", z, weight="unit", num_particles=3, generations=2) for _ in range(2)]
    assert runs[0][0] != runs[1][0]
    # The same with a seed: its first particle is the first draw of the seed's stream.
    ref = Reference("rq", START_RQ, z)
    rng, (lower, upper) = ChaCha12(8), ref.box()
    first = ref.physical([lo if lo == hi else rng.between(lo, hi) for lo, hi in zip(lower, upper)])
    seeded = [unseeded("particle_swarm", z, weight="unit", num_particles=3, generations=2, seed=8)
              for _ in range(2)]
    assert seeded[0] == seeded[1]
    assert seeded[0][:2] == (first, 2)


def test_unseeded_simulated_annealing_differs():
    far = [1000.0, 1.0, 1e-8, 0.5]
    start = velotz.Circuit("rq").with_values(far)
    runs = set()
    for _ in range(3):
        r = start.fit(F, NOISY_RQ, guess_init=False, method="simulated_annealing", sa_iterations=30)
        runs.add((tuple(r.circuit.param_values()), r.iterations, r.impedance_evals))
    assert len(runs) > 1


def test_differential_evolution_ignores_the_seed():
    # NaN costs keep the search's own result: a point of the last run's random population.
    z = list(NOISY_RQ)
    z[11] = complex(math.nan, 0.0)
    runs = [unseeded("differential_evolution", z, de_evaluations=1, seed=1) for _ in range(2)]
    assert runs[0][0] != runs[1][0]
    assert runs[0][1:] == runs[1][1:] == (10, runs[0][2])


# ------------------------------------------------------------------ quality


@pytest.mark.parametrize("method, options", [
    ("nelder_mead", dict(nelder_mead_iterations=600)),
    ("particle_swarm", dict(num_particles=20, generations=40, seed=1)),
    ("differential_evolution", dict(de_evaluations=3000)),
    ("simulated_annealing", dict(sa_iterations=1500, seed=1)),
    ("basin_hopping", dict(basin_hopping_hops=3, seed=1)),
])
@pytest.mark.parametrize("text, true", [("rc", [10.0, 100.0, 1e-5]), ("rq", TRUE_RQ)])
def test_each_method_fits_noise_free_data_back(method, options, text, true):
    start = [v * 30 if i % 2 else v / 30 for i, v in enumerate(true)]
    start = [min(v, 0.5) if hi == 1.0 else v for v, (lo, hi) in zip(start, velotz.Circuit(text).param_bounds())]
    r = velotz.Circuit(text).with_values(start).fit(F, spectrum(text, true), guess_init=False, method=method,
                                                    **options)
    assert r.success and r.cost < 1e-20
    np.testing.assert_allclose(r.circuit.param_values(), true, rtol=1e-7)


# ------------------------------------------------------------------ refused settings


@pytest.mark.parametrize("method, options, message", [
    ("particle_swarm", dict(num_particles=0), "num_particles must be at least 1, got 0"),
    *[("simulated_annealing", dict(sa_initial_temperature=t),
       'solver error: Invalid parameter: "`SimulatedAnnealing`: Initial temperature must be > 0."')
      for t in (0.0, -0.0, -1.0, -math.inf)],
    *[("simulated_annealing", dict(sa_initial_temperature=t),
       f"sa_initial_temperature must be a finite number no larger than {MAX_HALF_WIDTH}, got {text}")
      for t, text in ((math.nan, "NaN"), (math.inf, "inf"), (1e308, "1e308"))],
    *[("basin_hopping", dict(basin_hopping_step_size=s),
       f"basin_hopping_step_size must be a number from 0 to {MAX_HALF_WIDTH}, got {text}")
      for s, text in ((-1.0, "-1.0"), (-1e-300, "-1e-300"), (math.nan, "NaN"), (math.inf, "inf"),
                      (9e307, "9e307"))],
])
def test_unusable_settings_are_refused(method, options, message):
    start = velotz.Circuit("rq").with_values(START_RQ)
    with pytest.raises(ValueError) as info:
        start.fit(F, NOISY_RQ, guess_init=False, method=method, seed=1, **options)
    assert str(info.value) == message
    # The three input checks come first.
    with pytest.raises(ValueError, match="^frequencies and impedances must not be empty$"):
        start.fit([], [], guess_init=False, method=method, **options)


@pytest.mark.parametrize("method, name", [("particle_swarm", "particle swarm"),
                                          ("differential_evolution", "differential evolution")])
@pytest.mark.parametrize("value, box", [(math.inf, "[inf, inf]"), (1e306, "[302.0, inf]")])
def test_search_boxes_that_cannot_be_sampled_are_refused(method, name, value, box):
    start = velotz.Circuit("rq").with_values([10.0, value, 1e-5, 0.8])
    with pytest.raises(ValueError) as info:
        start.fit(F, NOISY_RQ, guess_init=False, method=method, num_particles=2, generations=1, de_evaluations=1)
    text = "1e306" if value == 1e306 else "inf"
    assert str(info.value) == (f'{name} cannot search "R1.r": the search box around its value {text} is {box}, '
                               "which is not finite")


def test_edge_settings_that_can_be_run():
    start = velotz.Circuit("rq").with_values(START_RQ)
    common = dict(guess_init=False, seed=1)
    # The smallest positive temperature, and the largest one whose double is finite.
    for t0 in (5e-324, float(MAX_HALF_WIDTH)):
        assert start.fit(F, NOISY_RQ, method="simulated_annealing", sa_iterations=3, sa_initial_temperature=t0,
                         **common).success
    # A zero step (every hop restarts from the current minimum) and a zero temperature.
    r = start.fit(F, NOISY_RQ, method="basin_hopping", basin_hopping_hops=2, basin_hopping_step_size=-0.0,
                  basin_hopping_temperature=0.0, **common)
    assert r.success
