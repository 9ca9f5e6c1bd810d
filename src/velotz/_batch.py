# Fitting one circuit to many spectra. The work itself is the compiled
# velotz._core._fit_batch (the worker pool, one task per spectrum, with the
# interpreter lock released); this module accepts the usual shapes of a
# dataset, draws the progress bar and wraps the results.
from collections.abc import Mapping, Sequence

from velotz import _core
from velotz import _table
# Results as data (dicts, JSON) and in notebooks (HTML).
from velotz import _data, _display

__all__ = ["fit_batch", "BatchResult", "to_dataframe"]


class BatchResult(_data.Data, Sequence):
    """The results of `fit_batch`, in input order.

    Each item is a `FitResult`, or the exception that fitting that spectrum
    raised (a `ValueError` with the text `Circuit.fit` would raise, or the
    spectrum's conversion error). `ids` names the spectra: the keys of a
    mapping, the values of the id column, the `ids` given, or 0, 1, 2, ...
    """

    __slots__ = ("ids", "results", "circuit")
    _to_dict = _data.batch_to_dict
    _from_dict = classmethod(_data.batch_from_dict)

    def __init__(self, ids, results, circuit):
        # Also the reconstructor of a pickled BatchResult: refuse a state
        # that would fail later, as the other types' reconstructors do.
        try:
            ids = list(ids)
            results = list(results)
        except TypeError:
            raise ValueError("invalid BatchResult state: ids and results must be sequences") from None
        if len(ids) != len(results):
            raise ValueError(f"invalid BatchResult state: {len(ids)} ids for {len(results)} results")
        if not isinstance(circuit, _core.Circuit):
            raise ValueError(f"invalid BatchResult state: the circuit must be a Circuit, not "
                             f"'{type(circuit).__name__}'")
        for k, r in enumerate(results):
            if not isinstance(r, (_core.FitResult, BaseException)):
                raise ValueError(f"invalid BatchResult state: result {k} must be a FitResult or an exception, "
                                 f"not '{type(r).__name__}'")
        self.ids = ids
        self.results = results
        self.circuit = circuit

    def __len__(self):
        return len(self.results)

    def __getitem__(self, index):
        return self.results[index]

    def __repr__(self):
        failed = sum(1 for r in self.results if isinstance(r, BaseException))
        return f"BatchResult({len(self.results)} spectra, {failed} failed)"

    def __eq__(self, other):
        if not isinstance(other, BatchResult):
            return NotImplemented
        if self.ids != other.ids or self.circuit != other.circuit or len(self) != len(other):
            return False
        for a, b in zip(self.results, other.results):
            if isinstance(a, BaseException) or isinstance(b, BaseException):
                if type(a) is not type(b) or a.args != b.args:
                    return False
            elif a != b:
                return False
        return True

    __hash__ = None

    def __reduce__(self):
        return (BatchResult, (self.ids, self.results, self.circuit))

    def _repr_html_(self):
        """One row per spectrum (the first 50): id, success, chi-square and
        the parameters, or the error, as an HTML table (notebooks)."""
        return _display.batch_html(self)

    @property
    def errors(self):
        """{id: exception} of the spectra that failed."""
        return {i: r for i, r in zip(self.ids, self.results) if isinstance(r, BaseException)}

    @property
    def fitted(self):
        """{id: FitResult} of the spectra that were fitted."""
        return {i: r for i, r in zip(self.ids, self.results) if not isinstance(r, BaseException)}

    def to_dataframe(self, backend="pandas", id_name="id"):
        """One row per spectrum, in input order: the id, every parameter (in
        `circuit.param_names()` order), its standard error "{name}_stderr",
        cost, chi_square, success, iterations, impedance_evals and the error
        text ("error", empty for fitted spectra). `backend` is "pandas" or
        "polars"; the package is imported on first use. `id_name` names the
        id column. Values are in the units of `circuit.param_units()`.
        Returns the DataFrame."""
        columns = _table.batch_columns(self.ids, self.results, self.circuit.param_names(), id_name)
        return _table.frame_from_columns(columns, backend)


