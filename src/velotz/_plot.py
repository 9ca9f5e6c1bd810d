"""Pictures of a spectrum and a model: Nyquist, Bode and relative residuals;
and of a distribution of relaxation times.

matplotlib (the ``plot`` extra) and numpy are imported inside the functions.
The model may be a ``FitResult``, a ``Circuit``, a ``KramersKronigResult`` or
None (data only); it is drawn as a line over the measured frequency range,
the data as markers.
"""
import sys

from velotz._core import Circuit, FitResult

_core = sys.modules["velotz._core"]

__all__ = ["plot_nyquist", "plot_bode", "plot_residuals", "plot_fit", "plot_drt"]

_DATA_STYLE = dict(linestyle="none", marker="o", markersize=4, markerfacecolor="none", label="measured")
_MODEL_STYLE = dict(linestyle="-", linewidth=1.6, label="model")


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


def _dense(freqs, points=300):
    import numpy as np

    f = freqs[freqs > 0]
    return np.logspace(np.log10(f.min()), np.log10(f.max()), points)


def _new_axes(count):
    plt = _pyplot()
    fig, axes = plt.subplots(1, count, figsize=(5.0 * count, 4.2), constrained_layout=True)
    return [axes] if count == 1 else list(axes)


def plot_nyquist(model, frequencies, impedances=None, *, ax=None):
    """Nyquist plot: -Im Z against Re Z with equal axis scales; returns the axes."""
    f, z = _spectrum(frequencies, impedances)
    if ax is None:
        ax = _new_axes(1)[0]
    ax.plot(z.real, -z.imag, **_DATA_STYLE)
    zm = _model_impedance(model, _dense(f)) if len(f) else None
    if zm is not None:
        ax.plot(zm.real, -zm.imag, **_MODEL_STYLE)
    ax.axhline(0.0, color="0.6", linewidth=0.8)
    ax.set_aspect("equal", adjustable="datalim")
    ax.set_xlabel("Re Z / \u03a9")
    ax.set_ylabel("\u2212Im Z / \u03a9")
    ax.set_title("Nyquist")
    ax.legend(loc="best", fontsize="small")
    return ax


def plot_bode(model, frequencies, impedances=None, *, axes=None):
    """Bode plot: |Z| and phase against frequency; returns (modulus axes, phase axes)."""
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
        ax_mod.loglog(fd, np.abs(zm), **_MODEL_STYLE)
        ax_phase.semilogx(fd, -np.degrees(np.angle(zm)), **_MODEL_STYLE)
    ax_mod.set_xlabel("frequency / Hz")
    ax_mod.set_ylabel("|Z| / \u03a9")
    ax_mod.set_title("Bode: modulus")
    ax_phase.set_xlabel("frequency / Hz")
    ax_phase.set_ylabel("\u2212phase / \u00b0")
    ax_phase.set_title("Bode: phase")
    ax_mod.legend(loc="best", fontsize="small")
    return ax_mod, ax_phase


def plot_residuals(model, frequencies, impedances=None, *, ax=None):
    """Relative residuals (Z - Z_model) / |Z| in percent, real and imaginary
    parts, against frequency; returns the axes."""
    import numpy as np

    if model is None:
        raise ValueError("residuals need a model")
    f, z = _spectrum(frequencies, impedances)
    if ax is None:
        ax = _new_axes(1)[0]
    zm = _model_impedance(model, f)
    rel = (z - zm) / np.abs(z) * 100.0
    ax.semilogx(f, rel.real, marker="o", markersize=3.5, linewidth=0.9, label="real")
    ax.semilogx(f, rel.imag, marker="s", markersize=3.5, linewidth=0.9, label="imaginary")
    ax.axhline(0.0, color="0.4", linewidth=0.8)
    ax.set_xlabel("frequency / Hz")
    ax.set_ylabel("(Z \u2212 Z_model) / |Z| / %")
    ax.set_title("Relative residuals")
    ax.legend(loc="best", fontsize="small")
    return ax


def plot_fit(model, frequencies, impedances=None, *, axes=None, title=None):
    """Nyquist, Bode (|Z| and phase) and relative residuals of a model against
    a spectrum, on four axes (passed, or a new 2 x 2 figure); returns them."""
    if axes is None:
        plt = _pyplot()
        fig, grid = plt.subplots(2, 2, figsize=(11.0, 8.6), constrained_layout=True)
        axes = [grid[0][0], grid[0][1], grid[1][0], grid[1][1]]
    else:
        axes = list(axes)
        if len(axes) != 4:
            raise ValueError(f"axes must hold 4 axes (Nyquist, |Z|, phase, residuals), got {len(axes)}")
    plot_nyquist(model, frequencies, impedances, ax=axes[0])
    plot_bode(model, frequencies, impedances, axes=(axes[1], axes[2]))
    if model is not None:
        plot_residuals(model, frequencies, impedances, ax=axes[3])
    else:
        axes[3].set_axis_off()
    if title is not None:
        axes[0].figure.suptitle(title)
    return axes


def plot_drt(result, *, ax=None, x="tau", peaks=True):
    """gamma of a ``DRTResult`` against tau (``x="tau"``, s) or the relaxation
    frequency 1/(2 pi tau) (``x="frequency"``, Hz) on a logarithmic axis, the
    peaks marked with their resistances; returns the axes."""
    import math

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
            ax.annotate(f"{area:.3g} \u03a9", (xp, yp), textcoords="offset points", xytext=(0, 6),
                        ha="center", fontsize=8)
    ax.set_xscale("log")
    ax.set_xlabel("\u03c4 / s" if x == "tau" else "f / Hz")
    ax.set_ylabel("\u03b3 / \u03a9")
    ax.grid(True, which="both", alpha=0.3)
    return ax
