"""Help that answers: every name and method beyond the original surface has
a docstring, and the type stubs' docstrings are whole sentences."""
import ast
import inspect
import pathlib
import sys

import pytest

import velotz

STUBS = pathlib.Path(velotz.__file__).with_name("__init__.pyi")
# PyPy's C-API layer does not expose the docstrings of compiled methods.
COMPILED_DOCS = sys.implementation.name != "pypy"
COMPILED = (velotz.Circuit, velotz.FitResult, velotz.FitResult.__mro__[1])
# Without docstrings in the original surface: Circuit.impedance and the eight FitResult
# attributes.
ORIGINAL_WITHOUT_DOC = {"Circuit.impedance"} | {
    f"FitResult.{n}" for n in ("circuit", "params", "stderr", "success", "iterations", "impedance_evals", "cost",
                               "chi_square")}


def stub_docstrings():
    tree = ast.parse(STUBS.read_text())
    out = []
    for node in ast.walk(tree):
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)) and ast.get_docstring(node):
            out.append((node.name, ast.get_docstring(node)))
    return out


@pytest.mark.parametrize("name, doc", stub_docstrings(), ids=lambda v: v if isinstance(v, str) and "\n" not in v
                         and len(v) < 40 else "")
def test_stub_docstrings_are_whole_sentences(name, doc):
    text = doc.rstrip()
    assert text[-1] in ".?!", f"{name}: {text[-50:]!r}"
    assert text.count("(") == text.count(")"), f"{name}: unbalanced parentheses"


def public_members():
    names = [n for n in vars(velotz) if not n.startswith("__")]
    extra = names[names.index("T") + 1:]
    out = []
    for n in extra:
        obj = getattr(velotz, n)
        out.append((n, obj))
        if isinstance(obj, type):
            out += [(f"{n}.{k}", v) for k, v in vars(obj).items() if _documented_name(k)]
    for cls in COMPILED:
        out += [(f"{cls.__name__.lstrip('_').replace('FitStatistics', 'FitResult')}.{k}", v)
                for k, v in vars(cls).items() if _documented_name(k)]
    return out


def _documented_name(k):
    return not k.startswith("_") or k in ("_repr_html_", "_repr_pretty_")


@pytest.mark.parametrize("name, obj", public_members(), ids=lambda v: v if isinstance(v, str) else "")
def test_extra_names_and_methods_have_docstrings(name, obj):
    if name in ORIGINAL_WITHOUT_DOC or not (callable(obj) or isinstance(obj, (property, classmethod,
                                                                                 staticmethod))):
        return
    if not COMPILED_DOCS and name.split(".")[0] in ("Circuit", "FitResult"):
        pytest.skip("PyPy does not expose docstrings of compiled methods")
    doc = inspect.getdoc(obj.__func__ if isinstance(obj, (classmethod, staticmethod)) else obj)
    assert doc and len(doc) > 20, name


@pytest.mark.parametrize("method", ["to_dict", "to_json", "from_dict", "from_json"])
@pytest.mark.parametrize("cls", [velotz.Circuit, velotz.FitResult, velotz.KramersKronigResult, velotz.Diagnosis,
                                 velotz.Comparison, velotz.BatchResult, velotz.BootstrapResult, velotz.DRTResult])
def test_data_methods_say_what_they_return_and_raise(cls, method):
    if not COMPILED_DOCS and cls in COMPILED:
        pytest.skip("PyPy does not expose docstrings of compiled methods")
    doc = inspect.getdoc(getattr(cls, method))
    assert "Return" in doc or "returns" in doc
    if method.startswith("from"):
        assert "ValueError" in doc
    if method == "to_json":
        assert "indent" in doc
