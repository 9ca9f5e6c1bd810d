"""Circuit.impedance: input forms, the worker pool, the released lock."""
import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import velotz
from interpreter import needs

CIRCUIT = velotz.Circuit("R0-(R1,CPE1)-(R2-Wo2,CPE2)").with_values(
    [10.0, 50.0, 1e-4, 0.85, 80.0, 20.0, 0.5, 1e-3, 0.9]
)


def test_single_frequency_and_empty():
    z = velotz.Circuit("R0").impedance([1000.0])
    assert z.dtype == np.complex128 and z.shape == (1,) and z[0] == 1 + 0j
    e = velotz.Circuit("R0").impedance([])
    assert e.dtype == np.complex128 and e.shape == (0,)


def test_result_is_a_fresh_writable_array():
    a = CIRCUIT.impedance([1.0, 2.0])
    b = CIRCUIT.impedance([1.0, 2.0])
    a[0] = 0
    assert b[0] != 0 and a.flags.owndata and a.flags.c_contiguous


@pytest.mark.parametrize("n", [999, 1000, 1001, 4096, 20000])
def test_pool_result_equals_serial_result_bit_for_bit(n):
    freqs = np.logspace(-3, 6, n)
    whole = CIRCUIT.impedance(freqs)  # split over the pool from 1000 on
    serial = np.concatenate([CIRCUIT.impedance(freqs[i : i + 500]) for i in range(0, n, 500)])
    np.testing.assert_array_equal(whole, serial)


def test_input_order_is_kept_and_nothing_filtered():
    freqs = [5.0, 0.0, -1.0, float("nan"), 1e3, 5.0]
    z = CIRCUIT.impedance(freqs)
    assert len(z) == 6 and z[0] == z[5]
    assert not np.isfinite(z[1])  # zero frequency: capacitor is open
    assert np.isnan(z[3])


@pytest.mark.parametrize(
    "make",
    [
        lambda f: list(f),
        lambda f: tuple(f),
        lambda f: np.asarray(f),
        lambda f: np.asarray(f, dtype=np.float32),
        lambda f: np.repeat(f, 3)[::3],
        lambda f: np.asarray(f, dtype=">f8"),
        lambda f: {"Frequency / Hz": list(f)},
        lambda f: {"frequency_hertz": list(f)},
        pytest.param(lambda f: __import__("pandas").DataFrame({"Frequency / Hz": f, "x": f}), marks=needs("pandas")),
        pytest.param(lambda f: __import__("pandas").Series(f), marks=needs("pandas")),
        pytest.param(lambda f: __import__("polars").DataFrame({"frequency_hertz": f}), marks=needs("polars")),
    ],
    ids=["list", "tuple", "ndarray", "f32", "strided", "big-endian", "dict", "dict-alt", "pandas", "pandas-series", "polars"],
)
def test_frequency_inputs(make):
    f = np.array([0.5, 1.0, 16.0, 1024.0])  # exact in float32 too
    np.testing.assert_array_equal(CIRCUIT.impedance(make(f)), CIRCUIT.impedance(list(f)))


def test_primary_frequency_column_wins():
    got = CIRCUIT.impedance({"Frequency / Hz": [1.0], "frequency_hertz": [2.0]})
    np.testing.assert_array_equal(got, CIRCUIT.impedance([1.0]))


@pytest.mark.parametrize(
    "arg,message",
    [
        ({"freq": [1.0]}, 'expected a sequence of frequencies, or a dataframe with a "Frequency / Hz" or "frequency_hertz" column'),
        ("1,2,3", 'expected a sequence of frequencies, or a dataframe with a "Frequency / Hz" or "frequency_hertz" column'),
        ({"Frequency / Hz": ["a", "b"]}, 'column "Frequency / Hz" is not numeric'),
        ({"frequency_hertz": "abc"}, 'column "frequency_hertz" is not numeric'),
    ],
)
def test_frequency_errors(arg, message):
    with pytest.raises(ValueError) as info:
        CIRCUIT.impedance(arg)
    assert str(info.value) == message


def test_lock_is_released_during_evaluation():
    freqs = np.logspace(-3, 6, 2_000_000)
    progress = []
    done = threading.Event()

    def count():
        while not done.is_set():
            progress.append(1)
            time.sleep(0.0005)

    t = threading.Thread(target=count)
    t.start()
    time.sleep(0.01)
    before = len(progress)
    CIRCUIT.impedance(freqs)
    during = len(progress) - before
    done.set()
    t.join()
    assert during > 5, "the other thread made no progress while impedance ran"


def test_concurrent_calls_agree_with_single_thread():
    freqs = np.logspace(-2, 5, 3000)
    want = CIRCUIT.impedance(freqs)
    results = [None] * 4

    def work(i):
        results[i] = CIRCUIT.impedance(freqs)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for r in results:
        np.testing.assert_array_equal(r, want)


