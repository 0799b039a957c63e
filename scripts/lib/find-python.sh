# Sourced by the project's scripts: finds Python interpreters new enough for the module (>= 3.12).
#
#   velkor_find_pythons   prints every usable interpreter, one per line, one per minor version,
#                         in order of preference: $PYTHON, python3.13, python3.12, python3,
#                         then the versions installed with pyenv.
# A PYTHON that is set must be usable (found, runs, 3.12 or newer): sourcing this file ends the
# script with a message saying why it is not, rather than going on with another interpreter.
#   velkor_find_python    prints the first of them, or fails with a message.
#   velkor_pip_install    runs `<python> -m pip install -q <args>` (see below).
#   velkor_activate       activates a virtual environment for commands run as the documentation
#                         shows them (see below).
#   velkor_report_failure shows a failed step's log, the failing tests named first (see below).
#
# The tools each task needs are declared once, as dependency groups in pyproject.toml; the scripts
# install them with `pip install --group <pyproject.toml>:<group>` (pip 25.1 or newer, so every
# environment's pip is upgraded first).

velkor_pyproject="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/pyproject.toml"

velkor_python_version() {
  "$1" -c 'import sys; v = sys.version_info; print(f"{v[0]}.{v[1]}") if v >= (3, 12) else sys.exit(1)' 2>/dev/null
}

velkor_check_python_setting() {
  [ -n "${PYTHON:-}" ] || return 0
  local path version status=0
  if ! path=$(command -v "$PYTHON" 2>/dev/null); then
    echo "error: PYTHON=$PYTHON: no such program (or it is not executable)" >&2
    return 1
  fi
  version=$("$path" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>&1) || status=$?
  if [ "$status" -ne 0 ]; then
    echo "error: PYTHON=$PYTHON does not run Python code (exit status $status)${version:+: $version}" >&2
    return 1
  fi
  if ! velkor_python_version "$path" >/dev/null; then
    echo "error: PYTHON=$PYTHON is Python $version; the module needs Python 3.12 or newer" >&2
    return 1
  fi
}
velkor_check_python_setting || exit 1

velkor_find_pythons() {
  local candidates=() seen=" " candidate version path
  [ -n "${PYTHON:-}" ] && candidates+=("$PYTHON")
  candidates+=(python3.13 python3.12 python3)
  local pyenv_root="${PYENV_ROOT:-}"
  if [ -z "$pyenv_root" ] && command -v pyenv >/dev/null 2>&1; then
    pyenv_root=$(pyenv root 2>/dev/null || true)
  fi
  [ -z "$pyenv_root" ] && [ -d "$HOME/.pyenv" ] && pyenv_root="$HOME/.pyenv"
  if [ -n "$pyenv_root" ] && [ -d "$pyenv_root/versions" ]; then
    for path in $(ls -d "$pyenv_root"/versions/*/bin/python3 2>/dev/null | sort -r -V); do
      candidates+=("$path")
    done
  fi
  for candidate in "${candidates[@]}"; do
    path=$(command -v "$candidate" 2>/dev/null) || continue
    version=$(velkor_python_version "$path") || continue
    case "$seen" in *" $version "*) continue ;; esac
    seen="$seen$version "
    echo "$path"
  done
}

velkor_find_python() {
  local first
  first=$(velkor_find_pythons | head -n 1)
  if [ -z "$first" ]; then
    echo "error: no Python >= 3.12 found; set PYTHON to one" >&2
    return 1
  fi
  echo "$first"
}

# Puts CMake >= 3.26 and Ninja on PATH: the ones already there when recent enough, else from a
# tools environment under the given directory (made once with the first usable Python).
velkor_ensure_cmake() {
  local tools="$1"
  if command -v cmake >/dev/null 2>&1 && command -v ninja >/dev/null 2>&1 \
    && printf '%s\n' 3.26 "$(cmake --version | awk 'NR == 1 { print $3 }')" | sort -C -V; then
    return 0
  fi
  if [ ! -x "$tools/bin/cmake" ] || [ ! -x "$tools/bin/ninja" ]; then
    "$(velkor_find_python)" -m venv "$tools"
    velkor_pip_install "$tools/bin/python" --upgrade pip
    velkor_pip_install "$tools/bin/python" --group "$velkor_pyproject:build"
  fi
  export PATH="$tools/bin:$PATH"
}

# `velkor_pip_install <python> <pip arguments>`: pip run quietly, so that only real warnings and
# errors are shown (a machine's pip configuration may name package locations that do not exist;
# those notices are dropped). Returns pip's own status.
velkor_pip_install() {
  "$1" -m pip install -q "${@:2}" 2>&1 | { grep -v "^WARNING: Location '" || true; }
  return "${PIPESTATUS[0]}"
}

# `velkor_activate <venv>`: activates the virtual environment, so that the commands the README
# and CONTRIBUTING.md show run here exactly as written (`pip install .`, `python -m pytest ...`).
# Their pip is quiet and drops the same notices as velkor_pip_install.
velkor_activate() {
  # shellcheck disable=SC1091
  source "$1/bin/activate"
  export PIP_QUIET=1
  pip() {
    command pip "$@" 2>&1 | { grep -v "^WARNING: Location '" || true; }
    return "${PIPESTATUS[0]}"
  }
}

# `velkor_run_gtest <log> <label> <command ...>`: runs a GoogleTest program (the command, often
# an emulator and the program) with --gtest_brief=1, its output into <log>, and prints how many
# tests passed. On a failure, or when no test ran, shows the log on standard error and fails.
velkor_run_gtest() {
  local log=$1 label=$2 passed
  shift 2
  if ! "$@" --gtest_brief=1 > "$log" 2>&1; then
    cat "$log" >&2
    echo "FAILED: $label" >&2
    return 1
  fi
  # Programs run under Wine end their lines with CR LF.
  passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\.\r\?$/\1/p' "$log")
  if [ -z "$passed" ] || [ "$passed" -eq 0 ]; then
    cat "$log" >&2
    echo "FAILED: $label: no test ran" >&2
    return 1
  fi
  echo "$passed"
}

# `velkor_report_failure <label> <log>`: on standard error, a line naming what failed and, when
# the log is pytest's, the failing tests; then the log: of a pytest log only its report of the
# failures (each failing test's traceback and output), of any other log all of it.
velkor_report_failure() {
  local label=$1 log=$2 tests
  tests=$(sed -n -E 's/^(FAILED|ERROR) //p' "$log" | sed 's/ - .*//' | sort -u | paste -sd ' ' -)
  {
    echo "FAILED: $label${tests:+: $tests}"
    if grep -q -E '^=+ (FAILURES|ERRORS) =+$' "$log"; then
      sed -n -E '/^=+ (FAILURES|ERRORS) =+$/,/^=+ short test summary info =+$/p' "$log" | sed '$d'
    else
      cat "$log"
    fi
    echo "(the whole log: $log)"
  } >&2
}
