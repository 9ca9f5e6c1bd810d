"""Class patterns of the element classes in match statements (Python 3.10+;
conftest.py leaves this file out on older interpreters, which cannot parse it)."""

import pytest

from velotz import Element


def describe(element):
    match element:
        case Element.R(r):
            return ("resistor", r)
        case Element.Cpe(q, alpha) if alpha == 1.0:
            return ("ideal capacitor", q)
        case Element.Cpe(q, alpha):
            return ("cpe", q, alpha)
        case Element.Zarc(r, gamma=g):
            return ("zarc", r, g)
        case Element.T(_, _, _, tau):
            return ("transmission line", tau)
        case Element():
            return ("element", type(element).__name__)
    return None


@pytest.mark.parametrize(
    "element, expected",
    [
        (Element.R(5.0), ("resistor", 5.0)),
        (Element.Cpe(0.001, 1.0), ("ideal capacitor", 0.001)),
        (Element.Cpe(0.001, 0.8), ("cpe", 0.001, 0.8)),
        (Element.Zarc(2.0, 1e-3, 0.9), ("zarc", 2.0, 0.9)),
        (Element.T(1.0, 2.0, 3.0, 4.0), ("transmission line", 4.0)),
        (Element.K(5.0, 1.0), ("element", "Element_K")),
        (5.0, None),
    ],
)
def test_match_statements(element, expected):
    assert describe(element) == expected


def test_match_args_has_one_name_per_field():
    with pytest.raises(TypeError):
        match Element.R(1.0):
            case Element.R(_, _):
                pass
