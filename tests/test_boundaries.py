"""Hostile and careless input at the edge between Python and the compiled core.

Anything that could take the interpreter down runs in a child process, so a
crash shows up as a failed test with the child's exit status instead of
ending the test run.
"""
import os
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

import velotz
from interpreter import throwing_allocator

SRC = pathlib.Path(__file__).resolve().parent.parent / "src" / "python"


def run_child(code, env=None, preexec=None, timeout=120):
    """Runs `code` in a fresh interpreter; returns (returncode, stdout, stderr)."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=full_env, capture_output=True,
                         text=True, timeout=timeout, preexec_fn=preexec)
    return out.returncode, out.stdout, out.stderr


# A sequence whose __len__ claims far more items than it yields: conversions
# that reserve room from len() up front ask for an impossible allocation.
LIAR = """
import velotz
from interpreter import throwing_allocator
class Liar:
    def __init__(self, items, claimed):
        self.items, self.claimed = items, claimed
    def __len__(self):
        return self.claimed
    def __getitem__(self, i):
        return self.items[i]
c = velotz.Circuit("R0-(R1,C1)")
f = [1.0, 10.0, 100.0]
z = [1 + 0j, 1 - 1j, 2 - 1j]
p = [1.0, 2.0, 3.0]
"""

ENTRY_CALLS = {
    "impedance": "c.impedance(arg(f))",
    "impedance-range": "c.impedance(range(2**62))",
    "impedance-huge-range": "c.impedance(range(10**11))",
    "with_values": "c.with_values(arg(p))",
    "residuals-params": "c.residuals(arg(p), f, z)",
    "residuals-frequencies": "c.residuals(p, arg(f), z)",
    "jacobian-impedances": "c.jacobian(p, f, arg(z))",
    "fit-frequencies": "c.fit(arg(f), z, guess_init=False)",
    "fit-impedances": "c.fit(f, arg(z), guess_init=False)",
    "guess": "velotz.Circuit('R0-(R1,C1)').guess(arg(f), z)",
    "Series": "velotz.Series(arg([velotz.Element.R(1.0), c]))",
    "Parallel": "velotz.Parallel(arg([velotz.Element.R(1.0), c]))",
    "fit-particles": "c.with_values(p).fit(f, z, method='particle_swarm', num_particles=2**40, seed=1)",
    # The entry points beside fit(): a task's exception on the pool's threads
    # reaches the caller as the same MemoryError, with the lock taken back.
    "fit_batch-particles": "velotz.fit_batch(c.with_values(p), [(f, z)] * 6, method='particle_swarm', "
                           "num_particles=2**40)",
    "fit_batch-frequencies": "velotz.fit_batch(c, [(arg(f), z)])",
    "with_bounds": "c.with_bounds({'R1.r': arg([1.0, 2.0])})",
    "kramers_kronig": "velotz.kramers_kronig(arg(f), z)",
    "diagnose": "velotz.diagnose(c.with_values(p).fit(f, z, guess_init=False), arg(f))",
    "diagnose-range": "velotz.diagnose(c.with_values(p).fit(f, z, guess_init=False), range(2**62))",
    "compare": "velotz.compare(arg(f), z, ['R0'])",
}


@throwing_allocator
@pytest.mark.parametrize("claimed", [2**62, 10**11])
@pytest.mark.parametrize("name", sorted(ENTRY_CALLS))
def test_impossible_allocation_is_a_memory_error(name, claimed):
    code = LIAR + f"""
arg = lambda items: Liar(items, {claimed})
try:
    {ENTRY_CALLS[name]}
except MemoryError:
    print("MemoryError")
else:
    print("no error")
"""
    rc, out, err = run_child(code)
    assert rc == 0, err
    assert out.strip() == "MemoryError"


def test_honest_sequence_with_len_converts_normally():
    rc, out, err = run_child(LIAR + """
arg = lambda items: Liar(items, len(items))
print(abs(c.with_values(arg(p)).impedance(arg(f))[0] - (1 + 2 / (1 + 2j * 3.141592653589793 * 6.0))) < 1e-12)
""")
    assert rc == 0, err
    assert out.strip() == "True"


@throwing_allocator
def test_pool_without_threads_falls_back_to_fewer_workers():
    # 1000 workers with a 3 GB address-space limit: most thread stacks cannot be mapped.
    import resource

    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (3_000_000 * 1024, 3_000_000 * 1024))

    code = """
