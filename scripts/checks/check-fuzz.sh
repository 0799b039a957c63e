#!/usr/bin/env bash
# Builds the libFuzzer targets of the core (fuzz/*.cpp) with AddressSanitizer and
# UndefinedBehaviorSanitizer, once against the native and once against the portable 128-bit
# integer, and runs each for a short, fixed number of executions starting from its checked-in
# seed corpus (fuzz/corpus/<target>/, copied first so that it is never modified). Fails if a
# target does not build, or on any crash, sanitizer report or failed check; the input that
# failed is kept under the build directory.
#
# Usage: scripts/checks/check-fuzz.sh   (from any directory; installs nothing)
# Environment:
#   CXX_FUZZ     compiler (default clang++-19; it needs the compiler-rt fuzzer runtime)
#   FUZZ_RUNS    executions per target (default: per target, see `targets` below)
#   FUZZ_SEED    libFuzzer's random seed (default 1, so that a run can be repeated exactly)
#   FUZZ_BUILD   build directory (default build/fuzz)
# A long run of one target, e.g.:
#   build/fuzz/native/fuzz_parse_share -max_len=256 -runs=10000000 <corpus directory>
set -euo pipefail

root="$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/../.." && pwd)"
cxx="${CXX_FUZZ:-clang++-19}"
seed="${FUZZ_SEED:-1}"
build="${FUZZ_BUILD:-$root/build/fuzz}"

# name, maximum input length, default executions
targets=(
  "fuzz_parse_share 256 50000"
  "fuzz_combine 2048 30000"
  "fuzz_split_combine 600 15000"
)

if ! command -v "$cxx" >/dev/null 2>&1; then
  echo "error: the compiler '$cxx' is not installed." >&2
  echo "       On Debian or Ubuntu: apt-get install clang-19 libclang-rt-19-dev" >&2
  exit 2
fi

probe="$(mktemp -d)"
trap 'rm -rf -- "$probe"' EXIT
printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
  >"$probe/probe.cpp"
if ! "$cxx" -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" \
  >"$probe/probe.log" 2>&1; then
  cat "$probe/probe.log" >&2
  echo "error: '$cxx' cannot link a libFuzzer target with ASan and UBSan: the compiler-rt" >&2
  echo "       runtime is missing. On Debian or Ubuntu: apt-get install libclang-rt-19-dev" >&2
  exit 2
fi

# The core as the module builds it on Linux: every source except the other platforms' random
# sources. Built with coverage instrumentation (fuzzer-no-link) and the sanitizers.
core_sources=()
for source in "$root"/src/core/*.cpp "$root"/src/core/random/*.cpp; do
  case "$(basename -- "$source")" in
    random_source_windows.cpp | random_source_getentropy.cpp) ;;
    *) core_sources+=("$source") ;;
  esac
done

flags=(-std=c++20 -g -O1 -fsanitize=address,undefined -fno-sanitize-recover=undefined
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Werror
  "-ffile-prefix-map=$root/=" -I "$root/src" -I "$root/fuzz")

build_variant() {
  local variant="$1" out="$build/$1" defines=()
  [[ "$variant" == portable ]] && defines=(-DVELKOR_PORTABLE_U128=1)
  rm -rf -- "$out"
  mkdir -p "$out/obj"
  local objects=() source object
  for source in "${core_sources[@]}"; do
    object="$out/obj/$(basename -- "$source" .cpp).o"
    nice -n 10 "$cxx" "${flags[@]}" "${defines[@]}" -fsanitize=fuzzer-no-link -c "$source" \
      -o "$object"
    objects+=("$object")
  done
  local entry name
  for entry in "${targets[@]}"; do
    read -r name _ _ <<<"$entry"
    nice -n 10 "$cxx" "${flags[@]}" "${defines[@]}" -fsanitize=fuzzer "$root/fuzz/$name.cpp" \
      "${objects[@]}" -o "$out/$name"
  done
  echo "built $variant targets in ${out#"$root"/}"
}

start=$SECONDS
build_variant native
build_variant portable
echo "build: $((SECONDS - start)) s"

artifacts="$build/artifacts"
mkdir -p "$artifacts"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

status=0
start=$SECONDS
for variant in native portable; do
  for entry in "${targets[@]}"; do
    read -r name max_len runs <<<"$entry"
    runs="${FUZZ_RUNS:-$runs}"
    corpus="$probe/corpus-$variant-$name"
    mkdir -p "$corpus"
    cp -- "$root/fuzz/corpus/$name"/* "$corpus/"
    log="$build/$variant-$name.log"
    t0=$SECONDS
    # -timeout: one input runs in microseconds, under both sanitizers too; only an input that
    # hangs reaches 20 s. The length of a run is a count of inputs (-runs), not a time.
    if nice -n 10 "$build/$variant/$name" -runs="$runs" -max_len="$max_len" -seed="$seed" \
      -timeout=20 -print_final_stats=1 -artifact_prefix="$artifacts/$variant-$name-" \
      "$corpus" >"$log" 2>&1; then
      summary="$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 |
        sed -E 's/^#([0-9]+)[[:space:]]+DONE[[:space:]]+/\1 runs, /; s/[[:space:]]+/ /g')"
      echo "ok:     $variant $name: $summary ($((SECONDS - t0)) s)"
    else
      echo "FAILED: $variant $name (log: $log)" >&2
      grep -E -A 30 'fuzz check failed|ERROR: (AddressSanitizer|libFuzzer|UndefinedBehavior)|runtime error' \
        "$log" | head -n 60 >&2 || tail -n 40 "$log" >&2
      grep -E 'Test unit written to' "$log" >&2 || true
      status=1
    fi
  done
done
echo "runs: $((SECONDS - start)) s"

if [[ $status -eq 0 ]]; then
  echo "fuzz check passed."
else
  echo "fuzz check failed." >&2
fi
exit "$status"
