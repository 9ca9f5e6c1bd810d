"""Element classes, and circuits joined from parts with Series() and Parallel()."""

import gc
import inspect
import os
import sys
import time

import numpy as np
import pytest

import velotz
from interpreter import CPYTHON, refcounts
from velotz import Circuit, Element, Parallel, Series

# Code, fields and sample values (not the parser defaults) of every variant,
# in variant order.
VARIANTS = [
    ("R", ("r",), (12.5,)),
    ("C", ("c",), (2.2e-5,)),
    ("L", ("l",), (3.3e-6,)),
    ("La", ("l", "alpha"), (4e-6, 0.7)),
    ("Cpe", ("q", "alpha"), (1.5e-4, 0.85)),
    ("W", ("aw",), (7.0,)),
    ("Wo", ("z0", "tau"), (3.0, 0.5)),
    ("Ws", ("z0", "tau"), (2.0, 0.25)),
    ("G", ("rg", "tg"), (5.0, 0.02)),
    ("Gs", ("rg", "tg", "phi"), (4.0, 0.03, 1.7)),
    ("K", ("r", "tau_k"), (8.0, 2e-3)),
    ("Zarc", ("r", "tau_k", "gamma"), (6.0, 1e-3, 0.9)),
    ("Tlmq", ("r_ion", "qs", "gamma"), (9.0, 2e-4, 0.75)),
    ("T", ("a", "b", "k_tau", "tau"), (2.0, 3.0, 0.5, 0.1)),
]
CODES = [v[0] for v in VARIANTS]
FREQS = np.logspace(-3, 6, 37)
TWO_PI = 6.283185307179586


def by_code(code):
    return next(v for v in VARIANTS if v[0] == code)


# ---------------------------------------------------------------- module surface


def test_module_attributes_in_registration_order():
    public = [n for n in vars(velotz) if not n.startswith("__")]
    classes = ["Element", "Circuit"] + (["FitResult"] if "FitResult" in public else [])
    specified = classes + ["Series", "Parallel"] + CODES
    # The specified names come first, in order; the analysis tools, plots,
    # batch fitting and bootstrap intervals follow them.
    assert public[:len(specified)] == specified
    assert public[len(specified):] == [
        "KramersKronigResult", "kramers_kronig", "Finding", "Diagnosis", "diagnose",
        "ComparisonEntry", "Comparison", "compare",
        "plot_fit", "plot_nyquist", "plot_bode", "plot_residuals",
        "fit_batch", "BatchResult", "to_dataframe",
        "bootstrap", "BootstrapResult", "check_data", "fit_robust", "read", "read_many",
        "drt", "DRTResult", "plot_drt", "define_element",
    ]


@pytest.mark.parametrize("code, fields, values", VARIANTS, ids=CODES)
def test_variant_classes(code, fields, values):
    cls = getattr(velotz, code)
    assert cls is getattr(Element, code)
    assert issubclass(cls, Element) and cls is not Element
    assert (cls.__name__, cls.__module__) == (f"Element_{code}", "velotz")
    assert cls.__match_args__ == fields
    assert str(inspect.signature(cls)) == "(" + ", ".join(fields) + ")"
    for e in (cls(*values), cls(**dict(zip(fields, values)))):
        assert type(e) is cls and isinstance(e, Element)
        got = tuple(getattr(e, f) for f in fields)
        assert got == values and all(type(v) is float for v in got)


def test_docstrings_and_signatures():
    assert Element.__doc__ == (
        "A single circuit element.\n\nThese are Python subclasses taking its fields as arguments.\n"
        "They are combined with `Series()` and `Parallel()`."
    )
    assert Series.__doc__ == "Connect elements and circuits end to end."
    assert Parallel.__doc__ == "Connect elements and circuits as parallel branches."
    assert Series.__text_signature__ == Parallel.__text_signature__ == "(parts)"


# ---------------------------------------------------------------- element objects


