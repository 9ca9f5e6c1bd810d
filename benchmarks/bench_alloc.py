"""Heap allocations per call as Python sees them: malloc calls (malloc,
calloc, realloc, posix_memalign, aligned_alloc, memalign) counted by a small
shim preloaded into a child process (built here with the C compiler, in a
temporary directory).

For each topology (60-point synthetic spectra) the child makes --warm
untimed calls of each kind, then counts the allocations of --calls calls:
  - default fit: Circuit.fit(f, z), its network guess included;
  - fit alone:   the fit from that guess (guess_init=False);
  - guess:       Circuit.guess(f, z);
  - batch:        velotz.fit_batch(circuit, spectra) over --batch spectra of
                  the topology (each from its network guess), per spectrum.
Each count covers the whole call: argument conversion, the guess, the fit
and the result object. Small Python objects come from Python's own pools
and are not counted; the interpreter's own larger blocks are.

    PYTHONPATH=build-dev python3 benchmarks/bench_alloc.py [--calls 200] [--warm 5] [--batch 40]
"""
import argparse
import ctypes
import json
import os
import pathlib
import subprocess
import sys
import tempfile

SHIM = r"""
#include <stddef.h>
#include <stdatomic.h>
extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
extern void* __libc_memalign(size_t, size_t);
static _Atomic unsigned long count;
static void tick(void) { atomic_fetch_add_explicit(&count, 1, memory_order_relaxed); }
void* malloc(size_t n) { tick(); return __libc_malloc(n); }
void* calloc(size_t a, size_t b) { tick(); return __libc_calloc(a, b); }
void* realloc(void* p, size_t n) { tick(); return __libc_realloc(p, n); }
void* memalign(size_t a, size_t n) { tick(); return __libc_memalign(a, n); }
void* aligned_alloc(size_t a, size_t n) { tick(); return __libc_memalign(a, n); }
int posix_memalign(void** out, size_t a, size_t n) {
    tick();
    void* p = __libc_memalign(a, n);
    if (!p) return 12;
    *out = p;
    return 0;
}
unsigned long bench_alloc_count(void) { return atomic_load(&count); }
"""

CASES = {
    "rq": [10.0, 100.0, 1e-5, 0.85],
    "randles": [10.0, 100.0, 50.0, 1e-5, 0.9],
    "sei_randles_wo": [10.0, 30.0, 1e-6, 0.9, 100.0, 40.0, 20.0, 1e-4, 0.85],
}


def child(calls, warm, batch):
    import numpy as np

    import velotz

    count = ctypes.CDLL(None).bench_alloc_count
    count.restype = ctypes.c_ulong
    f = np.logspace(-2, 5, 60)
    rng = np.random.default_rng(5)
    out = {}
    for name, truth in CASES.items():
        circuit = velotz.Circuit(name)
        z = np.asarray(circuit.with_values(truth).impedance(f))
        z = z * (1 + 0.01 * (rng.standard_normal(len(f)) + 1j * rng.standard_normal(len(f))))
        guess = circuit.guess(f, z)
        started = circuit.with_values(guess)
        spectra = [(f, z * (1 + 0.002 * k)) for k in range(batch)]
        kinds = {
            "default fit": (lambda: circuit.fit(f, z), 1),
            "fit alone": (lambda: started.fit(f, z, guess_init=False), 1),
            "guess": (lambda: circuit.guess(f, z), 1),
            "batch": (lambda: velotz.fit_batch(circuit, spectra), batch),
        }
        row = {}
        for kind, (call, per_call) in kinds.items():
            for _ in range(warm):
                call()
            repeat = max(calls // per_call, 1)
            kept = []  # results stay alive, as a user's would; freed after the count
            before = count()
            for _ in range(repeat):
                kept.append(call())
            row[kind] = (count() - before) / (repeat * per_call)
            del kept
        out[name] = row
    print(json.dumps(out))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--calls", type=int, default=200)
    ap.add_argument("--warm", type=int, default=5)
    ap.add_argument("--batch", type=int, default=40)
    ap.add_argument("--child", action="store_true")
    args = ap.parse_args()
    if args.child:
        child(args.calls, args.warm, args.batch)
        return
    with tempfile.TemporaryDirectory() as tmp:
        src = pathlib.Path(tmp) / "count.c"
        lib = pathlib.Path(tmp) / "libcount.so"
        src.write_text(SHIM)
        cc = os.environ.get("CC", "cc")
        subprocess.run([cc, "-O2", "-shared", "-fPIC", "-o", str(lib), str(src)], check=True)
        env = dict(os.environ, LD_PRELOAD=str(lib))
        done = subprocess.run([sys.executable, __file__, "--child", "--calls", str(args.calls), "--warm",
                               str(args.warm), "--batch", str(args.batch)], env=env, capture_output=True, text=True, check=True)
    counts = json.loads(done.stdout.strip().splitlines()[-1])
    kinds = list(next(iter(counts.values())))
    print(f"malloc calls per call, mean of {args.calls} calls after {args.warm} warm-up calls")
    header = f"{'topology':16s}" + "".join(f" {k:>12s}" for k in kinds)
    print(header)
    print("-" * len(header))
    for name, row in counts.items():
        print(f"{name:16s}" + "".join(f" {row[k]:12.1f}" for k in kinds))


if __name__ == "__main__":
    main()
