"""Fuzzing harness for velotz: parser texts, weight files, the numeric
arguments of every entry point, constrained circuits (with_fixed, with_free,
with_bounds), batch fitting, the analysis tools (kramers_kronig, diagnose,
compare) and the pickle reconstructors fed hostile states, each batch of
cases in a child process.

A child runs a batch and writes the index of each case before starting it,
so when a child dies (a crash) or stops answering (a hang) the parent knows
the exact case, records it and starts a new child after it. Besides crashes
the harness looks for fits reported as successful whose cost or parameters
are not finite, and for C++ exceptions that surfaced as RuntimeError.

    python3 tests/fuzz/velotz_fuzz.py --parser 100000 --weights 20000 --numeric 20000 \
        --constraints 20000 --batch-cases 5000 --analysis 10000 --state 20000

prints a JSON summary and exits non-zero if any crash, hang or false success
was found. Cases are generated from (seed, category, index), so a reported
case is reproduced with --only CATEGORY:INDEX.
"""
import argparse
import contextlib
import json
import math
import os
import random
import struct
import subprocess
import sys
import tempfile
import time
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.dirname(HERE)
TINY = os.path.join(TESTS, "data", "tiny.eisnn")
# Under AddressSanitizer a failed operator new aborts instead of throwing, so
# sizes meant to exceed memory are left out there.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


# Hostile input may be refused with these exceptions; anything else a case
# raises is a finding.
REFUSALS = (ValueError, TypeError, OverflowError, MemoryError, IndexError)


@contextlib.contextmanager
def refusals(ctx, runtime_texts=("no float here",), source="__float__", interrupt=False, extra=()):
    """Records an expected refusal as the case's outcome: one of REFUSALS or
    `extra`, a RuntimeError carrying one of `runtime_texts` (raised by the
    case's own hostile objects, from `source`) and, with `interrupt`,
    KeyboardInterrupt."""
    try:
        yield
    except REFUSALS + tuple(extra) as err:
        ctx["outcome"] = "refused: " + type(err).__name__
    except KeyboardInterrupt:
        if not interrupt:
            raise
        ctx["outcome"] = "refused: KeyboardInterrupt"
    except RuntimeError as err:
        if not any(text in str(err) for text in runtime_texts):
            raise
        ctx["outcome"] = "refused: RuntimeError from " + source


def huge(*values):
    return [] if SANITIZED else list(values)

# ---------------------------------------------------------------- case generators

ATOMS = ["R", "C", "L", "La", "CPE", "W", "Wo", "Ws", "G", "Gs", "K", "Zarc", "TLMQ", "T", "Q", "p"]
VALID = ["R0", "R0-C1", "R0-(R1,C1)", "R0-p(R1,CPE1)", "R0-(R1,C1)-(R2,C2)", "L0-R0-(R1,CPE1)-W1",
         "R0-Zarc1-K2", "(R1,C1)-(R2,(R3,C3))", "R0-(R1-(R2,C2),CPE1)-Wo1", "T0-TLMQ1-Gs2-La3-Ws4",
         "rc", "randles", " two_rq_l ", "RC_L", "R00-C01"]
NOISE = ["(", ")", ",", "-", "p(", "0", "9", "99999999999999999999", " ", "\t", "\n", "\x00", "\x1c",
         "\u3000", "\u00a0", "Ω", "é", "\ud800", "\U0001f600", "..", "-(", ",)", "()", "p()", "1e5", "+", "_",
         "R", "C", "CPE", "Zarc", "\\", "\"", "'"]


def parser_text(rng):
    kind = rng.randrange(7)
    if kind == 0:  # random tokens
        return "".join(rng.choice(ATOMS + NOISE) + (str(rng.randrange(100)) if rng.random() < 0.5 else "")
                       for _ in range(rng.randrange(1, 20)))
    base = rng.choice(VALID)
    if kind == 1:  # point mutations
        s = list(base)
        for _ in range(rng.randrange(1, 4)):
            op = rng.randrange(3)
            pos = rng.randrange(len(s) + 1)
            if op == 0:
                s.insert(pos, rng.choice(NOISE))
            elif op == 1 and s:
                del s[min(pos, len(s) - 1)]
            elif s:
                s[min(pos, len(s) - 1)] = rng.choice(NOISE)
        return "".join(s)
    if kind == 2:  # truncation
        return base[: rng.randrange(len(base) + 1)]
    if kind == 3:  # deep nesting, balanced or not
        depth = rng.choice([1, 5, 31, 32, 33, 64, 200, 2000])
        inner = "R1" if rng.random() < 0.8 else ""
        close = ")" * (depth if rng.random() < 0.7 else rng.randrange(depth + 2))
        return "R0-" + "(C1," * depth + inner + close
    if kind == 4:  # long series
        n = rng.choice([10, 100, 1000, 5000])
        return "-".join(f"{rng.choice(ATOMS[:14])}{rng.randrange(10**rng.randrange(1, 8))}" for _ in range(n))
    if kind == 5:  # joined valid pieces
        return rng.choice(["-", ",", "", "-p("]).join(rng.choice(VALID) for _ in range(rng.randrange(1, 5)))
    return "".join(chr(rng.randrange(1, 0x3000)) for _ in range(rng.randrange(0, 12)))


