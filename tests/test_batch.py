"""fit_batch: one circuit fitted to many spectra on the worker pool."""
import os
import pickle
import signal
import struct
import subprocess
import sys
import threading
import time
import warnings

import numpy as np
import pytest

import velotz
from velotz import Circuit

RANDLES_TRUE = [10.0, 100.0, 50.0, 1e-5, 0.9]  # R0.r, R1.r, W1.aw, CPE1.q, CPE1.alpha


def synthetic(text, values, n, points=30, noise=0.01, seed=0):
    """n spectra of `text` at `values` (open-bound ones scaled per spectrum),
    with relative noise. The circuit's own impedance is the data source:
    the batch is checked against fit(), not against the model."""
    rng = np.random.default_rng(seed)
    f = np.logspace(5, -1, points)
    bounds = Circuit(text).param_bounds()
    out = []
    for i in range(n):
        scale = 1.0 + 0.05 * i
        v = [x * scale if hi == float("inf") else x for x, (lo, hi) in zip(values, bounds)]
        z = Circuit(text).with_values(v).impedance(f)
        z = z * (1 + noise * (rng.standard_normal(points) + 1j * rng.standard_normal(points)))
        out.append((f.tolist(), z.tolist()))
    return out


def bits(r):
    names = r.circuit.param_names()
    return ([struct.pack("<d", r.params[n]) for n in names], struct.pack("<d", r.cost), r.iterations,
            r.impedance_evals, r.success)


@pytest.fixture(scope="module")
def randles():
    return synthetic("randles", RANDLES_TRUE, 6)


@pytest.mark.parametrize("circuit, options", [
    ("randles", {}),  # network guess per spectrum
    ("randles", {"guess_init": False, "weight": "unit"}),
    ("randles", {"method": "particle_swarm", "num_particles": 15, "generations": 20, "seed": 11}),
    ("randles", {"method": "simulated_annealing", "sa_iterations": 200, "seed": 5}),
    ("randles", {"method": "basin_hopping", "basin_hopping_hops": 2, "seed": 3}),
    ("randles", {"method": "nelder_mead", "nelder_mead_iterations": 200}),
])
def test_each_spectrum_gets_the_result_of_a_single_fit(randles, circuit, options):
    batch = velotz.fit_batch(circuit, randles, **options)
    assert len(batch) == len(randles) and batch.ids == list(range(len(randles)))
    c = Circuit(circuit)
    for (f, z), got in zip(randles, batch):
        single = c.fit(f, z, **options)
        assert bits(got) == bits(single)
        assert got == single


def test_a_weight_file_guesses_every_spectrum(tmp_path):
    tiny = os.path.join(os.path.dirname(__file__), "data", "tiny.eisnn")  # trained for R0-(R1,CPE1)
    spectra = synthetic("R0-(R1,CPE1)", [10.0, 100.0, 2e-5, 0.9], 4, points=20)
    batch = velotz.fit_batch("R0-(R1,CPE1)", spectra, weights=tiny)
    for (f, z), got in zip(spectra, batch):
        assert bits(got) == bits(Circuit("R0-(R1,CPE1)").fit(f, z, weights=tiny))
    # A file that cannot be read fails every spectrum with fit()'s message.
    bad = tmp_path / "net.eisnn"
    bad.write_bytes(b"garbage")
    with pytest.raises(ValueError) as info:
        Circuit("R0-(R1,CPE1)").fit(*spectra[0], weights=str(bad))
    batch = velotz.fit_batch("R0-(R1,CPE1)", spectra, weights=str(bad))
    assert [str(e) for e in batch] == [str(info.value)] * 4


