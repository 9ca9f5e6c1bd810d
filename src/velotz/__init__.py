# The compiled core is the private extension velotz._core; this package
# re-exports its classes and functions under the same names and in the same
# order, so that `velotz.Circuit` and friends are the core's own objects.
# Nothing else is imported here: numpy, the networks and the worker pool all
# start on first use.
from velotz._core import (  # noqa: F401
    Element, Circuit, FitResult, Series, Parallel,
    R, C, L, La, Cpe, W, Wo, Ws, G, Gs, K, Zarc, Tlmq, T,
)

__version__ = "0.2.0"

# Beyond the compiled core: the analysis around a fit (Kramers-Kronig test,
# diagnosis, comparison of circuits), plots, and fitting many spectra in one
# call. Plain Python; numpy, matplotlib, pandas and polars are imported only
# inside the functions that use them.
from velotz._analysis import (  # noqa: E402
    KramersKronigResult, kramers_kronig,
    Finding, Diagnosis, diagnose,
    ComparisonEntry, Comparison, compare,
)
from velotz._plot import plot_fit, plot_nyquist, plot_bode, plot_residuals  # noqa: E402
from velotz._batch import fit_batch, BatchResult, to_dataframe  # noqa: E402
# Bootstrap confidence intervals of a fit's parameters (refits on the worker
# pool through fit_batch).
from velotz._uncertainty import bootstrap, BootstrapResult  # noqa: E402
# What a user may have got wrong in a spectrum (sign convention, too few
# points, repeated frequencies), before or beside a fit.
from velotz._analysis import check_data  # noqa: E402
# The best sound fit from several starts and a short seeded global search.
from velotz._robust import fit_robust  # noqa: E402
# Instrument files in: one file, or many into one long frame for fit_batch.
from velotz._read import read, read_many  # noqa: E402

# The distribution of relaxation times (regularised non-negative fit of
# Gaussian basis functions in the compiled core) and its picture.
from velotz._drt import drt, DRTResult  # noqa: E402
from velotz._plot import plot_drt  # noqa: E402

# Elements of the user's own: an impedance formula compiled into the core.
from velotz._user import define_element  # noqa: E402

# The extension stays reachable as sys.modules["velotz._core"]; it is not a
# public attribute of the package.
del _core, _analysis, _kk_auto, _plot, _batch, _table, _uncertainty, _robust, _drt  # noqa: F821
del _data, _display  # noqa: F821
del _read, _read_formats, _read_mpr, _read_table  # noqa: F821
del _user  # noqa: F821
