"""Elements of the user's own: an impedance formula compiled into the core.

The formula is parsed and compiled by velotz._core (no Python evaluation);
circuits that use the element evaluate it a block of frequencies at a time,
as they evaluate the built-in elements.
"""
import sys

_core = sys.modules["velotz._core"]

__all__ = ["define_element"]


def define_element(code, fields, formula, *, bounds=None, units=None, defaults=None):
    """Define an element of your own, usable in circuit texts from then on.

    Parameters
    ----------
    code : str
        The element's code in circuit texts: ASCII letters only (a text reads
        the letters before a label's digits as the code), not one of the
        built-in codes in any letter case. ``"Qu"`` makes ``"R0-Qu1"`` valid.
    fields : sequence of str
        The names of its parameters (1 to 4 identifiers), in order; the
        parameters of a circuit are named ``label.field``.
    formula : str
        The impedance in ohm as a formula of the fields and ``s`` (the
        Laplace variable jω, ω in rad/s): numbers, ``+ - * /``, ``^`` or
        ``**`` (powers, also complex and fractional), parentheses, ``j``
        (the imaginary unit), ``pi`` and the functions ``exp``, ``log``,
        ``sqrt``, ``tanh``, ``coth``, ``sinh`` and ``cosh``. For example a
        constant phase element: ``"1/(q*s^alpha)"``.
    bounds : sequence of (float, float), optional
        The default (lower, upper) bounds of every field in a fit; by default
        (0, 1) for fields named ``alpha`` or ``gamma`` and (1e-12, inf)
        otherwise, as for the built-in elements.
    units : sequence of str, optional
        The unit of every field, as the parameter units show it; ``"-"`` by
        default.
    defaults : sequence of float, optional
        The values of an element parsed from a circuit text; 1.0 by default.

    Returns
    -------
    None

    Raises
    ------
    ValueError
        For an invalid or built-in code, invalid, reserved or duplicate field
        names, a formula that does not parse or names an unknown field (the
        message shows the formula with a caret under the position), lists of
        the wrong length, or a code already defined differently (circuits
        made with it keep its formula; defining it again identically is
        allowed).

    Circuits holding a user-defined element cannot be pickled or saved as
    data: the definition lives in the defining process only.
    """
    if not isinstance(code, str):
        raise TypeError(f"code must be a str, not {type(code).__name__}")
    if not isinstance(formula, str):
        raise TypeError(f"formula must be a str, not {type(formula).__name__}")
    if isinstance(fields, str):
        raise TypeError("fields must be a sequence of names, e.g. [\"q\", \"alpha\"], not one str")
    fields = list(fields)
    lower = upper = None
    if bounds is not None:
        pairs = [tuple(pair) for pair in bounds]
        if any(len(pair) != 2 for pair in pairs):
            raise ValueError("bounds must hold one (lower, upper) pair per field")
        lower = [float(lo) for lo, _ in pairs]
        upper = [float(hi) for _, hi in pairs]
    if isinstance(units, str):
        raise TypeError("units must be a sequence with one unit per field, not one str")
    _core._define_element(code, fields, formula, None if units is None else list(units),
                          None if defaults is None else [float(v) for v in defaults], lower, upper)