@pytest.mark.parametrize("convert", [
    lambda f, z: (np.asarray(f), np.asarray(z)),                          # float64, complex128
    lambda f, z: (np.asarray(f), np.asarray(z).real.copy()),              # real impedances
    lambda f, z: (np.asarray(f, dtype=np.float32), np.asarray(z, dtype=np.complex64)),
    lambda f, z: (np.asarray(f, dtype=">f8"), np.asarray(z, dtype=">c16")),  # big-endian
    lambda f, z: (np.repeat(np.asarray(f), 2)[::2], np.repeat(np.asarray(z), 2)[::2]),  # strided views
    lambda f, z: (np.asarray(f), np.asarray(z)[:-1]),                     # lengths differ
    # Masked arrays: the masked entries are read as fit() reads them, never
    # as the raw values their buffer holds.
    lambda f, z: (np.asarray(f), np.ma.masked_array(z, mask=np.arange(len(z)) == 3)),
    lambda f, z: (np.ma.masked_array(f, mask=np.arange(len(f)) == 5), np.asarray(z)),
], ids=["f8-c16", "f8-real", "f4-c8", "big-endian", "strided", "mismatch", "masked-z", "masked-f"])
@pytest.mark.filterwarnings("ignore:Warning. converting a masked element to nan:UserWarning")
def test_numpy_spectra_read_as_fit_reads_them(randles, convert):
    c = Circuit("randles").with_values(RANDLES_TRUE)
    spectra = [convert(*s) for s in randles[:3]]
    batch = velotz.fit_batch(c, spectra)
    for spectrum, got in zip(spectra, batch):
        try:
            want = c.fit(*spectrum)
        except ValueError as e:
            assert type(got) is ValueError and str(got) == str(e)
            continue
        assert bits(got) == bits(want)


def test_per_spectrum_seeds(randles):
    opts = {"method": "particle_swarm", "num_particles": 10, "generations": 10}
    seeds = [3, None, 99, 3, 7, 8]
    batch = velotz.fit_batch("randles", randles, seeds=seeds, seed=1, **opts)
    for (f, z), s, got in zip(randles, seeds, batch):
        if s is not None:
            assert bits(got) == bits(Circuit("randles").fit(f, z, seed=s, **opts))
    # Same spectrum and seed, same result; the unseeded one is a valid fit.
    assert batch[1].success in (True, False)
    with pytest.raises(ValueError, match="seeds has 2 entries but there are 6 spectra"):
        velotz.fit_batch("randles", randles, seeds=[1, 2], **opts)


def test_one_thread_and_all_threads_give_the_same_bits(randles, tmp_path):
    """The pool size never changes a result: RAYON_NUM_THREADS=1 in a child
    process against this process's pool."""
    script = tmp_path / "child.py"
    script.write_text(
        "import pickle, sys, velotz\n"
        "spectra = pickle.load(sys.stdin.buffer)\n"
        "b = velotz.fit_batch('randles', spectra, method='particle_swarm', num_particles=12, generations=15, seed=2)\n"
        "pickle.dump(b, sys.stdout.buffer)\n")
    env = dict(os.environ, RAYON_NUM_THREADS="1", PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, str(script)], input=pickle.dumps(randles), capture_output=True, env=env,
                          timeout=300)
    assert done.returncode == 0, done.stderr.decode()
    theirs = pickle.loads(done.stdout)
    ours = velotz.fit_batch("randles", randles, method="particle_swarm", num_particles=12, generations=15, seed=2)
    assert theirs == ours
    assert [bits(r) for r in theirs] == [bits(r) for r in ours]


def test_failed_spectra_keep_their_errors_in_their_slots(randles):
    f, z = randles[0]
    spectra = [randles[0], (f, z[:-1]), (f[:0], z[:0]), ("abc", z), [1.0, 2.0, 3.0], randles[1]]
    batch = velotz.fit_batch(Circuit("randles").with_values(RANDLES_TRUE), spectra)
    assert batch[0] == Circuit("randles").with_values(RANDLES_TRUE).fit(*randles[0])
    assert batch[5] == Circuit("randles").with_values(RANDLES_TRUE).fit(*randles[1])
    # Each error is the one fit() raises for that spectrum.
    for spectrum, err in zip(spectra[1:5], batch[1:5]):
        args = spectrum if isinstance(spectrum, tuple) else (spectrum,)
        with pytest.raises(Exception) as info:
            Circuit("randles").with_values(RANDLES_TRUE).fit(*args)
        assert type(err) is info.type and str(err) == str(info.value)
    assert set(batch.errors) == {1, 2, 3, 4} and set(batch.fitted) == {0, 5}
    assert repr(batch) == "BatchResult(6 spectra, 4 failed)"


