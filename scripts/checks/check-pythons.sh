#!/usr/bin/env bash
# Runs the pytest suite against the release wheel on the newest CPythons, as Debian's testing
# suite ships them: every python3.N of the suite with N >= 14, and its debug build (python3.Nd,
# from python3.N-dbg), which runs the suite under PYTHONMALLOC=debug and the development mode
# (-X dev) and is where tests/python/test_refleaks.py counts references as well as memory blocks.
#
#   1. makes (once; cached) a minimal amd64 tree of the suite under build/debian-amd64 with
#      scripts/lib/debian-tree.sh: the interpreters, their venv and dbg packages, and GCC with the C
#      library's headers for the test libraries the suite compiles (tests/python/native);
#   2. downloads the `test` and `typing` dependency groups of pyproject.toml on this machine for
#      each Python version (wheels only; cached until pyproject.toml changes);
#   3. for each interpreter, inside the tree (chroot, /proc mounted while a command runs): a fresh
#      virtual environment, the wheel of dist/ and those groups installed with --no-index, and
#      the suite of a copy of the project's files, run from outside the copy.
# The interpreters are found in the suite's package index, so a version that enters or leaves
# the testing suite changes what runs; none at 3.14 or newer is an error.
#
# Usage: scripts/checks/check-pythons.sh   (as root, after scripts/release.sh has made dist/)
# Environment: VELKOR_DEBIAN_SUITE, VELKOR_DEBIAN_MIRROR (see scripts/lib/debian-tree.sh).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
source scripts/lib/find-python.sh
source scripts/lib/debian-tree.sh

if [ "$(id -u)" != 0 ]; then
  echo "error: scripts/checks/check-pythons.sh needs root: it makes a Debian tree and runs the suite in it with chroot" >&2
  exit 1
fi
mapfile -t wheels < <(ls dist/*-manylinux*_x86_64*.whl 2>/dev/null)
if [ ${#wheels[@]} -ne 1 ]; then
  echo "error: need exactly one x86_64 wheel in dist/ (found ${#wheels[@]}); run scripts/release.sh first" >&2
  exit 1
fi
wheel=${wheels[0]}

tree="$root/build/debian-amd64"
work="$root/build/check-pythons"
groups=(test typing)
mkdir -p "$work"
trap 'velkor_unmount_proc "$tree"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The interpreters: python3.N (N >= 14) of the package index, with python3.N-dbg when there is one.
if ! index=$(velkor_debian_packages amd64 'python3\.[0-9]+(-dbg|-venv)?'); then
  echo "error: cannot read the package index of Debian's $velkor_debian_suite" >&2
  exit 1
fi
mapfile -t versions < <(sed -n 's/^python\(3\.[0-9]*\)$/\1/p' <<< "$index" \
  | awk -F. '$2 >= 14' | sort -V)
if [ ${#versions[@]} -eq 0 ]; then
  echo "error: Debian's $velkor_debian_suite has no CPython 3.14 or newer (python3.N packages: $(tr '\n' ' ' <<< "$index"))" >&2
  exit 1
fi
packages=(gcc libc6-dev)
interpreters=()
for version in "${versions[@]}"; do
  if ! grep -qx "python$version-venv" <<< "$index"; then
    echo "error: Debian's $velkor_debian_suite has python$version but not python$version-venv" >&2
    exit 1
  fi
  packages+=("python$version-venv")
  interpreters+=("python$version")
  if grep -qx "python$version-dbg" <<< "$index"; then
    packages+=("python$version-dbg")
    interpreters+=("python${version}d")
  fi
done
echo "interpreters of Debian's $velkor_debian_suite: ${interpreters[*]}"

velkor_debian_tree amd64 "$tree" "${packages[@]}"

# The dependency groups for each version, downloaded here by a pip new enough for --group.
pip_venv="$work/pip"
if [ ! -x "$pip_venv/bin/python" ]; then
  "$(velkor_find_python)" -m venv "$pip_venv"
  velkor_pip_install "$pip_venv/bin/python" --upgrade pip
fi
for version in "${versions[@]}"; do
  downloads="$work/wheels-$version"
  if ! cmp -s pyproject.toml "$downloads/.pyproject.toml"; then
    rm -rf "$downloads"
    "$pip_venv/bin/python" -m pip download -q --python-version "$version" --only-binary=:all: \
      --dest "$downloads" "${groups[@]/#/--group=pyproject.toml:}" 2>&1 \
      | { grep -v "^WARNING: Location '" || true; }
    [ "${PIPESTATUS[0]}" -eq 0 ] || { echo "error: downloading the test tools for Python $version failed" >&2; exit 1; }
    cp pyproject.toml "$downloads/.pyproject.toml"
  fi
done

# What the tree sees under /velkor: the project's tracked files (the suite reads the README and
# the scripts too), the wheel and the downloads; the environments and the runs' files.
stage="$tree/velkor"
rm -rf -- "$stage"
mkdir -p "$stage/project" "$stage/dist" "$stage/run"
git ls-files -z --cached | while IFS= read -r -d '' file; do
  if [ -e "$file" ]; then printf '%s\0' "$file"; fi
done | xargs -0 cp --parents -t "$stage/project" --
cp "$wheel" "$stage/dist/"
cp -r "$work"/wheels-* "$stage/"

in_tree() {
  velkor_chroot "$tree" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 TMPDIR=/tmp "$@"
}

status=0
summaries=()
for interpreter in "${interpreters[@]}"; do
  version=${interpreter#python}
  version=${version%d}
  venv="/velkor/venv-$interpreter"
  log="$work/pytest-$interpreter.log"
  printf '\n==== pytest on %s (Debian %s)\n' "$interpreter" "$velkor_debian_suite"
  if ! in_tree "/usr/bin/$interpreter" -m venv "$venv" \
    || ! in_tree "$venv/bin/python" -m pip install -q --no-index --find-links "/velkor/wheels-$version" \
      "/velkor/dist/$(basename "$wheel")" "${groups[@]/#/--group=/velkor/project/pyproject.toml:}"; then
    echo "error: making the environment of $interpreter failed" >&2
    summaries+=("$interpreter: environment failed")
    status=1
    continue
  fi
  debug=()
  case "$interpreter" in
    # The development mode reaches the interpreters the suite starts through PYTHONDEVMODE.
    *d) debug=(PYTHONMALLOC=debug PYTHONDEVMODE=1) ;;
  esac
  in_tree "$venv/bin/python" -c 'import sys; print(sys.version.replace("\n", " "), "debug" if hasattr(sys, "gettotalrefcount") else "")'
  # From outside the copy, so that only the installed wheel can be imported.
  if in_tree /bin/sh -c 'cd /velkor/run && exec env "$@"' sh "${debug[@]}" "$venv/bin/python" \
    ${debug:+-X dev} -m pytest -q -p no:cacheprovider /velkor/project/tests/python > "$log" 2>&1; then
    tail -n 1 "$log"
  else
    velkor_report_failure "pytest on $interpreter" "$log"
    status=1
  fi
  summaries+=("$interpreter: $(tail -n 1 "$log")")
done

printf '\n==== summary (Debian %s)\n' "$velkor_debian_suite"
printf '%s\n' "${summaries[@]}"
exit "$status"
