"""Notebook display of results: HTML tables, inline SVG, escaping and the
IPython plain-text form."""
import pytest

import velotz
from velotz import Circuit, Element, Series

np = pytest.importorskip("numpy")


class Printer:
    """The part of IPython's pretty printer that _repr_pretty_ uses."""

    def __init__(self):
        self.parts = []

    def text(self, s):
        self.parts.append(s)


@pytest.fixture(scope="module")
def data():
    f = np.logspace(4, -1, 30)
    z = Circuit("R0-p(R1,C1)").with_values([5.0, 20.0, 1e-4]).impedance(f)
    z = z * (1 + 0.003 * np.cos(np.arange(30) * 1.7))
    return f, z


def test_fit_result_html_escapes_and_tabulates(data):
    f, z = data
    circuit = Series([Element.R(4.0), Circuit("(R1,C1)").with_values([10.0, 2e-4])]).with_fixed(["R0.r"])
    result = circuit.fit(f, z)
    page = result._repr_html_()
    assert "<code>R0-(R1,C1)</code>" in page
    assert page.count("<tr>") == 1 + 3  # header and one row per parameter
    assert "fixed" in page and "95 % interval" in page
    assert page.count("<circle") == 2 * len(f)
    # A result without standard errors or residual picture still displays.
    bare = Circuit("R0").fit([1.0], [3.0 + 0j], guess_init=False)._repr_html_()
    assert "<svg" in bare or "<table" in bare


@pytest.mark.parametrize("make", ["kk", "drt", "fit"])
def test_pretty_text_extends_the_representation(data, make):
    f, z = data
    obj = {"kk": lambda: velotz.kramers_kronig(f, z), "drt": lambda: velotz.drt(f, z),
           "fit": lambda: Circuit("R0-p(R1,C1)").fit(f, z, guess_init=False)}[make]()
    p = Printer()
    obj._repr_pretty_(p, False)
    text = "".join(p.parts)
    assert text.startswith(repr(obj) + "\n")
    if make == "fit":
        assert "R1.r" in text and "+/-" in text and "[ohm]" in text
    else:
        assert text.endswith(obj.summary())
    p = Printer()
    obj._repr_pretty_(p, True)
    assert p.parts == [repr(obj)]
    # IPython's own printer reaches it (the class's __repr__ does not hide it).
    pretty = pytest.importorskip("IPython.lib.pretty")
    assert pretty.pretty(obj) == text


def test_user_text_is_escaped_everywhere(data):
    f, z = data
    from velotz import Finding, Diagnosis

    page = Diagnosis([Finding("data", ["<b>x</b>"], 'bad "thing" & <script>', "note")])._repr_html_()
    assert "<script>" not in page and "&lt;script&gt;" in page and "&lt;b&gt;x&lt;/b&gt;" in page
    batch = velotz.fit_batch("R0-p(R1,C1)", {"<i>a</i>": (f, z), "b&c": (f[:2], z)})
    page = batch._repr_html_()
    assert "&lt;i&gt;a&lt;/i&gt;" in page and "b&amp;c" in page and "<i>a</i>" not in page
    # One spectrum fitted: no chi-square picture; three (one failed): two dots.
    assert "<svg" not in page
    page = velotz.fit_batch("R0-p(R1,C1)", [(f, z), (f[:2], z), (f, 2 * z)])._repr_html_()
    assert page.count("<circle") == 2


def test_kk_picture_shows_tolerance_band_and_outliers(data):
    f, z = data
    z = z.copy()
    z[10] *= 1.3
    kk = velotz.kramers_kronig(f, z)
    page = kk._repr_html_()
    assert 'fill-opacity="0.12"' in page  # the tolerance band
    assert len(kk.outliers) >= 1
    assert page.count('fill="none" stroke="#c62828"') == len(kk.outliers)
    assert "not consistent" in page


def test_empty_diagnosis_and_failed_comparison_entry(data):
    f, z = data
    assert "no problems found" in velotz.Diagnosis([])._repr_html_()
    page = velotz.compare(f, z, ["R0-p(R1,C1)", Series([])])._repr_html_()
    assert "failed: " in page and "recommended: <code>R0-p(R1,C1)</code>" in page
