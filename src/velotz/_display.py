"""Results in notebooks: HTML tables with small inline SVG pictures.

Jupyter shows an object through its ``_repr_html_``; IPython's plain-text
display uses ``_repr_pretty_`` when a class has one. Everything here is
plain string building (no matplotlib, no numpy import of its own); every text
that comes from the user or the data (circuit texts, parameter names, ids,
messages) is HTML-escaped.
"""
import html
import math

_STYLE = ("font-family: var(--jp-content-font-family, sans-serif); font-size: 13px; "
          "line-height: 1.35; max-width: 760px")
_TABLE = "border-collapse: collapse; margin: 4px 0; font-variant-numeric: tabular-nums"
_CELL = "padding: 1px 8px; text-align: right; border-bottom: 1px solid #ddd"
_HEAD = "padding: 1px 8px; text-align: right; border-bottom: 1px solid #888"
_GOOD = "#1a7f37"
_BAD = "#c62828"
_NOTE = "#6e6e6e"
_REAL = "#1f77b4"
_IMAG = "#ff7f0e"

BATCH_ROWS = 50


def _e(text):
    return html.escape(str(text), quote=True)


def num(value, digits=4):
    """A number for a table: ``digits`` significant digits, exponent without
    padding (3.5e4, 1e-12); None as an empty cell."""
    if value is None:
        return ""
    value = float(value)
    if not math.isfinite(value):
        return str(value)
    text = f"{value:.{digits}g}"
    if "e" in text:
        mantissa, exponent = text.split("e")
        text = f"{mantissa}e{int(exponent)}"
    return text


def _percent(fraction):
    return "" if fraction is None else num(100 * float(fraction), 3) + " %"


def _verdict(ok, yes, no):
    colour = _GOOD if ok else _BAD
    mark = "&#10003;" if ok else "&#10007;"
    return f'<span style="color: {colour}; font-weight: bold">{mark} {_e(yes if ok else no)}</span>'


def _table(header, rows, align_left=(0,)):
    """An HTML table; header and cells are HTML already (callers escape
    what they put in)."""
    out = [f'<table style="{_TABLE}"><thead><tr>']
    for k, h in enumerate(header):
        style = _HEAD + ("; text-align: left" if k in align_left else "")
        out.append(f'<th style="{style}">{h}</th>')
    out.append("</tr></thead><tbody>")
    for row in rows:
        cells, extra = (row[0], row[1]) if isinstance(row, tuple) else (row, "")
        out.append(f"<tr{extra}>")
        for k, c in enumerate(cells):
            style = _CELL + ("; text-align: left" if k in align_left else "")
            out.append(f'<td style="{style}">{c}</td>')
        out.append("</tr>")
    out.append("</tbody></table>")
    return "".join(out)


def _box(title, body):
    return (f'<div class="velotz" style="{_STYLE}"><div style="margin-bottom: 2px">'
            f"<b>{title}</b></div>{body}</div>")


# ---------------------------------------------------------------- pictures

def _finite_pairs(xs, ys, xlog):
    out = []
    for x, y in zip(xs, ys):
        x, y = float(x), float(y)
        if xlog:
            if not x > 0:
                continue
            x = math.log10(x)
        if math.isfinite(x) and math.isfinite(y):
            out.append((x, y))
    return out