def test_caller_errors_are_raised_before_any_fit(randles):
    with pytest.raises(ValueError, match='unknown fit method "bfgs"'):
        velotz.fit_batch("randles", randles, method="bfgs")
    with pytest.raises(ValueError) as info:
        Circuit("randles").fit(*randles[0], weight="Modulus")
    with pytest.raises(ValueError, match=str(info.value)):
        velotz.fit_batch("randles", randles, weight="Modulus")
    for bad in ({"max_iterations": -1}, {"ftol": "x"}, {"seed": 2**64}, {"guess_init": 1}):
        with pytest.raises(Exception) as info:
            Circuit("randles").fit(*randles[0], **bad)
        with pytest.raises(info.type, match=str(info.value)):
            velotz.fit_batch("randles", randles, **bad)
    with pytest.raises(TypeError, match="unexpected keyword|invalid keyword"):
        velotz.fit_batch("randles", randles, frequencies=[1.0])
    with pytest.raises(TypeError, match="circuit"):
        velotz.fit_batch(42, randles)
    with pytest.raises(ValueError, match="ids has 1 entries"):
        velotz.fit_batch("randles", randles, ids=["a"])


def test_missing_network_warns_once_per_batch():
    spectra = synthetic("R0-Wo1", [10.0, 50.0, 0.1], 5, points=12)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        batch = velotz.fit_batch("R0-Wo1", spectra)
    assert [w.category for w in caught] == [UserWarning]
    assert str(caught[0].message).startswith("There is no ML model to guess initial parameters")
    assert caught[0].filename == __file__  # the caller's line, as for fit()
    assert all(isinstance(r, velotz.FitResult) for r in batch)
    # guess_init=True cannot guess: every slot holds fit()'s error.
    with pytest.raises(ValueError) as info:
        Circuit("R0-Wo1").fit(*spectra[0], guess_init=True)
    batch = velotz.fit_batch("R0-Wo1", spectra, guess_init=True)
    assert all(type(r) is ValueError and str(r) == str(info.value) for r in batch)
    # A warning filter that raises stops the batch before any fit, as for fit().
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning):
            velotz.fit_batch("R0-Wo1", spectra)


@pytest.fixture(scope="module")
def long_rows(randles):
    rows = {"cell": [], "Frequency / Hz": [], "Real Impedance / ohm": [], "Imaginary Impedance / ohm": []}
    names = ["c", "a", "b", "f", "e", "d"]  # groups in order of first appearance, not sorted
    for name, (f, z) in zip(names, randles):
        rows["cell"] += [name] * len(f)
        rows["Frequency / Hz"] += f
        rows["Real Impedance / ohm"] += [v.real for v in z]
        rows["Imaginary Impedance / ohm"] += [v.imag for v in z]
    return names, rows


@pytest.mark.parametrize("backend", ["pandas", "polars"])
def test_dataframe_inputs_give_the_same_results(randles, long_rows, backend):
    lib = pytest.importorskip(backend, reason=f"{backend} is an optional package that is not installed here (the PyPy lane installs numpy and pytest only)")
    names, rows = long_rows
    expected = velotz.fit_batch("randles", randles, ids=names)
    long = velotz.fit_batch("randles", lib.DataFrame(rows), id_column="cell")
    assert long == expected and long.ids == names
    frames = [lib.DataFrame({"frequency_hertz": f, "real_impedance_ohm": np.real(z), "imaginary_impedance_ohm":
                             np.imag(z)}) for f, z in randles]
    assert velotz.fit_batch("randles", dict(zip(names, frames))) == expected
    assert list(velotz.fit_batch("randles", frames)) == list(expected)
    with pytest.raises(TypeError, match="id_column"):
        velotz.fit_batch("randles", lib.DataFrame(rows))


