#!/usr/bin/env bash
# Runs the tests with AddressSanitizer and UndefinedBehaviorSanitizer (GCC), every report fatal:
#   1. the C++ core tests (native and portable 128-bit integer) through CTest, leak check on;
#   2. the pytest suite against the module built with both sanitizers and installed into its own
#      virtual environment, the sanitizer runtimes preloaded into the interpreter. The
#      interpreter keeps objects alive until exit by design, so leaks are not checked there.
# Set PYTHON to choose the interpreter.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
mkdir -p "$root/build"
source "$root/scripts/lib/find-python.sh"
jobs=${VELKOR_JOBS:-2}
sanitize=address,undefined
step() { printf '\n==== %s\n' "$*"; }

export CC=gcc CXX=g++
asan_runtime=$(g++ -print-file-name=libasan.so)
ubsan_runtime=$(g++ -print-file-name=libubsan.so)
for runtime in "$asan_runtime" "$ubsan_runtime"; do
  if [ ! -e "$runtime" ]; then
    echo "error: sanitizer runtime $runtime not found (it comes with g++)" >&2
    exit 1
  fi
done

export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# An allocation too large for any machine: malloc returns null instead of ending the process.
# ASan's throwing operator new still aborts instead of throwing std::bad_alloc (sanitizers issue
# 295; no option changes that), so the tests that expect bad_alloc (MemoryError) from an
# impossible reservation are left out here, by name. Every other run of the suites has them.
export ASAN_OPTIONS=allocator_may_return_null=1
cpp_excluded='^(native|portable)\.Split\.ReservationsThatCannotBeSizedOrHad$'
# (The Python test also sets an address-space limit, under which ASan's runtime cannot work.)
py_excluded=tests/python/test_faults.py::test_reservation_that_cannot_be_had_or_sized
# ASan cannot follow a switch to a makecontext stack (sanitizers issue 189): it reports the
# interpreter's own frames there as overflows. That test runs in every other run of the suite.
py_switched_stack=tests/python/test_dead_stack.py::test_calls_on_a_switched_stack_write_nothing_outside_it
# The scan of every writable mapping for share texts cannot read ASan's shadow memory and
# allocator space, terabytes reserved as writable. The interrupted split's wipes still run here
# (test_sigint_ends_a_long_call); the scan runs in every other run of the suite.
py_memory_scan=tests/python/test_faults.py::test_interrupted_split_leaves_no_share_text_in_memory
# These tests measure the resident size over thousands of calls, and ASan's quarantine of freed
# blocks looks like growth to them: they run on their own with the quarantine off (a new test of
# that kind belongs here). Everything else keeps the quarantine, which finds uses after free.
rss_tests=(tests/python/test_faults.py::test_generator_failure_in_the_middle_of_a_split
  tests/python/test_split_combine.py::test_no_leaks_on_success_and_error_paths)

python=$(velkor_find_python)
venv="$root/build/asan-venv"
if [ ! -x "$venv/bin/python" ]; then
  "$python" -m venv "$venv"
fi
velkor_pip_install "$venv/bin/python" --upgrade pip
velkor_pip_install "$venv/bin/python" --group "$velkor_pyproject:dev"
export PATH="$venv/bin:$PATH"
failed=()

step "C++ core tests with $sanitize"
build="$root/build/asan-cpp"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELKOR_BUILD_MODULE=OFF \
  -DVELKOR_BUILD_TESTS=ON -DVELKOR_WERROR=ON -DVELKOR_SANITIZE="$sanitize" \
  > "$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j "$jobs" > "$build.build.log" 2>&1 || { cat "$build.build.log"; exit 1; }
echo "left out (bad_alloc under ASan): $cpp_excluded"
if ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=1" ctest --test-dir "$build" --output-on-failure \
  -j "$jobs" -E "$cpp_excluded" > "$build.ctest.log" 2>&1; then
  tail -n 3 "$build.ctest.log"
else
  grep -v '  Passed  ' "$build.ctest.log"
  failed+=("C++ core tests")
fi

step "pytest with $sanitize on Python $(velkor_python_version "$venv/bin/python")"
module_build="$root/build/asan-module"
"$venv/bin/python" -m pip install -q --no-build-isolation --force-reinstall --no-deps \
  -C build-dir="$module_build" -C cmake.build-type=RelWithDebInfo \
  -C cmake.define.VELKOR_SANITIZE="$sanitize" -C cmake.define.VELKOR_WERROR=ON "$root" \
  > "$module_build.pip.log" 2>&1 || { cat "$module_build.pip.log"; exit 1; }
module=$("$venv/bin/python" -c 'import importlib.util as u; print(u.find_spec("pyvelkor_core").origin)')
# The installed module must carry both sanitizers, or the run below would prove nothing.
symbols=$(objdump -T "$module")
if ! grep -q '__asan_report' <<< "$symbols" || ! grep -q '__ubsan_handle' <<< "$symbols"; then
  echo "error: $module is not instrumented with $sanitize" >&2
  exit 1
fi
echo "module: $module (instrumented)"

# ASan's runtime comes first in the process; run_python in the tests keeps it in front of the
# fault library that it preloads itself. pytest's exit 5 (no test collected) fails too.
pytest_asan() {  # pytest_asan <more ASAN_OPTIONS> <pytest arguments...>
  local options=$1
  shift
  # VELKOR_SANITIZER: the suite scales its time limits to the instrumented code (conftest.py).
  (cd "$root/build" && LD_PRELOAD="$asan_runtime $ubsan_runtime" VELKOR_SANITIZER="$sanitize" \
    ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0$options" \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@")
}
echo "left out (MemoryError under ASan): $py_excluded; (makecontext) $py_switched_stack;" \
  "(whole-memory scan) $py_memory_scan"
pytest_asan "" "$root/tests/python" --deselect "$py_excluded" --deselect "$py_switched_stack" \
  --deselect "$py_memory_scan" "${rss_tests[@]/#/--deselect=}" \
  || failed+=("pytest")
echo "with the quarantine off: ${rss_tests[*]}"
pytest_asan ":quarantine_size_mb=0:thread_local_quarantine_size_kb=0" "${rss_tests[@]/#/$root/}" \
  || failed+=("pytest, resident size tests")

if [ ${#failed[@]} -ne 0 ]; then
  printf 'FAILED under %s: %s\n' "$sanitize" "${failed[@]}" >&2
  exit 1
fi
echo "sanitizer checks passed"