def _is_frame(obj):
    return hasattr(obj, "columns") and not isinstance(obj, (str, bytes, Mapping, list, tuple))


# Every column name the dataframe form of a spectrum reads (primary and
# alternative names).
_SPECTRUM_COLUMNS = (
    "Frequency / Hz", "frequency_hertz",
    "Real Impedance / ohm", "real_impedance_ohm",
    "Imaginary Impedance / ohm", "imaginary_impedance_ohm",
    "Absolute Impedance / ohm", "absolute_impedance_ohm",
    "Phase / deg", "phase_degree",
)


def _column_values(frame, name, polars):
    """A column as a numpy array whose items convert as the column's own
    items do (polars nulls stay None rather than turning into NaN)."""
    import numpy as np

    column = frame[name]
    if polars and column.null_count() > 0:
        return np.array(column.to_list(), dtype=object)
    return column.to_numpy()


def _split_frame(frame, id_column):
    """(ids, spectra) of a long dataframe, groups in order of first
    appearance. Each spectrum is a dict {column name: numpy array} of the
    spectrum columns that the frame has, which the dataframe form of a
    spectrum reads exactly like the frame's own rows, without building one
    sub-frame per group (that would be the slowest, serial, part of a batch).

    Rows whose id is missing (None, NaN, pandas' NA, a polars null) belong
    to no spectrum: they are left out with a warning, as pandas' groupby
    leaves them out by default (dropna=True)."""
    import numpy as np

    module = type(frame).__module__.split(".")[0]
    if module not in ("pandas", "polars"):
        raise TypeError(f"argument 'spectra': cannot group a '{type(frame).__name__}' by an id column")
    polars = module == "polars"
    if id_column not in list(frame.columns):
        shown = ", ".join(repr(c) for c in list(frame.columns)[:20])
        raise KeyError(f"id_column {id_column!r} is not a column of the dataframe (its columns: {shown})")
    column = frame[id_column]
    if polars:
        missing = column.is_null()
        if column.dtype.is_float():
            missing = missing | column.is_nan()
        missing = missing.to_numpy()
    else:
        missing = column.isna().to_numpy(dtype=bool)
    values = column.to_list()
    n_missing = int(np.count_nonzero(missing))
    if n_missing:
        import warnings

        warnings.warn(f"fit_batch: {n_missing} of {len(values)} rows have no value in id_column {id_column!r} "
                      "(None or NaN) and were left out, as pandas' groupby leaves them out", UserWarning,
                      stacklevel=3)
        rows = np.flatnonzero(~missing)
        values = [values[k] for k in rows.tolist()]
    else:
        rows = None
    index = {}
    codes = np.fromiter((index.setdefault(v, len(index)) for v in values), dtype=np.intp, count=len(values))
    ids = list(index)
    order = np.argsort(codes, kind="stable")
    if rows is not None:
        order = rows[order]
    bounds = np.cumsum(np.bincount(codes, minlength=len(ids)))[:-1]
    names = [c for c in _SPECTRUM_COLUMNS if c in frame.columns]
    pieces = {name: np.split(_column_values(frame, name, polars)[order], bounds) for name in names}
    spectra = [{name: pieces[name][g] for name in names} for g in range(len(ids))]
    return ids, spectra


def _progress_callback(progress, total):
    """(callback, close) for the progress argument: False/None, True (a tqdm
    bar when tqdm is installed) or a callable taking (done, total)."""
    if progress is None or progress is False:
        return None, lambda: None
    if progress is True:
        try:
            from tqdm.auto import tqdm
        except ImportError:
            return None, lambda: None
        bar = tqdm(total=total, unit="fit")

        def update(done, _total):
            bar.update(done - bar.n)

        return update, bar.close
    if callable(progress):
        return progress, lambda: None
    raise TypeError("argument 'progress': expected a bool or a callable taking (done, total)")