def run_parser_case(velotz, rng, ctx):
    text = parser_text(rng)
    try:
        c = velotz.Circuit(text)
    except (ValueError, TypeError):
        ctx["outcome"] = "refused"
        return
    names = c.param_names()
    values = c.param_values()
    assert len(names) == len(values) == len(c.param_units()) == len(c.param_bounds())
    repr(c)
    z = c.impedance([0.1, 1.0, 1e3])
    assert len(z) == 3
    if names:
        c.with_values([v * 1.5 for v in values])
        c.with_named_values(dict(zip(names, values)))
        bad = dict(zip(names, values))
        bad[rng.choice(names) + rng.choice(["x", "", "\x00", "é"])] = 1.0
        try:
            c.with_named_values(bad)
        except ValueError:
            pass


# Weight files: mutations of a real network and of generated ones.

def weight_bytes(rng, eisnn_io, tiny_bytes, tiny_meta, tiny_tensors):
    kind = rng.randrange(6)
    if kind == 0:  # byte flips
        data = bytearray(tiny_bytes)
        for _ in range(rng.randrange(1, 8)):
            data[rng.randrange(len(data))] = rng.randrange(256)
        return bytes(data)
    if kind == 1:  # truncation or extension
        cut = rng.randrange(len(tiny_bytes) + 64)
        return tiny_bytes[:cut] + bytes(rng.randrange(256) for _ in range(max(0, cut - len(tiny_bytes))))
    if kind == 2:  # 32-bit fields overwritten with extreme values
        data = bytearray(tiny_bytes)
        pos = rng.randrange(8, len(data) - 4)
        data[pos:pos + 4] = struct.pack("<I", rng.choice([0, 1, 255, 2**16, 2**31 - 1, 2**32 - 1]))
        return bytes(data)
    if kind == 3:  # metadata values changed
        key = rng.choice([k for k, _ in tiny_meta])
        value = rng.choice(["", "0", "1", "-1", "4096", "4097", "99999999999999999999", "nan", "inf", "1,2,,4",
                            "R0-(R1,C1)", "R0-(R1,CPE1", "R0.r,R1.r", "R0.r,R1.r,CPE1.q,CPE1.alpha,X.y", "\x00",
                            "reactive_centroid", "é", " 8", "1e400"])
        meta = [(k, value if k == key else v) for k, v in tiny_meta]
        if rng.random() < 0.2:
            meta = [m for m in meta if m[0] != key]
        return eisnn_io.write(meta, tiny_tensors)
    if kind == 4:  # tensors dropped, reshaped or filled with extremes
        tensors = list(tiny_tensors)
        i = rng.randrange(len(tensors))
        name, dims, values = tensors[i]
        op = rng.randrange(3)
        if op == 0:
            del tensors[i]
        elif op == 1:
            dims = [max(0, d + rng.choice([-1, 1, 7])) for d in dims] or [3]
            import numpy as np
            tensors[i] = (name, dims, np.zeros(max(int(np.prod(dims)), 1)))
        else:
            tensors[i] = (name, dims, values * rng.choice([0.0, -1.0, 1e30, float("nan"), float("inf")]))
        return eisnn_io.write(tiny_meta, tensors)
    # generated networks of other sizes
    names = ["R0.r", "R1.r", "CPE1.q", "CPE1.alpha"]
    if rng.random() < 0.3:
        names = names[: rng.randrange(5)]
    return eisnn_io.network("R0-(R1,CPE1)", names, channels=rng.choice([1, 2, 4, 8]),
                            n_grid=rng.choice([1, 2, 3, 16, 64]), kernel=rng.choice([1, 3, 5, 7]),
                            dilations=rng.choice([(), (1,), (1, 2), (1, 2, 4, 8), (64,)]), groups=rng.choice([1, 2]),
                            hidden=rng.choice([1, 4, 8]))


def run_weights_case(velotz, rng, ctx):
    import numpy as np
    if "tiny" not in ctx:
        sys.path.insert(0, TESTS)
        import eisnn_io
        tiny = open(TINY, "rb").read()
        meta, tensors = eisnn_io.read(tiny)
        f = np.logspace(-1, 4, 25)
        ctx.update(tiny=tiny, meta=meta, tensors=tensors, io=eisnn_io, f=f,
                   z=velotz.Circuit("R0-(R1,CPE1)").with_values([10.0, 100.0, 1e-4, 0.8]).impedance(f),
                   dir=tempfile.mkdtemp(prefix="velotz-fuzz-"))
    data = weight_bytes(rng, ctx["io"], ctx["tiny"], ctx["meta"], ctx["tensors"])
    path = os.path.join(ctx["dir"], f"w{ctx['index']}.eisnn")  # a new path: nothing cached
    with open(path, "wb") as fh:
        fh.write(data)
    circuit = velotz.Circuit(rng.choice(["R0-(R1,CPE1)", "(CPE3,R9)-R2", "R0-Zarc1", "R0-(R1,C1)"]))
    try:
        values = circuit.guess(ctx["f"], ctx["z"], weights=path)
        assert len(values) == len(circuit.param_names())
        if rng.random() < 0.3:
            r = circuit.fit(ctx["f"], ctx["z"], weights=path, max_iterations=5)
            ctx["check_fit"](r)
    except ValueError:
        ctx["outcome"] = "refused"
    finally:
        os.unlink(path)


# Numeric arguments of every entry point.

class Liar:
    def __init__(self, items, claimed):
        self.items, self.claimed = items, claimed

    def __len__(self):
        return self.claimed

    def __getitem__(self, i):
        return self.items[i]