@pytest.mark.parametrize("backend", ["pandas", "polars"])
def test_long_frames_read_each_group_as_its_own_frame(randles, backend):
    """Interleaved rows, modulus and phase columns, rows that the dataframe
    form drops (zero, negative, NaN frequency), a group with no valid row
    and a non-numeric value: each group gives what fit() gives on the rows
    of that group as a frame of its own."""
    lib = pytest.importorskip(backend, reason=f"{backend} is an optional package that is not installed here (the PyPy lane installs numpy and pytest only)")
    rows = {"id": [], "frequency_hertz": [], "absolute_impedance_ohm": [], "Phase / deg": []}
    groups = {"p": randles[0], "q": randles[1], "r": randles[2]}
    for k in range(len(randles[0][0])):  # interleaved: p, q, r, p, q, r, ...
        for gid, (f, z) in groups.items():
            rows["id"].append(gid)
            rows["frequency_hertz"].append(f[k])
            rows["absolute_impedance_ohm"].append(abs(z[k]))
            rows["Phase / deg"].append(float(np.degrees(np.angle(z[k]))))
    for freq in (0.0, -5.0, float("nan")):  # dropped rows inside group q
        rows["id"].append("q")
        rows["frequency_hertz"].append(freq)
        rows["absolute_impedance_ohm"].append(1.0)
        rows["Phase / deg"].append(0.0)
    rows["id"] += ["empty", "empty"]  # no measured point left
    rows["frequency_hertz"] += [0.0, -1.0]
    rows["absolute_impedance_ohm"] += [1.0, 1.0]
    rows["Phase / deg"] += [0.0, 0.0]
    rows["id"].append("null")  # a missing modulus
    rows["frequency_hertz"].append(10.0)
    rows["absolute_impedance_ohm"].append(None)
    rows["Phase / deg"].append(0.0)
    frame = lib.DataFrame(rows)
    c = Circuit("randles").with_values(RANDLES_TRUE)
    batch = velotz.fit_batch(c, frame, id_column="id")
    assert batch.ids == ["p", "q", "r", "empty", "null"]
    for gid, got in zip(batch.ids, batch):
        part = frame[frame["id"] == gid] if backend == "pandas" else frame.filter(lib.col("id") == gid)
        try:
            want = c.fit(part)
        except Exception as e:
            assert type(got) is type(e) and str(got) == str(e), gid
            continue
        assert bits(got) == bits(want), gid
    assert isinstance(batch[0], velotz.FitResult) and isinstance(batch[3], ValueError)


@pytest.mark.parametrize("backend", ["pandas", "polars"])
def test_results_as_a_table(randles, backend):
    lib = pytest.importorskip(backend, reason=f"{backend} is an optional package that is not installed here (the PyPy lane installs numpy and pytest only)")
    spectra = list(randles[:3]) + [(randles[0][0], randles[0][1][:-1])]
    batch = velotz.fit_batch("randles", spectra, ids=["x", "y", "z", "bad"])
    frame = batch.to_dataframe(backend=backend)
    names = Circuit("randles").param_names()
    assert list(frame.columns) == (["id"] + names + [n + "_stderr" for n in names] +
                                   ["cost", "chi_square", "success", "iterations", "impedance_evals", "error"])
    as_dicts = frame.to_dicts() if backend == "polars" else frame.to_dict("records")
    assert [row["id"] for row in as_dicts] == ["x", "y", "z", "bad"]
    for row, r in zip(as_dicts[:3], batch):
        # assert_array_equal counts NaN (an undetermined standard error) as equal.
        np.testing.assert_array_equal([row[n] for n in names], [r.params[n] for n in names])
        np.testing.assert_array_equal([row[n + "_stderr"] for n in names], [r.stderr[n] for n in names])
        assert (row["cost"], row["chi_square"], row["success"], row["iterations"], row["impedance_evals"]) == (
            r.cost, r.chi_square, r.success, r.iterations, r.impedance_evals)
        assert row["error"] is None or row["error"] != row["error"]  # None or NaN
    bad = as_dicts[3]
    assert bad["success"] is False or bad["success"] == False  # noqa: E712 (numpy bool)
    assert bad["error"] == "ValueError: frequencies and impedances must have the same length"
    assert all(bad[n] is None or np.isnan(bad[n]) for n in names)
    one = velotz.to_dataframe(batch[0], backend=backend)
    assert one.shape == (1, 2 * len(names) + 5)
    # A plain list of results takes the same route as the batch.
    again = velotz.to_dataframe(list(batch), backend=backend, ids=["x", "y", "z", "bad"])
    assert again.equals(frame) if backend == "pandas" else again.equals(frame)
    with pytest.raises(ValueError, match="unknown backend"):
        batch.to_dataframe(backend="arrow")


