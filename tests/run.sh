#!/usr/bin/env bash
# Builds and installs velotz, then runs the C++ unit tests and the pytest
# suite against the installed module. Usage: bash tests/run.sh
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

# The dask and ray extras make the cluster tests run instead of skipping.
# Ray ships large binary wheels for a limited set of platforms: where it
# cannot be installed its test skips rather than failing the run.
python3 -m pip install --quiet ".[test,dask]"
python3 -m pip install --quiet "ray" || echo "ray could not be installed: its cluster test will be skipped" >&2

# C++ unit tests of the numerical core (GoogleTest sources from Debian's
# googletest package).
if [ ! -f /usr/src/googletest/CMakeLists.txt ]; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    apt-get install -y -qq googletest >/dev/null || { apt-get update -qq && apt-get install -y -qq googletest >/dev/null; }
  else
    echo "GoogleTest is missing: install Debian's googletest package (apt-get install googletest)" >&2
    exit 1
  fi
fi
cmake -S . -B build-tests -G Ninja -Wno-dev -DVELOTZ_BUILD_TESTS=ON -DVELOTZ_BUILD_MODULE=OFF >/dev/null
cmake --build build-tests -j2
./build-tests/velotz_cpp_tests --gtest_brief=1

# The type stubs (mypy --strict on the examples and on a file using every
# public function) are checked by tests/test_typing.py in the suite below.

# Python tests, run outside the source tree so they import the installed module.
cd "$root/tests"
python3 -m pytest -q -p no:cacheprovider "$@"