class BadFloat:
    def __float__(self):
        raise RuntimeError("no float here")


SCALARS = [0.0, -0.0, 1.0, -1.0, 1e-300, 5e-324, 1e300, 1.7976931348623157e308, math.nan, -math.nan, math.inf,
           -math.inf, 2**64, -(2**63), 10**400, True, 3, "1.0", None, 1j]


def numeric_vector(rng, n):
    import numpy as np
    kind = rng.randrange(8)
    if kind == 0:
        return [rng.choice(SCALARS[:12]) for _ in range(n)]
    if kind == 1:
        return np.array([rng.choice(SCALARS[:12]) for _ in range(n)], dtype=rng.choice(["f8", "f4", ">f8", "f2"]))
    if kind == 2:
        return Liar([1.0] * n, rng.choice([n, n + 5, -1 if n else 0] + huge(2**62, 10**11)))
    if kind == 3:
        return np.ma.masked_array(np.logspace(0, 3, n), mask=[rng.random() < 0.3 for _ in range(n)])
    if kind == 4:
        return [rng.choice(SCALARS) for _ in range(n)]
    if kind == 5:
        return range(rng.choice([0, n] + huge(2**62)))
    if kind == 6:
        return [BadFloat()] * n if n else "abc"
    return list(10 ** rng.uniform(-3, 6) for _ in range(n))


def complex_vector(rng, n):
    import numpy as np
    kind = rng.randrange(5)
    if kind == 0:
        return [complex(rng.choice(SCALARS[:12]), rng.choice(SCALARS[:12])) for _ in range(n)]
    if kind == 1:
        return np.array([complex(1.0, -rng.random()) for _ in range(n)], dtype=rng.choice(["c16", "c8"]))
    if kind == 2:
        return Liar([1 - 1j] * n, rng.choice([n] + huge(2**62, 10**11)))
    if kind == 3:
        return [rng.choice(SCALARS)] * n
    return [complex(10 ** rng.uniform(-2, 4), -(10 ** rng.uniform(-2, 4))) for _ in range(n)]


METHODS = ["levenberg_marquardt", "particle_swarm", "nelder_mead", "differential_evolution", "simulated_annealing",
           "basin_hopping"]


def fit_options(rng):
    opts = {}
    small_count = lambda: rng.choice([0, 1, 2, 5, 20, -1, 2.5, "3", None, 2**64])
    for key in ["max_iterations", "generations", "nelder_mead_iterations", "sa_iterations", "basin_hopping_hops"]:
        if rng.random() < 0.3:
            opts[key] = small_count()
    # The swarm's size: small, or far beyond memory. (Budgets such as
    # de_evaluations are loop counts: a huge one is a long run, not a fault.)
    if rng.random() < 0.3:
        opts["num_particles"] = rng.choice([0, 1, 2, 5, 30, -1, 1.5] + huge(2**40, 2**62, 2**64 - 1))
    if rng.random() < 0.3:
        opts["de_evaluations"] = rng.choice([0, 1, 2, 5, 30, 200, -1, 1.5, 2**64])
    for key in ["ftol", "xtol", "sa_initial_temperature", "basin_hopping_step_size", "basin_hopping_temperature"]:
        if rng.random() < 0.3:
            opts[key] = rng.choice(SCALARS)
    if rng.random() < 0.5:
        opts["seed"] = rng.choice([0, 1, 2**64 - 1, -1, None, 2**64])
    if rng.random() < 0.2:
        opts["weight"] = rng.choice(["modulus", "unit", "proportional", "", "\x00", 3])
    return opts


def run_numeric_case(velotz, rng, ctx):
    import numpy as np
    circuit = velotz.Circuit(rng.choice(["R0", "R0-(R1,C1)", "R0-(R1,CPE1)", "rc", "R0-Zarc1-W2", "T0-La1"]))
    if rng.random() < 0.2:
        circuit = velotz.Series([velotz.Element.R(1.0), velotz.Parallel(rng.choice([[], [velotz.Element.C(1e-3)]]))])
    n = rng.choice([0, 1, 2, 3, 7, 20])
    p = len(circuit.param_names())
    entry = rng.randrange(9)
    with refusals(ctx):
        if entry == 0:
            circuit.impedance(numeric_vector(rng, n))
        elif entry == 1:
            circuit.with_values(numeric_vector(rng, rng.choice([p, p + 1, max(p - 1, 0)])))
        elif entry == 2:
            values = {k: rng.choice(SCALARS) for k in circuit.param_names()}
            circuit.with_named_values(values)
        elif entry in (3, 4):
            fn = circuit.residuals if entry == 3 else circuit.jacobian
            out = fn(numeric_vector(rng, rng.choice([p, p + 1])), numeric_vector(rng, n), complex_vector(rng, n),
                     **({"weight": rng.choice(["modulus", "unit", "x"])} if rng.random() < 0.3 else {}))
            assert isinstance(out, list)
        elif entry == 5:
            data = (numeric_vector(rng, n), complex_vector(rng, n))
            if rng.random() < 0.3:
                z = list(complex_vector(rng, n)) if n else []
                data = ({"Frequency / Hz": numeric_vector(rng, n),
                         "Real Impedance / ohm": [getattr(c, "real", c) for c in z],
                         "Imaginary Impedance / ohm": [getattr(c, "imag", c) for c in z]},)
            start = circuit
            if p and rng.random() < 0.7:
                start = circuit.with_values([rng.choice([1.0, 1e-3, 10.0, math.inf, math.nan, 0.0]) for _ in range(p)])
            r = start.fit(*data, method=rng.choice(METHODS), guess_init=False, **fit_options(rng))
            ctx["check_fit"](r)
            repr(r), r.params, r.stderr, r.circuit
        elif entry == 6:
            circuit.guess(numeric_vector(rng, n), complex_vector(rng, n))
        elif entry == 7:
            parts = rng.choice([[velotz.Element.R(1.0), circuit], [], [circuit] * 3])
            fn = rng.choice([velotz.Series, velotz.Parallel])
            fn(Liar(parts, rng.choice([len(parts)] + huge(2**62, 10**11))) if rng.random() < 0.5 else parts)
        else:
            code = rng.choice(["R", "C", "L", "La", "Cpe", "W", "Wo", "Ws", "G", "Gs", "K", "Zarc", "Tlmq", "T"])
            cls = getattr(velotz.Element, code)
            args = [rng.choice(SCALARS) for _ in range(rng.randrange(5))]
            e = cls(*args)
            repr(e)
            velotz.Series([e, e]).impedance([1.0, math.nan])


