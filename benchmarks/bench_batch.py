"""Throughput of fit_batch against a Python loop of fit(), scipy and impedance.py.

2000 synthetic spectra per topology (randles and two_rq; 60 points from
10 mHz to 100 kHz; open-bound values drawn log-uniformly within a factor 2
of a reference; 1 % complex noise; fixed numpy seed). Every velotz fit
starts from the trained network's guess, as `fit(f, z)` does by default.
In the same run:

  - batch, 1 thread:   velotz.fit_batch in a child process with
                       RAYON_NUM_THREADS=1;
  - batch, N threads:  velotz.fit_batch in a child process with the
                       default pool (one thread per available CPU);
  - fit() loop:        a Python loop of Circuit.fit in a child process
                       with the default pool;
  - scipy loop:        scipy.optimize.least_squares (method "trf", the same
                       bounds and modulus-weighted residuals, the model
                       written in numpy) on a sample, started from the same
                       network guess (the guess is not timed: in scipy's
                       favour);
  - impedance.py loop: CustomCircuit.fit(weight_by_modulus=True) on a
                       smaller sample, started from the same guess.

Fits per second are medians over --repeats runs of the same work (the
velotz runs alternate between child processes, so that a shared machine's
changing load hits them alike); CPU ms/fit is the process CPU time over
all its threads per fit, which shows the cost of spreading the work
independently of how busy the machine is, and fits/s/core is its
inverse: fits per CPU-second, the throughput one core gives. The children run with
OPENBLAS_NUM_THREADS=1 (unless set): numpy's spinning BLAS threads would
otherwise compete with the fitting threads for the same cores. The
median final cost (0.5 * sum r^2 of the modulus-weighted residuals,
recomputed with one numpy function, over the same sample of spectra for
every tool) shows that the tools reach comparable fits. Then the memory check: --memory-fits fits in batches of --spectra,
resident set size (RSS) after each batch.

    nice -n 10 python3 benchmarks/bench_batch.py [--spectra 2000] [--repeats 3]
        [--scipy-sample 200] [--impedance-sample 40] [--memory-fits 100000]
"""
import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys
import time
import warnings

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from numpy_models import model_randles, model_two_rq, modulus_weighted_cost  # noqa: E402

# name -> (numpy model, impedance.py circuit text, reference values in
# velotz's parameter order)
CASES = {
    "randles": (model_randles, "R0-p(R1-W1,CPE1)", [10.0, 100.0, 50.0, 1e-5, 0.9]),
    "two_rq": (model_two_rq, "R0-p(R1,CPE1)-p(R2,CPE2)", [10.0, 50.0, 1e-5, 0.9, 120.0, 5e-3, 0.75]),
}
POINTS = 60


def spectra_for(name, n, seed=20261207):
    """(f, list of z arrays, list of true vectors): the same data in every
    process."""
    import velotz

    model, _, ref = CASES[name]
    bounds = velotz.Circuit(name).param_bounds()
    rng = np.random.default_rng(seed + (0 if name == "randles" else 1))
    f = np.logspace(-2, 5, POINTS)
    w = 2 * np.pi * f
    zs, truths = [], []
    for _ in range(n):
        p = np.array([v * 2.0 ** rng.uniform(-1, 1) if np.isinf(hi) else v for v, (lo, hi) in zip(ref, bounds)])
        noise = rng.standard_normal(POINTS) + 1j * rng.standard_normal(POINTS)
        zs.append(model(p, w) * (1 + 0.01 * noise))
        truths.append(p)
    return f, zs, truths


def cpu_seconds():
    """CPU time of this process, all threads (user + system), read with
    nanosecond resolution (os.times() counts whole clock ticks of 10 ms)."""
    return time.process_time()