@pytest.mark.parametrize(
    "element, text",
    [
        (Element.R(2), "Element.R(r=2.0)"),
        (Element.T(1, 2, 3, 4), "Element.T(a=1.0, b=2.0, k_tau=3.0, tau=4.0)"),
        (Element.Cpe(0.001, 0.8), "Element.Cpe(q=0.001, alpha=0.8)"),
        (Element.L(1e-6), "Element.L(l=1e-6)"),
        (Element.Zarc(r=1.0, tau_k=0.001, gamma=0.8), "Element.Zarc(r=1.0, tau_k=0.001, gamma=0.8)"),
        (Element.Wo(1e16, 9999999999999998.0), "Element.Wo(z0=1e16, tau=9999999999999998.0)"),
        (Element.Ws(0.0001, 9e-5), "Element.Ws(z0=0.0001, tau=9e-5)"),
        (Element.Gs(-0.0, float("inf"), float("-inf")), "Element.Gs(rg=-0.0, tg=inf, phi=-inf)"),
        (Element.G(float("nan"), 123456.789), "Element.G(rg=NaN, tg=123456.789)"),
        (Element.Tlmq(1e300, 2.5e-300, 1), "Element.Tlmq(r_ion=1e300, qs=2.5e-300, gamma=1.0)"),
    ],
)
def test_repr(element, text):
    assert repr(element) == text


def test_float_conversion_of_arguments():
    class Quarter:
        def __float__(self):
            return 0.25

    assert Element.R(True).r == 1.0
    assert Element.R(np.float32(0.1)).r == float(np.float32(0.1))
    assert Element.Cpe(Quarter(), alpha=1).q == 0.25
    assert Element.R(10**20).r == 1e20
    c = Element.C(float("nan"))
    assert np.isnan(c.c)


