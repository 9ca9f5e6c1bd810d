"""Pictures of a spectrum and a model: Nyquist, Bode and relative residuals;
and of a distribution of relaxation times.

matplotlib (the ``plot`` extra) and numpy are imported inside the functions.
The model may be a ``FitResult``, a ``Circuit``, a ``KramersKronigResult`` or
None (data only); it is drawn as a line over the measured frequency range,
the data as markers.

Impedance axes carry an SI prefix chosen from the data (mOhm, kOhm, MOhm) and
no offset text; logarithmic axes label the decades only (evenly spaced
round numbers when the data span less than a decade). The Nyquist plot
marks each decade of frequency on the measured points ("1 kHz") and, when
the spectrum spans decades of |Z|, zooms on the high-frequency end in an
inset. Axes drawn here carry a ``gid`` ("velotz-decades", "velotz-inset",
"velotz-tolerance", "velotz-verdict", "velotz-outliers",
"velotz-systematic", "velotz-table") so that code can find what was drawn.
"""
import math
import sys

from velotz._core import Circuit, FitResult

_core = sys.modules["velotz._core"]

__all__ = ["plot_nyquist", "plot_bode", "plot_residuals", "plot_fit", "plot_drt"]

_DATA_STYLE = dict(linestyle="none", marker="o", markersize=4, markerfacecolor="none", label="measured")
_MODEL_STYLE = dict(linestyle="-", linewidth=1.6, label="model")

OHM = "\u03a9"
MINUS = "\u2212"
_PREFIXES = {-15: "f", -12: "p", -9: "n", -6: "\u00b5", -3: "m", 0: "", 3: "k", 6: "M", 9: "G", 12: "T"}
# The inset appears by itself ("auto") when |Z| spans at least this many
# decades: the high-frequency end is then a few pixels of the Nyquist plot.
INSET_DECADES = 2.0
# A decade mark is labelled in the main Nyquist axes only when it lies at
# least this fraction of the data's extent from the previous labelled one
# (crowded marks are left to the inset).
MARK_SPACING = 0.045


def _pyplot():
    try:
        import matplotlib.pyplot as plt
    except ImportError as exc:  # pragma: no cover - depends on the environment
        raise ImportError("plotting needs matplotlib: pip install 'velotz[plot]'") from exc
    return plt


def _spectrum(frequencies, impedances):
    import numpy as np

    f, z = _core._spectrum(frequencies, impedances)
    return np.asarray(f, dtype=float), np.asarray(z, dtype=complex)


def _model_impedance(model, freqs):
    """The model's impedance at `freqs` (hertz), or None without a model."""
    import numpy as np

    from velotz._analysis import KramersKronigResult

    if model is None:
        return None
    if isinstance(model, FitResult):
        return np.asarray(model.circuit.impedance(list(freqs)))
    if isinstance(model, Circuit):
        return np.asarray(model.impedance(list(freqs)))
    if isinstance(model, KramersKronigResult):
        w = 2 * np.pi * np.asarray(freqs, dtype=float)
        z = np.full(w.shape, model.r_ohm, dtype=complex)
        for r, tau in zip(model.resistances, model.time_constants):
            z += r / (1 + 1j * w * tau)
        if model.inductance is not None:
            z += 1j * w * model.inductance
        if model.capacitance is not None:
            z += 1 / (1j * w * model.capacitance)
        return z
    raise TypeError(
        f"model must be a FitResult, Circuit, KramersKronigResult or None, not {type(model).__name__}")


def _is_kk(model):
    from velotz._analysis import KramersKronigResult

    return isinstance(model, KramersKronigResult)


def _model_style(model):
    return dict(_MODEL_STYLE, label="KK fit") if _is_kk(model) else _MODEL_STYLE


def _model_symbol(model):
    return r"$Z_\mathrm{KK}$" if _is_kk(model) else r"$Z_\mathrm{model}$"


def _dense(freqs, points=300):
    import numpy as np

    f = freqs[freqs > 0]
    return np.logspace(np.log10(f.min()), np.log10(f.max()), points)


def _new_axes(count):
    plt = _pyplot()
    fig, axes = plt.subplots(1, count, figsize=(5.0 * count, 4.2), constrained_layout=True)
    return [axes] if count == 1 else list(axes)


