"""The type stubs: mypy --strict passes on the examples and on a file that
uses every public function as documented; that file also runs."""
import os
import runpy
import subprocess
import sys
from pathlib import Path

import pytest

import velotz

pytest.importorskip("mypy")
pytest.importorskip("matplotlib")

ROOT = Path(__file__).resolve().parents[1]
FILES = sorted((ROOT / "examples").glob("*.py")) + [ROOT / "tests" / "typing_usage.py"]


def mypy_env():
    env = dict(os.environ)
    package_parent = Path(velotz.__file__).resolve().parents[1]
    # An installed package is found through site-packages; a build tree
    # (PYTHONPATH=build) through MYPYPATH.
    if "site-packages" not in package_parent.parts and "dist-packages" not in package_parent.parts:
        env["MYPYPATH"] = str(package_parent)
    return env


def test_stubs_cover_the_public_surface():
    stub = (Path(velotz.__file__).parent / "__init__.pyi").read_text()
    assert (Path(velotz.__file__).parent / "py.typed").exists()
    public = [n for n in vars(velotz) if not n.startswith("_")] + ["__version__"]
    missing = [n for n in public if f"\ndef {n}(" not in stub and f"\nclass {n}" not in stub
               and f"\n{n} = " not in stub and f"\n{n}: " not in stub]
    assert missing == []


def test_mypy_strict(tmp_path):
    # One run over all files: mypy reads numpy's stubs once.
    out = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path)]
                         + [str(p) for p in FILES],
                         capture_output=True, text=True, env=mypy_env(), cwd=tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr
    assert f"no issues found in {len(FILES)} source files" in out.stdout


def test_typing_usage_runs():
    runpy.run_path(str(ROOT / "tests" / "typing_usage.py"), run_name="__main__")
