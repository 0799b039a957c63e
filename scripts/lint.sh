#!/usr/bin/env bash
# Lint and format checks; fails on any finding or any difference from the formatters' output:
#   - ruff check: the rules configured in pyproject.toml, on every Python file and README example;
#   - ruff format --check: the Python files formatted as ruff formats them;
#   - clang-format (--dry-run --Werror): every C and C++ file formatted as .clang-format says.
# The tools' versions are pinned in the `lint` dependency group of pyproject.toml, installed into
# build/lint/venv, so that every contributor formats alike.
# Set PYTHON to choose the interpreter (>= 3.12).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
source scripts/lib/find-python.sh

venv=build/lint/venv
if [ ! -x "$venv/bin/python" ]; then
  "$(velkor_find_python)" -m venv "$venv"
fi
if ! cmp -s pyproject.toml "$venv/.installed"; then
  velkor_pip_install "$venv/bin/python" --upgrade pip
  velkor_pip_install "$venv/bin/python" --group "$velkor_pyproject:lint"
  cp pyproject.toml "$venv/.installed"
fi
bin="$root/$venv/bin"

status=0
"$bin/ruff" check --no-cache --quiet . || status=1
"$bin/ruff" format --check --diff --no-cache --quiet . || status=1
mapfile -t sources < <(git ls-files '*.c' '*.cc' '*.cpp' '*.h' '*.hpp')
if [ ${#sources[@]} -eq 0 ]; then
  echo "error: no C or C++ file found (not a git checkout?)" >&2
  exit 1
fi
for file in "${sources[@]}"; do
  if ! "$bin/clang-format" --dry-run --Werror "$file" 2>/dev/null; then
    diff -u "$file" <("$bin/clang-format" "$file") --label "$file" --label "$file (clang-format)" || true
    status=1
  fi
done

if [ "$status" -ne 0 ]; then
  echo "lint: findings above. To apply the formatters' changes and ruff's safe fixes:" >&2
  echo "  $venv/bin/ruff format . && $venv/bin/ruff check --fix . && git ls-files '*.c' '*.cc' '*.cpp' '*.h' '*.hpp' | xargs $venv/bin/clang-format -i" >&2
  exit 1
fi
echo "lint: ruff check, ruff format and clang-format $("$bin/clang-format" --version | awk '{ print $3 }') found nothing (${#sources[@]} C/C++ files)"