def svg_plot(series, *, xlog=False, xlabel="", ylabel="", band=None, width=420, height=150):
    """A small line/dot chart as SVG text.

    ``series``: (xs, ys, colour, style, label) with style "line" or "dots";
    ``xlog`` draws x on a log10 scale; ``band`` shades -band ... band (a
    tolerance) and a zero line is drawn whenever 0 lies in the y range.
    """
    prepared = [(_finite_pairs(xs, ys, xlog), colour, style, label) for xs, ys, colour, style, label in series]
    points = [p for pts, *_ in prepared for p in pts]
    if not points:
        return ""
    x0, x1 = min(p[0] for p in points), max(p[0] for p in points)
    y0, y1 = min(p[1] for p in points), max(p[1] for p in points)
    if band is not None:
        y0, y1 = min(y0, -band), max(y1, band)
    if x1 == x0:
        x0, x1 = x0 - 0.5, x1 + 0.5
    if y1 == y0:
        y0, y1 = y0 - (abs(y0) or 1) * 0.5, y1 + (abs(y1) or 1) * 0.5
    pad_y = 0.06 * (y1 - y0)
    y0, y1 = y0 - pad_y, y1 + pad_y
    left, right, top, bottom = 62, 12, 18, 30
    w, h = width - left - right, height - top - bottom

    def px(x):
        return left + (x - x0) / (x1 - x0) * w

    def py(y):
        return top + (y1 - y) / (y1 - y0) * h

    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
             f'viewBox="0 0 {width} {height}" style="font: 10px sans-serif">',
             f'<rect x="{left}" y="{top}" width="{w}" height="{h}" fill="none" stroke="#999"/>']
    if band is not None:
        parts.append(f'<rect x="{left}" y="{py(band):.1f}" width="{w}" height="{py(-band) - py(band):.1f}" '
                     f'fill="#2ca02c" fill-opacity="0.12"/>')
    if y0 < 0 < y1:
        parts.append(f'<line x1="{left}" x2="{left + w}" y1="{py(0):.1f}" y2="{py(0):.1f}" '
                     f'stroke="#999" stroke-dasharray="3 3"/>')
    for pts, colour, style, _label in prepared:
        if style == "line" and len(pts) > 1:
            path = " ".join(f"{px(x):.1f},{py(y):.1f}" for x, y in pts)
            parts.append(f'<polyline points="{path}" fill="none" stroke="{colour}" stroke-width="1.5"/>')
        else:
            radius = 2.2 if style == "dots" else 3.5
            fill = colour if style == "dots" else "none"
            for x, y in pts:
                parts.append(f'<circle cx="{px(x):.1f}" cy="{py(y):.1f}" r="{radius}" fill="{fill}" '
                             f'stroke="{colour}"/>')

    def xtext(x):
        return num(10 ** x, 3) if xlog else num(x, 3)

    # x: decade ticks on a log axis (at most 7 labels), else the two ends;
    # y: the extremes of the data (or the band), not the padded limits.
    if xlog and x1 - x0 >= 1:
        first, last = math.ceil(x0 - 1e-9), math.floor(x1 + 1e-9)
        step = max(1, math.ceil((last - first + 1) / 7))
        xticks = [d for d in range(first, last + 1) if (d - first) % step == 0]
    else:
        xticks = [x0, x1]
    for x in xticks:
        parts.append(f'<line x1="{px(x):.1f}" x2="{px(x):.1f}" y1="{top + h}" y2="{top + h + 3}" stroke="#999"/>')
        anchor = "start" if px(x) - left < 20 else ("end" if left + w - px(x) < 20 else "middle")
        label = xtext(x)
        parts.append(f'<text x="{px(x):.1f}" y="{height - 16}" text-anchor="{anchor}">{_e(label)}</text>')
    parts.append(f'<text x="{left + w / 2:.0f}" y="{height - 4}" text-anchor="middle">{_e(xlabel)}</text>')
    lo_y, hi_y = (-band, band) if band is not None else (min(p[1] for p in points), max(p[1] for p in points))
    for y in {lo_y, hi_y}:
        parts.append(f'<line x1="{left - 3}" x2="{left}" y1="{py(y):.1f}" y2="{py(y):.1f}" stroke="#999"/>')
        parts.append(f'<text x="{left - 5}" y="{py(y) + 3:.1f}" text-anchor="end">{_e(num(y, 3))}</text>')
    parts.append(f'<text x="4" y="{top + h / 2:.0f}" text-anchor="start">{_e(ylabel)}</text>')
    x = left + 4
    for _pts, colour, _style, label in prepared:
        if label:
            parts.append(f'<text x="{x}" y="{top - 5}" fill="{colour}">{_e(label)}</text>')
            x += 8 + 6 * len(label)
    parts.append("</svg>")
    return "".join(parts)


# ---------------------------------------------------------------- fit results

