"""Measured-data conversion, observed through residuals of a zero resistor
with unit weights (which are exactly minus the data)."""
import math

import numpy as np
import pytest

import velotz

ZERO = velotz.Circuit("R0")
FREQ = '"Frequency / Hz" or "frequency_hertz"'
RE = '"Real Impedance / ohm" or "real_impedance_ohm"'
IM = '"Imaginary Impedance / ohm" or "imaginary_impedance_ohm"'
MOD = '"Absolute Impedance / ohm" or "absolute_impedance_ohm"'
PHASE = '"Phase / deg" or "phase_degree"'


def data_of(frequencies, impedances=None):
    """The impedances as read, from r = (0 - Z)/1."""
    r = ZERO.residuals([0.0], frequencies, impedances, weight="unit")
    return [complex(-r[i], -r[i + 1]) for i in range(0, len(r), 2)]


def frame(kind, cols):
    if kind == "dict":
        return cols
    if kind == "pandas":
        pd = pytest.importorskip("pandas")
        return pd.DataFrame(cols)
    pl = pytest.importorskip("polars")
    return pl.DataFrame(cols)


KINDS = ["dict", "pandas", "polars"]


@pytest.mark.parametrize("kind", KINDS)
def test_real_and_imaginary_columns(kind):
    df = frame(kind, {"Frequency / Hz": [1.0, 2.0], "Real Impedance / ohm": [3.0, 4.0], "Imaginary Impedance / ohm": [-5.0, 6.0]})
    assert data_of(df) == [3 - 5j, 4 + 6j]


@pytest.mark.parametrize("kind", KINDS)
def test_modulus_and_phase_columns(kind):
    df = frame(kind, {"frequency_hertz": [1.0, 2.0, 3.0], "absolute_impedance_ohm": [2.0, 2.0, 1.0], "Phase / deg": [-90.0, 0.0, 45.0]})
    z = data_of(df)
    assert abs(z[0] - (0 - 2j)) < 1e-15 and z[1] == 2 + 0j
    assert abs(z[2] - complex(math.sqrt(0.5), math.sqrt(0.5))) < 1e-15


def test_primary_names_win_and_real_imag_beats_modulus_phase():
    df = {
        "Frequency / Hz": [1.0],
        "frequency_hertz": [-1.0],
        "Real Impedance / ohm": [7.0],
        "real_impedance_ohm": [8.0],
        "Imaginary Impedance / ohm": [1.0],
        "Absolute Impedance / ohm": [100.0],
        "Phase / deg": [0.0],
    }
    assert data_of(df) == [7 + 1j]


def test_half_pair_is_ignored_when_modulus_phase_complete():
    df = {"Frequency / Hz": [1.0], "real_impedance_ohm": [5.0], "Absolute Impedance / ohm": [3.0], "phase_degree": [0.0]}
    assert data_of(df) == [3 + 0j]


def test_dataframe_rows_with_non_positive_frequency_are_dropped():
    df = {"Frequency / Hz": [1.0, 0.0, -2.0, float("nan"), 5.0], "Real Impedance / ohm": [1, 2, 3, 4, 5], "Imaginary Impedance / ohm": [0, 0, 0, 0, 1]}
    assert data_of(df) == [1 + 0j, 5 + 1j]


def test_sequence_form_keeps_every_row():
    r = ZERO.residuals([0.0], [0.0, -1.0, float("nan")], [1, 2, 3], weight="unit")
    assert r == [-1.0, -0.0, -2.0, -0.0, -3.0, -0.0]


@pytest.mark.parametrize(
    "impedances,want",
    [
        ([1.0, 2], [1 + 0j, 2 + 0j]),
        (np.array([1 + 2j, 3 - 4j]), [1 + 2j, 3 - 4j]),
        (np.array([1 + 2j, 3 - 4j], dtype=np.complex64), [1 + 2j, 3 - 4j]),
        ((complex(1, 1), np.float64(2.5)), [1 + 1j, 2.5 + 0j]),
    ],
)
def test_impedance_item_conversion(impedances, want):
    assert data_of([1.0, 2.0], impedances) == want


