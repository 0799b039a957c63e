#!/usr/bin/env bash
# Counts the instructions per call of the module's functions with callgrind
# (bench/count_instructions.py says how), on the release build of the module installed in the
# virtual environment build/count-venv. The build directory build/count-build is kept, so that a
# second run rebuilds only what changed; the module is installed unstripped, so that the list of
# functions names them (the code is the same as in a wheel). Needs valgrind (Debian: valgrind).
#
#   scripts/count-instructions.sh [--calls N] [--json FILE] [--functions] [CASE ...]
#
# The arguments go to bench/count_instructions.py. Set PYTHON to choose the interpreter
# (>= 3.12), VELKOR_JOBS for the build's parallelism. Counts depend on the interpreter's version
# and on the compiler, never on the load of the machine.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
mkdir -p build
source scripts/lib/find-python.sh
command -v valgrind >/dev/null || { echo "valgrind is needed (Debian: valgrind)" >&2; exit 1; }

venv="$root/build/count-venv"
if [ ! -x "$venv/bin/python" ]; then
  "$(velkor_find_python)" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q --group "$velkor_pyproject:build"
fi
export CMAKE_BUILD_PARALLEL_LEVEL=${VELKOR_JOBS:-2}
"$venv/bin/python" -m pip install -q --no-build-isolation --no-deps --force-reinstall \
  -Cbuild-dir="$root/build/count-build" -Cinstall.strip=false "$root" > "$root/build/count-install.log" 2>&1 \
  || { cat "$root/build/count-install.log"; exit 1; }

# Run from outside the checkout so that the installed module is the one imported.
cd "$root/build"
"$venv/bin/python" "$root/bench/count_instructions.py" "$@"