# Constrained circuits: with_fixed, with_free and with_bounds.

class MutatingFloat:
    """A value whose __float__ empties the dict it came from."""

    def __init__(self, target):
        self.target = target

    def __float__(self):
        self.target.clear()
        return 1.0


CIRCUITS = ["R0", "R0-(R1,C1)", "R0-(R1,CPE1)", "rc", "R0-Zarc1-W2", "T0-La1", "R0-(R1,CPE1)-Wo1"]


def hostile_value(rng, target=None):
    return rng.choice(SCALARS + [BadFloat(), MutatingFloat(target if target is not None else {}), [], (1.0,),
                                 "nan", b"1"])


def hostile_key(rng, names):
    if names and rng.random() < 0.7:
        return rng.choice(names)
    return rng.choice([1, 1.5, None, b"R0.r", ("R0.r",), "", "\x00", "R0.r\x00", "é" * 30, "\ud800",
                       "x" * rng.choice([1, 100, 30000]), (names[0] + "x") if names else "x"])


def hostile_dict(rng, names, value):
    n = rng.choice([0, 1, 2, 3, len(names), 50] + huge(20000))
    d = {}
    for _ in range(n):
        key = hostile_key(rng, names)
        try:
            d[key] = value(d)
        except TypeError:  # unhashable key
            pass
    return d


def bound_pair(rng, target):
    kind = rng.randrange(6)
    if kind == 0:
        return None
    if kind == 1:
        lo = rng.choice(SCALARS[:12])
        return (lo, rng.choice(SCALARS[:12]))
    if kind == 2:  # lo > hi and other orderings of ordinary values
        a, b = 10 ** rng.uniform(-6, 6), 10 ** rng.uniform(-6, 6)
        return rng.choice([(a, b), (b, a), (a, a), (-a, b), (0.0, math.inf), (1e-300, 1e300)])
    if kind == 3:
        return rng.choice([(), (1.0,), (1.0, 2.0, 3.0), "ab", [1.0, 2.0], range(2), 1.0, {1: 2}])
    if kind == 4:
        return (hostile_value(rng, target), hostile_value(rng, target))
    return Liar([1e-3, 1e3], rng.choice([2, 3] + huge(2**62, 10**11)))


def constrained_circuit(velotz, rng, circuit=None):
    """A circuit with a few random, valid constraints (or the plain circuit)."""
    c = circuit or velotz.Circuit(rng.choice(CIRCUITS))
    try:
        return _constrained(rng, c)
    except ValueError:  # a current value outside its bounds cannot be fixed there
        return c


def _constrained(rng, c):
    names = c.param_names()
    values = c.param_values()
    if len(names) > 1 and rng.random() < 0.6:
        i = rng.randrange(len(names))
        c = c.with_fixed([names[i]]) if rng.random() < 0.5 else c.with_fixed({names[i]: values[i]})
    if names and rng.random() < 0.5:
        i = rng.randrange(len(names))
        lo, hi = c.param_bounds()[i]
        if math.isfinite(hi):
            c = c.with_bounds({names[i]: (lo, hi)})
        else:
            v = max(values[i], 1e-9)
            c = c.with_bounds({names[i]: (max(lo, v * 1e-3), v * 1e3)})
    return c


