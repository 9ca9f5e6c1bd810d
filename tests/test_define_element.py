"""Elements of the user's own (velotz.define_element): values against the
built-in CPE and numpy formulas, fits, the Jacobian, parse errors with their
position, the refusals, pickling and use from several threads at once."""
import pickle
import threading

import numpy as np
import pytest

import velotz

F = np.logspace(-2, 6, 81)
S = 2j * np.pi * F

# Codes defined once per process (a definition cannot be changed later).
velotz.define_element("Qu", ["q", "alpha"], "1/(q*s^alpha)", units=["ohm^-1*s^alpha", "-"])
velotz.define_element("Hn", ["r", "tau", "a", "b"], "r/(1 + (s*tau)^a)^b",
                      bounds=[(1e-12, np.inf), (1e-12, np.inf), (0, 1), (0, 1)], defaults=[1, 1e-3, 0.8, 0.7])
velotz.define_element("Bd", ["r", "tau"], "r*tanh(sqrt(s*tau))/sqrt(s*tau)", units=["ohm", "s"])


def test_user_cpe_gives_the_values_of_the_builtin_cpe():
    values = [7.0, 40.0, 3e-4, 0.83]
    builtin = velotz.Circuit("R0-p(R1,Cpe2)").with_values(values)
    user = velotz.Circuit("R0-p(R1,Qu2)").with_values(values)
    np.testing.assert_array_equal(user.impedance(F), builtin.impedance(F))
    assert user.param_names() == ["R0.r", "R1.r", "Qu2.q", "Qu2.alpha"]
    assert user.param_units() == builtin.param_units()
    assert user.param_bounds() == builtin.param_bounds()


def test_user_cpe_fits_to_the_result_of_the_builtin_cpe():
    truth = [5.0, 80.0, 2e-4, 0.78]
    z = velotz.Circuit("R0-p(R1,Cpe2)").with_values(truth).impedance(F)
    z = z * (1 + 0.01 * np.cos(np.arange(F.size)))
    start = [3.0, 50.0, 1e-4, 0.7]
    a = velotz.Circuit("R0-p(R1,Cpe2)").with_values(start).fit(F, z, guess_init=False)
    b = velotz.Circuit("R0-p(R1,Qu2)").with_values(start).fit(F, z, guess_init=False)
    pa, pb = list(a.params.values()), list(b.params.values())
    assert pb == pa and b.cost == a.cost and b.iterations == a.iterations
    assert list(b.stderr.values()) == list(a.stderr.values())
    np.testing.assert_allclose(pb, truth, rtol=0.05)


@pytest.mark.parametrize("text, values, want", [
    ("Hn0", [10.0, 1e-3, 0.8, 0.6], lambda p: p[0] / (1 + (S * p[1]) ** p[2]) ** p[3]),
    ("Bd0", [3.0, 2.0], lambda p: p[0] * np.tanh(np.sqrt(S * p[1])) / np.sqrt(S * p[1])),
    ("R0-Hn1", [2.0, 10.0, 1e-4, 0.9, 0.5], lambda p: p[0] + p[1] / (1 + (S * p[2]) ** p[3]) ** p[4]),
])
def test_user_elements_against_numpy(text, values, want):
    z = velotz.Circuit(text).with_values(values).impedance(F)
    np.testing.assert_allclose(z, want(values), rtol=1e-12)


def test_defaults_and_bounds_of_a_definition():
    c = velotz.Circuit("Hn0")
    assert c.param_values() == [1.0, 1e-3, 0.8, 0.7]
    assert c.param_bounds()[3] == (0.0, 1.0)
    assert c.param_units() == ["-"] * 4


def test_jacobian_against_differences_of_whole_evaluations():
    # The Jacobian re-evaluates the changed leaf only; the differences here
    # re-evaluate the whole circuit.
    values = [10.0, 1e-3, 0.8, 0.6]
    c = velotz.Circuit("Hn0").with_values(values)
    z = c.impedance(F) * 1.01
    jac = np.asarray(c.jacobian(values, F, z))
    for k, v in enumerate(values):
        h = 1e-6 * v
        up, down = list(values), list(values)
        up[k] += h
        down[k] -= h
        rp = np.asarray(c.residuals(up, F, z))
        rm = np.asarray(c.residuals(down, F, z))
        np.testing.assert_allclose(jac[:, k], (rp - rm) / (2 * h), rtol=1e-5, atol=1e-9 * np.abs(jac).max())


