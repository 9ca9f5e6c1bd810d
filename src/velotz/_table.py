# Fit results as table rows and DataFrames. pandas and polars are imported
# only inside the functions that build a frame, so neither is needed to fit.
import math

_STATS = ("cost", "chi_square", "success", "iterations", "impedance_evals")
_INT_COLUMNS = ("iterations", "impedance_evals")


def _param_columns(names):
    cols = []
    for name in names:
        if name not in cols:
            cols.append(name)
    return cols + [f"{name}_stderr" for name in cols]


def fit_result_row(result):
    """The row of one FitResult: parameters in param_names() order, their
    standard errors ("{name}_stderr", NaN when absent: all of them when the
    fit gave none, a fixed parameter's always), then the statistics."""
    names = result.circuit.param_names()
    params = result.params
    stderr = result.stderr
    row = {}
    for name in names:
        row[name] = params[name]
    for name in names:
        row[f"{name}_stderr"] = math.nan if stderr is None else stderr.get(name, math.nan)
    row["cost"] = result.cost
    row["chi_square"] = result.chi_square
    row["success"] = result.success
    row["iterations"] = result.iterations
    row["impedance_evals"] = result.impedance_evals
    return row


def _error_text(error):
    return f"{type(error).__name__}: {error}"


def batch_columns(ids, results, names, id_name="id"):
    """Column name -> list of values, one row per result. A failed spectrum
    has None in every numeric column, success False and its error text in
    "error"; the error column is None for fitted spectra."""
    taken = _param_columns(names) + list(_STATS) + ["error"]
    if id_name in taken:
        raise ValueError(f"id_name {id_name!r} is already a column of the table (a parameter, its standard error "
                         "or a statistic); choose another name")
    columns = {id_name: list(ids)}
    for col in _param_columns(names):
        columns[col] = []
    for col in _STATS:
        columns[col] = []
    columns["error"] = []
    param_cols = _param_columns(names)
    for result in results:
        if isinstance(result, BaseException):
            for col in param_cols:
                columns[col].append(None)
            for col in _STATS:
                columns[col].append(False if col == "success" else None)
            columns["error"].append(_error_text(result))
            continue
        row = fit_result_row(result)
        for col in param_cols:
            columns[col].append(row.get(col, math.nan))
        for col in _STATS:
            columns[col].append(row[col])
        columns["error"].append(None)
    return columns


def frame_from_columns(columns, backend="pandas"):
    if backend == "pandas":
        import pandas as pd

        data = {}
        for name, values in columns.items():
            if name in _INT_COLUMNS:
                data[name] = pd.array(values, dtype="Int64" if None in values else "int64")
            elif name == "error":
                # One dtype whatever the rows hold, so that partitions of a
                # larger table (Dask) agree.
                data[name] = pd.array(values, dtype="string")
            elif name == "success" or not values:
                data[name] = values
            elif any(isinstance(v, float) for v in values) or all(v is None for v in values):
                data[name] = [math.nan if v is None else v for v in values]
            else:
                data[name] = values
        return pd.DataFrame(data)
    if backend == "polars":
        import polars as pl

        schema = {}
        for name, values in columns.items():
            if name in _INT_COLUMNS:
                schema[name] = pl.Int64
            elif name == "success":
                schema[name] = pl.Boolean
            elif name == "error":
                schema[name] = pl.Utf8
            elif name != next(iter(columns)):
                schema[name] = pl.Float64
        return pl.DataFrame(columns, schema_overrides=schema, strict=False)
    raise ValueError(f'unknown backend "{backend}", expected "pandas" or "polars"')


def fit_result_dataframe(result, backend="pandas"):
    row = fit_result_row(result)
    return frame_from_columns({k: [v] for k, v in row.items()}, backend)
