"""Time of one network guess (`Circuit.guess`) next to the time of the fit
that follows it, per trained network, optionally next to another build of
the module in the same run.

    PYTHONPATH=build python3 benchmarks/bench_guess_speed.py [--peer /path/to/other/build]
        [--repeats 2000] [--rounds 7] [--names rq randles]

Each network is timed on a 60-point spectrum of its own circuit (the
circuit's placeholder values, 1 % deterministic ripple so that the fit has
work to do): the guess, and the fit started from that guess
(`with_values(guess).fit(f, z, guess_init=False)`, the fit a default fit
runs after its guess), and the whole default fit (`fit(f, z)`, guess
included). Each build runs in its own interpreter, alternating
round by round, so that both see the same machine load; the median over
rounds of the mean time per call is reported, and the ratio peer / this
build. Both the elapsed time and the process's CPU time are measured: on a
shared machine the CPU time is the steadier of the two (it leaves out the
time the process waited for a core).
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys

NAMES = ["rc", "rc_l", "rq", "rq_l", "two_rc", "two_rc_l", "two_rq", "two_rq_l", "randles", "sei_randles",
         "sei_randles_wo"]

CHILD = r"""
import json, math, sys, time
import velotz
names, repeats = json.loads(sys.argv[1]), int(sys.argv[2])
f = [10 ** (5 - 7 * i / 59) for i in range(60)]
out = {}
for name in names:
    c = velotz.Circuit(name)
    z = [v * (1 + 0.01 * math.sin(3.7 * i)) for i, v in enumerate(c.impedance(f).tolist())]
    g = c.guess(f, z)
    start = c.with_values(g)
    start.fit(f, z, guess_init=False)
    row = []
    for call in (lambda: c.guess(f, z), lambda: start.fit(f, z, guess_init=False), lambda: c.fit(f, z)):
        t, cpu = time.perf_counter(), time.process_time()
        for _ in range(repeats):
            call()
        row.append(((time.perf_counter() - t) / repeats, (time.process_time() - cpu) / repeats))
    out[name] = row
print(json.dumps(out))
"""


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--peer", help="another build directory (PYTHONPATH) to time alongside")
    ap.add_argument("--repeats", type=int, default=2000)
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--names", nargs="*", default=NAMES)
    args = ap.parse_args()
    here = os.environ.get("PYTHONPATH", "")
    builds = {"this": here} | ({"peer": args.peer} if args.peer else {})
    # times[build][name][call] = list of (elapsed, cpu) per round; call 0 guess, 1 fit, 2 default fit
    times: dict[str, dict[str, list[list[tuple[float, float]]]]] = {
        b: {n: [[], [], []] for n in args.names} for b in builds}
    for _ in range(args.rounds):
        for b, path in builds.items():
            env = dict(os.environ, PYTHONPATH=path)
            res = subprocess.run([sys.executable, "-c", CHILD, json.dumps(args.names), str(args.repeats)],
                                 env=env, capture_output=True, text=True, check=True)
            for n, row in json.loads(res.stdout).items():
                for k in range(3):
                    times[b][n][k].append(tuple(row[k]))
    for k, clock in enumerate(("elapsed", "cpu")):
        def med(b: str, n: str, call: int) -> float:
            v = sorted(t[k] for t in times[b][n][call])
            return v[len(v) // 2]

        head = f"{clock + ' µs':<16}{'guess':>9}{'fit':>9}{'guess/fit':>10}{'default':>9}"
        if args.peer:
            head += f"{'peer guess':>11}{'peer fit':>10}{'peer default':>13}{'peer/this guess':>16}{'default':>9}"
        print(head)
        for n in args.names:
            g, fit, d = (med("this", n, k) * 1e6 for k in range(3))
            line = f"{n:<16}{g:>9.1f}{fit:>9.1f}{g / fit:>10.2f}{d:>9.1f}"
            if args.peer:
                pg, pf, pd = (med("peer", n, k) * 1e6 for k in range(3))
                line += f"{pg:>11.1f}{pf:>10.1f}{pd:>13.1f}{pg / g:>16.2f}{pd / d:>9.2f}"
            print(line)
        print()


if __name__ == "__main__":
    main()
