#!/usr/bin/env bash
# Builds velotz for PyPy and runs the pytest suite under it.
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
"$venv/bin/pypy3" -m pip install --quiet --only-binary=numpy numpy pytest

cmake -S . -B build-pypy -G Ninja -Wno-dev -DPython_EXECUTABLE="$venv/bin/pypy3" >/dev/null
cmake --build build-pypy -j2

# pandas, polars and scipy have no PyPy wheels: the tests that use them skip
# themselves, as do the few that check text worded by CPython itself.
cd "$root/tests"
PYTHONPATH="$root/build-pypy" "$venv/bin/pypy3" -m pytest -q -p no:cacheprovider -rs "$@"