# ---------------------------------------------------------------- numbers and units
def prefix_exponent(largest):
    """The power of ten (a multiple of 3, -15 ... 12) whose SI prefix suits
    values up to `largest` in magnitude: 0.05 -> -3 (m), 4.6e6 -> 6 (M)."""
    if not (largest > 0 and math.isfinite(largest)):
        return 0
    # A hair above the decade so that 999.9999999 counts as 1000.
    exponent = 3 * math.floor(math.log10(largest * (1 + 1e-9)) / 3)
    return min(max(exponent, -15), 12)


def _prefix_for(prefix, values):
    """(exponent, prefix letter) for an axis: `prefix` None chooses from the
    largest magnitude in `values`, otherwise it names the prefix ("m", "k",
    "" ...)."""
    import numpy as np

    if prefix is None:
        finite = np.abs(np.asarray(values, dtype=float))
        finite = finite[np.isfinite(finite)]
        exponent = prefix_exponent(float(finite.max()) if finite.size else 0.0)
        return exponent, _PREFIXES[exponent]
    prefix = "\u00b5" if prefix in ("u", "\u03bc") else str(prefix)
    for exponent, letter in _PREFIXES.items():
        if letter == prefix:
            return exponent, letter
    raise ValueError(f"prefix must be one of {', '.join(repr(p) for p in _PREFIXES.values())} or None, "
                     f"not {prefix!r}")


def si_format(value, unit, digits=3):
    """`value` with an SI prefix on `unit`: si_format(1000, "Hz") -> "1 kHz",
    si_format(0.0123, "ohm" sign) -> "12.3 mOhm"."""
    if value == 0 or not math.isfinite(value):
        return f"{value:g} {unit}"
    exponent = prefix_exponent(abs(value))
    scaled = value / 10.0 ** exponent
    text = f"{scaled:.{digits}g}"
    if "e" in text:  # 1000 of a prefix after rounding (999.96 -> 1e+03)
        exponent = min(exponent + 3, 12)
        text = f"{value / 10.0 ** exponent:.{digits}g}"
    return f"{text.replace('-', MINUS)} {_PREFIXES[exponent]}{unit}"


def _decimals(values):
    """The fewest decimals that write every tick value exactly."""
    for digits in range(0, 7):
        if all(abs(round(v, digits) - v) <= 1e-9 * max(1.0, abs(v)) for v in values):
            return digits
    return 6


_FORMATTER = []


def _formatter(label):
    """A matplotlib Formatter calling label(value, tick values of the axis)."""
    if not _FORMATTER:
        from matplotlib.ticker import Formatter

        class TickLabels(Formatter):
            def __init__(self, label):
                self.label = label
                self.ticks = []

            def set_locs(self, locs):
                self.ticks = list(locs)

            def __call__(self, x, pos=None):
                return self.label(x, self.ticks)

        _FORMATTER.append(TickLabels)
    return _FORMATTER[0](label)


def _linear_formatter(scale):
    """Tick labels value/scale with the same number of decimals on every tick
    and no offset text (the prefix in the axis label says the scale)."""

    def label(value, ticks):
        locs = [v / scale for v in ticks] or [value / scale]
        text = f"{value / scale:.{_decimals(locs)}f}"
        if float(text) == 0:
            text = text.lstrip("-")
        return text.replace("-", MINUS)

    return _formatter(label)


def _set_log_labels(axis, values, scale=1.0):
    """Labels on a logarithmic axis (values divided by `scale`). When the
    data span two decades or more: the decades only, as plain numbers when
    every decade shown lies within 0.01 ... 10^4 and as 10^k otherwise, minor
    ticks unlabelled; between one and two decades the minor ticks at 2 and 5
    are labelled too. Within less than a decade: evenly spaced round
    numbers."""
    import numpy as np
    from matplotlib.ticker import AutoLocator, LogLocator, NullFormatter

    v = np.asarray(values, dtype=float)
    v = v[np.isfinite(v) & (v > 0)]
    axis.set_minor_locator(LogLocator(base=10.0, subs=tuple(range(2, 10)), numticks=12))
    axis.set_minor_formatter(NullFormatter())
    if v.size and v.max() < 10 * v.min():
        axis.set_major_locator(AutoLocator())
        axis.set_major_formatter(_linear_formatter(scale))
        return

    def major(value, ticks):
        if value <= 0:
            return ""
        lo, hi = sorted(axis.get_view_interval())
        shown = [t / scale for t in ticks if lo * (1 - 1e-9) <= t <= hi * (1 + 1e-9)] or [value / scale]
        if all(-2 <= math.log10(t) <= 4 + 1e-9 for t in shown):
            return _log_number_plain(value / scale)
        k = int(round(math.log10(value / scale)))
        return rf"$\mathdefault{{10^{{{k}}}}}$".replace("-", MINUS)

    axis.set_major_locator(LogLocator(base=10.0, numticks=12))
    axis.set_major_formatter(_formatter(major))
    if v.size and v.max() < 100 * v.min():
        def minor(value, ticks):
            if value <= 0:
                return ""
            mantissa = value / 10.0 ** math.floor(math.log10(value) + 1e-9)
            if min(abs(mantissa - m) for m in (2.0, 5.0)) > 1e-6:
                return ""
            return _log_number_plain(value / scale)

        axis.set_minor_formatter(_formatter(minor))


