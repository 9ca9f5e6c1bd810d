"""Circuit.guess and Circuit.ml_circuits with weight files from disk and the
shipped networks."""
import math
import shutil
import threading

import numpy as np
import pytest

import velotz

DATA = __import__("pathlib").Path(__file__).parent / "data"
TINY = str(DATA / "tiny.eisnn")  # a small network trained for R0-(R1,CPE1)

NAMES = ["rc", "rc_l", "rq", "rq_l", "two_rc", "two_rc_l", "two_rq", "two_rq_l", "randles", "sei_randles",
         "sei_randles_wo"]
QUOTED = ", ".join(f"'{n}'" for n in NAMES)

F = np.logspace(-1, 4, 30)
Z = velotz.Circuit("R0-(R1,CPE1)").with_values([10.0, 100.0, 1e-4, 0.8]).impedance(F)


def test_ml_circuits_lists_the_registry_and_every_name_builds():
    names = velotz.Circuit.ml_circuits()
    assert names == NAMES
    names.append("x")  # a new list every call
    assert velotz.Circuit.ml_circuits() == NAMES
    for n in NAMES:
        velotz.Circuit(n)


def test_guess_with_a_weight_file_in_parameter_order():
    values = velotz.Circuit("R0-(R1,CPE1)").guess(F, Z, weights=TINY)
    assert len(values) == 4 and all(isinstance(v, float) for v in values)
    # Another order and other labels get the same values, mapped to their own order.
    shuffled = velotz.Circuit("(CPE3,R9)-R2").guess(F, list(Z), weights=TINY)
    assert shuffled == [values[2], values[3], values[1], values[0]]


def test_zarc_reaches_the_pair_network_and_converts_back():
    r0, r, q, alpha = velotz.Circuit("R0-(R1,CPE1)").guess(F, Z, weights=TINY)
    got = velotz.Circuit("R0-Zarc1").guess(F, Z, weights=TINY)
    assert got[0] == r0 and got[1] == r and got[3] == alpha
    assert got[2] == pytest.approx((r * q) ** (1 / alpha), rel=1e-14)


def test_dataframe_form():
    df = {"Frequency / Hz": list(F), "Real Impedance / ohm": list(Z.real), "Imaginary Impedance / ohm": list(Z.imag)}
    assert velotz.Circuit("R0-(R1,CPE1)").guess(df, weights=TINY) == velotz.Circuit("R0-(R1,CPE1)").guess(F, Z, weights=TINY)


@pytest.mark.parametrize(
    "circuit,weights,message",
    [
        ("R0-(R1,W1)", None, f"No training data on this circuit. Machine-learning based initial parameters available for {QUOTED}"),
        ("R0-(R1,C1)", TINY, f'weight file has an unparsable value for "{TINY} was trained for \\"R0-(R1,CPE1)\\", which is a different circuit"'),
    ],
)
def test_guess_failures(circuit, weights, message):
    with pytest.raises(ValueError) as info:
        velotz.Circuit(circuit).guess(F, Z, weights=weights)
    assert str(info.value) == message


def test_no_model_is_reported_before_too_few_points():
    with pytest.raises(ValueError, match="^No training data"):
        velotz.Circuit("R0-(R1,W1)").guess([1.0], [1 + 1j])
    with pytest.raises(ValueError, match="^need at least 2 frequency points to guess, got 1$"):
        velotz.Circuit("R0-(R1,CPE1)").guess([1.0], [1 + 1j], weights=TINY)


def test_weights_must_be_a_str():
    with pytest.raises(TypeError, match="argument 'weights'"):
        velotz.Circuit("R0-(R1,CPE1)").guess(F, Z, weights=3)


def test_missing_file_then_created_and_cached(tmp_path):
    path = str(tmp_path / "net.eisnn")
    with pytest.raises(ValueError, match=r"^reading weights: No such file or directory"):
        velotz.Circuit("R0-(R1,CPE1)").guess(F, Z, weights=path)
    # A broken file fails to load and is not kept...
    (tmp_path / "net.eisnn").write_bytes(b"EISNN001")
    with pytest.raises(ValueError, match="^weight file is truncated$"):
        velotz.Circuit("R0-(R1,CPE1)").guess(F, Z, weights=path)
    # ...so the next call reads the file again.
    shutil.copy(TINY, path)
    first = velotz.Circuit("R0-(R1,CPE1)").guess(F, Z, weights=path)
    assert first == velotz.Circuit("R0-(R1,CPE1)").guess(F, Z, weights=TINY)
    # A loaded file is kept for the process: later changes on disk do not matter.
    (tmp_path / "net.eisnn").write_bytes(b"garbage")
    assert velotz.Circuit("R0-(R1,CPE1)").guess(F, Z, weights=path) == first