def fit_batch(circuit, spectra, *, ids=None, id_column=None, seeds=None, progress=False, **options):
    """Fit `circuit` to many spectra, each independently, on all cores.

    `spectra` is a list of (frequencies, impedances) pairs, a list of
    dataframes (as `Circuit.fit` reads them), a mapping {id: spectrum}, or
    one long dataframe (pandas or polars) holding every spectrum, with
    `id_column` naming the column that tells them apart. `circuit` is a
    `Circuit` or a circuit text.

    Every keyword option of `Circuit.fit` applies to every spectrum, the
    starting-value policy included (a network guess per spectrum when the
    circuit's values were not given). A seeded method gives each spectrum
    the result of a single `fit()` with that seed; `seeds` (one int or None
    per spectrum) gives each its own seed instead. The warning about a
    topology without a trained network is issued once per batch.

    The fits run on the worker pool, one spectrum per task, with the
    interpreter lock released. A spectrum that fails does not stop the
    others: its slot holds its exception. `progress=True` shows a tqdm bar
    (when tqdm is installed); a callable is called as progress(done, total)
    from the calling thread. Ctrl-C stops the batch after the spectra in
    progress and raises KeyboardInterrupt.

    Returns a `BatchResult` (a sequence of results in input order, with
    `ids` and `to_dataframe()`).
    """
    if isinstance(circuit, str):
        circuit = _core.Circuit(circuit)
    if id_column is not None:
        if not isinstance(id_column, str):
            raise TypeError(f"argument 'id_column': expected a column name (str), got '{type(id_column).__name__}'")
        if not _is_frame(spectra):
            raise TypeError("argument 'spectra': id_column needs one long dataframe")
        group_ids, items = _split_frame(spectra, id_column)
        if ids is None:
            ids = group_ids
    elif isinstance(spectra, Mapping):
        if ids is None:
            ids = list(spectra.keys())
        items = list(spectra.values())
    elif _is_frame(spectra):
        raise TypeError("argument 'spectra': a single dataframe needs id_column to tell its spectra apart")
    else:
        items = list(spectra)
    if ids is None:
        ids = range(len(items))
    ids = list(ids)
    if len(ids) != len(items):
        raise ValueError(f"ids has {len(ids)} entries but there are {len(items)} spectra")
    callback, close = _progress_callback(progress, len(items))
    try:
        results = _core._fit_batch(circuit, items, seeds=seeds, progress=callback, **options)
    finally:
        close()
    return BatchResult(ids, results, circuit)


def to_dataframe(results, backend="pandas", ids=None, id_name="id"):
    """Fit results as a pandas or polars DataFrame, one row per result.

    `results` is a `FitResult` (one row, no id column), a `BatchResult`, or
    a sequence of `FitResult`s (and exceptions, for spectra that failed),
    with `ids` naming the rows (0, 1, 2, ... by default). The columns are
    the id, every parameter, its standard error "{name}_stderr", cost,
    chi_square, success, iterations, impedance_evals and, for a sequence,
    the error text ("error", empty for fitted rows). `backend` is "pandas"
    or "polars"; the package is imported on first use. `id_name` names the
    id column. Returns the DataFrame.
    """
    if isinstance(results, _core.FitResult):
        if ids is not None:
            raise TypeError("argument 'ids': a single FitResult has no id")
        return _table.fit_result_dataframe(results, backend)
    if isinstance(results, BatchResult):
        if ids is not None:
            results = BatchResult(ids, results.results, results.circuit)
        return results.to_dataframe(backend, id_name)
    results = list(results)
    ids = list(range(len(results))) if ids is None else list(ids)
    if len(ids) != len(results):
        raise ValueError(f"ids has {len(ids)} entries but there are {len(results)} results")
    names = []
    for r in results:
        if isinstance(r, _core.FitResult):
            names.extend(n for n in r.circuit.param_names() if n not in names)
        elif not isinstance(r, BaseException):
            raise TypeError(f"expected FitResult or exception items, got '{type(r).__name__}'")
    return _table.frame_from_columns(_table.batch_columns(ids, results, names, id_name), backend)
