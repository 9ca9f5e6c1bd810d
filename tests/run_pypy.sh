#!/usr/bin/env bash
# Builds and installs velotz for PyPy and runs the pytest suite under it,
# against the installed package (as tests/run.sh does for CPython).
# Needs Debian's pypy3, pypy3-dev and pypy3-venv, and cmake and ninja.
# Usage: bash tests/run_pypy.sh [pytest arguments]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

venv="${VELOTZ_PYPY_VENV:-$root/build-pypy/venv}"
if [ ! -x "$venv/bin/pypy3" ]; then
  pypy3 -m venv "$venv"
fi
# numpy as a prebuilt wheel: building it from source under PyPy takes far too long.
"$venv/bin/pypy3" -m pip install --quiet --only-binary=numpy numpy pytest "scikit-build-core>=0.9"

# One build tree, kept for the next run (--no-build-isolation keeps its paths
# valid); --config-settings spelt out for the pip of Debian's venvs (23.0).
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc 2>/dev/null || echo 2)}"
"$venv/bin/pypy3" -m pip install --quiet --no-build-isolation --no-deps --config-settings=build-dir=build-pypy/tree .

# pandas, polars and scipy have no PyPy wheels: the tests that use them skip
# themselves, as do the few that check text worded by CPython itself.
cd "$root/tests"
"$venv/bin/pypy3" -m pytest -q -p no:cacheprovider -rs "$@"
