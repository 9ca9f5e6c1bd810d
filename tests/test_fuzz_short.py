"""A short run of the fuzzing harness (tests/fuzz/velotz_fuzz.py): a few
thousand parser texts, weight files, numeric-argument, constraint, batch,
analysis and pickle-state cases, in child processes. The long run for releases is described in the README."""
import json
import os
import subprocess
import sys

HARNESS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fuzz", "velotz_fuzz.py")


def test_short_fuzz_run_finds_nothing():
    counts = {"parser": 3000, "weights": 500, "numeric": 1500, "constraints": 500, "batch": 200, "analysis": 300,
              "state": 500}
    args = [a for category, count in counts.items()
            for a in ("--" + ("batch-cases" if category == "batch" else category), str(count))]
    out = subprocess.run([sys.executable, HARNESS, *args, "--seed", "11", "--timeout", "120"],
                         capture_output=True, text=True, timeout=600)
    report = json.loads(out.stdout)
    for category, count in counts.items():
        r = report[category]
        assert r["crashes"] == [] and r["hangs"] == [] and r["findings"] == [], r
        # Every case ran to an outcome, and the generators reach both sides.
        assert sum(r["outcomes"].values()) == count
        assert r["outcomes"].get("accepted", 0) > count // 20, r["outcomes"]
    assert out.returncode == 0


def test_harness_reports_a_crashing_case(tmp_path):
    # A stand-in module whose Circuit kills the process on one text shows that a
    # crash is caught, pinned to its case and skipped over.
    fake = tmp_path / "velotz"
    fake.mkdir()
    (fake / "__init__.py").write_text(
        "import os\n"
        "class Circuit:\n"
        "    def __init__(self, s):\n"
        "        if '(' in s and ')' not in s: os.abort()\n"
        "        raise ValueError('refused')\n")
    env = dict(os.environ, PYTHONPATH=str(tmp_path))
    out = subprocess.run([sys.executable, HARNESS, "--parser", "300", "--weights", "0", "--numeric", "0", "--constraints", "0", "--batch-cases", "0", "--analysis", "0", "--state", "0",
                          "--seed", "3"], capture_output=True, text=True, timeout=300, env=env)
    report = json.loads(out.stdout)
    crashes = report["parser"]["crashes"]
    assert out.returncode == 1 and crashes
    assert all(c["returncode"] < 0 for c in crashes)
    # Each reported case really is one of the aborting texts.
    sys.path.insert(0, os.path.dirname(HARNESS))
    import random
    import velotz_fuzz
    for c in crashes:
        index = int(c["case"].split(":")[1])
        text = velotz_fuzz.parser_text(random.Random(f"3:parser:{index}"))
        assert "(" in text and ")" not in text
    assert sum(report["parser"]["outcomes"].values()) + len(crashes) == 300


def test_harness_reports_a_hanging_case(tmp_path):
    fake = tmp_path / "velotz"
    fake.mkdir()
    (fake / "__init__.py").write_text(
        "import time\n"
        "class Circuit:\n"
        "    def __init__(self, s):\n"
        "        if '\\U0001f600' in s: time.sleep(600)\n"
        "        raise ValueError('refused')\n")
    env = dict(os.environ, PYTHONPATH=str(tmp_path))
    out = subprocess.run([sys.executable, HARNESS, "--parser", "60", "--weights", "0", "--numeric", "0", "--constraints", "0", "--batch-cases", "0", "--analysis", "0", "--state", "0",
                          "--seed", "2", "--timeout", "2"], capture_output=True, text=True, timeout=120, env=env)
    report = json.loads(out.stdout)
    # Case 39 is the only text with that character among the first 60 of seed 2.
    assert report["parser"]["hangs"] == [{"case": "parser:39", "timeout_s": 2.0}]
    assert report["parser"]["outcomes"] == {"refused": 59}
    assert out.returncode == 1
