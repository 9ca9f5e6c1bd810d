#!/usr/bin/env bash
# The test command. Builds velotz once, in one CMake build tree that holds the
# extension module and the C++ unit tests (build/test-<interpreter>, kept for
# the next run, which rebuilds only what changed), installs the package from
# it, runs the C++ unit tests from the tree and the pytest suite against the
# installed package.
#
# Usage: bash tests/run.sh [--extras] [pytest arguments]
#   --extras  also install Dask and Ray, so that their cluster tests run
#             instead of skipping (CI passes it; VELOTZ_TEST_EXTRAS=1 too).
# Run it in a virtual environment: python3 -m venv .venv && . .venv/bin/activate
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

extras="${VELOTZ_TEST_EXTRAS:-0}"
if [ "${1:-}" = "--extras" ]; then
  extras=1
  shift
fi
python="${PYTHON:-python3}"

# pip refuses to install into an interpreter its distribution manages
# (Debian's python3): say what to do instead of showing pip's refusal.
if ! "$python" - <<'EOF'
import os, sys, sysconfig
in_venv = sys.prefix != sys.base_prefix
managed = os.path.exists(os.path.join(sysconfig.get_path("stdlib"), "EXTERNALLY-MANAGED"))
sys.exit(1 if managed and not in_venv else 0)
EOF
then
  echo "tests/run.sh: $python belongs to the system and pip will not install into it." >&2
  echo "Create and activate a virtual environment first:" >&2
  echo "  python3 -m venv .venv && . .venv/bin/activate && bash tests/run.sh" >&2
  exit 1
fi

# GoogleTest for the C++ unit tests: Debian's googletest package (sources in
# /usr/src/googletest) or an installed GTest CMake package. As root it is
# installed when missing; without it the C++ tests are skipped, not failed.
have_gtest() {
  [ -f /usr/src/googletest/CMakeLists.txt ] && return 0
  compgen -G "/usr/lib/*/cmake/GTest/GTestConfig.cmake" >/dev/null && return 0
  compgen -G "/usr/lib*/cmake/GTest/GTestConfig.cmake" >/dev/null && return 0
  compgen -G "/usr/local/lib*/cmake/GTest/GTestConfig.cmake" >/dev/null && return 0
  return 1
}
if ! have_gtest && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  apt-get install -y -qq googletest >/dev/null 2>&1 ||
    { apt-get update -qq && apt-get install -y -qq googletest >/dev/null; } || true
fi
cpp_tests=OFF
have_gtest && cpp_tests=ON

# Build tools in the environment, so that the build tree stays valid from one
# run to the next (--no-build-isolation below): scikit-build-core always,
# CMake and Ninja only where the machine lacks a recent enough one.
tools=("scikit-build-core>=0.9")
if ! cmake_version="$(cmake --version 2>/dev/null | head -n1 | grep -o '[0-9][0-9.]*')" ||
   [ "$(printf '%s\n' 3.24 "$cmake_version" | sort -V | head -n1)" != 3.24 ]; then
  tools+=("cmake>=3.24")
fi
command -v ninja >/dev/null || tools+=(ninja)
"$python" -m pip install --quiet "${tools[@]}"

# One compile job per processor unless the caller chose otherwise.
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc 2>/dev/null || echo 2)}"
build="build/test-$("$python" -c 'import sys; print(sys.implementation.cache_tag)')"
spec=".[test]"
[ "$extras" = 1 ] && spec=".[test,dask]"
echo "Building and installing velotz ($build; C++ unit tests: $cpp_tests)" >&2
"$python" -m pip install --quiet --no-build-isolation \
  --config-settings=build-dir="$build" --config-settings=cmake.define.VELOTZ_BUILD_TESTS="$cpp_tests" "$spec"
if [ "$extras" = 1 ]; then
  # Ray ships large binary wheels for a limited set of platforms: where it
  # cannot be installed its test skips rather than failing the run.
  "$python" -m pip install --quiet ray || echo "ray could not be installed: its cluster test will be skipped" >&2
fi

cpp_note=""
if [ "$cpp_tests" = ON ]; then
  "$build/velotz_cpp_tests" --gtest_brief=1
else
  cpp_note="C++ unit tests SKIPPED: GoogleTest was not found. Install it (Debian/Ubuntu: sudo apt-get install googletest) and run bash tests/run.sh again to build and run them."
  echo "$cpp_note" >&2
fi

# The type stubs (mypy --strict on the examples and on a file using every
# public function) are checked by tests/test_typing.py in the suite below.

# Python tests, run outside the source tree so they import the installed module.
cd "$root/tests"
status=0
"$python" -m pytest -q -p no:cacheprovider "$@" || status=$?
[ -n "$cpp_note" ] && echo "$cpp_note" >&2
exit "$status"
