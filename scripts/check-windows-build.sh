#!/usr/bin/env bash
# Compiles the core's Windows-only random source, the files it depends on, and the stack scrub
# (which has platform-dependent parts) with the mingw-w64 cross compiler, so that a change that
# breaks the Windows build is caught on Linux.
# Only compiles (-c); nothing is linked or run. Exits non-zero if a file does not compile.
#
# Usage: scripts/check-windows-build.sh   (from any directory)
# Environment: CXX_MINGW overrides the compiler (default x86_64-w64-mingw32-g++-posix).
set -euo pipefail

repo_root="$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)"
compiler="${CXX_MINGW:-x86_64-w64-mingw32-g++-posix}"

if ! command -v "$compiler" >/dev/null 2>&1; then
  echo "error: the mingw-w64 cross compiler '$compiler' is not installed." >&2
  echo "       On Debian or Ubuntu: apt-get install g++-mingw-w64-x86-64-posix" >&2
  exit 2
fi

sources=(
  src/core/random/random_source_windows.cpp
  src/core/random/random_source.cpp
  src/core/stack_scrub.cpp
  src/core/wipe.cpp
)

out_dir="$(mktemp -d)"
trap 'rm -rf -- "$out_dir"' EXIT

status=0
for source in "${sources[@]}"; do
  object="$out_dir/$(basename -- "$source" .cpp).o"
  if "$compiler" -std=c++20 -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion \
    -Werror -I "$repo_root/src" -c "$repo_root/$source" -o "$object"; then
    echo "ok:     $source"
  else
    echo "FAILED: $source" >&2
    status=1
  fi
done

if [[ $status -eq 0 ]]; then
  echo "Windows cross compile check passed ($compiler)."
else
  echo "Windows cross compile check failed ($compiler)." >&2
fi
exit "$status"
