"""Fuzz pass over velotz.read: every reader gets damaged versions of a file
of its format -- truncated at many offsets, bytes flipped, re-encoded,
emptied, replaced by binary junk under the same extension, counts in
headers that lie -- and must either read the file or refuse it with a
ValueError, quickly. Any other exception, a crash or a hang is a finding.

    python tests/fuzz/read_fuzz.py [--per-file 200] [--seed 1] [--shared DIR]

runs the pass in a child process per sample file (so a crash or a hang is
pinned to its file) and prints JSON counts: read / refused / findings per
sample. tests/test_read.py runs a short pass in-process.
"""
import argparse
import json
import os
import random
import subprocess
import sys
import tempfile
import time
import traceback
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))  # tests/, for read_samples


def mutants(name, data, rng, count):
    """(label, file name, bytes) of `count` damaged versions of a file."""
    stem, ext = os.path.splitext(name)
    n = len(data)
    fixed = [("empty", b""), ("one byte", data[:1]), ("blank lines", b"\n\n  \r\n\t\n"),
             ("NUL bytes", b"\x00" * 256), ("junk", bytes(rng.randrange(256) for _ in range(2048))),
             ("UTF-16 with BOM", _recode(data, "utf-16")), ("UTF-16-LE without BOM", _recode(data, "utf-16-le")),
             ("UTF-8 with BOM", b"\xef\xbb\xbf" + _recode(data, "utf-8")), ("UTF-32", _recode(data, "utf-32")),
             ("CR line ends", data.replace(b"\r\n", b"\n").replace(b"\n", b"\r")),
             ("doubled", data + data), ("lying counts", _lying_counts(data))]
    for fraction in (0.01, 0.1, 0.25, 0.5, 0.75, 0.9, 0.99):
        fixed.append((f"truncated at {fraction:.0%}", data[: int(n * fraction)]))
    fixed.append(("last byte cut", data[:-1]))
    out = []
    for label, blob in fixed[:count]:
        out.append((label, f"{stem}_{len(out)}{ext}", blob))
    while len(out) < count:
        kind = rng.randrange(4)
        blob = bytearray(data)
        if kind == 0 and n:  # truncation anywhere
            cut = rng.randrange(n)
            blob = blob[:cut]
            label = f"truncated at byte {cut}"
        elif kind == 1 and n:  # flipped bytes
            k = rng.choice([1, 2, 8, 64])
            for _ in range(k):
                blob[rng.randrange(n)] ^= 1 << rng.randrange(8)
            label = f"{k} bits flipped"
        elif kind == 2 and n:  # bytes replaced by random ones
            k = rng.choice([1, 4, 32])
            for _ in range(k):
                blob[rng.randrange(n)] = rng.randrange(256)
            label = f"{k} bytes replaced"
        else:  # a slice removed or duplicated
            if n < 2:
                label = "unchanged"
            else:
                a = rng.randrange(n)
                b = min(n, a + rng.randrange(1, 200))
                blob = blob[:a] + (blob[a:b] * 2 if rng.random() < 0.5 else b"") + blob[b:]
                label = f"slice {a}:{b} removed or doubled"
        out.append((label, f"{stem}_{len(out)}{ext}", bytes(blob)))
    return out


def _recode(data, codec):
    return data.decode("latin-1").encode(codec)


def _lying_counts(data):
    """Counts and lengths in headers replaced by huge ones."""
    import re

    text = data
    text = re.sub(rb"Nb header lines : \d+", b"Nb header lines : 999999999", text)
    text = re.sub(rb"(TABLE\t)(\d+)", rb"\g<1>999999999", text)
    text = re.sub(rb"primary_data\n3\n\d+", b"primary_data\n3\n999999999", text)
    if text.startswith(b"BIO-LOGIC"):
        at = text.find(b"MODULEVMP data")
        if at > 0:
            body = at + 6 + (59 if text[at + 41:at + 45] == b"\xff\xff\xff\xff" else 51)
            text = text[:body] + b"\xff\xff\xff\x7f" + text[body + 4:]
    return text


def run_case(velotz, path):
    """'read', 'refused' or a finding (a string)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            velotz.read(path, backend="numpy")
        except ValueError:
            return "refused"
        except Exception:  # noqa: BLE001 - the finding itself
            return "finding: " + traceback.format_exc(limit=4)
    return "read"


def run_file(name, data, per_file, seed, workdir):
    import velotz

    rng = random.Random(f"{seed}:{name}")
    counts = {"read": 0, "refused": 0}
    findings = []
    slowest = 0.0
    for label, fname, blob in mutants(name, data, rng, per_file):
        path = os.path.join(workdir, fname)
        with open(path, "wb") as handle:
            handle.write(blob)
        start = time.perf_counter()
        outcome = run_case(velotz, path)
        slowest = max(slowest, time.perf_counter() - start)
        os.unlink(path)
        if outcome.startswith("finding"):
            findings.append({"case": label, "file": fname, "error": outcome})
        else:
            counts[outcome] += 1
    return {"counts": counts, "findings": findings, "slowest_s": round(slowest, 3)}


def samples(shared):
    import read_samples

    out = {f"synthetic {k}": v for k, v in read_samples.every_format().items()}
    if shared and os.path.isdir(shared):
        for fname in sorted(os.listdir(shared)):
            if fname.lower().endswith(".md"):
                continue
            with open(os.path.join(shared, fname), "rb") as handle:
                out[f"shared {fname}"] = (fname, handle.read())
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--per-file", type=int, default=200)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--shared", default=os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(HERE))),
                                                    "shared", "data", "instruments"))
    ap.add_argument("--timeout", type=float, default=300)
    ap.add_argument("--child", help=argparse.SUPPRESS)
    args = ap.parse_args()
    everything = samples(args.shared)
    if args.child is not None:
        name, data = everything[args.child]
        with tempfile.TemporaryDirectory() as workdir:
            print(json.dumps(run_file(name, data, args.per_file, args.seed, workdir)))
        return 0
    report, failed = {}, False
    for key in everything:
        cmd = [sys.executable, os.path.abspath(__file__), "--child", key, "--per-file", str(args.per_file),
               "--seed", str(args.seed), "--shared", args.shared]
        try:
            done = subprocess.run(cmd, capture_output=True, text=True, timeout=args.timeout)
        except subprocess.TimeoutExpired:
            report[key] = {"hang": True}
            failed = True
            continue
        if done.returncode != 0:
            report[key] = {"crash": done.returncode, "stderr": done.stderr[-2000:]}
            failed = True
            continue
        result = json.loads(done.stdout)
        failed |= bool(result["findings"])
        report[key] = result
    totals = {"read": 0, "refused": 0, "findings": 0, "files": len(report)}
    for r in report.values():
        if "counts" in r:
            totals["read"] += r["counts"]["read"]
            totals["refused"] += r["counts"]["refused"]
            totals["findings"] += len(r["findings"])
        else:
            totals["findings"] += 1
    print(json.dumps({"totals": totals, "files": report}, indent=1))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
