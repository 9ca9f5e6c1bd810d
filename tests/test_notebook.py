"""The example notebook, executed by a real Jupyter kernel: every result cell
shows HTML that holds the result's values."""
import os
import pathlib
import sys

import pytest

nbformat = pytest.importorskip("nbformat")
nbclient = pytest.importorskip("nbclient")
pytest.importorskip("ipykernel")
np = pytest.importorskip("numpy")

import velotz  # noqa: E402

NOTEBOOK = pathlib.Path(__file__).resolve().parent.parent / "examples" / "notebook.ipynb"


def four_digits(value):
    text = f"{value:.4g}"
    if "e" in text:
        mantissa, exponent = text.split("e")
        text = f"{mantissa}e{int(exponent)}"
    return text


@pytest.fixture(scope="module")
def executed():
    nb = nbformat.read(NOTEBOOK, as_version=4)
    # The kernel is this interpreter, with this process's environment (and
    # so the same velotz on its path).
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    client = nbclient.NotebookClient(nb, timeout=60, kernel_name="python3",
                                     resources={"metadata": {"path": str(NOTEBOOK.parent)}})
    old = os.environ.get("PYTHONPATH")
    os.environ["PYTHONPATH"] = env["PYTHONPATH"]
    try:
        client.execute()
    finally:
        if old is None:
            del os.environ["PYTHONPATH"]
        else:
            os.environ["PYTHONPATH"] = old
    out = os.environ.get("VELOTZ_NOTEBOOK_OUT")
    if out:
        nbformat.write(nb, out)
    code = [c for c in nb.cells if c.cell_type == "code"]
    # The spectrum the notebook built, rebuilt here from its own cell.
    scope = {}
    exec(code[0].source, scope)
    return code, scope["f"], scope["z"]


def rich(cell):
    [output] = [o for o in cell.outputs if o.output_type == "execute_result"]
    return output.data["text/html"], output.data["text/plain"]


def test_every_result_cell_shows_html(executed):
    code, _f, _z = executed
    for cell in code[1:-1]:
        page, plain = rich(cell)
        assert page.startswith('<div class="velotz"')
        assert plain  # the plain representation stays beside it


def test_fit_result_shows_parameters_errors_and_residuals(executed):
    code, f, z = executed
    page, plain = rich(code[1])
    result = velotz.Circuit("R0-p(R1,CPE1)").with_values([8.0, 40.0, 1e-5, 0.8]).fit(f, z)
    # IPython's plain text: the representation, the circuit and a line per
    # parameter.
    assert plain.startswith(repr(result) + "\ncircuit R0-(R1,CPE1)\n")
    lines = plain.splitlines()[2:]
    assert [line.split()[0] for line in lines] == list(result.params)
    assert [line.split()[2] for line in lines] == [four_digits(v) for v in result.params.values()]
    assert [line.split()[4] for line in lines] == [four_digits(result.stderr[n]) for n in result.params]
    for name, value in result.params.items():
        assert f"<code>{name}</code>" in page
        assert f">{four_digits(value)}<" in page
        assert f">{four_digits(result.stderr[name])}<" in page
    assert "R0-(R1,CPE1)" in page and "success" in page
    assert page.count("<circle") == 2 * len(f)  # real and imaginary residual of every point


def test_analysis_cells_hold_their_verdicts(executed):
    code, f, z = executed
    kk = velotz.kramers_kronig(f, z)
    page, _ = rich(code[2])
    assert ("&#10003; consistent" in page) == kk.passed
    assert f"M = {kk.m}" in page and "<svg" in page and "<polyline" not in page
    page, _ = rich(code[3])
    assert "Diagnosis" in page
    page, _ = rich(code[4])
    assert page.count("<tr") == 3 and "recommended: <code>R0-p(R1,CPE1)</code>" in page
    page, _ = rich(code[5])
    drt = velotz.drt(f, z)
    assert f"{len(drt.peaks)} peak" in page and "<polyline" in page
    assert f">{four_digits(drt.peaks[0][1])}<" in page


def test_batch_cell_escapes_ids_and_shows_errors(executed):
    code, _f, _z = executed
    page, plain = rich(code[6])
    assert "cell &lt;B&gt;" in page and "cell <B>" not in page
    assert "3 spectra, 1 failed" in page and "ValueError" in page
    assert plain == "BatchResult(3 spectra, 1 failed)"


def test_json_round_trip_cell(executed):
    code, _f, _z = executed
    [stream] = [o for o in code[-1].outputs if o.output_type == "stream"]
    circuit, length, same = stream.text.split()
    assert circuit == "R0-(R1,CPE1)" and int(length) > 100 and same == "True"
    assert not any(o.output_type == "error" for c in code for o in c.outputs)
