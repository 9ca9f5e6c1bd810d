"""Messages that name a caller's likely mistake: a weighting name given to
`weights=`, a misspelt keyword, the impedances given as two real arrays."""
import numpy as np
import pytest

import velotz

PLAIN = "reading weights: No such file or directory (os error 2)"


@pytest.fixture(scope="module")
def spectrum():
    circuit = velotz.Circuit("R0-(R1,C1)").with_values([10.0, 100.0, 1e-5])
    f = np.logspace(5, -1, 30)
    return f, np.asarray(circuit.impedance(f))


def _hint(path, weighting):
    return (f'{PLAIN}; there is no weight file "{path}": weights= names a .eisnn network file, and the residual '
            f'weighting is chosen with weight="{weighting}"')


@pytest.mark.parametrize("path, expected", [
    ("modulus", _hint("modulus", "modulus")),
    ("unit", _hint("unit", "unit")),
    ("Modulus", _hint("Modulus", "modulus")),
    ("no_such_network.eisnn", PLAIN),
    ("unit.eisnn", PLAIN),
])
def test_fit_names_the_weight_keyword(spectrum, path, expected):
    f, z = spectrum
    with pytest.raises(ValueError) as info:
        velotz.Circuit("R0-(R1,C1)").fit(f, z, weights=path)
    assert str(info.value) == expected


def test_batch_slot_names_the_weight_keyword(spectrum):
    results = velotz.fit_batch("R0-(R1,C1)", [spectrum], weights="modulus")
    assert isinstance(results[0], ValueError)
    assert str(results[0]) == _hint("modulus", "modulus")


def test_guess_keeps_the_plain_text(spectrum):
    # guess() has no weight= keyword to point at.
    with pytest.raises(ValueError) as info:
        velotz.Circuit("R0-(R1,C1)").guess(*spectrum, weights="modulus")
    assert str(info.value) == PLAIN


@pytest.mark.parametrize("call, keyword, closest", [
    (lambda c, f, z: c.fit(f, z, weigth="unit"), "weigth", "weight"),
    (lambda c, f, z: c.fit(f, z, methd="nelder_mead"), "methd", "method"),
    (lambda c, f, z: c.fit(f, z, guess_int=False), "guess_int", "guess_init"),
    (lambda c, f, z: c.guess(f, z, weight="modulus"), "weight", "weights"),
    (lambda c, f, z: c.estimate_start(f, z, weights="unit"), "weights", "weight"),
    (lambda c, f, z: velotz.fit_batch(c, [(f, z)], seeed=3), "seeed", "seed"),
    (lambda c, f, z: c.fit(f, z, colour="red"), "colour", None),
])
def test_unknown_keyword_names_the_closest(spectrum, call, keyword, closest):
    with pytest.raises(TypeError) as info:
        call(velotz.Circuit("R0-(R1,C1)"), *spectrum)
    text = str(info.value)
    assert keyword in text
    if closest is None:
        assert "did you mean" not in text
    else:
        assert text.endswith(f"; did you mean '{closest}'?")


def test_real_and_imaginary_as_two_positionals(spectrum):
    f, z = spectrum
    with pytest.raises(TypeError) as info:
        velotz.Circuit("R0-(R1,C1)").fit(f, z.real, z.imag)
    text = str(info.value)
    assert text.startswith("argument 'guess_init': ")
    assert text.endswith("pass the impedances as one complex sequence, for example fit(frequencies, zr + 1j*zi)")


@pytest.mark.parametrize("pair", [
    lambda z: (z.real, z.imag),
    lambda z: [list(z.real), list(z.imag)],
])
@pytest.mark.parametrize("method", ["fit", "guess", "estimate_start"])
def test_real_and_imaginary_as_a_pair(spectrum, pair, method):
    f, z = spectrum
    with pytest.raises(TypeError) as info:
        getattr(velotz.Circuit("R0-(R1,C1)"), method)(f, pair(z))
    assert str(info.value).endswith(
        "; impedances holds two sequences, as if real and imaginary parts were passed apart: pass one complex "
        "sequence, for example zr + 1j*zi")


def test_batch_slot_explains_a_pair(spectrum):
    f, z = spectrum
    results = velotz.fit_batch("R0-(R1,C1)", [(f, (z.real, z.imag)), (f, z)], guess_init=False)
    assert isinstance(results[0], TypeError) and "zr + 1j*zi" in str(results[0])
    assert isinstance(results[1], velotz.FitResult)


def test_real_impedances_alone_are_still_accepted(spectrum):
    f, z = spectrum
    result = velotz.Circuit("R0").fit(f, np.abs(z), guess_init=False)
    assert result.circuit.param_names() == ["R0.r"]


def test_two_point_pair_keeps_its_own_error_first():
    # Two frequencies and a pair of two-number lists: the conversion error
    # of the pair's first item is kept as the start of the message.
    with pytest.raises(TypeError) as info:
        velotz.Circuit("R0").fit([1.0, 2.0], ([1.0, 2.0], [0.0, 0.0]), guess_init=False)
    text = str(info.value)
    assert text.index("zr + 1j*zi") > 0
    assert not text.startswith(";")
