#!/usr/bin/env bash
# The fast loop while changing the module: the Python suite on an editable install and the C++
# core suite, both built incrementally in build/dev and build/editable, reused from run to run.
# Needs no root: a C++20 compiler, and GoogleTest for the C++ half (without it that half is
# skipped, with a note). CMake, Ninja and the Python tools come from PyPI into build/dev/venv.
#
#   1. the environment build/dev/venv (made once) with the `dev` dependency group of
#      pyproject.toml and an editable install in scikit-build-core's rebuild mode: importing the
#      module rebuilds it when a source changed (the three pip commands again only when
#      pyproject.toml changed);
#   2. the pytest suite against that editable install;
#   3. the C++ core tests: configure (no build type: the project builds Release then; warnings
#      are errors), build and CTest;
#   4. one Python test and one C++ test on their own, and the module built unoptimised (Debug, in
#      build/dev/debug) and run under gdb, stopped in shamir_split (skipped without gdb).
# The commands of steps 1 to 4 are the ones CONTRIBUTING.md shows, run exactly as written.
# What a contributor reads is printed: pytest's own output and one summary line per step. The
# output of pip, CMake, the build and CTest goes to a log under build/dev/logs, shown when its
# command fails.
# Set PYTHON to choose the interpreter (>= 3.12); VELKOR_JOBS (default 2).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
source scripts/lib/find-python.sh
export CMAKE_BUILD_PARALLEL_LEVEL=${VELKOR_JOBS:-2}
export CTEST_PARALLEL_LEVEL=${VELKOR_JOBS:-2}
# Warnings are errors, in the editable build (through pyproject.toml) as in the C++ build.
export VELKOR_WERROR=${VELKOR_WERROR:-ON}
step() { printf '\n==== %s\n' "$*"; }

logs=build/dev/logs
mkdir -p "$logs"
# `logged NAME COMMAND...`: runs the command with its output added to $logs/NAME.log; on a
# failure shows that log and stops.
logged() {
  local log="$logs/$1.log"
  shift
  if ! "$@" >> "$log" 2>&1; then
    cat "$log" >&2
    echo "FAILED: $* (output above, also in $log)" >&2
    exit 1
  fi
}

stamp=build/dev/venv/.installed
if [ ! -x build/dev/venv/bin/python ]; then
  interpreter=$(velkor_find_python)
  # The documented command names the interpreter python3; here it is the one found above.
  python3() { command "$interpreter" "$@"; }
  python3 -m venv build/dev/venv
  unset -f python3
fi
source build/dev/venv/bin/activate
# pyproject.toml names the tools and the build's settings: a change there installs again.
if ! cmp -s pyproject.toml "$stamp" || [ ! -d build/editable ]; then
  step "editable install in build/dev/venv (log: $logs/install.log)"
  : > "$logs/install.log"
  logged install pip install --upgrade pip
  logged install pip install --group dev
  logged install pip install --no-build-isolation -e . -Ceditable.rebuild=true -Cbuild-dir=build/editable
  cp pyproject.toml "$stamp"
  echo "installed: $(pip --version | cut -d ' ' -f 1-2), the dev group, the module (editable)"
fi

step "Python suite on the editable install (rebuilds the module if a source changed)"
python -m pytest tests/python

step "C++ core tests (logs: $logs/cpp-*.log)"
if [ -e /usr/include/gtest/gtest.h ] || [ -e /usr/local/include/gtest/gtest.h ]; then
  : > "$logs/cpp-build.log"
  logged cpp-build cmake -S . -B build/dev/cpp -G Ninja -DVELKOR_BUILD_TESTS=ON -DVELKOR_BUILD_MODULE=OFF -DVELKOR_WERROR=ON
  logged cpp-build cmake --build build/dev/cpp
  if ! ctest --test-dir build/dev/cpp --output-on-failure > "$logs/cpp-test.log" 2>&1; then
    # Every line but the starts and ends of passed tests: the failed tests, their output and
    # the summary.
    grep -v -E '^ *Start +[0-9]+: |^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed ' "$logs/cpp-test.log" >&2
    echo "FAILED: C++ core tests (all of CTest's output is in $logs/cpp-test.log)" >&2
    exit 1
  fi
  grep -E 'tests passed|^Total Test time' "$logs/cpp-test.log"
  step "one C++ test on its own"
  logged cpp-one build/dev/cpp/tests/cpp/velkor_core_tests_native --gtest_filter=Field.KnownValues
  grep -E '^\[  PASSED  \]' "$logs/cpp-one.log"
else
  echo "note: GoogleTest is not installed (Debian: libgtest-dev): the C++ core tests were skipped" >&2
fi

step "one Python test on its own"
python -m pytest tests/python/test_split_combine.py::test_no_leaks_on_success_and_error_paths

step "the module unoptimised, under gdb (logs: $logs/debug-*.log)"
if command -v gdb >/dev/null 2>&1; then
  : > "$logs/debug-build.log"
  logged debug-build cmake -S . -B build/dev/debug -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELKOR_WERROR=ON
  logged debug-build cmake --build build/dev/debug --target pyvelkor_core
  # -S: no site-packages, so the editable install's finder does not import the other build.
  PYTHONPATH=build/dev/debug/src gdb -q -batch -ex 'set breakpoint pending on' -ex 'break shamir_split' -ex run -ex bt --args python -S examples/quickstart.py \
    > "$logs/debug-gdb.log" 2>&1 || true
  if ! grep -q -E '^#0 .*shamir_split' "$logs/debug-gdb.log" \
    || ! grep -q -E '^#0 .* at ([^ ]*/)?src/core/split\.cpp:[0-9]+$' "$logs/debug-gdb.log"; then
    cat "$logs/debug-gdb.log" >&2
    echo "FAILED: gdb did not stop in shamir_split with source lines (log: $logs/debug-gdb.log)" >&2
    exit 1
  fi
  sed -n -E '1,/^#0 / s/^#0 +.*(shamir_split) .* at (.*)$/gdb stopped in \1 at \2/p' "$logs/debug-gdb.log"
else
  echo "note: gdb is not installed (Debian: gdb): the debug run was skipped" >&2
fi
echo
echo "fast loop passed in ${SECONDS} s"