def test_progress_callback_and_bar(randles):
    calls = []
    velotz.fit_batch("randles", randles * 3, progress=lambda done, total: calls.append((done, total)),
                     progress_interval=0.0)
    assert calls[-1] == (18, 18)
    assert [d for d, _ in calls] == sorted(d for d, _ in calls) and all(t == 18 for _, t in calls)
    pytest.importorskip("tqdm", reason="tqdm is an optional package that is not installed here (the PyPy lane installs numpy and pytest only)")
    velotz.fit_batch("randles", randles, progress=True)  # draws on stderr; must not fail

    class Stop(Exception):
        pass

    def stop(done, total):
        raise Stop

    # An exception from the callback stops the batch and propagates.
    with pytest.raises(Stop):
        velotz.fit_batch("randles", randles * 20, progress=stop, progress_interval=0.0)


def test_the_interpreter_lock_is_released_while_the_batch_runs(randles):
    # Long enough that the main thread gets well over 100 turns on a loaded
    # machine while the batch runs, also with a cheap network guess.
    spectra = randles * 40
    done = threading.Event()
    ticks = 0

    def run():
        velotz.fit_batch("randles", spectra, method="nelder_mead", nelder_mead_iterations=400)
        done.set()

    t = threading.Thread(target=run)
    t.start()
    while not done.is_set():
        ticks += 1
        time.sleep(0)
    t.join()
    assert ticks > 100