def run_constraints_case(velotz, rng, ctx):
    circuit = velotz.Circuit(rng.choice(CIRCUITS))
    if rng.random() < 0.5:
        circuit = constrained_circuit(velotz, rng, circuit)
    names = circuit.param_names()
    op = rng.randrange(6)
    with refusals(ctx):
        if op == 0:
            arg = hostile_dict(rng, names, lambda d: hostile_value(rng, d))
            out = circuit.with_fixed(arg)
        elif op == 1:
            arg = rng.choice([[hostile_key(rng, names) for _ in range(rng.choice([0, 1, 3, 100]))],
                              hostile_key(rng, names), None, 3, Liar(names, rng.choice([len(names)] + huge(2**62)))])
            out = circuit.with_fixed(arg) if rng.random() < 0.5 else circuit.with_free(arg)
        elif op == 2:
            out = circuit.with_bounds(hostile_dict(rng, names, lambda d: bound_pair(rng, d)))
        elif op == 3:
            out = circuit.with_bounds(rng.choice([None, [], "R0.r", 1.0, {names[0]: (1.0, 2.0)} if names else {}]))
        elif op == 4:  # a chain of valid and invalid changes, then everything that reads the constraints
            out = circuit
            for _ in range(rng.randrange(1, 5)):
                try:
                    out = constrained_circuit(velotz, rng, out)
                    if rng.random() < 0.3:
                        out = out.with_free()
                except ValueError:
                    pass
        else:  # residuals and jacobian of the free parameters, right and wrong lengths
            out = constrained_circuit(velotz, rng, circuit)
            k = len(out.free_param_names())
            f = numeric_vector(rng, rng.choice([1, 3, 7]))
            fn = out.residuals if rng.random() < 0.5 else out.jacobian
            fn(numeric_vector(rng, rng.choice([k, k + 1, max(k - 1, 0), len(out.param_names())])), f,
               complex_vector(rng, len(f) if hasattr(f, "__len__") and len(f) < 100 else 3))
        for c in (out,):
            repr(c), c.fixed_params(), c.custom_bounds(), c.free_param_names(), c.free_param_values(), hash(c)
            assert len(c.free_param_names()) == len(c.free_param_values()) >= 1
            for name, (lo, hi) in c.custom_bounds().items():
                assert lo < hi, (name, lo, hi)
            for name, v in c.fixed_params().items():
                assert math.isfinite(v), (name, v)
            if rng.random() < 0.3:
                f = [0.1, 1.0, 10.0, 100.0, 1e3, 1e4]
                z = velotz.Circuit("R0-(R1,C1)").with_values([5.0, 50.0, 1e-4]).impedance(f)
                r = c.fit(f, z, method=rng.choice(METHODS), guess_init=False, **small_budget(rng))
                ctx["check_fit"](r)


def small_budget(rng):
    """Options that keep every method to a fraction of a second."""
    return {"max_iterations": rng.choice([1, 5, 20]), "num_particles": rng.choice([2, 5]),
            "generations": rng.choice([1, 3]), "nelder_mead_iterations": rng.choice([1, 10]),
            "de_evaluations": rng.choice([2, 30]), "sa_iterations": rng.choice([1, 20]),
            "basin_hopping_hops": rng.choice([1, 2]), "seed": rng.choice([0, 1, None])}


# Batch fitting: velotz.fit_batch and the entry point beneath it.

class LyingList(list):
    """A list whose len() is not the number of its items."""

    def __init__(self, items, claimed):
        super().__init__(items)
        self.claimed = claimed

    def __len__(self):
        return self.claimed


def batch_spectrum(rng):
    import numpy as np
    kind = rng.randrange(8)
    n = rng.choice([0, 1, 2, 5, 12])
    f = np.logspace(-1, 4, n)
    z = velotz_reference_impedance(f)
    if kind == 0:
        return (f, z)
    if kind == 1:
        return (list(f), list(z))
    if kind == 2:  # NaN, inf or zeros somewhere
        z = z.copy()
        if n:
            z[rng.randrange(n)] = rng.choice([complex(math.nan, 0), complex(math.inf, -math.inf), 0j])
        return (f, z) if rng.random() < 0.5 else [f, z]
    if kind == 3:
        return {"Frequency / Hz": list(f), "Real Impedance / ohm": list(z.real),
                "Imaginary Impedance / ohm": list(z.imag)}
    if kind == 4:
        return (numeric_vector(rng, n), complex_vector(rng, n))
    if kind == 5:
        return rng.choice([(), (f,), (f, z, f), None, 1.0, "ab", [f[::2], z[::2]], (f, z[:-1] if n else z),
                           (f.astype(">f8"), z), (f[::-1], z[::-1]), (np.asfortranarray(f), z)])
    if kind == 6:
        return (f.reshape(-1, 1), z) if rng.random() < 0.5 else (f, z.reshape(1, -1))
    return (Liar(list(f), rng.choice([n, n + 3] + huge(2**62))), z)


def velotz_reference_impedance(f):
    import numpy as np
    w = 2 * np.pi * np.asarray(f, dtype=float)
    return 10.0 + 100.0 / (1 + 1j * w * 100.0 * 1e-4)


