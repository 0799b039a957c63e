#!/usr/bin/env bash
# Builds the module and the C++ core tests with the oldest compilers the project supports, GCC 11
# and Clang 14 (Debian 12's default clang, whose libstdc++ pairing lacks std::source_location),
# warnings as errors, and runs the core tests of both 128-bit variants. The newest compilers are
# covered by the rest of the test command (the system GCC, clang 19 for the sanitizers and
# fuzzing).
#
# Usage: scripts/checks/check-compilers.sh [compiler ...]   (default: g++-11 clang++-14)
# Set PYTHON to choose the interpreter whose headers the module is built against.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
mkdir -p "$root/build"
source "$root/scripts/lib/find-python.sh"
jobs=${VELKOR_JOBS:-2}
python=$(velkor_find_python)
compilers=("$@")
[ ${#compilers[@]} -eq 0 ] && compilers=(g++-11 clang++-14)

velkor_ensure_cmake "$root/build/ct-tools"

for compiler in "${compilers[@]}"; do
  if ! command -v "$compiler" >/dev/null 2>&1; then
    echo "error: $compiler is not installed (scripts/helpers/install-system-deps.sh installs it)" >&2
    exit 1
  fi
  build="$root/build/compiler-$compiler"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$compiler" \
    -DCMAKE_BUILD_TYPE=Release -DVELKOR_BUILD_TESTS=ON -DVELKOR_WERROR=ON \
    -DPython_EXECUTABLE="$python" -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST \
    > "$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
  cmake --build "$build" -j "$jobs" > "$build.build.log" 2>&1 || { cat "$build.build.log"; exit 1; }
  version=$("$compiler" -dumpfullversion 2>/dev/null || "$compiler" -dumpversion)
  for variant in native portable; do
    log="$build/tests-$variant.log"
    "$build/tests/cpp/velkor_core_tests_$variant" --gtest_brief=1 > "$log" 2>&1 \
      || { cat "$log"; echo "FAILED: core tests built with $compiler ($variant)" >&2; exit 1; }
    passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\.$/\1/p' "$log")
    if [ -z "$passed" ] || [ "$passed" -eq 0 ]; then
      cat "$log"
      echo "FAILED: core tests built with $compiler ($variant): no test ran" >&2
      exit 1
    fi
    echo "$compiler ($version): module built, $variant core tests: $passed passed"
  done
done
