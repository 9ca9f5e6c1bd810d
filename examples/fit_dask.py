"""Fit thousands of spectra on a Dask cluster.

velotz fits one circuit to many spectra on one machine with
`velotz.fit_batch`. Dask spreads the dataset over the processes (or
machines) of a cluster, and each worker runs `fit_batch` on its share. Two
ways are shown: a partitioned dataframe with one row per measured point,
and a bag of (frequencies, impedances) pairs.

Run with: python examples/fit_dask.py   (needs `pip install "velotz[dask]"`)
On a real cluster, replace the LocalCluster by the scheduler's address:
Client("tcp://scheduler:8786").
"""
from typing import Any

import numpy as np
import pandas as pd
from numpy.typing import NDArray

import velotz

Spectrum = tuple[NDArray[np.float64], NDArray[np.complex128]]

CIRCUIT = "randles"  # R0-p(R1-W1,CPE1); any circuit text or Circuit works
TRUE = {"R0.r": 10.0, "R1.r": 100.0, "W1.aw": 50.0, "CPE1.q": 1e-5, "CPE1.alpha": 0.9}


def synthetic_spectra(n: int, points: int = 60, noise: float = 0.01, seed: int = 0) -> list[Spectrum]:
    """n spectra of the circuit at values that drift from spectrum to
    spectrum (an ageing cell), with 1 % complex noise."""
    rng = np.random.default_rng(seed)
    f: NDArray[np.float64] = np.logspace(5, -1, points)
    circuit = velotz.Circuit(CIRCUIT)
    spectra: list[Spectrum] = []
    for i in range(n):
        drift = 1 + 0.5 * i / n  # resistances grow
        values = dict(TRUE, **{"R1.r": TRUE["R1.r"] * drift, "W1.aw": TRUE["W1.aw"] * drift})
        z = circuit.with_named_values(values).impedance(f)
        z = z * (1 + noise * (rng.standard_normal(points) + 1j * rng.standard_normal(points)))
        spectra.append((f, z))
    return spectra


def long_dataframe(spectra: list[Spectrum]) -> pd.DataFrame:
    """One row per measured point, Battery Data Format columns, and a cell
    id telling the spectra apart: the shape a lab database exports."""
    parts = []
    for i, (f, z) in enumerate(spectra):
        parts.append(pd.DataFrame({"cell": i, "Frequency / Hz": f, "Real Impedance / ohm": z.real,
                                   "Imaginary Impedance / ohm": z.imag}))
    return pd.concat(parts, ignore_index=True)


def fit_partition(part: pd.DataFrame) -> pd.DataFrame:
    """Runs on a worker: fits every spectrum of one partition, returns one
    row per spectrum."""
    batch = velotz.fit_batch(CIRCUIT, part.reset_index(), id_column="cell")
    table: pd.DataFrame = batch.to_dataframe(id_name="cell")
    return table.set_index("cell")


def fit_chunk(chunk: Any) -> list[velotz.FitResult | BaseException]:
    """Runs on a worker: a list of FitResult (or exceptions), which pickle
    back to the client."""
    return list(velotz.fit_batch(CIRCUIT, list(chunk)))


def main(n: int = 2000, workers: int = 2) -> None:
    import dask.bag as db
    import dask.dataframe as dd
    from dask.distributed import Client, LocalCluster

    spectra = synthetic_spectra(n)
    # One worker process per core, each with a single-thread velotz pool:
    # the cluster already keeps every core busy.
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None,
                      env={"RAYON_NUM_THREADS": "1"}) as cluster, Client(cluster) as client:
        print(client)

        # 1. A partitioned dataframe. Indexing by the id keeps every
        # spectrum inside one partition.
        ddf = dd.from_pandas(long_dataframe(spectra).set_index("cell"), npartitions=8)
        meta = fit_partition(long_dataframe(spectra[:1]).set_index("cell"))
        table = ddf.map_partitions(fit_partition, meta=meta.iloc[:0]).compute()
        print(table[["R0.r", "R1.r", "W1.aw", "CPE1.alpha", "cost"]].describe())

        # 2. A bag of spectra: the FitResult objects come back whole.
        bag = db.from_sequence(spectra, npartitions=8)
        results: list[velotz.FitResult] = bag.map_partitions(fit_chunk).compute()
        print(results[0])
        print(f"{sum(r.success for r in results)} of {len(results)} fits succeeded")


if __name__ == "__main__":
    main()