def fit_result_html(result):
    """``FitResult._repr_html_``: verdict, statistics, the parameter table
    with standard errors and 95 % intervals, and the weighted residuals."""
    circuit = result.circuit
    names = circuit.param_names()
    values = circuit.param_values()
    units = circuit.param_units()
    fixed = circuit.fixed_params()
    stderr = result.stderr or {}
    intervals = result.conf_int(0.95) or {}
    stats = [f"&chi;&sup2; = {_e(num(result.chi_square))}", f"cost = {_e(num(result.cost))}",
             f"{result.iterations} iterations", f"{result.impedance_evals} evaluations"]
    if result.n_points is not None:
        stats.insert(0, f"N = {result.n_points}")
    if result.aic is not None:
        stats.append(f"AIC = {_e(num(result.aic, 6))}, BIC = {_e(num(result.bic, 6))}")
    rows = []
    for name, value, unit in zip(names, values, units):
        err = stderr.get(name)
        rel = "" if err is None or value == 0 else _percent(abs(err / value))
        lo_hi = intervals.get(name)
        interval = "" if lo_hi is None else f"{_e(num(lo_hi[0]))} &ndash; {_e(num(lo_hi[1]))}"
        note = "fixed" if name in fixed else ""
        rows.append([f"<code>{_e(name)}</code>", _e(num(value)), _e(unit),
                     _e(num(err)) if err is not None else "", rel, interval, note])
    table = _table(["parameter", "value", "unit", "std. error", "rel.", "95 % interval", ""], rows,
                   align_left=(0, 2, 6))
    body = (f"<div>{_verdict(result.success, 'success', 'not a usable fit')} &middot; "
            f"<code>{_e(circuit.text)}</code></div><div>{' &middot; '.join(stats)}</div>{table}")
    r = result.residuals
    if r is not None and len(r):
        index = range(len(r) // 2)
        body += svg_plot([(index, r[0::2], _REAL, "dots", "real"), (index, r[1::2], _IMAG, "dots", "imag")],
                         xlabel="point", ylabel="residual")
    return _box("FitResult", body)


def _fit_lines(result):
    circuit = result.circuit
    stderr = result.stderr or {}
    names = circuit.param_names()
    width = max([len(n) for n in names] + [4])
    lines = []
    for name, value, unit in zip(names, circuit.param_values(), circuit.param_units()):
        err = stderr.get(name)
        spread = f" +/- {num(err)}" if err is not None else (" (fixed)" if name not in stderr and
                                                              result.stderr is not None else "")
        lines.append(f"  {name:<{width}} = {num(value)}{spread} [{unit}]")
    return lines


def repr_pretty(result, p, cycle):
    """``FitResult._repr_pretty_``: the representation, then one line per
    parameter with its standard error and unit."""
    if cycle:
        p.text(repr(result))
        return
    p.text("\n".join([repr(result), f"circuit {result.circuit.text}"] + _fit_lines(result)))


def pretty_with_summary(obj, p, cycle):
    """``_repr_pretty_`` of results with a ``summary()``: the representation,
    then the summary."""
    p.text(repr(obj) if cycle else f"{obj!r}\n{obj.summary()}")


# ---------------------------------------------------------------- analysis results

def kk_html(result):
    """``KramersKronigResult._repr_html_``."""
    facts = [f"method {_e(result.method)}", f"M = {result.m}"]
    if result.method != "auto":
        facts.append(f"&mu; = {_e(num(result.mu))}")
    facts += [f"noise {_e(_percent(result.noise))}", f"largest residual {_e(_percent(result.max_residual))}",
              f"tolerance {_e(_percent(result.tolerance))}", f"{len(result.outliers)} outliers",
              f"{len(result.systematic)} systematic ranges"]
    summary = "<br>".join(_e(line) for line in result.summary().splitlines())
    f = result.frequencies
    series = [(f, 100 * result.residuals_real, _REAL, "dots", "real"),
              (f, 100 * result.residuals_imag, _IMAG, "dots", "imag")]
    if len(result.outliers):
        series.append(([f[i] for i in result.outliers],
                       [100 * max(result.residuals_real[i], result.residuals_imag[i], key=abs)
                        for i in result.outliers], _BAD, "rings", "outlier"))
    picture = svg_plot(series, xlog=True, xlabel="frequency / Hz", ylabel="%", band=100 * result.tolerance)
    body = (f"<div>{_verdict(result.passed, 'consistent with Kramers-Kronig', 'not consistent with Kramers-Kronig')}"
            f"</div><div>{' &middot; '.join(facts)}</div><div style=\"margin: 3px 0\">{summary}</div>{picture}")
    return _box("Kramers-Kronig test", body)


def drt_html(result):
    """``DRTResult._repr_html_``."""
    facts = [f"R<sub>&infin;</sub> = {_e(num(result.r_inf))} &Omega;",
             f"R<sub>pol</sub> = {_e(num(result.polarization_resistance))} &Omega;",
             f"&lambda; = {_e(num(result.lam))} ({_e(result.method)})"]
    if result.inductance is not None:
        facts.insert(1, f"L = {_e(num(result.inductance))} H")
    rows = [[_e(num(tau)), _e(num(1 / (2 * math.pi * tau))), _e(num(area)), _e(num(width, 3))]
            for tau, area, width in result.peaks]
    table = _table(["&tau; / s", "f / Hz", "R / &Omega;", "width / decades"], rows, align_left=()) if rows else ""
    series = [(result.tau, result.gamma, _REAL, "line", "")]
    if result.peaks:
        import numpy as np

        at = [int(np.argmin(np.abs(result.tau - tau))) for tau, _a, _w in result.peaks]
        series.append(([result.tau[i] for i in at], [result.gamma[i] for i in at], _BAD, "rings", "peaks"))
    picture = svg_plot(series, xlog=True, xlabel="tau / s", ylabel="gamma / ohm")
    n = len(result.peaks)
    return _box("Distribution of relaxation times",
                f"<div>{n} peak{'s' if n != 1 else ''} &middot; {' &middot; '.join(facts)}</div>{table}{picture}")


def _finding_items(findings):
    items = []
    for f in findings:
        colour = _BAD if f.severity == "problem" else _NOTE
        params = f" <code>{_e(', '.join(f.params))}</code>" if f.params else ""
        items.append(f'<li><span style="color: {colour}; font-weight: bold">{_e(f.severity)}</span> '
                     f"<i>{_e(f.kind)}</i>{params}: {_e(f.message)}</li>")
    return items


def diagnosis_html(diagnosis):
    """``Diagnosis._repr_html_``: problems first, then notes."""
    verdict = _verdict(diagnosis.ok, "no problems found",
                       f"{len(diagnosis.problems)} problem{'s' if len(diagnosis.problems) != 1 else ''}")
    items = _finding_items(diagnosis.problems + diagnosis.notes)
    body = f"<div>{verdict}</div>" + (f'<ul style="margin: 2px 0">{"".join(items)}</ul>' if items else "")
    return _box("Diagnosis", body)


def comparison_html(comparison):
    """``Comparison._repr_html_``: the ranking, best first."""
    chosen = comparison.recommended
    rows = []
    rank = 0
    for e in comparison.entries:
        bold = ' style="font-weight: bold"' if e is chosen else ""
        if e.error is not None:
            rows.append((["&ndash;", f"<code>{_e(e.name)}</code>", _e(e.n_params), "", "", "", "",
                          f'<span style="color: {_BAD}">failed: {_e(e.error)}</span>'], ""))
            continue
        rank += 1
        kinds = e.diagnosis.kinds("problem")
        problems = f"{len(e.diagnosis.problems)} ({_e(', '.join(kinds))})" if kinds else "&ndash;"
        rows.append(([str(rank), f"<code>{_e(e.name)}</code>", _e(e.n_params), _e(num(e.cost)),
                      _e(num(e.aic, 6)), _e(num(e.bic, 6)), _e(num(e.delta, 4)), problems], bold))
    table = _table(["#", "circuit", "k", "cost", "AIC", "BIC", "&Delta;", "problems"], rows, align_left=(1, 7))
    head = (f"{len(comparison.entries)} circuits on {comparison.n_points} points, ranked by "
            f"{_e(comparison.criterion.upper())}")
    foot = f"<div>recommended: <code>{_e(chosen.name)}</code></div>" if chosen is not None else ""
    return _box("Comparison", f"<div>{head}</div>{table}{foot}")


def batch_html(batch):
    """``BatchResult._repr_html_``: the first rows of the results table."""
    names = batch.circuit.param_names()
    failed = sum(1 for r in batch.results if isinstance(r, BaseException))
    rows = []
    for ident, r in list(zip(batch.ids, batch.results))[:BATCH_ROWS]:
        if isinstance(r, BaseException):
            rows.append([_e(ident), _verdict(False, "", "error"), "",
                         f'<span style="color: {_BAD}">{_e(type(r).__name__)}: {_e(r)}</span>'] +
                        [""] * max(len(names) - 1, 0))
            continue
        params = r.circuit.param_values()
        rows.append([_e(ident), _verdict(r.success, "", ""), _e(num(r.chi_square))] +
                     [_e(num(v)) for v in params])
    table = _table(["id", "success", "&chi;&sup2;"] + [f"<code>{_e(n)}</code>" for n in names], rows)
    more = (f"<div>&hellip; {len(batch.results) - BATCH_ROWS} more rows (to_dataframe() has them all)</div>"
            if len(batch.results) > BATCH_ROWS else "")
    head = (f"{len(batch.results)} spectra, {failed} failed &middot; circuit "
            f"<code>{_e(batch.circuit.text)}</code>")
    # Every spectrum's chi-square (log scale) shows the odd ones out of a long
    # batch at a glance.
    fitted = [(k, math.log10(r.chi_square)) for k, r in enumerate(batch.results)
              if not isinstance(r, BaseException) and r.chi_square > 0 and math.isfinite(r.chi_square)]
    picture = ""
    if len(fitted) >= 2:
        picture = svg_plot([([k for k, _ in fitted], [c for _, c in fitted], _REAL, "dots", "")],
                           xlabel="spectrum", ylabel="log10 chi2")
    return _box("BatchResult", f"<div>{head}</div>{table}{more}{picture}")
