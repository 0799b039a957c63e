#!/usr/bin/env bash
# Runs every benchmark and regenerates docs/benchmarks.md and docs/benchmarks.png:
#   1. a virtual environment (build/bench-venv) with the package, pycryptodome (the peer of the
#      Python benchmark, installed only here) and matplotlib;
#   2. the core micro-benchmarks (bench/bench_core.cpp, Google Benchmark), JSON to
#      build/bench-core-raw.json (docs/bench-core.json keeps the figures without host details);
#   3. the Python benchmark (bench/bench.py), JSON to docs/bench-python.json;
#   4. the instructions per call of the module's functions, counted with callgrind
#      (scripts/count-instructions.sh, its own release build), JSON to docs/bench-counts.json;
#      skipped with a note when valgrind is not installed;
#   5. bench/report.py, which writes the page and the plot from the JSON files.
# Google Benchmark comes from the system (Debian: libbenchmark-dev). Set PYTHON to choose the
# interpreter (>= 3.12), VELKOR_JOBS for the build's parallelism. Extra arguments go to
# bench/bench.py (for example --quick).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
mkdir -p build docs
source scripts/lib/find-python.sh
python=$(velkor_find_python)
jobs=${VELKOR_JOBS:-2}

venv="$root/build/bench-venv"
if [ ! -x "$venv/bin/python" ]; then
  "$python" -m venv "$venv"
fi
velkor_pip_install "$venv/bin/python" --upgrade pip
velkor_pip_install "$venv/bin/python" --group "$velkor_pyproject:bench"
velkor_pip_install "$venv/bin/python" --force-reinstall --no-deps "$root"
export PATH="$venv/bin:$PATH"

build="$root/build/bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELKOR_BUILD_MODULE=OFF \
  -DVELKOR_BUILD_BENCH=ON -DVELKOR_WERROR=ON > "$build.configure.log" 2>&1 \
  || { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j "$jobs" --target velkor_bench_core > "$build.build.log" 2>&1 \
  || { cat "$build.build.log"; exit 1; }

echo "== core micro-benchmarks"
"$build/bench/velkor_bench_core" --benchmark_repetitions=5 --benchmark_min_time=0.2 \
  --benchmark_out="$root/build/bench-core-raw.json" --benchmark_out_format=json \
  | sed -n '/^operation/,$p'

echo "== Python benchmark"
# Run from outside the checkout so that the installed package is the one imported.
(cd "$root/build" && "$venv/bin/python" "$root/bench/bench.py" --json "$root/docs/bench-python.json" "$@")

counts=()
if command -v valgrind >/dev/null 2>&1; then
  echo "== instructions per call (callgrind)"
  "$root/scripts/count-instructions.sh" --json "$root/docs/bench-counts.json"
  counts=(--counts "$root/docs/bench-counts.json")
else
  echo "note: valgrind is not installed (Debian: valgrind): no instruction counts" >&2
fi

echo "== report"
"$venv/bin/python" "$root/bench/report.py" "${counts[@]}" --core "$root/build/bench-core-raw.json" \
  --core-out "$root/docs/bench-core.json" --python "$root/docs/bench-python.json" \
  --markdown "$root/docs/benchmarks.md" --plot "$root/docs/benchmarks.png"
