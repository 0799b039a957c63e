#!/usr/bin/env bash
# Runs every test of the project on a fresh machine. Every command that README.md and
# CONTRIBUTING.md show runs here as written (tests/python/test_readme.py checks that it does):
#   0. the lint command, scripts/lint.sh (ruff and clang-format at their pinned versions);
#   1. makes the release files with scripts/release.sh (warnings are errors): the sdist and the
#      manylinux_2_28 abi3 wheel built from it, checked with auditwheel, abi3audit and twine;
#      installs that wheel into a fresh virtual environment for every Python >= 3.12 it finds
#      and runs the pytest suite there, and runs the quickstart from the sdist;
#   2. builds the release files a second time from a copy of the tree at another path
#      (scripts/release.sh --no-tests) and checks that they are byte-identical to the first;
#      starts the suite on aarch64, s390x and i386 in the background (scripts/checks/check-other-cpus.sh,
#      waited for at the end), and the suite on Windows' CPython 3.12 and 3.13 under Wine against the
#      win_amd64 wheel (scripts/checks/check-windows-suite.sh, likewise), and runs the suite on the CPythons >= 3.14 of a Debian testing
#      tree and their debug builds (scripts/checks/check-pythons.sh);
#   3. the README's example, scripts/example.sh (`pip install .`, then examples/quickstart.py);
#   4. the fast loop, scripts/dev.sh: the pytest suite against an editable install in
#      scikit-build-core's rebuild mode (with stubtest and mypy on its stubs), and the C++ core
#      tests through CTest, with the native and the portable 128-bit integer; the C++ core tests
#      again unoptimised (Debug); the C++ core tests cross-built for Windows x64 and run under Wine;
#   5. builds the module and the core tests with the oldest supported compilers (GCC 11,
#      Clang 14), and cross-builds the core tests for aarch64 and s390x and runs them under
#      qemu-user;
#   6. checks the constant-time code under valgrind memcheck (and that the check bites), that
#      the wipes survive in the optimised module's machine code, runs the C++ and Python suites
#      under AddressSanitizer and UndefinedBehaviorSanitizer, and runs the fuzz targets briefly;
#   7. with the environments of step 1: the type checks of the shipped stubs and a short soak
#      run on every Python.
# It ends with a table of each step's wall seconds (also when a step fails: the steps up to that
# one), the background steps with the times they started and ended.
# Set PYTHON to choose the interpreter that builds (it is also tested first).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
source scripts/lib/find-python.sh

build="$root/build/test"
jobs=${VELKOR_JOBS:-2}

