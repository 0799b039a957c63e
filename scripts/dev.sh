#!/usr/bin/env bash
# The fast loop while changing the module: the Python suite on an editable install and the C++
# core suite, both built incrementally in build/dev and build/editable, reused from run to run.
# Needs no root: a C++20 compiler, and GoogleTest for the C++ half (without it that half is
# skipped, with a note). CMake, Ninja and the Python tools come from PyPI into build/dev/venv.
#
#   1. the environment build/dev/venv with the `dev` dependency group of pyproject.toml and an
#      editable install in scikit-build-core's rebuild mode: importing the module rebuilds it
#      when a source changed (both steps again only when pyproject.toml changed);
#   2. the pytest suite against that editable install;
#   3. the C++ core tests: configure (no build type: the project builds Release then; warnings
#      are errors), build and CTest.
# The commands of steps 1 to 3 are the ones CONTRIBUTING.md shows, run exactly as written.
# Set PYTHON to choose the interpreter (>= 3.12); VELKOR_JOBS (default 2).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
source scripts/find-python.sh
export CMAKE_BUILD_PARALLEL_LEVEL=${VELKOR_JOBS:-2}
export CTEST_PARALLEL_LEVEL=${VELKOR_JOBS:-2}
# Warnings are errors, in the editable build (through pyproject.toml) as in the C++ build.
export VELKOR_WERROR=${VELKOR_WERROR:-ON}
step() { printf '\n==== %s\n' "$*"; }

venv=build/dev/venv
stamp="$venv/.installed"
if [ ! -x "$venv/bin/python" ]; then
  "$(velkor_find_python)" -m venv "$venv"
fi
velkor_activate "$venv"
# pyproject.toml names the tools and the build's settings: a change there installs again.
if ! cmp -s pyproject.toml "$stamp" || [ ! -d build/editable ]; then
  step "editable install (build/dev/venv)"
  pip install --upgrade pip
  pip install --group dev
  pip install --no-build-isolation -e . -Ceditable.rebuild=true -Cbuild-dir=build/editable
  cp pyproject.toml "$stamp"
fi

step "Python suite on the editable install (rebuilds the module if a source changed)"
python -m pytest tests/python

step "C++ core tests"
if [ -e /usr/include/gtest/gtest.h ] || [ -e /usr/local/include/gtest/gtest.h ]; then
  cmake -S . -B build/dev/cpp -G Ninja -DVELKOR_BUILD_TESTS=ON -DVELKOR_BUILD_MODULE=OFF -DVELKOR_WERROR=ON
  cmake --build build/dev/cpp
  ctest --test-dir build/dev/cpp --output-on-failure --progress
else
  echo "note: GoogleTest is not installed (Debian: libgtest-dev): the C++ core tests were skipped" >&2
fi
echo
echo "fast loop passed in ${SECONDS} s"
