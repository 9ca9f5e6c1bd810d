"""Fit thousands of spectra with Ray.

Each Ray task runs `velotz.fit_batch` on a chunk of spectra; circuits and
fit results pickle, so they travel to the tasks and back.

Run with: python examples/fit_ray.py   (needs `pip install "velotz[ray]"`)
On a real cluster, ray.init(address="auto") joins the running cluster.
"""
import numpy as np

import velotz

CIRCUIT = velotz.Circuit("two_rq")  # R0-p(R1,CPE1)-p(R2,CPE2)
TRUE = [10.0, 50.0, 1e-5, 0.9, 120.0, 5e-3, 0.75]


def synthetic_spectra(n, points=60, noise=0.01, seed=0):
    rng = np.random.default_rng(seed)
    f = np.logspace(5, -2, points)
    spectra = []
    for i in range(n):
        values = [v * (1 + 0.3 * i / n) if k % 3 != 0 else v for k, v in enumerate(TRUE)]
        z = CIRCUIT.with_values(values).impedance(f)
        z = z * (1 + noise * (rng.standard_normal(points) + 1j * rng.standard_normal(points)))
        spectra.append((f, z))
    return spectra


def chunks(items, size):
    return [items[i:i + size] for i in range(0, len(items), size)]


def main(n=2000, cpus=2, chunk=250):
    import ray

    # A single-thread velotz pool per Ray worker: Ray already runs one task
    # per core.
    ray.init(num_cpus=cpus, include_dashboard=False, runtime_env={"env_vars": {"RAYON_NUM_THREADS": "1"}})
    try:
        @ray.remote
        def fit_chunk(circuit, spectra):
            return velotz.fit_batch(circuit, spectra)

        circuit = ray.put(CIRCUIT)
        futures = [fit_chunk.remote(circuit, part) for part in chunks(synthetic_spectra(n), chunk)]
        results = [r for batch in ray.get(futures) for r in batch]
        table = velotz.to_dataframe(results)
        print(table[["R0.r", "R1.r", "R2.r", "cost", "success"]].describe())
        print(f"{int(table['success'].sum())} of {len(table)} fits succeeded")
    finally:
        ray.shutdown()


if __name__ == "__main__":
    main()