SCRIPT = """
import os, sys, numpy as np, velotz
c = velotz.Circuit("R0-(R1,CPE1)").with_values([1.0, 20.0, 1e-3, 0.8])
f = np.logspace(-2, 5, 5000)
print(c.impedance(f).tobytes().hex()[:64], flush=True)
if len(sys.argv) > 1:
    pid = os.fork()  # the child must rebuild its own workers
    if pid == 0:
        z = c.impedance(f)
        os._exit(0 if np.array_equal(z, c.impedance(list(f))) else 3)
    _, status = os.waitpid(pid, 0)
    sys.exit(os.waitstatus_to_exitcode(status))
"""


@pytest.mark.parametrize("threads", ["1", "2", "7"])
def test_pool_size_from_environment_does_not_change_results(threads):
    env = dict(os.environ, RAYON_NUM_THREADS=threads)
    out = subprocess.run([sys.executable, "-c", SCRIPT], env=env, capture_output=True, text=True, timeout=60)
    base = subprocess.run([sys.executable, "-c", SCRIPT], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0 and out.stdout == base.stdout


def test_fork_after_pool_started():
    out = subprocess.run([sys.executable, "-c", SCRIPT, "fork"], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr


def test_failing_calls_do_not_leak(memory_is_flat):
    c = velotz.Circuit("R0-(R1,C1)")

    def failing():
        for call in (
            lambda: velotz.Circuit("R0-X1"),
            lambda: c.with_values([1.0]),
            lambda: c.with_values("abc"),
            lambda: c.with_named_values({"R0.x": 1.0}),
            lambda: c.impedance({"nope": [1.0]}),
            lambda: c.impedance({"Frequency / Hz": ["a"]}),
        ):
            try:
                call()
            except (ValueError, TypeError):
                pass
            else:
                raise AssertionError("expected a failure")
        c.impedance([1.0, 2.0])
        repr(c)

    memory_is_flat(failing, rounds=5, per_round=1000)


def test_integer_arrays_convert_item_by_item():
    np.testing.assert_array_equal(CIRCUIT.impedance(np.array([1, 16, 1024])), CIRCUIT.impedance([1.0, 16.0, 1024.0]))


def _diffusion_reference(code, z0, tau, w):
    """Wo: z0·coth(u)/u, Ws: z0·tanh(u)/u with u = sqrt(jωτ), in 50-digit arithmetic."""
    mpmath = pytest.importorskip("mpmath")
    mpmath.mp.dps = 50
    out = []
    for wk in w:
        u = mpmath.sqrt(1j * mpmath.mpf(float(wk)) * mpmath.mpf(tau))
        t = mpmath.tanh(u)
        z = z0 / (u * t) if code == "Wo" else z0 * t / u
        out.append(complex(z))
    return np.array(out)


@pytest.mark.parametrize("code", ["Wo", "Ws"])
@pytest.mark.parametrize("tau", [1e-3, 0.37, 10.0, 2e3])
def test_finite_warburgs_are_within_a_few_ulp_of_a_50_digit_reference(code, tau):
    # Both sides of the saturation at ωτ = 800, the small arguments where
    # tanh u ≈ u, and the turn of the arc in between; the tanh of the
    # elements is within 1 ulp, the square root, product and quotient
    # around it add a few more.
    f = np.logspace(-4, 7, 300)
    w = 2 * np.pi * f
    z = velotz.Circuit(f"{code}0").with_values([3.0, tau]).impedance(f)
    ref = _diffusion_reference(code, 3.0, tau, w)
    rel = np.abs(z - ref) / np.abs(ref)
    assert rel.max() < 3 * np.finfo(float).eps, (float(rel.max()), f[np.argmax(rel)])


@pytest.mark.parametrize("order", [(0, 1, 2), (2, 1, 0), (1, 2, 0, 1)])
def test_successive_calls_of_other_sizes_on_one_thread_agree_with_single_points(order):
    # The evaluation keeps its arrays per thread from call to call: circuits
    # of other sizes and spectra of other lengths in between change nothing.
    circuits = [
        velotz.Circuit("R0").with_values([7.0]),
        CIRCUIT,
        velotz.Circuit("R0-(R1,CPE1)-(R2-W2,CPE2)-(R3,(R4,C4)-L5)").with_values(
            [10.0, 50.0, 1e-4, 0.85, 80.0, 30.0, 1e-3, 0.9, 7.0, 3.0, 2e-5, 1e-6]),
    ]
    lengths = [1, 5, 64, 65, 257, 700]
    for k in order:
        for n in lengths:
            f = np.logspace(-2, 5, n)
            whole = circuits[k].impedance(f)
            single = np.array([circuits[k].impedance([v])[0] for v in f])
            np.testing.assert_array_equal(whole, single)