@pytest.mark.parametrize("damage", ["magic", "truncate", "flip"])
def test_damaged_files_fail_cleanly(tmp_path, damage):
    data = bytearray(open(TINY, "rb").read())
    if damage == "magic":
        data[0:8] = b"EISNN002"
        expected = "not an eisnn weight file (bad magic bytes)"
    elif damage == "truncate":
        data = data[: len(data) // 2]
        expected = "weight file is truncated"
    else:
        data[12:16] = b"\xff\xff\xff\x7f"  # first key length far past the end
        expected = "weight file is truncated"
    path = tmp_path / f"{damage}.eisnn"
    path.write_bytes(bytes(data))
    with pytest.raises(ValueError) as info:
        velotz.Circuit("R0-(R1,CPE1)").guess(F, Z, weights=str(path))
    assert str(info.value) == expected


def test_directory_is_refused(tmp_path):
    with pytest.raises(ValueError, match="^reading weights: "):
        velotz.Circuit("R0-(R1,CPE1)").guess(F, Z, weights=str(tmp_path))


def test_concurrent_first_loads_of_one_path_agree(tmp_path):
    path = str(tmp_path / "shared.eisnn")
    shutil.copy(TINY, path)
    results = [None] * 6

    def work(i):
        results[i] = velotz.Circuit("R0-(R1,CPE1)").guess(F, Z, weights=path)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(r == results[0] for r in results)


def test_fit_with_weights_starts_from_the_file_guess():
    r = velotz.Circuit("R0-(R1,CPE1)").fit(F, Z, weights=TINY)
    assert r.success
    np.testing.assert_allclose([r.params[k] for k in ["R0.r", "R1.r", "CPE1.q", "CPE1.alpha"]], [10.0, 100.0, 1e-4, 0.8], rtol=1e-6)


# ---------------------------------------------------------------- shipped networks
SHIPPED = {
    "rc": [10.0, 100.0, 1e-5],
    "rc_l": [1e-6, 10.0, 100.0, 1e-5],
    "rq": [10.0, 100.0, 1e-5, 0.85],
    "rq_l": [1e-6, 10.0, 100.0, 1e-5, 0.85],
    "two_rc": [10.0, 50.0, 1e-6, 200.0, 1e-3],
    "two_rc_l": [1e-6, 10.0, 50.0, 1e-6, 200.0, 1e-3],
    "two_rq": [10.0, 50.0, 1e-6, 0.9, 200.0, 1e-3, 0.8],
    "two_rq_l": [1e-6, 10.0, 50.0, 1e-6, 0.9, 200.0, 1e-3, 0.8],
    "randles": [10.0, 100.0, 30.0, 2e-5, 0.9],
    "sei_randles": [5.0, 20.0, 1e-6, 0.9, 60.0, 30.0, 1e-3, 0.8],
    "sei_randles_wo": [5.0, 20.0, 1e-6, 0.9, 60.0, 30.0, 2.0, 1e-3, 0.8],
}
FW = np.logspace(-2, 5, 50)


def spectrum_of(name):
    return velotz.Circuit(name).with_values(SHIPPED[name]).impedance(FW)


@pytest.mark.parametrize("name", NAMES)
def test_every_shipped_network_guesses_its_own_topology(name):
    values = velotz.Circuit(name).guess(FW, spectrum_of(name))
    assert len(values) == len(SHIPPED[name])
    assert all(math.isfinite(v) for v in values)
    # A guess lands within two decades of the truth, alphas within their clamp.
    for guess, truth, bound in zip(values, SHIPPED[name], velotz.Circuit(name).param_bounds()):
        if math.isinf(bound[1]):
            assert abs(math.log10(guess / truth)) < 2, (name, values)
        else:
            assert 0.05 <= guess <= 1.0


def test_registry_match_regardless_of_order_and_labels():
    z = spectrum_of("rc")
    base = velotz.Circuit("R0-(R1,C1)").guess(FW, z)
    assert len(base) == 3
    assert velotz.Circuit("(C3,R9)-R2").guess(FW, z) == [base[2], base[1], base[0]]


def test_zarc_and_k_through_the_registry():
    z = spectrum_of("rq")
    r0, r, q, alpha = velotz.Circuit("R0-(R1,CPE1)").guess(FW, z)
    zarc = velotz.Circuit("R0-Zarc1").guess(FW, z)
    assert zarc[0] == r0 and zarc[1] == r and zarc[3] == alpha
    assert 0.05 <= zarc[3] <= 1.0
    assert zarc[2] == pytest.approx((r * q) ** (1 / alpha), rel=1e-14)
    rc = velotz.Circuit("R0-(R1,C1)").guess(FW, spectrum_of("rc"))
    k = velotz.Circuit("R0-K1").guess(FW, spectrum_of("rc"))
    assert k == [rc[0], rc[1], rc[1] * rc[2]]


def test_one_point_with_a_model_is_too_few():
    with pytest.raises(ValueError, match="^need at least 2 frequency points to guess, got 1$"):
        velotz.Circuit("rq").guess([1.0], [1 - 1j])


def test_default_fit_starts_from_the_network_guess():
    z = spectrum_of("randles")
    result = velotz.Circuit("randles").fit(FW, z)
    assert result.success
    np.testing.assert_allclose([result.params[n] for n in velotz.Circuit("randles").param_names()],
                               SHIPPED["randles"], rtol=1e-6)
    # guess_init=True with no model raises instead of warning.
    with pytest.raises(ValueError, match="^No training data"):
        velotz.Circuit("R0-(R1,W1)").fit(FW, z, guess_init=True)