def _log_number_plain(v):
    digits = max(0, -math.floor(math.log10(v) + 1e-9))
    return f"{v:.{digits}f}"


# ---------------------------------------------------------------- Nyquist
def _interp_log_f(f, z, targets):
    """The measured spectrum at `targets` (Hz), interpolated linearly in the
    complex plane against log f; NaN outside the measured range."""
    import numpy as np

    order = np.argsort(f, kind="stable")
    lf, zs = np.log10(f[order]), z[order]
    t = np.log10(np.asarray(targets, dtype=float))
    re = np.interp(t, lf, zs.real, left=np.nan, right=np.nan)
    im = np.interp(t, lf, zs.imag, left=np.nan, right=np.nan)
    return re + 1j * im


def decade_frequencies(f):
    """The powers of ten (Hz) within the measured range of `f`."""
    import numpy as np

    f = np.asarray(f, dtype=float)
    f = f[np.isfinite(f) & (f > 0)]
    if not f.size:
        return []
    lo, hi = math.log10(f.min()), math.log10(f.max())
    return [10.0 ** k for k in range(math.ceil(lo - 1e-9), math.floor(hi + 1e-9) + 1)]


def _mark_decades(ax, f, z, box=None, spacing=MARK_SPACING, outside=None):
    """Dots on the measured spectrum at each decade of frequency, labelled
    "1 kHz", pushed off the curve along its normal. Within `box` (re_lo,
    re_hi, y_lo, y_hi) only, and not within `outside`; marks closer than
    `spacing` times the extent of the points in view to the previous one are
    left out."""
    import numpy as np

    decades = decade_frequencies(f)
    if not decades or len(f) < 2:
        return []
    at = _interp_log_f(f, z, decades)
    before = _interp_log_f(f, z, [d * 10 ** -0.1 for d in decades])
    after = _interp_log_f(f, z, [d * 10 ** 0.1 for d in decades])
    xs, ys = z.real, -z.imag
    if box is not None:
        inside = (xs >= box[0]) & (xs <= box[1]) & (ys >= box[2]) & (ys <= box[3])
        xs, ys = xs[inside], ys[inside]
    if not xs.size:
        return []
    extent = max(np.ptp(xs), np.ptp(ys), 1e-300)
    centre = np.array([np.mean(xs), np.mean(ys)])
    placed, marks = [], []
    for d, p, b, a in zip(decades, at, before, after):
        if not np.isfinite(p):
            continue
        point = np.array([p.real, -p.imag])
        if box is not None and not (box[0] <= point[0] <= box[1] and box[2] <= point[1] <= box[3]):
            continue
        if outside is not None and (outside[0] <= point[0] <= outside[1] and outside[2] <= point[1] <= outside[3]):
            continue
        if any(np.hypot(*(point - q)) < spacing * extent for q in placed):
            continue
        placed.append(point)
        # Tangent from a tenth of a decade either side; the label goes along
        # the normal that points away from the middle of the points.
        lo = b if np.isfinite(b) else p
        hi = a if np.isfinite(a) else p
        tangent = np.array([hi.real - lo.real, -(hi.imag - lo.imag)])
        norm = np.hypot(*tangent)
        normal = np.array([-tangent[1], tangent[0]]) / norm if norm > 0 else np.array([0.7071, 0.7071])
        if np.dot(normal, point - centre) < 0:
            normal = -normal
        # Next to an edge of the points the label would leave the axes
        # (over the tick labels): put it on the other side of the curve.
        edge = 0.1 * extent
        if ((normal[0] < -0.35 and point[0] < xs.min() + edge) or (normal[0] > 0.35 and point[0] > xs.max() - edge)
                or (normal[1] < -0.35 and point[1] < ys.min() + edge)
                or (normal[1] > 0.35 and point[1] > ys.max() - edge)):
            normal = -normal
        ha = "left" if normal[0] > 0.35 else "right" if normal[0] < -0.35 else "center"
        va = "bottom" if normal[1] > 0.35 else "top" if normal[1] < -0.35 else "center"
        marks.append(ax.annotate(
            si_format(d, "Hz"), xy=tuple(point), xytext=tuple(9.0 * normal), textcoords="offset points",
            ha=ha, va=va, fontsize=7.5, color="0.2", gid="velotz-decades", annotation_clip=False))
    if placed:
        pts = np.array(placed)
        ax.plot(pts[:, 0], pts[:, 1], linestyle="none", marker="o", markersize=3.2, color="0.15",
                label="_decades", gid="velotz-decades", zorder=3)
    return marks