# The step table. `step <name>` ends the step before it and starts this one; a step's seconds run
# from its header to the next header. A step that fails marks its row (`failed_steps`); a
# background step has its own row (`background_steps`, from `background_starts` to
# `background_ends`; `background_pids` are their process groups), in the order they started.
step_rows=() failed_steps=() current_step="" step_start=$SECONDS second=""
background_steps=() background_starts=() background_ends=() background_pids=() background_logs=()
end_step() {
  [ -n "$current_step" ] || return 0
  step_rows+=("$(printf '%6d  %s' $((SECONDS - step_start)) "$current_step")")
  current_step=""
}
step() {
  end_step
  current_step=$*
  step_start=$SECONDS
  printf '\n==== %s\n' "$*"
}
finish() {
  local status=$1
  [ "$status" -eq 0 ] || [ -z "$current_step" ] || failed_steps+=("$current_step")
  end_step
  local i
  for i in "${!background_steps[@]}"; do
    if [ -z "${background_ends[i]}" ]; then
      # A foreground step failed: the background step is ended, with its children.
      kill -- "-${background_pids[i]}" 2>/dev/null || true
      wait "${background_pids[i]}" 2>/dev/null || true
    fi
  done
  [ -z "$second" ] || rm -rf -- "$second"
  for i in "${!background_steps[@]}"; do
    if [ -n "${background_ends[i]}" ]; then
      step_rows+=("$(printf '%6d  %s, in the background from %d s to %d s' \
        $((background_ends[i] - background_starts[i])) "${background_steps[i]}" "${background_starts[i]}" \
        "${background_ends[i]}")")
    else
      step_rows+=("$(printf '%6s  %s, in the background from %d s, stopped unfinished at %d s' \
        - "${background_steps[i]}" "${background_starts[i]}" "$SECONDS")")
    fi
  done
  printf '\n==== wall seconds per step (%d s in all, on %s cores)\n' "$SECONDS" "$(nproc)"
  printf '%s\n' "${step_rows[@]}"
  if [ ${#failed_steps[@]} -ne 0 ]; then
    printf 'FAILED: %s\n' "${failed_steps[@]}"
  elif [ "$status" -eq 0 ]; then
    printf '\nall tests passed\n'
  fi
}
trap 'finish $?' EXIT
# `show_log <log>`: a failed step's log, its lines naming what failed (FAILED: ...) first.
show_log() {
  { grep '^FAILED: ' "$1" || true; grep -v '^FAILED: ' "$1" || true; } >&2
}
# `start_background <name> <log> <command...>`: a step that runs beside the ones after it, in a
# session of its own, so that it can be ended with its children when a step fails.
start_background() {
  local name=$1 log=$2
  shift 2
  end_step
  background_steps+=("$name")
  background_starts+=("$SECONDS")
  background_ends+=("")
  background_logs+=("$log")
  printf '\n==== %s: started at %d s\n' "$name" "$SECONDS"
  setsid "$@" > "$log" 2>&1 &
  background_pids+=("$!")
}
# `wait_background <index> <summary pattern>`: waits for that background step; its summary lines
# when it passed, its log when it failed (and status=1).
wait_background() {
  local i=$1 pattern=$2 result=0
  step "waiting for: ${background_steps[i]}"
  wait "${background_pids[i]}" || result=$?
  background_ends[i]=$SECONDS
  echo "ended at ${background_ends[i]} s"
  if [ "$result" -eq 0 ]; then
    grep -E "$pattern" "${background_logs[i]}" || true
  else
    show_log "${background_logs[i]}"
    failed_steps+=("${background_steps[i]}")
    status=1
  fi
  end_step
}

step "system packages"
scripts/helpers/install-system-deps.sh

mapfile -t pythons < <(velkor_find_pythons)
if [ ${#pythons[@]} -eq 0 ]; then
  echo "error: no Python >= 3.12 found; set PYTHON to one" >&2
  exit 1
fi
echo "Pythons: ${pythons[*]}"

mkdir -p "$build"
step "lint (scripts/lint.sh)"
scripts/lint.sh

step "release files (scripts/release.sh)"
scripts/release.sh

step "release files again, from another path: byte-identical"
# A copy of the tracked files as they are (scripts/release.sh refuses untracked ones), so that
# changes not yet committed are compared too; the time of the first build is handed on.
second=$(mktemp -d)
git ls-files -z --cached | while IFS= read -r -d '' file; do
  if [ -e "$file" ]; then printf '%s\0' "$file"; fi
done | xargs -0 cp --parents -t "$second" --
(export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)} && cd "$second" \
  && scripts/release.sh --no-tests) > "$build/release-again.log" 2>&1 \
  || { show_log "$build/release-again.log"; exit 1; }
if ! diff <(cd dist && sha256sum -- *) <(cd "$second/dist" && sha256sum -- *); then
  echo "error: the second build's release files differ from the first's" >&2
  exit 1
fi
(cd dist && sha256sum -- *)

# Under emulation they take longest; they run beside the steps below and are waited for at the end.
start_background "Python suite on aarch64, s390x and i386 (scripts/checks/check-other-cpus.sh)" \
  "$build/other-cpus.log" scripts/checks/check-other-cpus.sh
start_background "Python suite on Windows' CPython 3.12 and 3.13 under Wine (scripts/checks/check-windows-suite.sh)" \
  "$build/windows-suite.log" scripts/checks/check-windows-suite.sh

step "the newest CPythons and their debug builds, in a Debian testing tree (scripts/checks/check-pythons.sh)"
scripts/checks/check-pythons.sh > "$build/check-pythons.log" 2>&1 || { show_log "$build/check-pythons.log"; exit 1; }
sed -n '/^==== summary/,$p' "$build/check-pythons.log"

velkor_ensure_cmake "$build/venv-tools"

step "the README's example (scripts/example.sh)"
scripts/example.sh

step "fast loop (scripts/dev.sh): pytest on the editable install, C++ core tests"
# Its output (every CTest line) goes to a log; the summaries are shown.
PYTHON="${pythons[0]}" scripts/dev.sh > "$build/dev.log" 2>&1 \
  || { velkor_report_failure "fast loop (scripts/dev.sh)" "$build/dev.log"; exit 1; }
grep -E '^=+ .*(passed|failed).* =+$|tests passed|^fast loop' "$build/dev.log"

step "C++ core tests, unoptimised (Debug)"
cmake -S . -B "$build/cpp-debug" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELKOR_BUILD_MODULE=OFF \
  -DVELKOR_BUILD_TESTS=ON -DVELKOR_WERROR=ON > "$build/cpp-debug-configure.log" \
  || { cat "$build/cpp-debug-configure.log"; exit 1; }
cmake --build "$build/cpp-debug" -j "$jobs" > "$build/cpp-debug-build.log" 2>&1 \
  || { cat "$build/cpp-debug-build.log"; exit 1; }
ctest --test-dir "$build/cpp-debug" --output-on-failure -j "$jobs" | tail -n 4

step "Windows x64 core tests (wine)"
scripts/checks/check-windows.sh

step "oldest supported compilers (GCC 11, Clang 14)"
PYTHON="${pythons[0]}" scripts/checks/check-compilers.sh

step "aarch64 and s390x core tests (qemu-user)"
scripts/checks/check-cross-arch.sh

step "constant time (valgrind memcheck)"
PYTHON="${pythons[0]}" scripts/checks/check-constant-time.sh

step "reference-leak table, and that it bites (scripts/checks/check-refleaks.sh)"
PYTHON="${pythons[0]}" scripts/checks/check-refleaks.sh

step "wipes in the optimised module"
PYTHON="${pythons[0]}" scripts/checks/check-wipe-disassembly.sh

step "sanitizers (ASan, UBSan)"
PYTHON="${pythons[0]}" scripts/checks/check-sanitizers.sh

step "fuzz targets (short runs)"
FUZZ_BUILD="$build/fuzz" scripts/checks/check-fuzz.sh

status=0
for python in "${pythons[@]}"; do
  version=$(velkor_python_version "$python")
  # The environment scripts/release.sh made: the released wheel with pytest and mypy.
  venv="$root/build/release/venv-$version"
  step "type checks on Python $version"
  (cd "$build" && "$venv/bin/python" -m mypy --strict --no-incremental "$root/tests/typing" \
    && "$venv/bin/python" -m mypy.stubtest pyvelkor_core) || { status=1; failed_steps+=("$current_step"); }
  step "soak (short) on Python $version"
  "$venv/bin/python" "$root/scripts/helpers/soak.py" --rounds 20000 || { status=1; failed_steps+=("$current_step"); }
done

wait_background 0 '^(aarch64|s390x|i386) '
wait_background 1 '^windows '

end_step
[ "$status" -eq 0 ] || exit 1