class WithComplex:
    def __complex__(self):
        return 3 - 1j


class BadComplex:
    def __complex__(self):
        raise RuntimeError("boom")


def test_dunder_complex_is_used_and_its_errors_propagate():
    assert data_of([1.0], [WithComplex()]) == [3 - 1j]
    with pytest.raises(RuntimeError, match="boom"):
        data_of([1.0], [BadComplex()])


@pytest.mark.parametrize(
    "frequencies,impedances,exc,message",
    [
        ([1.0], "1+1j", TypeError, "Can't extract `str` to `Vec`"),
        ("1", [1j], TypeError, "Can't extract `str` to `Vec`"),
        ([1.0], 5, TypeError, "'int' object cannot be converted to 'Sequence'"),
        ({1.0}, [1j], TypeError, "'set' object cannot be converted to 'Sequence'"),
        ([1.0, 2.0], [1j], ValueError, "frequencies and impedances must have the same length"),
        ([1.0], ["x"], TypeError, "must be real number, not str"),
    ],
)
def test_sequence_form_errors(frequencies, impedances, exc, message):
    with pytest.raises(exc) as info:
        data_of(frequencies, impedances)
    assert message in str(info.value)


@pytest.mark.parametrize(
    "df,message",
    [
        ([1.0, 2.0], f"expected a dataframe with a {FREQ} column, or frequencies and impedances as two arguments"),
        ({"f": [1.0]}, f"expected a dataframe with a {FREQ} column, or frequencies and impedances as two arguments"),
        ({"Frequency / Hz": [1.0]}, f"no impedance columns: expected {RE} together with {IM}, or {MOD} together with {PHASE}"),
        ({"Frequency / Hz": [1.0], "Real Impedance / ohm": [1.0]}, f"no impedance columns: expected {RE} together with {IM}, or {MOD} together with {PHASE}"),
        ({"Frequency / Hz": [1.0], "Real Impedance / ohm": [1.0], "Imaginary Impedance / ohm": [1.0, 2.0]}, "real and imaginary impedance columns must have the same length"),
        ({"Frequency / Hz": [1.0], "Absolute Impedance / ohm": [1.0], "Phase / deg": []}, "absolute impedance and phase columns must have the same length"),
        ({"Frequency / Hz": [1.0, 2.0, 3.0], "Real Impedance / ohm": [1, 2, 3, 4], "Imaginary Impedance / ohm": [1, 2, 3, 4]}, f"frequency column has 3 rows but {RE} and {IM} have 4"),
        ({"Frequency / Hz": [1.0], "Absolute Impedance / ohm": [1, 2], "Phase / deg": [1, 2]}, f"frequency column has 1 rows but {MOD} and {PHASE} have 2"),
        ({"Frequency / Hz": [0.0, -1.0], "Real Impedance / ohm": [1, 2], "Imaginary Impedance / ohm": [1, 2]}, f"no measured points: every row of the {FREQ} column is zero or negative"),
        ({"Frequency / Hz": ["a"], "Real Impedance / ohm": [1]}, 'column "Frequency / Hz" is not numeric'),
        # Every column is read and checked, also one that would not be used.
        ({"Frequency / Hz": [1.0], "Real Impedance / ohm": [1], "Imaginary Impedance / ohm": [1], "phase_degree": "x"}, 'column "phase_degree" is not numeric'),
        ({"Frequency / Hz": [1.0], "real_impedance_ohm": [None], "Imaginary Impedance / ohm": [1]}, 'column "real_impedance_ohm" is not numeric'),
    ],
)
def test_dataframe_errors(df, message):
    with pytest.raises(ValueError) as info:
        data_of(df)
    assert str(info.value) == message


def test_frequency_error_comes_before_impedance_columns_are_read():
    class Frame:
        def __init__(self):
            self.asked = []

        def __getitem__(self, key):
            self.asked.append(key)
            raise KeyError(key)

    f = Frame()
    with pytest.raises(ValueError, match="expected a dataframe"):
        data_of(f)
    assert f.asked == ["Frequency / Hz", "frequency_hertz"]
