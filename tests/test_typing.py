"""The type stubs: mypy --strict passes on the examples and on a file that
uses every public function as documented; that file also runs."""
import ast
import os
import runpy
import subprocess
import sys
from pathlib import Path

import pytest

import velotz

pytest.importorskip("mypy", reason="mypy is an optional package that is not installed here (the PyPy lane installs numpy and pytest only)")
pytest.importorskip("matplotlib", reason="matplotlib is an optional package that is not installed here (the PyPy lane installs numpy and pytest only)")

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


def _stub_classes():
    """{class name: names it defines, its own and its stub bases'} and the
    module-level aliases (R = Element_R) of the stub."""
    tree = ast.parse((Path(velotz.__file__).parent / "__init__.pyi").read_text())
    own, bases, aliases = {}, {}, {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            names = set()
            for item in node.body:
                if isinstance(item, (ast.FunctionDef, ast.AsyncFunctionDef)):
                    names.add(item.name)
                elif isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
                    names.add(item.target.id)
            own[node.name] = names
            bases[node.name] = [b.id for b in node.bases if isinstance(b, ast.Name)]
        elif isinstance(node, ast.Assign) and isinstance(node.value, ast.Name):
            for target in node.targets:
                if isinstance(target, ast.Name):
                    aliases[target.id] = node.value.id

    def members(name):
        out = set(own.get(name, ()))
        for base in bases.get(name, ()):
            out |= members(base)
        return out

    return {name: members(name) for name in own}, aliases


# Dunders the stubs must spell out where the class defines them: pickling,
# equality and hashing are part of what the objects promise.
DUNDERS = ("__reduce__", "__eq__", "__hash__", "__copy__", "__deepcopy__", "__len__", "__getitem__", "__iter__")


def test_stubs_cover_every_public_member_of_every_class():
    classes, aliases = _stub_classes()
    missing = []
    for name, obj in vars(velotz).items():
        if name.startswith("_") or not isinstance(obj, type):
            continue
        stub_name = aliases.get(name, name)
        assert stub_name in classes, name
        for member in vars(obj):
            if (not member.startswith("_") or member in DUNDERS) and member not in classes[stub_name]:
                missing.append(f"{name}.{member}")
    assert missing == []


def test_mypy_strict(tmp_path):
    # One run over all files: mypy reads numpy's stubs once.
    out = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path),
                          "--config-file", str(ROOT / "pyproject.toml")]
                         + [str(p) for p in FILES],
                         capture_output=True, text=True, env=mypy_env(), cwd=tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr
    assert f"no issues found in {len(FILES)} source files" in out.stdout


def test_typing_usage_runs():
    runpy.run_path(str(ROOT / "tests" / "typing_usage.py"), run_name="__main__")
