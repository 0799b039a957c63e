#!/usr/bin/env bash
# Cross-builds the C++ core tests for Windows x64 with the mingw-w64 cross compiler and runs them
# under Wine: the random source against the real BCryptGenRandom and SystemFunction036 (Wine's
# bcrypt.dll and advapi32.dll), the stack scrub with the Windows x64 register clearing, and every
# other core test that is not about Linux. Both variants run: the native 128-bit integer and the
# portable two-limb one. GoogleTest is built from its sources with the same cross compiler (Debian
# ships them in /usr/src/googletest); the programs are linked statically (see
# cmake/windows-cross.cmake); warnings are errors.
#
# Wine runs in a prefix of its own, build/windows/wine-prefix, never the user's: made at the first
# run (a few seconds), kept for the next ones, and safe to delete at any time. Its server is
# stopped before the script ends. When the cross compiler or wine64 is missing, it runs
# scripts/helpers/install-system-deps.sh, which installs them as root with apt-get.
#
# Usage: scripts/checks/check-windows.sh
# Environment: GTEST_SOURCE_DIR (default /usr/src/googletest), VELKOR_JOBS (default 2),
#              VELKOR_WINE (the Wine loader; default: the wine64 package's, then PATH).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
mkdir -p "$root/build"
source "$root/scripts/lib/find-python.sh"
source "$root/scripts/lib/windows-python.sh"
jobs=${VELKOR_JOBS:-2}
gtest_source=${GTEST_SOURCE_DIR:-/usr/src/googletest}
build="$root/build/windows"
compiler=x86_64-w64-mingw32-g++-posix

missing=()
command -v "$compiler" >/dev/null 2>&1 || missing+=(g++-mingw-w64-x86-64-posix)
velkor_find_wine >/dev/null || missing+=(wine64)
# scripts/helpers/install-system-deps.sh installs them (with apt-get, as root) or says what is missing.
[ ${#missing[@]} -eq 0 ] || "$root/scripts/helpers/install-system-deps.sh"
wine=$(velkor_find_wine) || { echo "error: no Wine loader found after installing wine64" >&2; exit 1; }
wineserver=$(velkor_find_wineserver "$wine" || true)

if [ ! -f "$gtest_source/googletest/CMakeLists.txt" ]; then
  echo "error: no GoogleTest sources in $gtest_source (Debian: apt-get install libgtest-dev)" >&2
  exit 1
fi
velkor_ensure_cmake "$root/build/ct-tools"

mkdir -p "$build"
# Tests are discovered when CTest runs, not after linking: this script runs the executables
# itself, each under one Wine process for all its tests.
cmake -S "$root" -B "$build/cpp" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/windows-cross.cmake" \
  -DVELKOR_WINE="$wine" -DCMAKE_BUILD_TYPE=Release -DVELKOR_BUILD_MODULE=OFF \
  -DVELKOR_BUILD_TESTS=ON -DVELKOR_WERROR=ON -DVELKOR_GTEST_SOURCE_DIR="$gtest_source" \
  -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST > "$build/configure.log" 2>&1 \
  || { cat "$build/configure.log"; exit 1; }
cmake --build "$build/cpp" -j "$jobs" > "$build/build.log" 2>&1 || { cat "$build/build.log"; exit 1; }

# No display: the tests are console programs, and Wine then shows no dialog. The .NET and
# HTML runtimes, which Wine offers to download while it makes a prefix, are not needed.
export WINEPREFIX="$build/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
stop_wine() { [ -z "$wineserver" ] || "$wineserver" -k 2>/dev/null || true; }
trap stop_wine EXIT

total=0
# Each program runs in seconds; the limit only stops one that hangs (Wine waiting on a server
# that went away), and is far from any run's time on a loaded machine.
for variant in native portable; do
  passed=$(velkor_run_gtest "$build/tests-$variant.log" \
    "Windows x64 (wine) core tests, $variant 128-bit integer" \
    timeout 900 "$wine" "$build/cpp/tests/cpp/velkor_core_tests_$variant.exe") || exit 1
  total=$((total + passed))
done
echo "windows (wine): $total tests passed"