def _zoom_box(z, inset):
    """(re_lo, re_hi, y_lo, y_hi) of the high-frequency end to zoom on, or
    None. `inset` True takes the points whose |Z| lies within the lowest
    third of the decades spanned ("auto": at least one decade); a number is
    the largest |Z| (ohm) to show."""
    import numpy as np

    if inset is None or inset is False:
        return None
    mod = np.abs(z)
    mod = mod[np.isfinite(mod)]
    if mod.size < 3 or mod.min() <= 0:
        return None
    span = math.log10(mod.max() / mod.min())
    if isinstance(inset, str):
        if inset != "auto":
            raise ValueError(f'inset must be "auto", True, False, None or a largest |Z| in ohm, not {inset!r}')
        if span < INSET_DECADES:
            return None
    if inset is True:
        limit = mod.min() * 10 ** (span / 3)
    elif isinstance(inset, str):
        limit = mod.min() * 10 ** max(1.0, span / 3)
    else:
        limit = float(inset)
        if not limit > 0:
            raise ValueError("inset must be a positive |Z| in ohm")
    near = np.abs(z) <= limit
    if np.count_nonzero(near) < 2 or np.count_nonzero(near) == len(z):
        return None
    xs, ys = z.real[near], -z.imag[near]
    lo_x, hi_x, lo_y, hi_y = xs.min(), xs.max(), min(ys.min(), 0.0), ys.max()
    # A square box (the inset is square, the scales equal), the points
    # centred in its narrower direction.
    side = 1.16 * max(hi_x - lo_x, hi_y - lo_y, 1e-300)
    cx, cy = (lo_x + hi_x) / 2, (lo_y + hi_y) / 2
    return cx - side / 2, cx + side / 2, cy - side / 2, cy + side / 2


_CORNERS = {  # legend location: inset bounds in axes fractions
    "upper left": (0.03, 0.55, 0.42, 0.42),
    "upper right": (0.55, 0.55, 0.42, 0.42),
    "lower right": (0.55, 0.03, 0.42, 0.42),
    "lower left": (0.03, 0.03, 0.42, 0.42),
}


def _emptiest_corners(ax, xs, ys):
    """The corners of the axes ordered by how few of the points they cover
    (upper left first among equals)."""
    import numpy as np

    ax.autoscale_view()
    ax.apply_aspect()
    x0, x1 = ax.get_xlim()
    y0, y1 = ax.get_ylim()
    u = (np.asarray(xs) - x0) / (x1 - x0)
    v = (np.asarray(ys) - y0) / (y1 - y0)
    counts = {}
    for name, (cx, cy, w, h) in _CORNERS.items():
        counts[name] = int(np.count_nonzero((u >= cx - 0.02) & (u <= cx + w + 0.02) & (v >= cy - 0.02)
                                            & (v <= cy + h + 0.02)))
    order = list(_CORNERS)
    return sorted(order, key=lambda c: (counts[c], order.index(c)))


