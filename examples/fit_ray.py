"""Fit thousands of spectra with Ray.

Each Ray task runs `velotz.fit_batch` on a chunk of spectra; circuits and
fit results pickle, so they travel to the tasks and back.

Run with: python examples/fit_ray.py   (needs `pip install "velotz[ray]"`)
On a real cluster, ray.init(address="auto") joins the running cluster.
"""
from typing import TypeVar

import numpy as np
from numpy.typing import NDArray

import velotz

Spectrum = tuple[NDArray[np.float64], NDArray[np.complex128]]
Item = TypeVar("Item")

CIRCUIT = velotz.Circuit("two_rq")  # R0-p(R1,CPE1)-p(R2,CPE2)
TRUE = [10.0, 50.0, 1e-5, 0.9, 120.0, 5e-3, 0.75]


def synthetic_spectra(n: int, points: int = 60, noise: float = 0.01, seed: int = 0) -> list[Spectrum]:
    rng = np.random.default_rng(seed)
    f: NDArray[np.float64] = np.logspace(5, -2, points)
    spectra: list[Spectrum] = []
    for i in range(n):
        values = [v * (1 + 0.3 * i / n) if k % 3 != 0 else v for k, v in enumerate(TRUE)]
        z = CIRCUIT.with_values(values).impedance(f)
        z = z * (1 + noise * (rng.standard_normal(points) + 1j * rng.standard_normal(points)))
        spectra.append((f, z))
    return spectra


def chunks(items: list[Item], size: int) -> list[list[Item]]:
    return [items[i:i + size] for i in range(0, len(items), size)]


def main(n: int = 2000, cpus: int = 2, chunk: int = 250) -> None:
    import ray

    # A single-thread velotz pool per Ray worker: Ray already runs one task
    # per core.
    ray.init(num_cpus=cpus, include_dashboard=False, runtime_env={"env_vars": {"RAYON_NUM_THREADS": "1"}})
    try:
        def fit_chunk(circuit: velotz.Circuit, spectra: list[Spectrum]) -> velotz.BatchResult:
            return velotz.fit_batch(circuit, spectra)

        # ray.remote(f) rather than the decorator: a Ray task is untyped
        # (Any), and the plain function keeps its annotations for mypy.
        remote_fit_chunk = ray.remote(fit_chunk)
        circuit = ray.put(CIRCUIT)
        futures = [remote_fit_chunk.remote(circuit, part) for part in chunks(synthetic_spectra(n), chunk)]
        batches: list[velotz.BatchResult] = ray.get(futures)
        results = [r for batch in batches for r in batch]
        table = velotz.to_dataframe(results)
        print(table[["R0.r", "R1.r", "R2.r", "cost", "success"]].describe())
        print(f"{int(table['success'].sum())} of {len(table)} fits succeeded")
    finally:
        ray.shutdown()


if __name__ == "__main__":
    main()
