"""Impedance evaluation speed: velotz against the same model in vectorised numpy.

Evaluates R0-(R1,CPE1)-(R2-W2,CPE2) over 10^6 frequencies, several times
each, and prints the median nanoseconds per frequency and the ratio.
Run: python benchmarks/bench_impedance.py [--n 1000000] [--repeats 7]
For a single-thread comparison: RAYON_NUM_THREADS=1 python benchmarks/bench_impedance.py

With --topologies: the benchmark topologies of bench_fit.py (rq, randles,
sei_randles_wo) at 10^2, 10^3 and 10^5 frequencies, CPU time
(time.process_time, all threads) per call, median and range of --repeats
rounds (each round times a loop of calls lasting at least --min-time s),
against numpy's plain expression (numpy_models.py) and a hand-optimised
numpy expression (real powers of ω times the constant direction of j^α, the
parallel combinations written out).
Run: RAYON_NUM_THREADS=1 python benchmarks/bench_impedance.py --topologies
With --calls K --only NAME --n N: only K evaluations of one topology (for
counting instructions under valgrind --tool=callgrind).
"""
import argparse
import os
import statistics
import time

import numpy as np

import velotz

import numpy_models

VALUES = {"R0.r": 10.0, "R1.r": 50.0, "CPE1.q": 1e-4, "CPE1.alpha": 0.85,
          "R2.r": 80.0, "W2.aw": 30.0, "CPE2.q": 1e-3, "CPE2.alpha": 0.9}


def numpy_model(f, p):
    s = 1j * 2 * np.pi * f
    w = 2 * np.pi * f
    cpe1 = 1 / (p["CPE1.q"] * s ** p["CPE1.alpha"])
    cpe2 = 1 / (p["CPE2.q"] * s ** p["CPE2.alpha"])
    warburg = p["W2.aw"] / np.sqrt(w) * (1 - 1j)
    par1 = 1 / (1 / p["R1.r"] + 1 / cpe1)
    par2 = 1 / (1 / (p["R2.r"] + warburg) + 1 / cpe2)
    return p["R0.r"] + par1 + par2


TOPOLOGIES = {
    "rq": ("R0-(R1,CPE1)", numpy_models.model_rq, [10.0, 100.0, 1e-5, 0.85]),
    "randles": ("R0-(R1-W1,CPE1)", numpy_models.model_randles, [10.0, 100.0, 50.0, 1e-5, 0.9]),
    "sei_randles_wo": ("R0-(R1,CPE1)-(R2-Wo2,CPE2)", numpy_models.model_sei_wo,
                       [10.0, 30.0, 1e-6, 0.9, 100.0, 40.0, 20.0, 1e-4, 0.85]),
}


def _cpe_admittance(q, a, w):
    # q·(jω)^α = q·ω^α·(cos απ/2 + j sin απ/2): one real power per frequency.
    return (q * w ** a) * np.exp(0.5j * np.pi * a)


def _tuned_rq(p, w):
    return p[0] + 1 / (1 / p[1] + _cpe_admittance(p[2], p[3], w))


def _tuned_randles(p, w):
    zw = (p[2] / np.sqrt(w)) * (1 - 1j)
    return p[0] + 1 / (1 / (p[1] + zw) + _cpe_admittance(p[3], p[4], w))


def _tuned_sei_wo(p, w):
    u = np.sqrt(1j * w * p[6])
    zwo = p[5] / (u * np.tanh(u))
    return (p[0] + 1 / (1 / p[1] + _cpe_admittance(p[2], p[3], w))
            + 1 / (1 / (p[4] + zwo) + _cpe_admittance(p[7], p[8], w)))


TUNED = {"rq": _tuned_rq, "randles": _tuned_randles, "sei_randles_wo": _tuned_sei_wo}


