"""Fitting on a real local cluster (Dask, Ray) gives every result of the
local batch. Skipped when the optional package is not installed."""
import os
import sys

import numpy as np
import pytest

import velotz

RANDLES = {"R0.r": 10.0, "R1.r": 100.0, "W1.aw": 50.0, "CPE1.q": 1e-5, "CPE1.alpha": 0.9}
N = 300


@pytest.fixture(scope="module")
def spectra():
    rng = np.random.default_rng(17)
    f = np.logspace(5, -1, 30)
    c = velotz.Circuit("randles")
    out = []
    for i in range(N):
        values = dict(RANDLES, **{"R1.r": 100.0 * (1 + i / N), "W1.aw": 50.0 * (1 + 0.5 * i / N)})
        z = c.with_named_values(values).impedance(f) * (1 + 0.01 * (rng.standard_normal(30) + 1j * rng.standard_normal(30)))
        out.append((f, z))
    # One broken spectrum: its error must travel back too.
    out[7] = (f, z[:-1])
    return out


@pytest.fixture(scope="module")
def local(spectra):
    return velotz.fit_batch("randles", spectra)


def _worker_env():
    # The workers import velotz from wherever this process does, and use a
    # single-thread pool each: the cluster already spreads over the cores.
    return {"RAYON_NUM_THREADS": "1", "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}


def _fit_chunk(chunk):
    return list(velotz.fit_batch("randles", list(chunk)))


def _same(results, local):
    assert len(results) == len(local)
    for got, want in zip(results, local):
        if isinstance(want, BaseException):
            assert type(got) is type(want) and str(got) == str(want)
        else:
            assert got == want


def test_dask_bag_and_dataframe_on_a_local_cluster(spectra, local):
    distributed = pytest.importorskip("dask.distributed", reason="dask is an optional package that is not installed here (bash tests/run.sh --extras installs it; the PyPy lane installs numpy and pytest only)")
    db = pytest.importorskip("dask.bag", reason="dask is an optional package that is not installed here (bash tests/run.sh --extras installs it; the PyPy lane installs numpy and pytest only)")
    pd = pytest.importorskip("pandas", reason="pandas is an optional package that is not installed here (the PyPy lane installs numpy and pytest only)")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  env=_worker_env()) as cluster, distributed.Client(cluster) as client:
        assert len(client.scheduler_info()["workers"]) == 2
        # A bag of spectra: FitResults and exceptions pickle back whole.
        results = db.from_sequence(spectra, npartitions=6).map_partitions(_fit_chunk).compute()
        _same(results, local)
        # Futures with the circuit object itself shipped to the workers.
        circuit = velotz.Circuit("randles")
        futures = client.map(lambda part: velotz.fit_batch(circuit, part), [spectra[:150], spectra[150:]])
        parts = client.gather(futures)
        _same(list(parts[0]) + list(parts[1]), local)
        # A partitioned long dataframe, grouped by its id on the workers.
        dd = pytest.importorskip("dask.dataframe", reason="dask is an optional package that is not installed here (bash tests/run.sh --extras installs it; the PyPy lane installs numpy and pytest only)")
        rows = pd.concat([pd.DataFrame({"cell": i, "Frequency / Hz": f[:len(z)], "Real Impedance / ohm": z.real,
                                        "Imaginary Impedance / ohm": z.imag}) for i, (f, z) in enumerate(spectra)])
        ddf = dd.from_pandas(rows.set_index("cell"), npartitions=5)

        def fit_partition(part):
            return velotz.fit_batch("randles", part.reset_index(), id_column="cell").to_dataframe(id_name="cell")

        meta = fit_partition(rows[rows.cell == 0].set_index("cell")).iloc[:0]
        table = ddf.map_partitions(fit_partition, meta=meta).compute().sort_values("cell").reset_index(drop=True)
    # The long form of spectrum 7 is truncated to its own rows, so it fits;
    # compare every other row with the local batch's table.
    want = local.to_dataframe(id_name="cell")
    keep = (want.cell != 7).values
    got, want = table[keep].reset_index(drop=True), want[keep].reset_index(drop=True)
    assert got.error.isna().all() and want.error.isna().all()
    pd.testing.assert_frame_equal(got.drop(columns="error"), want.drop(columns="error"), check_dtype=False,
                                  check_exact=True)


def test_ray_tasks_with_two_cpus(spectra, local):
    ray = pytest.importorskip("ray", reason="ray is an optional package that is not installed here (bash tests/run.sh --extras installs it; the PyPy lane installs numpy and pytest only)")
    ray.init(num_cpus=2, include_dashboard=False, runtime_env={"env_vars": _worker_env()},
             configure_logging=False)
    try:
        @ray.remote
        def fit_chunk(circuit, chunk):
            return velotz.fit_batch(circuit, chunk)

        circuit = ray.put(velotz.Circuit("randles"))
        chunks = [spectra[i:i + 50] for i in range(0, N, 50)]
        batches = ray.get([fit_chunk.remote(circuit, c) for c in chunks])
        assert all(isinstance(b, velotz.BatchResult) for b in batches)
        _same([r for b in batches for r in b], local)
    finally:
        ray.shutdown()
