#!/usr/bin/env bash
# Runs every test of the project on a fresh machine:
#   1. builds the abi3 wheel once (warnings are errors) and checks its tag and file name;
#   2. audits it with abi3audit (no use of anything outside the stable ABI of 3.12);
#   3. builds and runs the C++ core tests through CTest, with the native and the portable
#      128-bit integer, and checks that the Windows random source cross-compiles;
#   4. checks the constant-time code under valgrind memcheck (and that the check bites), that
#      the wipes survive in the optimised module's machine code, runs the C++ and Python suites
#      under AddressSanitizer and UndefinedBehaviorSanitizer, and runs the fuzz targets briefly;
#   5. installs that same wheel into a fresh virtual environment for every Python >= 3.12 it
#      finds and runs the pytest suite there, plus the type checks of the shipped stubs.
# Set PYTHON to choose the interpreter that builds (it is also tested first).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
source scripts/find-python.sh

build="$root/build/test"
jobs=${VELKOR_JOBS:-2}
step() { printf '\n==== %s\n' "$*"; }
# pip run quietly: only real warnings and errors are shown (a machine's pip configuration may
# name package locations that do not exist; those notices are dropped).
pip_install() {
  "$1" -m pip install -q "${@:2}" 2>&1 | { grep -v "^WARNING: Location '" || true; }
  return "${PIPESTATUS[0]}"
}

step "system packages"
scripts/install-system-deps.sh

mapfile -t pythons < <(velkor_find_pythons)
if [ ${#pythons[@]} -eq 0 ]; then
  echo "error: no Python >= 3.12 found; set PYTHON to one" >&2
  exit 1
fi
echo "Pythons: ${pythons[*]}"

step "build tools"
tools="$build/venv-tools"
if [ ! -x "$tools/bin/python" ]; then
  "${pythons[0]}" -m venv "$tools"
fi
pip_install "$tools/bin/python" --upgrade pip
pip_install "$tools/bin/python" build scikit-build-core cmake ninja abi3audit
export PATH="$tools/bin:$PATH"

step "wheel"
rm -rf "$build/dist"
VELKOR_WERROR=ON "$tools/bin/python" -m build --wheel --no-isolation --outdir "$build/dist" . \
  > "$build/wheel.log" 2>&1 || { cat "$build/wheel.log"; exit 1; }
wheel=$(ls "$build"/dist/*.whl)
echo "built $(basename "$wheel") ($(stat -c %s "$wheel") bytes)"
case "$(basename "$wheel")" in
  pyvelkor_core-*-cp312-abi3-*.whl) ;;
  *) echo "error: the wheel is not tagged cp312-abi3" >&2; exit 1 ;;
esac
"$tools/bin/python" - "$wheel" <<'PY'
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
modules = [n for n in names if n.startswith("pyvelkor_core.") and n.endswith((".so", ".pyd"))]
if modules != ["pyvelkor_core.abi3.so"]:
    sys.exit(f"error: expected the top-level extension pyvelkor_core.abi3.so, found {modules}")
print("extension:", modules[0])
PY

step "abi3audit"
abi3audit --strict --report "$wheel"

step "C++ core tests"
cmake -S . -B "$build/cpp" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELKOR_BUILD_MODULE=OFF \
  -DVELKOR_BUILD_TESTS=ON -DVELKOR_WERROR=ON > "$build/cpp-configure.log" \
  || { cat "$build/cpp-configure.log"; exit 1; }
cmake --build "$build/cpp" -j "$jobs"
ctest --test-dir "$build/cpp" --output-on-failure -j "$jobs" | tail -n 4

step "Windows random source (cross-compiled)"
scripts/check-windows-build.sh

step "constant time (valgrind memcheck)"
PYTHON="${pythons[0]}" scripts/check-constant-time.sh

step "wipes in the optimised module"
PYTHON="${pythons[0]}" scripts/check-wipe-disassembly.sh

step "sanitizers (ASan, UBSan)"
PYTHON="${pythons[0]}" scripts/check-sanitizers.sh

step "fuzz targets (short runs)"
FUZZ_BUILD="$build/fuzz" scripts/check-fuzz.sh

status=0
for python in "${pythons[@]}"; do
  version=$(velkor_python_version "$python")
  step "pytest on Python $version"
  venv="$build/venv-$version"
  rm -rf "$venv"
  "$python" -m venv "$venv"
  pip_install "$venv/bin/python" --upgrade pip
  pip_install "$venv/bin/python" pytest hypothesis mypy "$wheel"
  # Run from outside the source tree so that only the installed wheel can be imported.
  set +e
  (cd "$build" && "$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/python")
  code=$?
  set -e
  # pytest exits 5 when it collected no test: that is a failure here, never a pass.
  if [ "$code" -ne 0 ]; then
    echo "pytest on Python $version failed (exit $code)"
    status=1
  fi
  step "type checks on Python $version"
  (cd "$build" && "$venv/bin/python" -m mypy --strict --no-incremental "$root/tests/typing" \
    && "$venv/bin/python" -m mypy.stubtest pyvelkor_core) || status=1
  step "soak (short) on Python $version"
  "$venv/bin/python" "$root/scripts/soak.py" --rounds 20000 || status=1
done

if [ "$status" -ne 0 ]; then
  echo "FAILED"
  exit 1
fi
echo
echo "all tests passed"
