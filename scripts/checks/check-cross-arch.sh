#!/usr/bin/env bash
# Cross-builds the C++ core tests for other processors with Debian's cross compilers and runs
# them under qemu-user: aarch64 (no SSE2, so the portable share reader) and s390x (big-endian,
# so the other side of every byte-order branch). Both variants run on each target: the native
# 128-bit integer and the portable two-limb one. GoogleTest is built from its sources with the
# same cross compiler (Debian ships them in /usr/src/googletest); warnings are errors.
#
# Usage: scripts/checks/check-cross-arch.sh [triple ...]   (default: aarch64-linux-gnu s390x-linux-gnu)
# Environment: GTEST_SOURCE_DIR (default /usr/src/googletest), VELKOR_JOBS (default 2).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
mkdir -p "$root/build"
source "$root/scripts/lib/find-python.sh"
jobs=${VELKOR_JOBS:-2}
gtest_source=${GTEST_SOURCE_DIR:-/usr/src/googletest}
triples=("$@")
[ ${#triples[@]} -eq 0 ] && triples=(aarch64-linux-gnu s390x-linux-gnu)

velkor_ensure_cmake "$root/build/ct-tools"

if [ ! -f "$gtest_source/googletest/CMakeLists.txt" ]; then
  echo "error: no GoogleTest sources in $gtest_source (Debian: apt-get install libgtest-dev)" >&2
  exit 1
fi

for triple in "${triples[@]}"; do
  cpu=${triple%%-*}
  for tool in "$triple-g++" "qemu-$cpu"; do
    if ! command -v "$tool" >/dev/null 2>&1; then
      echo "error: $tool is not installed (Debian: g++-$triple, qemu-user)" >&2
      exit 1
    fi
  done
  case "$("$triple-g++" -dM -E -x c++ /dev/null | grep '__BYTE_ORDER__ ')" in
    *BIG_ENDIAN*) order=big-endian ;;
    *) order=little-endian ;;
  esac

  build="$root/build/cross-$cpu"
  # Tests are discovered when CTest runs, not after linking: this script runs the executables
  # itself, each under one emulator process for all its tests.
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/linux-cross.cmake" \
    -DVELKOR_CROSS_TRIPLE="$triple" -DCMAKE_BUILD_TYPE=Release -DVELKOR_BUILD_MODULE=OFF \
    -DVELKOR_BUILD_TESTS=ON -DVELKOR_WERROR=ON -DVELKOR_GTEST_SOURCE_DIR="$gtest_source" \
    -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST > "$build.configure.log" 2>&1 \
    || { cat "$build.configure.log"; exit 1; }
  cmake --build "$build" -j "$jobs" > "$build.build.log" 2>&1 || { cat "$build.build.log"; exit 1; }

  for variant in native portable; do
    passed=$(velkor_run_gtest "$build/tests-$variant.log" \
      "$cpu ($order) core tests, $variant 128-bit integer" \
      "qemu-$cpu" -L "/usr/$triple" "$build/tests/cpp/velkor_core_tests_$variant") || exit 1
    echo "$cpu ($order, $("$triple-g++" -dumpfullversion)) $variant 128-bit integer: $passed tests passed"
  done
done