def plot_nyquist(model, frequencies, impedances=None, *, ax=None, decades=True, inset="auto", prefix=None):
    """Nyquist plot: -Im Z against Re Z with equal axis scales; returns the axes.

    ``decades`` marks the measured spectrum at every power of ten of
    frequency ("1 kHz"). Both axes are in one SI unit chosen from the data
    (``prefix`` names it instead: "m", "", "k", "M" ...). ``inset`` zooms on
    the high-frequency end in an inset axes: "auto" (default) when |Z|
    spans two decades or more, True always, False never, or a number: the
    largest |Z| (ohm) shown in it. The inset is ``ax.velotz_inset`` (None
    when there is none).
    """
    import numpy as np

    f, z = _spectrum(frequencies, impedances)
    if ax is None:
        ax = _new_axes(1)[0]
    ax.plot(z.real, -z.imag, **_DATA_STYLE)
    zm = _model_impedance(model, _dense(f)) if len(f) else None
    if zm is not None:
        ax.plot(zm.real, -zm.imag, **_model_style(model))
    ax.axhline(0.0, color="0.6", linewidth=0.8)
    ax.set_aspect("equal", adjustable="datalim")
    exponent, letter = _prefix_for(prefix, np.concatenate([z.real, z.imag]) if len(z) else [0.0])
    scale = 10.0 ** exponent
    ax.xaxis.set_major_formatter(_linear_formatter(scale))
    ax.yaxis.set_major_formatter(_linear_formatter(scale))
    ax.set_xlabel(rf"$\mathrm{{Re}}\,Z$ / {letter}{OHM}")
    ax.set_ylabel(rf"$-\mathrm{{Im}}\,Z$ / {letter}{OHM}")
    ax.set_title("Nyquist")
    box = _zoom_box(z, inset) if len(f) else None
    if decades and len(f):
        # Marks within the zoomed box are labelled in the inset only.
        _mark_decades(ax, f, z, outside=box)
    ax.velotz_inset = None
    legend_loc = "best"
    if box is not None:
        xs, ys = [z.real], [-z.imag]
        if zm is not None:
            xs.append(zm.real)
            ys.append(-zm.imag)
        corners = _emptiest_corners(ax, np.concatenate(xs), np.concatenate(ys))
        inner = ax.inset_axes(list(_CORNERS[corners[0]]))
        inner.set_gid("velotz-inset")
        inner.plot(z.real, -z.imag, **_DATA_STYLE)
        if zm is not None:
            # The model densely over the zoomed frequencies, so that a small
            # arc is drawn smooth.
            inside = (z.real >= box[0]) & (z.real <= box[1]) & (-z.imag >= box[2]) & (-z.imag <= box[3])
            fz = f[inside]
            fine = np.logspace(np.log10(fz.min()), np.log10(fz.max()), 200) if fz.size else _dense(f)
            zi = _model_impedance(model, np.unique(np.concatenate([fine, _dense(f)])))
            inner.plot(zi.real, -zi.imag, **_model_style(model))
        inner.axhline(0.0, color="0.6", linewidth=0.8)
        inner.set_xlim(box[0], box[1])
        inner.set_ylim(box[2], box[3])
        inner.set_aspect("equal", adjustable="box")
        iexp, _ = _prefix_for(None, [box[0], box[1], box[2], box[3]])
        iscale = 10.0 ** iexp
        # The inset's ticks are in the main axes' unit, so one label serves
        # both; many decimals mean the zoom wants a smaller prefix, named on
        # the inset.
        if iexp < exponent:
            inner.set_title(f"{_PREFIXES[iexp]}{OHM}", fontsize=7, loc="right", pad=2)
        else:
            iscale = scale
        inner.xaxis.set_major_formatter(_linear_formatter(iscale))
        inner.yaxis.set_major_formatter(_linear_formatter(iscale))
        inner.tick_params(labelsize=7)
        inner.locator_params(nbins=4)
        if decades:
            _mark_decades(inner, f, z, box=box, spacing=0.08)
        ax.indicate_inset_zoom(inner, edgecolor="0.45")
        ax.velotz_inset = inner
        legend_loc = corners[1]
    ax.legend(loc=legend_loc, fontsize="small")
    return ax


# ---------------------------------------------------------------- Bode
def plot_bode(model, frequencies, impedances=None, *, axes=None, prefix=None):
    """Bode plot: |Z| and phase against frequency; returns (modulus axes, phase axes).

    |Z| is in one SI unit chosen from its smallest value (``prefix`` names
    it instead); the logarithmic axes label their decades only.
    """
    import numpy as np

    f, z = _spectrum(frequencies, impedances)
    if axes is None:
        axes = _new_axes(2)
    ax_mod, ax_phase = axes
    ax_mod.loglog(f, np.abs(z), **_DATA_STYLE)
    ax_phase.semilogx(f, -np.degrees(np.angle(z)), **_DATA_STYLE)
    if model is not None and len(f):
        fd = _dense(f)
        zm = _model_impedance(model, fd)
        ax_mod.loglog(fd, np.abs(zm), **_model_style(model))
        ax_phase.semilogx(fd, -np.degrees(np.angle(zm)), **_model_style(model))
    # On a logarithmic axis the prefix suits the smallest |Z|, so that the
    # labels are 1 or more.
    mod = np.abs(z)
    mod = mod[np.isfinite(mod) & (mod > 0)]
    exponent, letter = _prefix_for(prefix, [mod.min()] if mod.size else [0.0])
    _set_log_labels(ax_mod.xaxis, f)
    _set_log_labels(ax_mod.yaxis, np.abs(z), 10.0 ** exponent)
    _set_log_labels(ax_phase.xaxis, f)
    ax_mod.set_xlabel("$f$ / Hz")
    ax_mod.set_ylabel(f"$|Z|$ / {letter}{OHM}")
    ax_mod.set_title("Bode: modulus")
    ax_phase.set_xlabel("$f$ / Hz")
    ax_phase.set_ylabel("$-\\varphi$ / \u00b0")
    ax_phase.set_title("Bode: phase")
    ax_mod.legend(loc="best", fontsize="small")
    return ax_mod, ax_phase