@pytest.mark.parametrize("formula, column, words", [
    ("1/(q*s^beta)", 7, "unknown name 'beta'"),
    ("1/(q*s^alpha", 2, "'(' is not closed"),
    ("q*s)", 3, "unmatched ')'"),
    ("q + __import__('os')", 4, "unknown name '__import__'"),
    ("q*s^alpha; 1", 9, "unexpected ';'"),
    ("tanh q", 5, "needs '('"),
])
def test_formula_errors_point_at_the_position(formula, column, words):
    with pytest.raises(ValueError) as info:
        velotz.define_element("Qbad", ["q", "alpha"], formula)
    message = str(info.value)
    assert words in message and f"at position {column}" in message
    assert message.endswith(formula + "\n" + " " * column + "^")
    with pytest.raises(ValueError, match="unknown element code"):
        velotz.Circuit("Qbad0")


@pytest.mark.parametrize("code, fields, formula, words", [
    ("Cpe", ["q", "alpha"], "1/(q*s^alpha)", "built-in"),
    ("CPE", ["q", "alpha"], "1/(q*s^alpha)", "built-in"),
    ("r", ["x"], "x", "built-in"),
    ("Q1", ["q"], "q", "ASCII letters only"),
    ("Qx", ["q", "q"], "q", "duplicate field name 'q'"),
    ("Qx", ["s"], "s", "reserved"),
    ("Qx", ["2q"], "1", "not an identifier"),
    ("Qx", ["a", "b", "c", "d", "e"], "a", "at most 4 fields"),
    ("Qu", ["q", "alpha"], "1/(q*s^(alpha))", "already defined differently"),
])
def test_definitions_are_refused(code, fields, formula, words):
    with pytest.raises(ValueError, match=words):
        velotz.define_element(code, fields, formula)


def test_identical_redefinition_is_accepted_and_lists_are_checked():
    velotz.define_element("Qu", ["q", "alpha"], "1/(q*s^alpha)", units=["ohm^-1*s^alpha", "-"])
    with pytest.raises(ValueError, match="one unit per field"):
        velotz.define_element("Qy", ["q"], "q", units=["ohm", "s"])
    with pytest.raises(ValueError, match="lower < upper"):
        velotz.define_element("Qy", ["q"], "q", bounds=[(1.0, 0.5)])
    with pytest.raises(ValueError, match="outside its bounds"):
        velotz.define_element("Qy", ["q", "alpha"], "q*s^alpha", defaults=[1.0, 2.0])
    with pytest.raises(TypeError, match="sequence of names"):
        velotz.define_element("Qy", "q", "q")


def test_circuits_with_user_elements_as_pickles_text_and_data():
    c = velotz.Circuit("R0-p(R1,Hn2)").with_values([2.0, 10.0, 5.0, 1e-4, 0.9, 0.5])
    assert c.text == "R0-(R1,Hn2)"
    back = pickle.loads(pickle.dumps(c))
    assert back == c and back.param_values() == c.param_values()
    np.testing.assert_array_equal(back.impedance(F), c.impedance(F))
    doc = c.to_dict()
    assert [n.get("element") for n in doc["nodes"]][0] == "R"
    again = velotz.Circuit.from_dict(doc)
    np.testing.assert_array_equal(again.impedance(F), c.impedance(F))
    result = c.fit(F, c.impedance(F), guess_init=False)
    assert pickle.loads(pickle.dumps(result)).params == result.params


def test_reading_an_undefined_user_code_is_refused():
    doc = velotz.Circuit("R0-Bd1").to_dict()
    text = repr(doc).replace("'Bd'", "'Bnever'").replace("Bd1", "Bnever1")
    import ast
    with pytest.raises(ValueError, match="unknown element code"):
        velotz.Circuit.from_dict(ast.literal_eval(text))


def test_threads_define_and_fit_at_once():
    truth = [4.0, 30.0, 5e-4, 0.85]
    z = velotz.Circuit("R0-p(R1,Cpe2)").with_values(truth).impedance(F)
    results, errors = [], []

    def work(i):
        try:
            velotz.define_element("Qthr", ["q", "alpha"], "1/(q*s^alpha)")
            c = velotz.Circuit("R0-p(R1,Qthr2)").with_values([3.0, 20.0, 3e-4, 0.8])
            results.append(list(c.fit(F, z, guess_init=False).params.values()))
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for p in results:
        np.testing.assert_allclose(p, truth, rtol=1e-6)


def test_fit_batch_with_a_user_element():
    truth = np.array([4.0, 30.0, 5e-4, 0.85])
    c = velotz.Circuit("R0-p(R1,Qu2)").with_values([3.0, 20.0, 3e-4, 0.8])
    spectra = [velotz.Circuit("R0-p(R1,Cpe2)").with_values(truth * k).impedance(F) for k in (1.0, 1.1)]
    batch = velotz.fit_batch(c, [(F, z) for z in spectra], guess_init=False)
    assert len(batch) == 2
    for result, k in zip(batch.results, (1.0, 1.1)):
        np.testing.assert_allclose(list(result.params.values())[:3], truth[:3] * k, rtol=1e-6)
