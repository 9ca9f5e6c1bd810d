"""Time of one network guess (`Circuit.guess`) for networks of 16, 32 and 64
channels, optionally next to another build of the module in the same run.

    PYTHONPATH=build python3 benchmarks/bench_guess_speed.py [--peer /path/to/other/build]
        [--repeats 2000] [--rounds 7]

Each build runs in its own interpreter, alternating round by round, so that
both see the same machine load; the median over rounds of the mean time per
guess is reported, and the ratio peer / this build. Both the elapsed time and
the process's CPU time are measured: on a shared machine the CPU time is the
steadier of the two (it leaves out the time the process waited for a core).
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys

# name of a shipped network -> its circuit; channel counts are in the weight files.
CASES = [("rc", "R0-(R1,C1)", 16), ("rq", "R0-(R1,CPE1)", 32), ("sei_randles", "R0-(R1,CPE1)-(R2-W2,CPE2)", 64)]

CHILD = r"""
import json, math, sys, time
import velotz
cases, repeats = json.loads(sys.argv[1]), int(sys.argv[2])
f = [10 ** (5 - 7 * i / 59) for i in range(60)]
out = {}
for name, circuit in cases:
    c = velotz.Circuit(circuit)
    # A synthetic RC-like spectrum: what matters is the cost, not the guess.
    z = [complex(10 + 100 / (1 + (2 * math.pi * x * 1e-3) ** 2),
                 -100 * 2 * math.pi * x * 1e-3 / (1 + (2 * math.pi * x * 1e-3) ** 2)) for x in f]
    c.guess(f, z)
    t, cpu = time.perf_counter(), time.process_time()
    for _ in range(repeats):
        c.guess(f, z)
    out[name] = ((time.perf_counter() - t) / repeats, (time.process_time() - cpu) / repeats)
print(json.dumps(out))
"""


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--peer", help="another build directory (PYTHONPATH) to time alongside")
    ap.add_argument("--repeats", type=int, default=2000)
    ap.add_argument("--rounds", type=int, default=7)
    args = ap.parse_args()
    here = os.environ.get("PYTHONPATH", "")
    builds = {"this": here} | ({"peer": args.peer} if args.peer else {})
    cases = [(name, circ) for name, circ, _ in CASES]
    times: dict[str, dict[str, list[list[float]]]] = {b: {n: [] for n, _ in cases} for b in builds}
    for _ in range(args.rounds):
        for b, path in builds.items():
            env = dict(os.environ, PYTHONPATH=path)
            res = subprocess.run([sys.executable, "-c", CHILD, json.dumps(cases), str(args.repeats)],
                                 env=env, capture_output=True, text=True, check=True)
            for n, t in json.loads(res.stdout).items():
                times[b][n].append(t)
    for k, clock in enumerate(("elapsed", "cpu")):
        med = {b: {n: sorted(v[k] for v in vs)[len(vs) // 2] for n, vs in d.items()} for b, d in times.items()}
        print(f"{clock + ' time':<14}{'ch':>4}{'this µs':>10}" + (f"{'peer µs':>10}{'peer/this':>11}" if args.peer else ""))
        for name, _, ch in CASES:
            line = f"{name:<14}{ch:>4}{med['this'][name] * 1e6:>10.1f}"
            if args.peer:
                line += f"{med['peer'][name] * 1e6:>10.1f}{med['peer'][name] / med['this'][name]:>11.2f}"
            print(line)


if __name__ == "__main__":
    main()