import numpy as np, velotz
f = np.logspace(0, 3, 2000)
z = velotz.Circuit("R0-(R1,C1)").with_values([1.0, 2.0, 3e-3]).impedance(f)
w = 2 * np.pi * f
ref = 1.0 + 2.0 / (1 + 1j * w * 2.0 * 3e-3)
print(np.max(np.abs(z - ref)) < 1e-12)
"""
    rc, out, err = run_child(code, env={"RAYON_NUM_THREADS": "1000"}, preexec=limit)
    assert rc == 0, err
    assert out.strip() == "True"


# Every function the interpreter calls directly must go through the guard.
# (The function slot is never a string literal; keyword-name arrays are not tables.)
TABLE_ENTRY = re.compile(r"\{\s*\"\w+\",\s*([^,\"\s][^,]*),\s*(?:METH_|nullptr, nullptr|VELOTZ)")
SLOT_ENTRY = re.compile(r"\{\s*Py_tp_(\w+),\s*([^}]+)\}")


@pytest.mark.skipif(not SRC.is_dir(), reason="needs the source tree")
def test_every_entry_point_is_guarded():
    unguarded = []
    for path in sorted(SRC.glob("*.cpp")) + sorted(SRC.glob("*.hpp")):
        text = path.read_text()
        for m in TABLE_ENTRY.finditer(text):
            fn = m.group(1).strip()
            if fn != "nullptr" and "VELOTZ_GUARD" not in fn:
                unguarded.append(f"{path.name}: {fn}")
        for m in SLOT_ENTRY.finditer(text):
            slot, fn = m.group(1), m.group(2).strip()
            if slot in ("dealloc", "doc", "methods", "getset", "members"):
                continue
            if "VELOTZ_GUARD" not in fn and "kConstructors" not in fn:
                unguarded.append(f"{path.name}: Py_tp_{slot} {fn}")
        for m in re.finditer(r"PyGetSetDef\{[^,]+,\s*([^,]+),", text):
            if "VELOTZ_GUARD" not in m.group(1):
                unguarded.append(f"{path.name}: getter {m.group(1)}")
    assert not unguarded
    # The variant constructors are guarded where their table is built.
    assert "VELOTZ_GUARD(variant_new" in (SRC / "element_types.cpp").read_text()


# ---------------------------------------------------------------- whole messages

@pytest.mark.parametrize("text, position", [("R0\x00-C1", 2), ("R0-Ω\x001", 3), ("R0-C1\x00é", 5)])
def test_parse_message_keeps_nul_and_non_ascii(text, position):
    with pytest.raises(ValueError) as info:
        velotz.Circuit(text)
    lines = str(info.value).split("\n")
    assert lines[2] == "  " + text
    # The caret sits under the offending character, counted in characters.
    assert lines[3] == " " * (2 + position) + "^"
    assert "syntax:" in lines and lines[-1].startswith("  T ")


@pytest.mark.parametrize("call, piece", [
    (lambda: velotz.Circuit("R0").with_named_values({"a\x00é": 1.0}), 'unknown parameter "a\\0é"'),
    (lambda: velotz.Element.R(**{"x\x00ü": 1.0}), "Element_R() got an unexpected keyword argument 'x\x00ü'"),
    (lambda: velotz.Circuit("R0").residuals([1.0], [1.0], [1.0], weight="m\x00ö"), 'unknown weight scheme "m\\0ö"'),
])
def test_messages_from_user_text_stay_whole(call, piece):
    with pytest.raises((ValueError, TypeError)) as info:
        call()
    assert piece in str(info.value)


# ---------------------------------------------------------------- suggestions

def test_long_unknown_key_on_a_large_circuit_is_quick():
    import time
    c = velotz.Circuit("-".join(f"R{i}" for i in range(2000)))
    values = dict(zip(c.param_names(), c.param_values()))
    values["x" * 30000] = 1.0
    start = time.perf_counter()
    with pytest.raises(ValueError) as info:
        c.with_named_values(values)
    assert time.perf_counter() - start < 2.0
    assert str(info.value).startswith('unknown parameter "' + "x" * 30000 + '"\n')


def test_suggestion_still_offered():
    c = velotz.Circuit("R0-(R1,C1)")
    with pytest.raises(ValueError, match=r'unknown parameter "R1\.x" \(did you mean "R1\.r"\?\)'):
        c.with_named_values({"R0.r": 1.0, "R1.x": 1.0, "C1.c": 1.0})


# ---------------------------------------------------------------- smaller items

@pytest.mark.parametrize("text, is_model", [
    (" rc\u3000", True), ("\x85rc\u2028", True), ("\t\nRC\u00a0", True),
    ("\x1crc", False), ("rc\x1f", False), ("\x1drc\x1e", False),
])
def test_model_names_trim_unicode_whitespace_only(text, is_model):
    if is_model:
        assert velotz.Circuit(text).param_names() == velotz.Circuit("R0-(R1,C1)").param_names()
    else:
        # U+001C..U+001F are not whitespace: the text is parsed as written and refused.
        with pytest.raises(ValueError, match="^unexpected character"):
            velotz.Circuit(text)


def test_masked_arrays_are_read_through_their_items():
    np = pytest.importorskip("numpy")
    import warnings
    c = velotz.Circuit("R0-C1").with_values([2.0, 1e-3])
    f = np.ma.masked_array([1.0, 10.0, 100.0], mask=[False, True, False])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # numpy warns when a masked element becomes NaN
        z = c.impedance(f)
        values = velotz.Circuit("R0").with_values(np.ma.masked_array([5.0], mask=[True])).param_values()
    w = 2 * np.pi * np.array([1.0, 100.0])
    np.testing.assert_allclose(z[[0, 2]], 2.0 + 1 / (1j * w * 1e-3), rtol=1e-14)
    assert np.isnan(z[1].real) and np.isnan(z[1].imag)
    assert len(values) == 1 and values[0] != values[0]


@pytest.mark.parametrize("dtype", ["c16", ">c16", "c8", "f8", "f4"])
@pytest.mark.parametrize("layout", ["contiguous", "strided"])
def test_numpy_impedances_read_as_their_items(dtype, layout):
    # Arrays read straight from their buffer must give exactly what reading
    # them item by item (through __complex__ or float) gives.
    np = pytest.importorskip("numpy")
    c = velotz.Circuit("R0-(R1,C1)").with_values([5.0, 20.0, 1e-4])
    f = np.logspace(-1, 4, 25)
    z = np.asarray(c.impedance(f)) * (1 + 0.02 * np.cos(np.arange(25)))
    z[3] = complex(z[3].real, -0.0)
    if dtype.startswith("f"):
        z = z.real
    arr = np.asarray(z, dtype=dtype)
    if layout == "strided":
        arr = np.repeat(arr, 2)[::2]
    items = [complex(v) for v in arr]
    got, want = c.fit(f, arr, guess_init=False), c.fit(f, items, guess_init=False)
    assert got.params == want.params and got.cost == want.cost and got.impedance_evals == want.impedance_evals


@pytest.mark.parametrize("call", [
    "c.with_named_values(d)",
    "c.with_fixed(d)",
    "c.with_bounds({k: Clearing(d) for k in list(d)})",
], ids=["with_named_values", "with_fixed", "with_bounds"])
def test_dict_emptied_while_its_values_convert(call):
    # A value's conversion empties the dict being read: the call must finish
    # (with a value or an exception), never read freed items.
    code, out, err = run_child(f"""
        import velotz
        class Clearing:
            def __init__(self, d):
                self.d = d
            def __float__(self):
                self.d.clear()
                return 1.0
            def __iter__(self):
                self.d.clear()
                return iter((0.1, 0.9))
            def __len__(self):
                return 2
        c = velotz.Circuit("R0-(R1,CPE1)")
        d = {{n: 1.0 for n in c.param_names()}}
        d["R1.r"] = Clearing(d)
        try:
            {call}
        except (TypeError, ValueError) as e:
            pass
        print("alive")
    """)
    assert code == 0 and out.strip() == "alive", err
