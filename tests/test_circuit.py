"""The Circuit class: parameter lists, representation, re-parameterisation."""
import math

import pytest

import velotz

INF = math.inf


def test_parameter_lists_follow_leaf_order():
    c = velotz.Circuit("R0-(R1,CPE1)")
    assert c.param_names() == ["R0.r", "R1.r", "CPE1.q", "CPE1.alpha"]
    assert c.param_units() == ["ohm", "ohm", "ohm^-1*s^alpha", "-"]
    assert c.param_bounds() == [(1e-12, INF), (1e-12, INF), (1e-12, INF), (0.0, 1.0)]
    assert c.param_values() == [1.0, 1.0, 0.001, 0.8]
    assert all(type(b) is tuple and len(b) == 2 for b in c.param_bounds())


def test_bounds_depend_only_on_field_names():
    c = velotz.Circuit("La0-Zarc0-Tlmq0-Gs0-T0")
    bounds = dict(zip(c.param_names(), c.param_bounds()))
    for name, b in bounds.items():
        field = name.split(".")[1]
        assert b == ((0.0, 1.0) if field in ("alpha", "gamma") else (1e-12, INF)), name


def test_repr_layout():
    c = velotz.Circuit("R0-(R1,C1)")
    assert repr(c) == (
        "Circuit (3 parameters)\n"
        "  R0.r = 1          [ohm]  bounds (1e-12, inf)\n"
        "  R1.r = 1          [ohm]  bounds (1e-12, inf)\n"
        "  C1.c = 0.001      [F]  bounds (1e-12, inf)"
    )
    assert repr(velotz.Circuit("R0")).startswith("Circuit (1 parameter)\n")


@pytest.mark.parametrize(
    "value,text",
    [
        (1.0, "1"),
        (0.001, "0.001"),
        (250000.0, "250000"),
        (1e-6, "1e-6"),
        (1.5e-7, "1.5e-7"),
        (2500000.0, "2.5e6"),
        (0.0001, "0.0001"),
        (999999.0, "999999"),
        (1e6, "1e6"),
        (0.1 + 0.2, "0.30000000000000004"),
        (INF, "inf"),
        (-INF, "-inf"),
        (math.nan, "NaN"),
        (-3.25e-9, "-3.25e-9"),
    ],
)
def test_repr_number_format(value, text):
    line = repr(velotz.Circuit("R0").with_values([value])).split("\n")[1]
    assert line == f"  R0.r = {text:<10} [ohm]  bounds (1e-12, inf)"


def test_with_values_sets_values_and_returns_new_circuit():
    c = velotz.Circuit("R0-C1")
    d = c.with_values((5, 2e-6))
    assert d is not c
    assert d.param_values() == [5.0, 2e-6]
    assert c.param_values() == [1.0, 0.001]


@pytest.mark.parametrize("values,got", [([], 0), ([1.0], 1), ([1.0, 2.0, 3.0], 3)])
def test_with_values_length_mismatch(values, got):
    with pytest.raises(ValueError) as info:
        velotz.Circuit("R0-C1").with_values(values)
    assert str(info.value) == f"expected 2 values, got {got}"


@pytest.mark.parametrize(
    "arg,message",
    [
        ("12", "Can't extract `str` to `Vec`"),
        (5, "'int' object cannot be converted to 'Sequence'"),
        ([1.0, "x"], "must be real number, not str"),
    ],
)
def test_with_values_type_errors_name_the_argument(arg, message):
    with pytest.raises(TypeError) as info:
        velotz.Circuit("R0-C1").with_values(arg)
    assert "argument 'values'" in str(info.value) and message in str(info.value)


def test_with_named_values_round_trip():
    c = velotz.Circuit("R0-(R1,C1)").with_named_values({"C1.c": 1e-5, "R0.r": 10, "R1.r": 100.0})
    assert c.param_values() == [10.0, 100.0, 1e-5]


def test_with_named_values_missing():
    with pytest.raises(ValueError) as info:
        velotz.Circuit("R0-(R1,C1)").with_named_values({"R0.r": 1.0})
    assert str(info.value) == (
        'missing parameter(s): ["R1.r", "C1.c"]\n'
        "\n"
        "valid parameters for this circuit:\n"
        "  R0.r  [ohm]  bounds (1e-12, inf)\n"
        "  R1.r  [ohm]  bounds (1e-12, inf)\n"
        "  C1.c  [F]  bounds (1e-12, inf)"
    )


def test_with_named_values_unknown_with_suggestion_and_missing():
    with pytest.raises(ValueError) as info:
        velotz.Circuit("R0-(R1,C1)").with_named_values({"R0.x": 1.0, "R1.r": 2.0, "C1.c": 3.0})
    lines = str(info.value).split("\n")
    assert lines[0] == 'unknown parameter "R0.x" (did you mean "R0.r"?)'
    assert lines[1] == 'missing parameter(s): ["R0.r"]'
    assert lines[2] == ""


@pytest.mark.parametrize(
    "key,line",
    [
        ("xyz", 'unknown parameter "xyz"'),
        ("CPE1.alpah", 'unknown parameter "CPE1.alpah" (did you mean "CPE1.alpha"?)'),
        ('a"b\n', 'unknown parameter "a\\"b\\n"'),
    ],
)
def test_unknown_parameter_lines(key, line):
    c = velotz.Circuit("R0-(R1,CPE1)")
    values = dict(zip(c.param_names(), c.param_values()))
    values[key] = 1.0
    with pytest.raises(ValueError) as info:
        c.with_named_values(values)
    assert str(info.value).split("\n")[0] == line
    assert "missing" not in str(info.value)
    assert str(info.value).endswith("  CPE1.alpha  [-]  bounds (0, 1)")


@pytest.mark.parametrize("arg", [[("R0.r", 1.0)], {1: 2.0}, {"R0.r": "x"}])
def test_with_named_values_type_errors(arg):
    with pytest.raises(TypeError, match="argument 'values'"):
        velotz.Circuit("R0").with_named_values(arg)


def test_suggestion_prefers_earliest_among_equal_distances():
    c = velotz.Circuit("R1-R2")
    with pytest.raises(ValueError) as info:
        c.with_named_values({"R3.r": 1.0, "R1.r": 1.0, "R2.r": 1.0})
    assert str(info.value).split("\n")[0] == 'unknown parameter "R3.r" (did you mean "R1.r"?)'


def test_empty_parallel_from_single_branch_group():
    c = velotz.Circuit("(R1)").with_values([4.0])
    assert c.impedance([1.0])[0] == 4.0