# ---------------------------------------------------------------- residuals
def _kk_verdict(kk):
    """(headline, colour) of a Kramers-Kronig result for the residual plot."""
    from velotz._analysis import _percent

    if kk.method == "auto":
        if kk.passed:
            text = (f"KK test passed: residuals are noise of {_percent(kk.noise)}\n"
                    f"(M = {kk.m}, largest {_percent(kk.max_residual)})")
        else:
            parts = []
            if len(kk.outliers):
                parts.append(f"{len(kk.outliers)} outlier{'s' if len(kk.outliers) != 1 else ''}")
            for lo, hi in kk.systematic:
                parts.append(f"systematic at {si_format(lo, 'Hz')}" if lo == hi else
                             f"systematic {si_format(lo, 'Hz')} \u2013 {si_format(hi, 'Hz')}")
            text = f"KK test failed: {', '.join(parts)}\n(noise {_percent(kk.noise)}, M = {kk.m})"
    else:
        rel = "\u2264" if kk.passed else ">"
        text = (f"KK test {'passed' if kk.passed else 'failed'}: largest residual "
                f"{_percent(kk.max_residual)} {rel} {_percent(kk.tolerance)}\n(M = {kk.m}, \u03bc = {kk.mu:.3f})")
    return text, ("#1a7f37" if kk.passed else "#b42318")


def plot_residuals(model, frequencies, impedances=None, *, ax=None, band=None, verdict=True):
    """Relative residuals (Z - Z_model) / |Z| in percent, real and imaginary
    parts, against frequency; returns the axes.

    ``band`` (a fraction of |Z|, e.g. 0.01) shades the band of +-band; for a
    ``KramersKronigResult`` it defaults to the test's tolerance, and
    ``verdict`` writes the test's verdict in the axes, rings its outliers
    and shades its ranges of systematic deviation.
    """
    import numpy as np

    if model is None:
        raise ValueError("residuals need a model")
    f, z = _spectrum(frequencies, impedances)
    if ax is None:
        ax = _new_axes(1)[0]
    zm = _model_impedance(model, f)
    rel = (z - zm) / np.abs(z) * 100.0
    kk = model if _is_kk(model) else None
    ax.semilogx(f, rel.real, marker="o", markersize=3.5, linewidth=0.9, label="real")
    ax.semilogx(f, rel.imag, marker="s", markersize=3.5, linewidth=0.9, label="imaginary")
    ax.axhline(0.0, color="0.4", linewidth=0.8)
    if band is None and kk is not None:
        band = kk.tolerance
    if band is not None:
        band = float(band)
        if not band > 0:
            raise ValueError("band must be a positive fraction of |Z|")
        ax.axhspan(-band * 100, band * 100, color="#2e7d32", alpha=0.11, linewidth=0, gid="velotz-tolerance",
                   label=f"tolerance \u00b1{band * 100:g} %")
    if kk is not None and verdict:
        same = len(kk.frequencies) == len(f) and np.array_equal(kk.frequencies, f)
        if same and len(kk.outliers):
            idx = np.asarray(kk.outliers, dtype=int)
            for part in (rel.real, rel.imag):
                ax.plot(f[idx], part[idx], linestyle="none", marker="o", markersize=9, markerfacecolor="none",
                        markeredgecolor="#b42318", markeredgewidth=1.2, gid="velotz-outliers",
                        label="_outliers")
        for k, (lo, hi) in enumerate(kk.systematic):
            ax.axvspan(lo / 10 ** 0.05, hi * 10 ** 0.05, color="#e08e0b", alpha=0.18, linewidth=0,
                       gid="velotz-systematic", label="systematic" if k == 0 else "_systematic")
        text, colour = _kk_verdict(kk)
        ax.text(0.02, 0.97, text, transform=ax.transAxes, ha="left", va="top", fontsize=8, color=colour,
                gid="velotz-verdict", bbox=dict(boxstyle="round,pad=0.3", facecolor="white", edgecolor=colour,
                                                alpha=0.9))
        top = max(float(np.max(np.abs(rel.real))), float(np.max(np.abs(rel.imag))),
                  (band or 0) * 100) if len(f) else 1.0
        ax.set_ylim(-1.15 * top, 1.9 * top)  # room above for the verdict
    _set_log_labels(ax.xaxis, f)
    ax.set_xlabel("$f$ / Hz")
    symbol = _model_symbol(model).strip("$")
    ax.set_ylabel(rf"$(Z - {symbol})\,/\,|Z|$ / %")
    ax.set_title("Relative residuals")
    ax.legend(loc="lower right" if kk is not None and verdict else "best", fontsize="small")
    return ax