@pytest.mark.parametrize(
    "cls, args, kwargs, message",
    [
        (Element.R, (), {}, "Element_R() missing 1 required positional argument: 'r'"),
        (Element.Cpe, (), {}, "Element_Cpe() missing 2 required positional arguments: 'q' and 'alpha'"),
        (Element.T, (), {}, "Element_T() missing 4 required positional arguments: 'a', 'b', 'k_tau', and 'tau'"),
        (Element.R, (1.0, 2.0), {}, "Element_R() takes 1 positional argument but 2 were given"),
        (Element.R, (), {"x": 1.0}, "Element_R() got an unexpected keyword argument 'x'"),
        (Element.R, (1.0,), {"r": 1.0}, "Element_R() got multiple values for argument 'r'"),
        (Element.R, ("1.0",), {}, "argument 'r': must be real number, not str"),
        (Element.Zarc, (1.0, 2.0), {"gamma": [0.5]}, "argument 'gamma': must be real number, not list"),
        (Element.R, (10**400,), {}, "argument 'r': int too large to convert to float"),
        (Element, (), {}, "No constructor defined for Element"),
    ],
)
def test_constructor_errors(cls, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        cls(*args, **kwargs)
    assert str(info.value) == message


def test_elements_are_immutable():
    e = Element.R(1.0)
    with pytest.raises(AttributeError):
        e.r = 2.0
    with pytest.raises(AttributeError):
        e.label = "R0"
    assert e.r == 1.0
    assert velotz.R is Element.R


@pytest.mark.skipif(not CPYTHON or sys.version_info < (3, 10),
                    reason="only CPython 3.10+ keeps classes from the C API closed to assignment and subclassing")
def test_classes_are_immutable():
    with pytest.raises(TypeError):
        Element.R = Element.C
    with pytest.raises(TypeError):
        Element.R.__match_args__ = ()
    with pytest.raises(TypeError):
        type("Resistor", (Element.R,), {})


# ---------------------------------------------------------------- Series and Parallel

R, C, L, Cpe, W, K, Zarc = (getattr(Element, c) for c in ("R", "C", "L", "Cpe", "W", "K", "Zarc"))


def z(circuit, freqs=FREQS):
    return circuit.impedance(list(freqs))


@pytest.mark.parametrize(
    "build, names, values",
    [
        (lambda: Series([R(10.0), Circuit("(R1,C1)")]), ["R0.r", "R1.r", "C1.c"], [10.0, 1.0, 0.001]),
        (lambda: Series([R(10.0), C(1e-6)]), ["R0.r", "C0.c"], [10.0, 1e-6]),
        (lambda: Parallel([R(1.0), R(2.0)]), ["R0.r", "R1.r"], [1.0, 2.0]),
        (lambda: Series([Circuit("R0"), R(1.0)]), ["R0.r", "R0.r"], [1.0, 1.0]),
        (lambda: Series([Circuit("R0-C1"), Circuit("R0-C1")]), ["R0.r", "C1.c"] * 2, [1.0, 0.001] * 2),
        (
            # per-code counters run over the unlabelled leaves in leaf order
            lambda: Series([R(1.0), Parallel([R(2.0), Series([C(3.0), Circuit("R7")])]), C(4.0), R(5.0)]),
            ["R0.r", "R1.r", "C0.c", "R7.r", "C1.c", "R2.r"],
            [1.0, 2.0, 3.0, 1.0, 4.0, 5.0],
        ),
        (
            lambda: Parallel([Zarc(r=1.0, tau_k=2.0, gamma=0.5), Circuit("Zarc3-R1"), K(3.0, 4.0)]),
            ["Zarc0.r", "Zarc0.tau_k", "Zarc0.gamma", "Zarc3.r", "Zarc3.tau_k", "Zarc3.gamma", "R1.r", "K0.r",
             "K0.tau_k"],
            [1.0, 2.0, 0.5, 1.0, 0.001, 0.8, 1.0, 3.0, 4.0],
        ),
        (lambda: Series([]), [], []),
    ],
)
def test_names_and_values(build, names, values):
    circuit = build()
    assert type(circuit) is Circuit
    assert circuit.param_names() == names
    assert circuit.param_values() == values


def test_series_splices_circuits_flat():
    joined = Series([Circuit("R0-(R1,C1)"), Circuit("W2-L3")])
    assert repr(joined) == repr(Circuit("R0-(R1,C1)-W2-L3"))
    # a single circuit part is that circuit's tree
    assert repr(Series([Circuit("R0-(R1,C1)")])) == repr(Circuit("R0-(R1,C1)"))


def test_parallel_keeps_each_part_as_one_branch():
    w = TWO_PI * FREQS
    # a series circuit is one branch: R0 + R1, not R0 || R1
    np.testing.assert_allclose(z(Parallel([Circuit("R0-R1")])), np.full(len(w), 2.0 + 0j), rtol=0, atol=0)
    # one element gives a one-branch group with that element's impedance
    assert z(Parallel([R(7.0)]), [1.0]).tolist() == [7.0 + 0j]
    # ((R-C) || R) against its formula
    ref = 1 / (1 / (2.0 + 1 / (1j * w * 1e-3)) + 1 / 3.0)
    np.testing.assert_allclose(z(Parallel([Series([R(2.0), C(1e-3)]), R(3.0)])), ref, rtol=1e-13)


def test_impedance_against_formulas():
    w = TWO_PI * FREQS
    np.testing.assert_allclose(z(Parallel([R(100.0), C(1e-5)])), 1 / (1 / 100.0 + 1j * w * 1e-5), rtol=1e-13)
    mixed = Series([R(5.0), Parallel([Cpe(2e-4, 0.8), Series([R(40.0), W(15.0)])]), L(2e-6)])
    zcpe = 1 / (2e-4 * (1j * w) ** 0.8)
    zw = 15.0 / np.sqrt(w) * (1 - 1j)
    ref = 5.0 + 1 / (1 / zcpe + 1 / (40.0 + zw)) + 1j * w * 2e-6
    np.testing.assert_allclose(z(mixed), ref, rtol=1e-12)


def test_empty_compositions():
    assert z(Series([]), [1.0, 1e3]).tolist() == [0j, 0j]
    empty_group = z(Parallel([]), [1.0, 1e3])
    assert empty_group.dtype == np.complex128 and not np.isfinite(empty_group).any()
    # an empty group inside a series makes the whole sum non-finite
    assert not np.isfinite(z(Series([R(1.0), Parallel([])]), [1.0])).any()


class Parts:
    """A sequence by __len__ and __getitem__ only."""

    def __init__(self, *items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize(
    "parts", [[R(1.0), C(2.0)], (R(1.0), C(2.0)), Parts(R(1.0), C(2.0)), np.array([R(1.0), C(2.0)], dtype=object)]
)
def test_any_sequence_is_accepted(parts):
    assert Series(parts).param_values() == [1.0, 2.0]
    assert Parallel(parts=parts).param_names() == ["R0.r", "C0.c"]


@refcounts
def test_inputs_are_copied_not_changed():
    source = Circuit("R0-(R1,C1)")
    resistor = R(3.0)
    refs = sys.getrefcount(resistor), sys.getrefcount(source)
    joined = Series([source, resistor])
    changed = joined.with_values([9.0] * 4)
    assert source.param_values() == [1.0, 1.0, 0.001]
    assert resistor.r == 3.0
    assert joined.param_values() == [1.0, 1.0, 0.001, 3.0]
    assert changed.param_values() == [9.0] * 4
    # the new circuit keeps no reference to its parts
    assert (sys.getrefcount(resistor), sys.getrefcount(source)) == refs


ENUM_MESSAGE = (
    "argument 'parts': failed to extract enum Part ('Element | Circuit')\n"
    "- variant Element (Element): '{0}' object cannot be converted to 'Element'\n"
    "- variant Circuit (Circuit): '{0}' object cannot be converted to 'Circuit'"
)


@pytest.mark.parametrize("join", [Series, Parallel])
@pytest.mark.parametrize(
    "parts, message",
    [
        ("R0-C1", "argument 'parts': Can't extract `str` to `Vec`"),
        (3, "argument 'parts': 'int' object cannot be converted to 'Sequence'"),
        ({R(1.0): 1}, "argument 'parts': 'dict' object cannot be converted to 'Sequence'"),
        ((p for p in [R(1.0)]), "argument 'parts': 'generator' object cannot be converted to 'Sequence'"),
        ([3], ENUM_MESSAGE.format("int")),
        ([R(1.0), Circuit("R0"), None], ENUM_MESSAGE.format("NoneType")),
        ([Element.R], ENUM_MESSAGE.format("type")),
    ],
)
def test_argument_errors(join, parts, message):
    with pytest.raises(TypeError) as info:
        join(parts)
    assert str(info.value) == message


# ---------------------------------------------------------------- composed equals parsed


@pytest.mark.parametrize("code", CODES)
def test_composed_equals_parsed_for_every_element(code):
    _, _, values = by_code(code)
    cls = getattr(Element, code)
    composed = Series([R(3.5), Parallel([cls(*values), Series([R(20.0), C(4.7e-4)])]), cls(*values)])
    parsed = Circuit(f"R0-({code}1,R2-C3)-{code}4").with_values([3.5, *values, 20.0, 4.7e-4, *values])
    assert composed.param_values() == parsed.param_values()
    assert composed.param_units() == parsed.param_units()
    assert composed.param_bounds() == parsed.param_bounds()
    got, want = z(composed), z(parsed)
    assert np.isfinite(want).all()
    assert np.array_equal(got, want)


# ---------------------------------------------------------------- nesting limit


def nested(depth):
    circuit = R(2.0)
    for _ in range(depth):
        circuit = Parallel([circuit])
    return circuit


def test_nesting_limit_matches_the_parser():
    deepest = nested(200)
    assert z(deepest, [1.0]).tolist() == [2.0 + 0j]
    text = "(" * 200 + "R0" + ")" * 200
    assert z(Circuit(text).with_values([2.0]), [1.0]).tolist() == [2.0 + 0j]
    with pytest.raises(ValueError):
        Circuit("(" + text + ")")
    for parts in ([deepest], [R(1.0), deepest]):
        with pytest.raises(ValueError) as info:
            Parallel(parts)
        assert str(info.value) == "parallel groups nested more than 200 deep"
    # joining in series adds no level
    assert Series([deepest, nested(200), R(1.0)]).param_values() == [2.0, 2.0, 1.0]


# ---------------------------------------------------------------- memory


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def churn(rounds):
    samples = [(getattr(Element, code), values) for code, _, values in VARIANTS]
    parsed = Circuit("R0-(R1,C1)")
    for i in range(rounds):
        cls, values = samples[i % len(samples)]
        element = cls(*values)
        repr(element)
        inner = Parallel([element, R(1.0), parsed])
        outer = Series([inner, element, Parallel([inner, Series([])])])
        outer.param_names()
        for bad in ([element, 3], "R0"):
            try:
                Series(bad)
            except TypeError:
                pass
        try:
            cls("x", *values[1:])
        except TypeError:
            pass


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@refcounts
def test_memory_stays_flat():
    watched = [Element, Circuit] + [getattr(Element, c) for c in CODES]
    churn(20_000)  # warm-up: allocator pools, interned names, caches
    gc.collect()
    before, refs = resident_bytes(), [sys.getrefcount(t) for t in watched]
    start = time.perf_counter()
    churn(100_000)  # 200 000 element objects, 400 000 circuits
    gc.collect()
    grown = resident_bytes() - before
    assert time.perf_counter() - start < 10
    # a leak of one element object or one small tree per round would exceed this
    assert grown < 4 * 1024 * 1024
    assert [sys.getrefcount(t) for t in watched] == refs