def run_batch_case(velotz, rng, ctx):
    import numpy as np
    circuit = velotz.Circuit(rng.choice(["R0-(R1,C1)", "R0-(R1,CPE1)", "R0"]))
    if rng.random() < 0.6:
        circuit = circuit.with_values([rng.choice([10.0, 1.0, 1e-4, 0.8]) for _ in circuit.param_names()])
    if rng.random() < 0.4:
        circuit = constrained_circuit(velotz, rng, circuit)
    count = rng.choice([0, 1, 2, 3, 8])
    spectra = [batch_spectrum(rng) for _ in range(count)]
    shape = rng.randrange(6)
    if shape == 1:
        spectra = LyingList(spectra, rng.choice([0, count + 2, max(count - 1, 0)] + huge(2**62)))
    elif shape == 2:
        spectra = {rng.choice([i, str(i), (i,), None]): s for i, s in enumerate(spectra)}
    elif shape == 3:
        spectra = iter(spectra)
    elif shape == 4:
        spectra = rng.choice([None, 1, "spectra", b"xy", [None] * count])
    options = small_budget(rng) if rng.random() < 0.8 else fit_options(rng)
    options["method"] = rng.choice(METHODS)
    if rng.random() < 0.3:
        options["guess_init"] = rng.choice([True, False])
    seeds = rng.choice([None, None, list(range(count)), list(range(count + 1)), [None] * count, [-1] * count,
                        [2**64] * count, ["1"] * count, 3, "abc", Liar([1] * count, rng.choice([count] + huge(2**62)))])
    calls = {"n": 0}

    def progress(done, total):
        calls["n"] += 1
        action = rng.randrange(5)
        if action == 0:
            raise RuntimeError("progress refused")
        if action == 1:
            raise KeyboardInterrupt
        if action == 2:  # a fit from inside the callback, while the batch holds the pool
            velotz.Circuit("R0").fit([1.0, 10.0], [1.0 + 0j, 1.0 + 0j], max_iterations=2)
        return "ignored"

    prog = rng.choice([False, None, progress, progress, True, 1, lambda *a: None])
    interval = rng.choice([0.0, 0.0, 0.1, -1.0, math.nan])
    with refusals(ctx, ("progress refused", "no float here"), "a callback", interrupt=True):
        if rng.random() < 0.85:
            results = velotz.fit_batch(circuit, spectra, seeds=seeds, progress=prog, **options)
        else:
            results = sys.modules["velotz._core"]._fit_batch(circuit, spectra, seeds=seeds,
                                                            progress=prog if callable(prog) else None,
                                                            progress_interval=interval, **options)
        for r in results:
            if isinstance(r, BaseException):
                assert isinstance(r, (ValueError, TypeError, RuntimeError)), repr(r)
            else:
                ctx["check_fit"](r)
                repr(r), r.params, r.stderr
        if isinstance(results, velotz.BatchResult):
            repr(results), results.errors, results.fitted


# Analysis: Kramers-Kronig, diagnose, compare and the compiled helpers.

def run_analysis_case(velotz, rng, ctx):
    import numpy as np
    core = sys.modules["velotz._core"]
    n = rng.choice([0, 1, 2, 3, 4, 10, 40])
    f = np.logspace(-2, 5, n)
    z = velotz_reference_impedance(f)
    kind = rng.randrange(3)
    if kind == 1:
        f, z = numeric_vector(rng, n), complex_vector(rng, n)
    elif kind == 2 and n:
        z = z.copy()
        z[rng.randrange(n)] = rng.choice([complex(math.nan, 1), complex(math.inf, 0), 0j, 1e308 + 1e308j])
        if rng.random() < 0.3:
            f = f.copy()
            f[rng.randrange(n)] = rng.choice([math.nan, 0.0, -1.0, math.inf, 5e-324])
    op = rng.randrange(6)
    with refusals(ctx, extra=(ZeroDivisionError,)):
        if op in (0, 1):
            max_m = rng.choice([50, 1, 0, -1, 2, 10**6, 2**62, 2**63, 2**64, -(2**63), True, 1.5, "3", None])
            c = rng.choice([0.85, None, math.nan, math.inf, -math.inf, 0.0, -1.0, 2.0, "x", BadFloat()])
            kw = {}
            if rng.random() < 0.5:
                kw["fit_type"] = rng.choice(["real", "imag", "complex", "", "x\x00", 3])
            if rng.random() < 0.3:
                kw["add_capacitance"] = rng.choice([True, False, BadFloat()])
            if rng.random() < 0.3:
                kw["tolerance"] = rng.choice([0.01, 0.0, -1.0, math.nan, math.inf])
            if op == 0:
                r = velotz.kramers_kronig(f, z, c=c, max_m=max_m, **kw)
                repr(r)
                assert r.m >= 1 and len(r.z_fit) == len(r.frequencies)
                if r.passed:
                    assert math.isfinite(r.max_residual), repr(r)
            else:
                core._kramers_kronig(f, z, c, max_m if isinstance(max_m, int) else 50, rng.random() < 0.5,
                                     rng.random() < 0.5, kw.get("fit_type", "real"))
        elif op == 2:
            circuit = constrained_circuit(velotz, rng)
            start = circuit.with_values([rng.choice([1.0, 10.0, 1e-4, 0.8]) for _ in circuit.param_names()])
            ref_f = np.logspace(-1, 4, 12)
            r = start.fit(ref_f, velotz_reference_impedance(ref_f), guess_init=False, method=rng.choice(METHODS),
                          **small_budget(rng))
            ctx["check_fit"](r)
            d = velotz.diagnose(r, *rng.choice([(f, z), (f, None), (ref_f, None), ([], None), ([math.nan], None),
                                                ("abc", None), (None, None), ([1e300, -1.0, 0.0], None)]))
            repr(d), str(d), d.flagged(), d.ok
        elif op == 3:
            cands = rng.choice([["R0", "R0-(R1,C1)"], [velotz.Circuit("R0-(R1,CPE1)")], [], "R0-(R1,C1)",
                                ["R0-(R1,", 3], [constrained_circuit(velotz, rng)], ["randles", "rc"]])
            cmp = velotz.compare(f, z, cands, criterion=rng.choice(["aic", "bic", "AIC", "x"]), **small_budget(rng))
            repr(cmp)
            for e in cmp.entries if hasattr(cmp, "entries") else cmp:
                if e.result is not None:
                    ctx["check_fit"](e.result)
        elif op == 4:
            core._spectrum(*rng.choice([(f, z), (f,), (f, None), ({"Frequency / Hz": f},), (Liar([1.0], 2**62),),
                                        (f, Liar([1j], rng.choice([1] + huge(2**62))))]))
        else:
            circuit = constrained_circuit(velotz, rng)
            core._structure(circuit, rng.choice([f, list(f), [], [math.nan, -1.0], Liar([1.0], 2**62) if huge(1)
                                                 else [1.0], "x"]),
                            rng.choice([1e-3, 0.0, -1.0, math.nan, math.inf]))