# ---------------------------------------------------------------- parameter table
_UNIT_SIGNS = {"ohm": OHM, "Ohm": OHM}


def parameter_rows(model):
    """[(name, value text, standard error text)] of a FitResult or a Circuit
    with values, values with an SI prefix on their unit where it has one."""
    if isinstance(model, FitResult):
        circuit, params, stderr = model.circuit, model.params, model.stderr
    elif isinstance(model, Circuit):
        circuit, stderr = model, None
        params = dict(zip(model.param_names(), model.param_values()))
    else:
        raise TypeError(f"a parameter table needs a FitResult or a Circuit, not {type(model).__name__}")
    fixed = circuit.fixed_params()
    rows = []
    for name, unit in zip(circuit.param_names(), circuit.param_units()):
        value = params[name]
        sign = _UNIT_SIGNS.get(unit, unit)
        # Prefixed where the unit is a plain one (seconds only below 1 s:
        # 1300 s reads better than 1.3 ks).
        simple = sign in (OHM, "F", "H", "Hz", "S") or (sign == "s" and abs(value) < 1)
        if simple:
            text = si_format(value, sign, 4)
        else:
            text = f"{_number(value)} {_unit_text(unit)}".strip()
        if name in fixed:
            err = "fixed"
        elif stderr is not None and name in stderr and math.isfinite(stderr[name]) and value != 0:
            rel = abs(stderr[name] / value) * 100
            err = f"\u00b1 {rel:.2g} %" if rel < 100 else f"\u00b1 {rel:.0f} %" if rel < 1e4 else \
                f"\u00b1 {_number(rel, 2)} %"
        else:
            err = ""
        rows.append((name, text, err))
    return rows


def _number(value, digits=4):
    """A number for a table: 4 significant digits, 2.054x10^-6 rather than
    2.054e-06."""
    text = f"{value:.{digits}g}"
    if "e" in text:
        mantissa, exponent = text.split("e")
        return f"{mantissa.replace('-', MINUS)}\u00d710$^{{{int(exponent)}}}$"
    return text.replace("-", MINUS)


_GREEK = {"alpha": r"\alpha", "gamma": r"\gamma", "beta": r"\beta", "phi": r"\phi"}


def _unit_text(unit):
    """A unit of param_units() for reading: ohm^-1*s^alpha -> Ohm^-1 s^alpha
    with raised exponents; "-" (no unit) -> ""."""
    if unit in ("-", ""):
        return ""
    parts = []
    for factor in unit.split("*"):
        base, _, power = factor.partition("^")
        base = _UNIT_SIGNS.get(base, base)
        if power:
            power = power.strip("()")
            for word, symbol in _GREEK.items():
                power = power.replace(word, symbol)
            base += f"$^{{{power}}}$"
        parts.append(base)
    return "\u2009".join(parts)


def _draw_table(ax, model):
    ax.set_axis_off()
    rows = parameter_rows(model)
    table = ax.table(cellText=[list(r) for r in rows], colLabels=["parameter", "value", "std. error"],
                     loc="upper center", cellLoc="left", colLoc="left", edges="horizontal")
    table.set_gid("velotz-table")
    table.auto_set_font_size(False)
    table.set_fontsize(8)
    table.auto_set_column_width([0, 1, 2])
    if isinstance(model, FitResult):
        ax.set_title(f"\u03c7\u00b2 = {model.chi_square:.3g}, {'converged' if model.success else 'not converged'}",
                     fontsize=9)
    return table