def cpu_per_call(fn, repeats, min_time):
    """Median and range of the CPU seconds per call over `repeats` rounds."""
    fn()
    calls = 1
    while True:
        t0 = time.process_time()
        for _ in range(calls):
            fn()
        if time.process_time() - t0 >= min_time / 4:
            break
        calls *= 4
    rounds = []
    for _ in range(repeats):
        t0 = time.process_time()
        k = 0
        while k < calls or time.process_time() - t0 < min_time:
            fn()
            k += 1
        rounds.append((time.process_time() - t0) / k)
    return statistics.median(rounds), min(rounds), max(rounds)


def topologies(args):
    sizes = [100, 1000, 100_000]
    print(f"CPU time per call (process_time), median [min-max] of {args.repeats} rounds; "
          f"velotz threads: {os.environ.get('RAYON_NUM_THREADS', 'all available')}")
    print(f"{'topology':16s} {'n':>7s} {'velotz ns/f':>22s} {'numpy ns/f':>22s} {'tuned ns/f':>22s} "
          f"{'numpy/velotz':>12s} {'tuned/velotz':>12s}")
    for name, (text, model, values) in TOPOLOGIES.items():
        circuit = velotz.Circuit(text).with_values(values)
        tuned = TUNED[name]
        p = np.array(values)
        for n in sizes:
            f = np.logspace(-2, 6, n)
            w = 2 * np.pi * f
            ours = np.asarray(circuit.impedance(f))
            for other in (model(p, w), tuned(p, w)):
                assert np.allclose(ours, other, rtol=1e-12, atol=0), name
            t = [cpu_per_call(fn, args.repeats, args.min_time)
                 for fn in (lambda: circuit.impedance(f), lambda: model(p, 2 * np.pi * f),
                            lambda: tuned(p, 2 * np.pi * f))]
            cells = [f"{m / n * 1e9:7.2f} [{lo / n * 1e9:.2f}-{hi / n * 1e9:.2f}]" for m, lo, hi in t]
            print(f"{name:16s} {n:7d} {cells[0]:>22s} {cells[1]:>22s} {cells[2]:>22s} "
                  f"{t[1][0] / t[0][0]:12.2f} {t[2][0] / t[0][0]:12.2f}", flush=True)


def median_time(fn, repeats):
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--repeats", type=int, default=7)
    ap.add_argument("--topologies", action="store_true")
    ap.add_argument("--min-time", type=float, default=0.2)
    ap.add_argument("--calls", type=int, default=0)
    ap.add_argument("--only", default="randles")
    args = ap.parse_args()
    if args.calls:
        text, _, values = TOPOLOGIES[args.only]
        circuit = velotz.Circuit(text).with_values(values)
        f = np.logspace(-2, 6, args.n)
        for _ in range(args.calls):
            circuit.impedance(f)
        return
    if args.topologies:
        topologies(args)
        return

    circuit = velotz.Circuit("R0-(R1,CPE1)-(R2-W2,CPE2)").with_named_values(VALUES)
    f = np.logspace(-3, 6, args.n)
    ours = circuit.impedance(f)
    ref = numpy_model(f, VALUES)
    err = np.max(np.abs(ours - ref) / np.abs(ref))
    t_velotz = median_time(lambda: circuit.impedance(f), args.repeats)
    t_numpy = median_time(lambda: numpy_model(f, VALUES), args.repeats)
    threads = os.environ.get("RAYON_NUM_THREADS", "all available")
    print(f"circuit R0-(R1,CPE1)-(R2-W2,CPE2), {args.n} frequencies, median of {args.repeats}; "
          f"velotz threads: {threads}")
    print(f"max relative difference velotz vs numpy: {err:.2e}")
    print(f"velotz  {t_velotz / args.n * 1e9:8.1f} ns/frequency")
    print(f"numpy   {t_numpy / args.n * 1e9:8.1f} ns/frequency")
    print(f"ratio numpy/velotz: {t_numpy / t_velotz:.2f}x")


if __name__ == "__main__":
    main()