# Pickle reconstructors fed hostile states.

def mutate_state(rng, obj, depth=0):
    """A copy of a state (dicts, lists, tuples, scalars) with a few random changes."""
    if depth > 6:
        return obj
    if isinstance(obj, dict):
        out = {k: (mutate_state(rng, v, depth + 1) if rng.random() < 0.3 else v) for k, v in obj.items()}
        if out and rng.random() < 0.2:
            out.pop(rng.choice(list(out)))
        if rng.random() < 0.1:
            out[rng.choice(["extra", 1, "fixed", "bounds", "std_error_names", "covariance", "residuals"])] = \
                rng.choice([None, [], [True], [1.0, 2.0], [math.nan] * 9])
        return out
    if isinstance(obj, (list, tuple)):
        items = [mutate_state(rng, v, depth + 1) if rng.random() < 0.3 else v for v in obj]
        op = rng.randrange(6)
        if op == 0 and items:
            del items[rng.randrange(len(items))]
        elif op == 1 and items:
            items.append(rng.choice(items))
        elif op == 2 and depth <= 1:  # deeper, the copies would multiply level by level
            items = items * rng.choice([2, 100] + huge(10000))
        return type(obj)(items) if isinstance(obj, tuple) else items
    return rng.choice([obj, obj, None, "R", "\x00", 1, -1, 2**64, 1.5, math.nan, math.inf, True, False, [], (),
                       {}, BadFloat(), b"x", "é\ud800"])


def deep_nodes(rng):
    depth = rng.choice([1, 10, 199, 200, 201, 1000] + huge(100000))
    node = [("R", "R1", (1.0,))]
    for _ in range(depth):
        node = [[node, [("C", None, (1e-3,))]]] if rng.random() < 0.5 else [[node]]
    return node


def run_state_case(velotz, rng, ctx):
    core = sys.modules["velotz._core"]
    circuit = constrained_circuit(velotz, rng)
    kind = rng.randrange(4)
    with refusals(ctx, extra=(RecursionError,)):
        if kind == 0:
            fn, (state,) = circuit.__reduce__()
            if rng.random() < 0.3:
                state = dict(state, nodes=deep_nodes(rng))
            out = core._circuit_from_state(mutate_state(rng, state))
            repr(out), hash(out), out.param_names(), out.free_param_names(), out.impedance([1.0, 10.0])
        elif kind == 1:
            if "result" not in ctx:
                f = [0.1, 1.0, 10.0, 100.0, 1e3]
                z = list(velotz_reference_impedance(f))
                ctx["result"] = [constrained_circuit(velotz, random.Random(i)).fit(f, z, max_iterations=20)
                                 for i in range(8)]
            fn, (state,) = rng.choice(ctx["result"]).__reduce__()
            if rng.random() < 0.2:
                state = dict(state, circuit=deep_nodes(rng))
            if rng.random() < 0.2:
                state = dict(state, success=True, **{rng.choice(["cost", "chi_square"]): rng.choice(
                    [math.nan, math.inf, 1.0])}, params=[rng.choice([math.nan, 1.0, -math.inf]) for _ in
                                                         state["params"]])
            out = core._fit_result_from_state(mutate_state(rng, state))
            ctx["check_fit"](out)
            repr(out), hash(out), out.params, out.stderr, out.circuit, out == out
            out.covariance, out.correlation, out.residuals, out.aic, out.bic, out.n_points, out.free_names
            out.conf_int(rng.choice([0.95, 0.5, 1e-300, 1 - 1e-16]))
        elif kind == 2:
            code = rng.choice(["R", "C", "Cpe", "Zarc", "Tlmq", "X", "", None, 1, "R\x00"])
            values = rng.choice([(1.0,), (1.0, 0.5), [], (math.nan,), (BadFloat(),), "1", None,
                                 Liar([1.0], rng.choice([1, 5] + huge(2**62))), [1.0] * rng.choice([1, 3, 1000])])
            e = core._element_from_state(code, values)
            repr(e), hash(e)
        else:
            fn = rng.choice([core._circuit_from_state, core._fit_result_from_state])
            fn(rng.choice([None, [], {}, {"format": 1}, {"format": 2**70}, {"format": "1"}, {"format": 1, "nodes": {}},
                           {"format": 1, "nodes": deep_nodes(rng), "values_given": True},
                           {"format": 1, "nodes": [("R", "R0", (1.0,))] * rng.choice([1, 1000] + huge(200000)),
                            "values_given": BadFloat()}]))


CATEGORIES = {"parser": run_parser_case, "weights": run_weights_case, "numeric": run_numeric_case,
              "constraints": run_constraints_case, "batch": run_batch_case, "analysis": run_analysis_case,
              "state": run_state_case}

# ---------------------------------------------------------------- child