def test_concurrent_batches_from_two_threads(randles):
    """Two Python threads sharing the pool: each batch equals its result
    when run alone."""
    spectra = randles * 4
    opts = [{"method": "particle_swarm", "num_particles": 10, "generations": 10, "seed": 4}, {}]
    alone = [velotz.fit_batch("randles", spectra, **o) for o in opts]
    together = [None, None]

    def run(k):
        together[k] = velotz.fit_batch("randles", spectra, **opts[k])

    threads = [threading.Thread(target=run, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert together == alone


INTERRUPTED = r"""
import sys, velotz, numpy as np
f = np.logspace(5, -1, 40)
z = velotz.Circuit("randles").with_values([12.0, 80.0, 2e-5, 0.85, 40.0]).impedance(f)
seen = [0]
def progress(done, total):
    seen[0] = done
    print("progress", done, flush=True)
try:
    velotz.fit_batch("randles", [(f, z * (1 + 0.001 * i)) for i in range(5000)], method="nelder_mead",
                     progress=progress, progress_interval=0.0)
except KeyboardInterrupt:
    print("interrupted after", seen[0], flush=True)
    sys.exit(0)
print("finished", flush=True)
"""


def test_ctrl_c_stops_the_batch_cleanly():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             env=env, text=True)
    try:
        line = child.stdout.readline()
        assert line.startswith("progress"), line + child.stderr.read()
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        out, err = child.communicate(timeout=60)
        stopped_in = time.monotonic() - sent
    finally:
        child.kill()
    lines = out.splitlines()
    assert child.returncode == 0, err
    assert lines[-1].startswith("interrupted after"), out + err
    assert int(lines[-1].split()[-1]) < 5000
    assert stopped_in < 10


def test_batch_results_pickle(randles):
    batch = velotz.fit_batch("randles", list(randles[:2]) + [("x", [1])], ids=["a", "b", "c"])
    back = pickle.loads(pickle.dumps(batch))
    assert back == batch and back.ids == ["a", "b", "c"] and type(back[2]) is TypeError


def test_memory_is_flat_over_many_batches(memory_is_flat, randles):
    memory_is_flat(lambda: velotz.fit_batch(Circuit("randles").with_values(RANDLES_TRUE), randles * 4),
                   rounds=4, per_round=25)


# ---------------------------------------------------------------- the long-frame path, hardened

@pytest.mark.parametrize("backend", ["pandas", "polars"])
def test_rows_without_an_id_are_left_out_as_groupby_does(randles, long_rows, backend):
    """Rows whose id is None/NaN belong to no spectrum: pandas' groupby
    (dropna=True, its default) leaves them out, and so does fit_batch, with
    a warning saying how many. They never become one-point spectra."""
    lib = pytest.importorskip(backend, reason=f"{backend} is an optional package that is not installed here (the PyPy lane installs numpy and pytest only)")
    names, rows = long_rows
    rows = {k: list(v) for k, v in rows.items()}
    f, z = randles[0]
    for k in range(5):  # rows with a missing id, between the groups
        rows["cell"].insert(7 * k, None if backend == "polars" or k % 2 else float("nan"))
        rows["Frequency / Hz"].insert(7 * k, f[k])
        rows["Real Impedance / ohm"].insert(7 * k, z[k].real)
        rows["Imaginary Impedance / ohm"].insert(7 * k, z[k].imag)
    frame = lib.DataFrame(rows)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        batch = velotz.fit_batch("randles", frame, id_column="cell")
    assert [str(w.message) for w in caught if issubclass(w.category, UserWarning)] == [
        f"fit_batch: 5 of {len(rows['cell'])} rows have no value in id_column 'cell' (None or NaN) and were left "
        "out, as pandas' groupby leaves them out"]
    assert batch.ids == names and batch == velotz.fit_batch("randles", randles, ids=names)
    if backend == "pandas":
        assert list(frame.groupby("cell", sort=False).groups) == names  # what pandas itself does


@pytest.mark.parametrize("backend", ["pandas", "polars"])
def test_id_column_must_name_a_column(long_rows, backend):
    lib = pytest.importorskip(backend, reason=f"{backend} is an optional package that is not installed here (the PyPy lane installs numpy and pytest only)")
    frame = lib.DataFrame(long_rows[1])
    with pytest.raises(TypeError, match=r"^argument 'id_column': expected a column name \(str\), got 'list'$"):
        velotz.fit_batch("randles", frame, id_column=["cell"])
    with pytest.raises(TypeError, match="got 'int'"):
        velotz.fit_batch("randles", frame, id_column=3)
    with pytest.raises(KeyError) as info:
        velotz.fit_batch("randles", frame, id_column="sample")
    assert info.value.args[0] == ("id_column 'sample' is not a column of the dataframe (its columns: 'cell', "
                                  "'Frequency / Hz', 'Real Impedance / ohm', 'Imaginary Impedance / ohm')")


def test_id_name_may_not_take_a_column_the_table_uses(randles):
    pytest.importorskip("pandas", reason="pandas is an optional package that is not installed here (the PyPy lane installs numpy and pytest only)")
    batch = velotz.fit_batch("randles", randles[:2], ids=["x", "y"])
    for name in ("cost", "error", "success", "R0.r", "CPE1.alpha_stderr"):
        with pytest.raises(ValueError, match=f"^id_name '{name}' is already a column of the table"):
            batch.to_dataframe(id_name=name)
        with pytest.raises(ValueError, match=f"^id_name '{name}' is already a column of the table"):
            velotz.to_dataframe(list(batch), id_name=name)
    frame = batch.to_dataframe(id_name="cell")
    assert list(frame["cell"]) == ["x", "y"] and frame.columns[0] == "cell"


class _Tampered:
    """Pickles as a BatchResult whose state was edited."""

    def __init__(self, *state):
        self.state = state

    def __reduce__(self):
        return velotz.BatchResult, self.state


def test_a_tampered_batch_pickle_is_refused_at_once(randles):
    batch = velotz.fit_batch("randles", list(randles[:2]) + [("x", [1])], ids=["a", "b", "c"])
    good = (batch.ids, batch.results, batch.circuit)
    cases = {
        "ids and results of different lengths": ((["a"], batch.results, batch.circuit), "1 ids for 3 results"),
        "a circuit that is a string": ((batch.ids, batch.results, "randles"),
                                       "the circuit must be a Circuit, not 'str'"),
        "results that are integers": ((batch.ids, [1, 2, 3], batch.circuit),
                                      "result 0 must be a FitResult or an exception, not 'int'"),
        "ids that are no sequence": ((5, batch.results, batch.circuit), "ids and results must be sequences"),
    }
    for label, (state, reason) in cases.items():
        data = pickle.dumps(_Tampered(*state))
        with pytest.raises(ValueError) as info:
            pickle.loads(data)
        assert str(info.value) == f"invalid BatchResult state: {reason}", label
    assert pickle.loads(pickle.dumps(_Tampered(*good))) == batch
