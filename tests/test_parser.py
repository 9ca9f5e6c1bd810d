"""Circuit texts: grammar, the five parse failures and the error message."""
import pytest

import velotz

ELEMENT_TABLE = """available elements (code, parameters, [units]):
  R     r [ohm]
  C     c [F]
  L     l [H]
  La    l [H*s], alpha [-]
  CPE   q [ohm^-1*s^alpha], alpha [-]
  W     aw [ohm*s^-0.5]
  Wo    z0 [ohm], tau [s]
  Ws    z0 [ohm], tau [s]
  G     rg [ohm], tg [s]
  Gs    rg [ohm], tg [s], phi [-]
  K     r [ohm], tau_k [s]
  Zarc  r [ohm], tau_k [s], gamma [-]
  TLMQ  r_ion [ohm], qs [F*s^(gamma-1)], gamma [-]
  T     a [ohm*m^2], b [ohm*m^2], k_tau [-], tau [s]"""

SYNTAX = """syntax:
  - every element needs a numeric label, e.g. "R0" and "C1", not "R" and "C"
  - connect elements in series with '-', e.g. "R0-C1"
  - connect elements in parallel with '(...)' or 'p(...)', e.g. "R0-(R1,C1)" or "R0-p(R1,C1)\""""


def error_of(text):
    with pytest.raises(ValueError) as info:
        velotz.Circuit(text)
    return str(info.value)


@pytest.mark.parametrize(
    "text,first_line,caret",
    [
        ("", "unexpected end of input", None),
        ("R0-", "unexpected end of input", None),
        ("(R1,C1", "unexpected end of input", None),
        ("R0-(R1;C1)", "unexpected end of input", None),
        ("R0-(R1 C1)", "unexpected end of input", None),
        ("R", "unexpected character at position 1", 1),
        ("1", "unexpected character at position 0", 0),
        ("-R0", "unexpected character at position 0", 0),
        (" R0", "unexpected character at position 0", 0),
        ("()", "unexpected character at position 1", 1),
        ("(R1,)", "unexpected character at position 4", 4),
        ("P(R1,C1)", "unexpected character at position 1", 1),
        ("R0 C1", "unexpected trailing input at position 2", 2),
        ("R0 ", "unexpected trailing input at position 2", 2),
        ("R0)", "unexpected trailing input at position 2", 2),
        ("R0-X1", 'unknown element code "X" at position 3', 3),
        ("r0", 'unknown element code "r" at position 0', 0),
        ("cpe1", 'unknown element code "cpe" at position 0', 0),
        ("ZARC1", 'unknown element code "ZARC" at position 0', 0),
        ("R0-R0", 'duplicate element label "R0"', None),
        ("R1-(R2,C1)-(R2,C2)", 'duplicate element label "R2"', None),
    ],
)
def test_parse_errors_and_message_layout(text, first_line, caret):
    msg = error_of(text)
    lines = msg.split("\n")
    assert lines[0] == first_line
    if caret is None:
        rest = lines[1:]
    else:
        assert lines[1] == ""
        assert lines[2] == "  " + text
        assert lines[3] == "  " + " " * caret + "^"
        rest = lines[4:]
    assert "\n".join(rest) == "\n" + SYNTAX + "\n\n" + ELEMENT_TABLE
    assert not msg.endswith("\n")


def test_positions_count_characters_not_bytes():
    msg = error_of("Ω0-R1")
    assert msg.startswith("unexpected character at position 0")
    msg = error_of("R0-(R1,µ2)")
    assert msg.split("\n")[0] == "unexpected character at position 7"
    assert msg.split("\n")[3] == "  " + " " * 7 + "^"


@pytest.mark.parametrize(
    "a,b",
    [("p(R1,C1)", "(R1,C1)"), ("R0-p(R1,p(R2,C2))", "R0-(R1,(R2,C2))")],
)
def test_optional_p_prefix(a, b):
    assert repr(velotz.Circuit(a)) == repr(velotz.Circuit(b))


@pytest.mark.parametrize(
    "text,names",
    [
        ("CPE1-Cpe1", ["CPE1.q", "CPE1.alpha", "Cpe1.q", "Cpe1.alpha"]),
        ("R1-R01", ["R1.r", "R01.r"]),
        ("TLMQ3-Tlmq4", ["TLMQ3.r_ion", "TLMQ3.qs", "TLMQ3.gamma", "Tlmq4.r_ion", "Tlmq4.qs", "Tlmq4.gamma"]),
        ("R0-(R1,(R2,C2)-W2)", ["R0.r", "R1.r", "R2.r", "C2.c", "W2.aw"]),
        ("(R1)", ["R1.r"]),
        ("La1-Wo1-Ws1-G1-Gs1-K1-Zarc1-T1", None),
    ],
)
def test_accepted_texts(text, names):
    c = velotz.Circuit(text)
    if names is not None:
        assert c.param_names() == names


def test_nested_groups_keep_structure_in_impedance():
    c = velotz.Circuit("R0-(R1,(R2,C2)-W2)").with_values([1.0, 2.0, 3.0, 4e-3, 5.0])
    w = 2 * 3.141592653589793 * 7.0
    zrc = 1 / (1 / 3.0 + 1j * w * 4e-3)
    zw = 5.0 / w**0.5 * (1 - 1j)
    want = 1.0 + 1 / (1 / 2.0 + 1 / (zrc + zw))
    got = c.impedance([7.0])[0]
    assert abs(got - want) < 1e-12 * abs(want)


def test_deeply_nested_text_is_refused_not_crashing():
    depth = 100_000
    text = "(" * depth + "R0" + ")" * depth
    msg = error_of(text)
    assert msg.startswith("parallel groups nested more than 200 deep at position 200")


def test_default_values_of_parsed_elements():
    c = velotz.Circuit("Wo1-Zarc2-Gs3")
    assert c.param_values() == [1.0, 10.0, 1.0, 0.001, 0.8, 1.0, 1.0, 1.0]


@pytest.mark.parametrize("name", ["randles", "RANDLES", "  Randles\t", "Two_RQ_L"])
def test_model_names_are_aliases(name):
    alias = velotz.Circuit(name)
    key = name.strip().lower()
    circuits = {"randles": "R0-(R1-W1,CPE1)", "two_rq_l": "L0-R0-(R1,CPE1)-(R2,CPE2)"}
    assert repr(alias) == repr(velotz.Circuit(circuits[key]))


def test_constructor_requires_str():
    with pytest.raises(TypeError, match="argument 's'"):
        velotz.Circuit(5)