def plot_fit(model, frequencies, impedances=None, *, axes=None, title=None, table=False, decades=True,
             inset="auto", prefix=None):
    """Nyquist, Bode (|Z| and phase) and relative residuals of a model against
    a spectrum, on four axes (passed, or a new 2 x 2 figure); returns them.

    ``table=True`` adds a table of the parameters (value, relative standard
    error) of a ``FitResult`` or ``Circuit`` in a column to the right of a
    new figure; ``table`` may also be an axes to draw it in. ``decades``,
    ``inset`` and ``prefix`` go to ``plot_nyquist``.
    """
    table_ax = None
    if table is not None and table is not False and table is not True:
        table_ax = table
    if axes is None:
        plt = _pyplot()
        if table is True:
            fig = plt.figure(figsize=(14.5, 8.6), constrained_layout=True)
            grid = fig.add_gridspec(2, 3, width_ratios=[1.0, 1.0, 0.62])
            axes = [fig.add_subplot(grid[0, 0]), fig.add_subplot(grid[0, 1]), fig.add_subplot(grid[1, 0]),
                    fig.add_subplot(grid[1, 1])]
            table_ax = fig.add_subplot(grid[:, 2])
        else:
            fig, grid = plt.subplots(2, 2, figsize=(11.0, 8.6), constrained_layout=True)
            axes = [grid[0][0], grid[0][1], grid[1][0], grid[1][1]]
    else:
        axes = list(axes)
        if len(axes) != 4:
            raise ValueError(f"axes must hold 4 axes (Nyquist, |Z|, phase, residuals), got {len(axes)}")
        if table is True:
            raise ValueError("with axes passed in, table takes the axes to draw the table in (table=True needs "
                             "a new figure)")
    plot_nyquist(model, frequencies, impedances, ax=axes[0], decades=decades, inset=inset, prefix=prefix)
    plot_bode(model, frequencies, impedances, axes=(axes[1], axes[2]), prefix=prefix)
    if model is not None:
        plot_residuals(model, frequencies, impedances, ax=axes[3])
    else:
        axes[3].set_axis_off()
    if table_ax is not None:
        _draw_table(table_ax, model)
    if title is not None:
        axes[0].figure.suptitle(title)
    return axes


# ---------------------------------------------------------------- DRT
def plot_drt(result, *, ax=None, x="tau", peaks=True, prefix=None):
    """gamma of a ``DRTResult`` against tau (``x="tau"``, s) or the relaxation
    frequency 1/(2 pi tau) (``x="frequency"``, Hz) on a logarithmic axis, the
    peaks marked with their resistances; returns the axes. gamma is in one SI
    unit chosen from its largest value (``prefix`` names it instead)."""
    from velotz._drt import DRTResult

    if not isinstance(result, DRTResult):
        raise TypeError(f"result must be a DRTResult, not {type(result).__name__}")
    if x not in ("tau", "frequency"):
        raise ValueError(f'x must be "tau" or "frequency", not {x!r}')
    if ax is None:
        ax = _new_axes(1)[0]
    xs = result.tau if x == "tau" else result.frequency
    ax.plot(xs, result.gamma, linestyle="-", linewidth=1.6, label="gamma")
    if peaks and result.peaks:
        px = [p[0] if x == "tau" else 1 / (2 * math.pi * p[0]) for p in result.peaks]
        py = [result.gamma[int(abs(result.tau - p[0]).argmin())] for p in result.peaks]
        ax.plot(px, py, linestyle="none", marker="v", color="C3", label="peaks")
        for xp, yp, (_, area, _w) in zip(px, py, result.peaks):
            ax.annotate(si_format(area, OHM), (xp, yp), textcoords="offset points", xytext=(0, 6),
                        ha="center", fontsize=8)
        top = float(max(result.gamma))
        if top > 0:
            ax.set_ylim(top=1.12 * top)  # room for the label of the highest peak
    ax.set_xscale("log")
    exponent, letter = _prefix_for(prefix, result.gamma if len(result.gamma) else [0.0])
    ax.yaxis.set_major_formatter(_linear_formatter(10.0 ** exponent))
    _set_log_labels(ax.xaxis, xs)
    ax.set_xlabel(r"$\tau$ / s" if x == "tau" else "$f$ / Hz")
    ax.set_ylabel(rf"$\gamma$ / {letter}{OHM}")
    ax.grid(True, which="major", alpha=0.3)
    return ax