def child(category, start, stop, seed):
    import velotz
    warnings.simplefilter("ignore")
    runner = CATEGORIES[category]
    findings = []
    ctx = {}

    def check_fit(r):
        finite = math.isfinite(r.cost) and all(math.isfinite(v) for v in r.params.values())
        if r.success and not finite:
            findings.append({"kind": "false success", "case": f"{category}:{ctx['index']}", "result": repr(r)})

    ctx["check_fit"] = check_fit
    out = sys.stdout
    for i in range(start, stop):
        ctx["index"] = i
        out.write(f"start {i}\n")
        out.flush()
        rng = random.Random(f"{seed}:{category}:{i}")
        ctx["outcome"] = "accepted"
        try:
            runner(velotz, rng, ctx)
        except Exception as err:
            ctx["outcome"] = "unexpected"  # anything but the documented error types
            findings.append({"kind": "unexpected exception", "case": f"{category}:{i}",
                             "error": f"{type(err).__name__}: {str(err)[:300]}"})
        for finding in findings:
            out.write("finding " + json.dumps(finding) + "\n")
        findings.clear()
        out.write(f"end {i} {ctx['outcome']}\n")
    out.write("done\n")
    out.flush()


# ---------------------------------------------------------------- parent


def run_batch(cmd, timeout):
    """Runs one child; returns (stdout text, returncode or None when a case
    produced no output for `timeout` seconds, stderr tail)."""
    import queue
    import threading
    with tempfile.TemporaryFile(mode="w+") as err:
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=err, text=True)
        lines = queue.Queue()
        reader = threading.Thread(target=lambda: [lines.put(l) for l in proc.stdout] + [lines.put(None)], daemon=True)
        reader.start()
        out = []
        hung = False
        while True:
            try:
                line = lines.get(timeout=timeout)
            except queue.Empty:
                hung = True
                proc.kill()
                break
            if line is None:
                break
            out.append(line)
        proc.wait()
        reader.join(5)
        err.seek(0)
        return "".join(out), (None if hung else proc.returncode), err.read()[-800:]


def run_category(category, count, seed, batch, timeout, log=None):
    summary = {"cases": count, "outcomes": {}, "crashes": [], "hangs": [], "findings": []}
    start = 0
    while start < count:
        stop = min(count, start + batch)
        cmd = [sys.executable, os.path.abspath(__file__), "--child", category, str(start), str(stop), str(seed)]
        stdout, returncode, stderr = run_batch(cmd, timeout)
        count_outcomes(stdout, summary)
        done = "\ndone\n" in "\n" + stdout
        if returncode == 0 and done:
            start = stop
        else:
            last = last_started(stdout, start)
            if returncode is None:
                summary["hangs"].append({"case": f"{category}:{last}", "timeout_s": timeout})
            else:
                summary["crashes"].append({"case": f"{category}:{last}", "returncode": returncode, "stderr": stderr})
            start = last + 1
        if log:
            log(f"{category}: {start}/{count}")
    return summary


def count_outcomes(stdout, summary):
    for line in stdout.splitlines():
        if line.startswith("finding "):
            summary["findings"].append(json.loads(line[len("finding "):]))
        elif line.startswith("end "):
            outcome = line.split(" ", 2)[2]
            summary["outcomes"][outcome] = summary["outcomes"].get(outcome, 0) + 1


def last_started(stdout, default):
    last = default
    for line in stdout.splitlines():
        if line.startswith("start "):
            last = int(line.split()[1])
    return last


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--parser", type=int, default=2000, help="parser texts")
    ap.add_argument("--weights", type=int, default=300, help="weight files")
    ap.add_argument("--numeric", type=int, default=1000, help="numeric-argument cases")
    ap.add_argument("--constraints", type=int, default=500, help="with_fixed/with_free/with_bounds cases")
    ap.add_argument("--batch-cases", dest="batch_cases", type=int, default=200, help="fit_batch cases")
    ap.add_argument("--analysis", type=int, default=300, help="kramers_kronig/diagnose/compare cases")
    ap.add_argument("--state", type=int, default=500, help="pickle reconstructor cases")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--batch", type=int, default=2000, help="cases per child process")
    ap.add_argument("--timeout", type=float, default=120.0, help="seconds one case may take")
    ap.add_argument("--only", help="CATEGORY:INDEX, to reproduce one case in this process")
    ap.add_argument("--child", nargs=4, help=argparse.SUPPRESS)
    ap.add_argument("--verbose", action="store_true")
    args = ap.parse_args(argv)
    if args.child:
        category, start, stop, seed = args.child
        child(category, int(start), int(stop), int(seed))
        return 0
    if args.only:
        category, index = args.only.split(":")
        child(category, int(index), int(index) + 1, args.seed)
        return 0
    log = (lambda m: print(m, file=sys.stderr, flush=True)) if args.verbose else None
    began = time.time()
    report = {}
    for category, count in (("parser", args.parser), ("weights", args.weights), ("numeric", args.numeric),
                            ("constraints", args.constraints), ("batch", args.batch_cases),
                            ("analysis", args.analysis), ("state", args.state)):
        t0 = time.time()
        report[category] = run_category(category, count, args.seed, args.batch, args.timeout, log)
        report[category]["seconds"] = round(time.time() - t0, 1)
    report["seconds"] = round(time.time() - began, 1)
    print(json.dumps(report, indent=1))
    bad = sum(len(r["crashes"]) + len(r["hangs"]) + len(r["findings"]) for r in report.values() if isinstance(r, dict))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
