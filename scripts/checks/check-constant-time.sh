#!/usr/bin/env bash
# Constant-time check of the core under valgrind's memcheck (see tests/ct/constant_time.cpp).
#
# Builds the check optimised like the shipped module (Release), with the native and the portable
# 128-bit integer, with c++ and, when installed, clang++-19, and runs under memcheck:
#   core         the core on secrets marked undefined: must give 0 memcheck errors;
#   branchy-mul  a multiplication that branches on its secret operand,
#   table-hex    hexadecimal digits looked up by secret nibbles,
#   plain-reader share texts cut at their colons and read with a table and an early exit: all
#                three must give errors, which shows that the check can fail.
# Every mode must also report that its released results were correct.
# Set PYTHON to choose the interpreter that provides CMake when the one on PATH is too old.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
mkdir -p "$root/build"
source "$root/scripts/lib/find-python.sh"
jobs=${VELKOR_JOBS:-2}

if ! command -v valgrind >/dev/null 2>&1 || [ ! -e /usr/include/valgrind/memcheck.h ]; then
  echo "error: valgrind is needed (scripts/helpers/install-system-deps.sh installs it)" >&2
  exit 1
fi

velkor_ensure_cmake "$root/build/ct-tools"

compilers=(c++)
if command -v clang++-19 >/dev/null 2>&1; then
  compilers+=(clang++-19)
else
  echo "note: clang++-19 not installed, only c++ is checked"
fi

failures=()
# run <label> <program> <mode> <expectation: clean | leaky>
run() {
  local label=$1 program=$2 mode=$3 expect=$4 log out code errors
  log="$logs/${label// /-}-$mode.valgrind.log"
  out="$logs/${label// /-}-$mode.out"
  set +e
  valgrind --tool=memcheck --error-exitcode=1 --track-origins=yes --log-file="$log" \
    "$program" "$mode" > "$out" 2>&1
  code=$?
  set -e
  errors=$(sed -n 's/.*ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' "$log" | tail -n 1)
  printf '%-22s %-12s exit %-3s ERROR SUMMARY: %s errors\n' "$label" "$mode" "$code" "${errors:-?}"
  if ! grep -qx 'results correct' "$out"; then
    failures+=("$label $mode: wrong or missing results (see $out)")
  elif [ -z "$errors" ]; then
    failures+=("$label $mode: no memcheck summary (see $log)")
  elif [ "$expect" = clean ] && { [ "$code" -ne 0 ] || [ "$errors" -ne 0 ]; }; then
    failures+=("$label $mode: secret-dependent branch or index (see $log)")
  elif [ "$expect" = leaky ] && { [ "$code" -ne 1 ] || [ "$errors" -eq 0 ]; }; then
    failures+=("$label $mode: memcheck missed a deliberate leak")
  fi
}

for compiler in "${compilers[@]}"; do
  name=$(basename "$compiler")
  build="$root/build/ct-$name"
  logs="$build/logs"
  # Release flags as for the module; debug information (DWARF 4, which this valgrind reads)
  # only names source lines in the reports and leaves the code unchanged.
  CXX=$compiler cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS=-gdwarf-4 -DVELKOR_BUILD_MODULE=OFF -DVELKOR_BUILD_CT=ON \
    -DVELKOR_WERROR=ON > "$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
  cmake --build "$build" -j "$jobs" --target velkor_ct velkor_ct_portable > "$build.build.log" 2>&1 \
    || { cat "$build.build.log"; exit 1; }
  mkdir -p "$logs"
  echo "$compiler: $("$compiler" --version | head -n 1)"
  run "$name native" "$build/tests/ct/velkor_ct" core clean
  run "$name portable" "$build/tests/ct/velkor_ct_portable" core clean
  run "$name native" "$build/tests/ct/velkor_ct" branchy-mul leaky
  run "$name native" "$build/tests/ct/velkor_ct" table-hex leaky
  run "$name native" "$build/tests/ct/velkor_ct" plain-reader leaky
done

if [ ${#failures[@]} -ne 0 ]; then
  printf 'FAILED: %s\n' "${failures[@]}" >&2
  exit 1
fi
echo "constant-time check passed"