def rss_mib():
    with open(f"/proc/{os.getpid()}/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


# ---------------------------------------------------------------- child process work

def child(mode, name, n, repeats, memory_fits):
    import velotz

    f, zs, _ = spectra_for(name, n)
    model = CASES[name][0]
    w = 2 * np.pi * f
    circuit = velotz.Circuit(name)
    spectra = [(f, z) for z in zs]
    out = {"threads": os.environ.get("RAYON_NUM_THREADS", "default")}
    # Untimed warm-up on a tenth of the spectra: the network is loaded,
    # every thread's working arrays and allocator arena set up and the cores
    # busy before the clock starts, so the timed run measures steady
    # throughput and not a process's first steps (without it the first
    # two-thread batch ran about 6 % slower than the ones after it).
    warm = spectra[: max(n // 10, 4 * (os.cpu_count() or 1))]
    if mode == "loop":
        for fz in warm:
            circuit.fit(*fz)
    elif mode == "batch":
        velotz.fit_batch(circuit, warm)
    if mode == "batch":
        times, cpu = [], []
        for _ in range(repeats):
            c0, t0 = cpu_seconds(), time.perf_counter()
            batch = velotz.fit_batch(circuit, spectra)
            times.append(time.perf_counter() - t0)
            cpu.append(cpu_seconds() - c0)
        out["fits_per_s"] = n / statistics.median(times)
        out["cpu_ms_per_fit"] = 1e3 * statistics.median(cpu) / n
        out["failed"] = len(batch.errors)
        out["costs"] = [modulus_weighted_cost(model, [r.params[k] for k in circuit.param_names()], w, z)
                        for r, z in zip(batch, zs)]
    elif mode == "loop":
        times, cpu = [], []
        for _ in range(repeats):
            c0, t0 = cpu_seconds(), time.perf_counter()
            for fz in spectra:
                circuit.fit(*fz)
            times.append(time.perf_counter() - t0)
            cpu.append(cpu_seconds() - c0)
        out["fits_per_s"] = n / statistics.median(times)
        out["cpu_ms_per_fit"] = 1e3 * statistics.median(cpu) / n
    elif mode == "memory":
        # Same spectra over and over, batch after batch: RSS after each.
        rss = []
        done = 0
        while done < memory_fits:
            velotz.fit_batch(circuit, spectra)
            done += n
            rss.append(rss_mib())
        out["rss_mib"] = rss
        out["fits"] = done
    print(json.dumps(out))


def run_child(mode, name, n, repeats, memory_fits=0, threads=None):
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    # numpy's OpenBLAS keeps worker threads that spin for a while after
    # each call it spreads; in a child that fits on every core they would
    # take cycles from the fitting threads and hide how the batch scales.
    env.setdefault("OPENBLAS_NUM_THREADS", "1")
    if threads is not None:
        env["RAYON_NUM_THREADS"] = str(threads)
    cmd = [sys.executable, __file__, "--child", mode, "--name", name, "--spectra", str(n), "--repeats",
           str(repeats), "--memory-fits", str(memory_fits)]
    done = subprocess.run(cmd, env=env, capture_output=True, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------- peers (this process)

def scipy_loop(name, f, zs, starts, repeats):
    import velotz
    from scipy.optimize import least_squares

    model = CASES[name][0]
    w = 2 * np.pi * f
    bounds = velotz.Circuit(name).param_bounds()
    lo = [b[0] for b in bounds]
    hi = [b[1] for b in bounds]
    times, costs = [], []
    for rep in range(repeats):
        t0 = time.perf_counter()
        for z, start in zip(zs, starts):
            weight = np.abs(z)

            def residuals(p, z=z, weight=weight):
                d = (model(p, w) - z) / weight
                return np.concatenate([d.real, d.imag])

            x0 = np.clip(start, np.array(lo) * (1 + 1e-9) + 1e-15, np.array(hi) - 1e-9)
            res = least_squares(residuals, x0, bounds=(lo, hi), method="trf", x_scale="jac")
            if rep == 0:
                costs.append(modulus_weighted_cost(model, res.x, w, z))
        times.append(time.perf_counter() - t0)
    return len(zs) / statistics.median(times), statistics.median(costs)


def impedance_loop(name, f, zs, starts):
    try:
        from impedance.models.circuits import CustomCircuit
    except ImportError:
        return None, None
    model, text, _ = CASES[name]
    w = 2 * np.pi * f
    costs = []
    t0 = time.perf_counter()
    for z, start in zip(zs, starts):
        peer = CustomCircuit(text, initial_guess=list(start))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            peer.fit(f, z, weight_by_modulus=True)
        costs.append(modulus_weighted_cost(model, peer.parameters_, w, z))
    return len(zs) / (time.perf_counter() - t0), statistics.median(costs)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--spectra", type=int, default=2000)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--scipy-sample", type=int, default=200)
    ap.add_argument("--impedance-sample", type=int, default=40)
    ap.add_argument("--memory-fits", type=int, default=100000)
    ap.add_argument("--names", nargs="*", default=list(CASES))
    ap.add_argument("--child")
    ap.add_argument("--name")
    args = ap.parse_args()
    if args.child:
        child(args.child, args.name, args.spectra, args.repeats, args.memory_fits)
        return

    import velotz

    cpus = len(os.sched_getaffinity(0))
    print(f"{args.spectra} spectra per topology, {POINTS} points, 1 % noise, fits from the network guess; "
          f"{cpus} CPUs, load average {os.getloadavg()[0]:.1f}; fits/s are medians of {args.repeats} runs")
    header = (f"{'topology':9s} {'tool':24s} {'fits/s':>10s} {'x 1-thread batch':>17s} {'median cost':>12s} "
              f"{'CPU ms/fit':>8s} {'fits/s/core':>11s}")
    print(header)
    print("-" * len(header))
    for name in args.names:
        # The three child runs alternate, one repeat each, so that a change
        # of load on a shared machine hits them alike; medians across repeats.
        runs = {"one": [], "full": [], "loop": []}
        for _ in range(args.repeats):
            runs["one"].append(run_child("batch", name, args.spectra, 1, threads=1))
            runs["full"].append(run_child("batch", name, args.spectra, 1))
            runs["loop"].append(run_child("loop", name, args.spectra, 1))
        one, full, loop = ({k: (statistics.median(r[k] for r in rs) if k not in ("threads", "costs") else rs[0][k])
                            for k in rs[0]} for rs in runs.values())
        f, zs, _ = spectra_for(name, args.spectra)
        circuit = velotz.Circuit(name)
        sample = zs[: args.scipy_sample]
        starts = [circuit.guess(f, z) for z in sample]
        sp_rate, sp_cost = scipy_loop(name, f, sample, starts, args.repeats)
        imp_rate, imp_cost = impedance_loop(name, f, zs[: args.impedance_sample], starts[: args.impedance_sample])
        base = one["fits_per_s"]
        # Costs compare over the scipy sample, the same spectra for every tool
        # (impedance.py: its smaller sample).
        k = len(sample)
        rows = [("fit_batch, 1 thread", one["fits_per_s"], statistics.median(one["costs"][:k]), one["cpu_ms_per_fit"]),
                (f"fit_batch, {cpus} threads", full["fits_per_s"], statistics.median(full["costs"][:k]),
                 full["cpu_ms_per_fit"]),
                ("Python loop of fit()", loop["fits_per_s"], None, loop["cpu_ms_per_fit"]),
                (f"scipy loop ({len(sample)})", sp_rate, sp_cost, None)]
        if imp_rate is not None:
            rows.append((f"impedance.py ({args.impedance_sample})", imp_rate, imp_cost, None))
            rows.append((f"  velotz on that sample", full["fits_per_s"],
                         statistics.median(full["costs"][:args.impedance_sample]), None))
        for tool, rate, cost, cpu_ms in rows:
            c = "" if cost is None else f"{cost:12.4e}"
            m = "" if cpu_ms is None else f"{cpu_ms:8.3f}"
            # Fits per second per core: fits per CPU-second over all threads.
            per_core = "" if cpu_ms is None else f"{1e3 / cpu_ms:11.0f}"
            print(f"{name:9s} {tool:24s} {rate:10.1f} {rate / base:17.2f} {c:>12s} {m:>8s} {per_core:>11s}")
        print(f"{name:9s} batch on all threads vs scipy loop: {full['fits_per_s'] / sp_rate:.1f}x; "
              f"vs Python loop of fit(): {full['fits_per_s'] / loop['fits_per_s']:.2f}x; "
              f"failed spectra: {full['failed']}; fits per second per core: "
              f"{1e3 / one['cpu_ms_per_fit']:.0f} (1 thread), {1e3 / full['cpu_ms_per_fit']:.0f} ({cpus} threads)")
    if args.memory_fits:
        mem = run_child("memory", args.names[0], args.spectra, 1, memory_fits=args.memory_fits)
        rss = mem["rss_mib"]
        print(f"memory: {mem['fits']} fits of {args.names[0]} in batches of {args.spectra}: RSS after the first "
              f"batch {rss[0]:.1f} MiB, after the last {rss[-1]:.1f} MiB, max {max(rss):.1f} MiB")


if __name__ == "__main__":
    main()
