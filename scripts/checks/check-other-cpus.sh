#!/usr/bin/env bash
# Runs the Python suite (tests/python) on other processors, each against Debian's own CPython 3.14
# of that processor, from a minimal tree of Debian's testing suite (scripts/lib/debian-tree.sh):
#   aarch64  the release's manylinux_2_28_aarch64 wheel from dist/, installed with pip by Debian's
#            arm64 interpreter, run under qemu-aarch64;
#   s390x    big-endian: the module built from the release's sdist with Debian's s390x cross
#            compiler against the tree's headers, run under qemu-s390x;
#   i386     32-bit (size_t and pointers of 4 bytes, so every capacity check and allocation size
#            meets its limits sooner): the module built from the sdist with the i686 cross
#            compiler, run natively in a chroot of the tree.
# The modules built from the sdist are not release files: they show that neither the binding nor
# the core assumes a byte order or a word size.
#
# Each processor gets a virtual environment made by its own interpreter, with pip from the tree's
# ensurepip and the `test` dependency group of pyproject.toml, downloaded on this machine as
# wheels (pure Python) and installed with --no-index. Under qemu-user, whose child processes do not
# start through binfmt_misc here, the environment's `python` is a script that starts the
# interpreter under the emulator with itself as sys.executable, so the suite's fresh interpreters
# run the same way. The native test libraries (tests/python/native) are built with the target's C
# compiler: the cross compiler through CC under qemu, the tree's own gcc in the chroot.
#
# The processors run in parallel; each one's log is build/other-cpus/<cpu>.log. Trees and
# environments are cached between runs (the module is installed anew every run).
#
# Usage: scripts/checks/check-other-cpus.sh [aarch64|s390x|i386 ...]   (default: all three)
# Needs: root (debootstrap, chroot), dist/ from scripts/release.sh (the sdist, and for aarch64 the
#   aarch64 wheel), the cross compilers and qemu-user (scripts/helpers/install-system-deps.sh).
# Environment: VELKOR_JOBS (default 2, split between the builds), VELKOR_OTHER_CPUS_TIMEOUT
#   (seconds for one processor's suite, default 10800). That limit only stops a suite that hangs
#   outside the tests' own limits (tests/python/conftest.py scales those to the emulator): the
#   slowest suite, aarch64, takes 10 to 40 minutes, with the other steps of the test command
#   beside it.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$root/scripts/lib/find-python.sh"
source "$root/scripts/lib/debian-tree.sh"
work="$root/build/other-cpus"
mkdir -p "$work"
timeout_seconds=${VELKOR_OTHER_CPUS_TIMEOUT:-10800}
cpus=("$@")
[ ${#cpus[@]} -eq 0 ] && cpus=(aarch64 s390x i386)

# cpu_settings <cpu>: Debian's architecture name, the cross compiler's triple and the emulator
# (none: the processor runs natively, in a chroot).
cpu_settings() {
  case "$1" in
    aarch64) arch=arm64 triple=aarch64-linux-gnu emulator=qemu-aarch64 ;;
    s390x) arch=s390x triple=s390x-linux-gnu emulator=qemu-s390x ;;
    i386) arch=i386 triple=i686-linux-gnu emulator="" ;;
    *) echo "error: unknown processor $1 (aarch64, s390x, i386)" >&2; return 1 ;;
  esac
}

if [ "$(id -u)" != 0 ]; then
  echo "error: scripts/checks/check-other-cpus.sh needs root (debootstrap, chroot)" >&2
  exit 1
fi
sdists=("$root"/dist/pyvelkor_core-*.tar.gz)
aarch64_wheels=("$root"/dist/pyvelkor_core-*[-.]manylinux_2_28_aarch64.whl)
for cpu in "${cpus[@]}"; do
  cpu_settings "$cpu"
  if [ "$cpu" = aarch64 ]; then
    if [ ! -f "${aarch64_wheels[0]}" ]; then
      echo "error: no manylinux_2_28_aarch64 wheel in dist/ (run scripts/release.sh --no-tests)" >&2
      exit 1
    fi
  else
    if [ ! -f "${sdists[0]}" ]; then
      echo "error: no sdist in dist/ (run scripts/release.sh --no-tests)" >&2
      exit 1
    fi
    command -v "$triple-g++" >/dev/null 2>&1 \
      || { echo "error: $triple-g++ is not installed (scripts/helpers/install-system-deps.sh)" >&2; exit 1; }
  fi
  if [ -n "$emulator" ]; then
    command -v "$emulator" >/dev/null 2>&1 \
      || { echo "error: $emulator is not installed (scripts/helpers/install-system-deps.sh)" >&2; exit 1; }
    command -v "$triple-gcc" >/dev/null 2>&1 \
      || { echo "error: $triple-gcc is not installed (scripts/helpers/install-system-deps.sh)" >&2; exit 1; }
  fi
done
velkor_ensure_cmake "$root/build/ct-tools"

# The test dependencies, as pure-Python wheels for CPython 3.14 (a project that also ships
# compiled wheels has them for this machine only), downloaded once for every processor.
host_python=$(velkor_find_python)
mapfile -t requirements < <("$host_python" - "$velkor_pyproject" <<'PY'
import sys
import tomllib

with open(sys.argv[1], "rb") as file:
    print(*tomllib.load(file)["dependency-groups"]["test"], sep="\n")
PY
)
wheels="$work/test-wheels"
if [ "$(cat "$wheels/.requirements" 2>/dev/null)" != "${requirements[*]}" ]; then
  rm -rf "$wheels"
  "$host_python" -m pip download -q --disable-pip-version-check --python-version 3.14 \
    --platform any --only-binary=:all: -d "$wheels" "${requirements[@]}" 2>&1 | { grep -v "^WARNING: Location '" || true; }
  [ "${PIPESTATUS[0]}" -eq 0 ] || exit 1
  echo "${requirements[*]}" > "$wheels/.requirements"
fi

# The files of the project the suite reads (the tests, and the documents, examples and scripts
# they check), for the chroot, which sees nothing outside its tree.
project_files() {
  git -C "$root" ls-files -z -- tests/python README.md CONTRIBUTING.md examples scripts pyproject.toml
}

# run_cpu <cpu>: everything for one processor; its output goes to build/other-cpus/<cpu>.log.
run_cpu() {
  local cpu=$1 arch triple emulator
  cpu_settings "$cpu"
  local tree="$root/build/debian-$arch" dir="$work/$cpu" start=$SECONDS
  local packages=(python3.14 python3.14-venv)
  [ "$cpu" = aarch64 ] || packages+=(python3.14-dev)
  [ -n "$emulator" ] || packages+=(gcc libc6-dev)
  mkdir -p "$dir"
  # This machine's pip settings (configuration files, certificates, package locations) are not
  # the tree's: its pip installs only from the given directories.
  local variable
  for variable in $(compgen -e | grep -E '^PIP_|^SSL_CERT_|^REQUESTS_CA_BUNDLE$'); do unset "$variable"; done
  export PIP_CONFIG_FILE=/dev/null PIP_DISABLE_PIP_VERSION_CHECK=1

  echo "== Debian tree ($arch): ${packages[*]}"
  velkor_debian_tree "$arch" "$tree" "${packages[@]}"
  echo "tree ready after $((SECONDS - start)) s"

  # The environment: `venv` is its path as the interpreter sees it, `python` the command that
  # runs it from here.
  # `run` is what runs a command of the tree from here (nothing under the emulator, whose
  # interpreter sees this machine's files; the chroot otherwise), `wheels_seen` the test wheels'
  # directory as the interpreter sees it.
  local venv run=() wheels_seen=$wheels
  if [ -n "$emulator" ]; then
    venv="$dir/venv"
  else
    venv=/velkor/venv
    run=(velkor_chroot "$tree")
    wheels_seen=/velkor/test-wheels
  fi
  local python=("${run[@]}" "$venv/bin/python")
  local wanted
  wanted="$(cat "$tree/.velkor-tree") | ${requirements[*]}"
  if [ "$(cat "$dir/.velkor-env" 2>/dev/null)" != "$wanted" ]; then
    echo "== virtual environment of Debian's $arch CPython 3.14"
    rm -f "$dir/.velkor-env"
    if [ -n "$emulator" ]; then
      "$emulator" -L "$tree" "$tree/usr/bin/python3.14" -m venv --clear --without-pip "$venv"
      rm -f "$venv/bin/python" "$venv/bin/python3"
      # The environment's interpreter is a launcher of this machine that starts Debian's
      # interpreter under the emulator, with itself as sys.executable: the interpreters the suite
      # starts run the same way. It is linked statically, so that a library the suite preloads
      # (one of the other processor) is not loaded into it; it hands that to the emulator's
      # program instead.
      cat > "$dir/launcher.c" <<'EOF'
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv) {
  char** args = calloc((size_t)argc + 8, sizeof *args);
  const char* preload = getenv("LD_PRELOAD");
  int i = 0;
  if (args == NULL) return 127;
  args[i++] = EMULATOR;
  args[i++] = "-L";
  args[i++] = TREE;
  if (preload != NULL) {
    char* setting = malloc(strlen(preload) + sizeof "LD_PRELOAD=");
    if (setting == NULL) return 127;
    strcpy(setting, "LD_PRELOAD=");
    strcat(setting, preload);
    args[i++] = "-E";
    args[i++] = setting;
    unsetenv("LD_PRELOAD");
  }
  args[i++] = "-0";
  args[i++] = argv[0];
  args[i++] = INTERPRETER;
  for (int a = 1; a < argc; ++a) args[i++] = argv[a];
  execvp(EMULATOR, args);
  perror(EMULATOR);
  return 127;
}
EOF
      cc -static -O1 -Wall -Werror -DEMULATOR="\"$emulator\"" -DTREE="\"$tree\"" \
        -DINTERPRETER="\"$tree/usr/bin/python3.14\"" -o "$venv/bin/python" "$dir/launcher.c"
      ln -s python "$venv/bin/python3"
    else
      # Debian's pip loads the system's certificate bundle even when it reads no index; the tree
      # has none (no maintainer script made it).
      mkdir -p "$tree/velkor" "$tree/etc/ssl/certs"
      [ -s "$tree/etc/ssl/certs/ca-certificates.crt" ] \
        || cp /etc/ssl/certs/ca-certificates.crt "$tree/etc/ssl/certs/"
      velkor_chroot "$tree" /usr/bin/python3.14 -m venv --clear --without-pip "$venv"
    fi
    # pip from the wheel the tree's ensurepip would install, run from the wheel itself (ensurepip
    # copies file attributes by paths the emulator does not redirect into the tree).
    local pip_wheels=("$tree"/usr/share/python-wheels/pip-*.whl)
    local pip_wheel=${pip_wheels[0]}
    [ -n "$emulator" ] || pip_wheel=${pip_wheel#"$tree"}
    "${python[@]}" "$pip_wheel/pip" install -q --no-index --find-links "$(dirname "$pip_wheel")" pip
    if [ -z "$emulator" ]; then
      rm -rf "$tree/velkor/test-wheels"
      cp -r "$wheels" "$tree/velkor/test-wheels"
    fi
    "${python[@]}" -m pip install -q --no-index \
      --find-links "$wheels_seen" "${requirements[@]}"
    echo "$wanted" > "$dir/.velkor-env"
  fi
  echo "environment ready after $((SECONDS - start)) s"

  local site
  site=$("${python[@]}" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
  local host_site=$site
  [ -n "$emulator" ] || host_site="$tree$site"
  rm -rf "$host_site"/pyvelkor_core*
  if [ "$cpu" = aarch64 ]; then
    echo "== the wheel: $(basename "${aarch64_wheels[0]}")"
    # pip checks the wheel's tags against this interpreter's.
    "${python[@]}" -m pip install -q --no-index --no-deps "${aarch64_wheels[0]}"
  else
    echo "== the module from $(basename "${sdists[0]}"), built by $triple-g++ $("$triple-g++" -dumpfullversion)"
    rm -rf "$dir/src" "$dir/build" "$dir/include"
    mkdir -p "$dir/src"
    tar -xzf "${sdists[0]}" -C "$dir/src" --strip-components=1
    # CMake runs the interpreter to learn its version: under the emulator, or in the chroot.
    local finder="$dir/python-for-cmake"
    if [ -n "$emulator" ]; then
      ln -sf "$venv/bin/python" "$finder"
    else
      printf '#!/bin/sh\nexec chroot "%s" /usr/bin/python3.14 "$@"\n' "$tree" > "$finder"
      chmod +x "$finder"
    fi
    # Debian's pyconfig.h includes <multiarch/python3.14/pyconfig.h>: that directory alone is
    # added (last), not the tree's /usr/include, whose C library headers are not the compiler's.
    local multiarch
    multiarch=$(cd "$tree/usr/include" && ls -d ./*/python3.14 | cut -d/ -f2)
    mkdir -p "$dir/include"
    ln -sfn "$tree/usr/include/$multiarch" "$dir/include/$multiarch"
    cmake -S "$dir/src" -B "$dir/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/linux-cross.cmake" \
      -DVELKOR_CROSS_TRIPLE="$triple" -DCMAKE_BUILD_TYPE=Release -DVELKOR_WERROR=ON \
      -DCMAKE_CXX_FLAGS="-idirafter $dir/include" -DPython_EXECUTABLE="$finder" \
      -DPython_INCLUDE_DIR="$tree/usr/include/python3.14" > "$dir/configure.log" 2>&1 \
      || { cat "$dir/configure.log"; return 1; }
    cmake --build "$dir/build" --target pyvelkor_core -j "$build_jobs" > "$dir/build.log" 2>&1 \
      || { cat "$dir/build.log"; return 1; }
    cp "$dir/build/src/pyvelkor_core.abi3.so" "$host_site/"
  fi
  echo "module ready after $((SECONDS - start)) s"

  echo "== pytest"
  # Every child interpreter's time and limit (tests/python/conftest.py), as the tree sees the file.
  local tests timings="$dir/timings.txt"
  if [ -n "$emulator" ]; then
    tests="$root/tests/python"
    export CC="$triple-gcc"
    # The suite leaves out what qemu-user does not emulate (see tests/python/conftest.py).
    export VELKOR_EMULATOR="$emulator"
  else
    rm -rf "$tree/velkor/project"
    mkdir -p "$tree/velkor/project"
    project_files | tar -C "$root" --null -T - -cf - | tar -C "$tree/velkor/project" -xf -
    tests=/velkor/project/tests/python
    timings="$tree/velkor/timings.txt"
    unset CC  # the tree's gcc
  fi
  rm -f "$timings" "$work/$cpu.timings"
  local status=0 seen=$timings
  [ -n "$emulator" ] || seen=/velkor/timings.txt
  VELKOR_TIMINGS=$seen "${run[@]}" timeout "$timeout_seconds" "$venv/bin/python" -m pytest -p no:cacheprovider -q \
    "$tests" || status=$?
  echo "suite done after $((SECONDS - start)) s (its limit: $timeout_seconds s)"
  # The child interpreters closest to their time limits: seconds, limit, test.
  if [ -s "$timings" ]; then
    awk '{ printf "%.3f %s\n", $1 / $2, $0 }' "$timings" | sort -rn | cut -d' ' -f2- > "$work/$cpu.timings"
    echo "closest to their limits (seconds, limit, test):"
    head -n 5 "$work/$cpu.timings" | sed 's/^/  /'
  fi
  return "$status"
}

# Two builds at once share the jobs.
build_jobs=$(( ${VELKOR_JOBS:-2} / 2 ))
[ "$build_jobs" -ge 1 ] || build_jobs=1
trap 'for cpu in "${cpus[@]}"; do cpu_settings "$cpu"; velkor_unmount_proc "$root/build/debian-$arch"; done' EXIT

pids=()
for cpu in "${cpus[@]}"; do
  run_cpu "$cpu" > "$work/$cpu.log" 2>&1 &
  pids+=($!)
done
failed=()
for i in "${!cpus[@]}"; do
  cpu=${cpus[$i]}
  status=0
  wait "${pids[$i]}" || status=$?
  summary=$(grep -E '^(=+ )?[0-9]+ (passed|failed|error)|^(=+ )?no tests ran' "$work/$cpu.log" | tail -n 1 | sed 's/^=* *//; s/ *=*$//')
  case "$cpu" in
    aarch64) what="the aarch64 wheel, Debian's arm64 CPython 3.14 under qemu-aarch64" ;;
    s390x) what="big-endian, from the sdist, Debian's s390x CPython 3.14 under qemu-s390x" ;;
    i386) what="32-bit, from the sdist, Debian's i386 CPython 3.14 in a chroot" ;;
  esac
  if [ "$status" -ne 0 ]; then
    velkor_report_failure "$cpu ($what)${summary:+: $summary}" "$work/$cpu.log"
    failed+=("$cpu")
  else
    tightest=""
    [ -s "$work/$cpu.timings" ] && tightest=$(head -n 1 "$work/$cpu.timings" \
      | awk '{ printf "; the child closest to its limit: %s s of %s s", $1, $2 }')
    echo "$cpu ($what): $summary$tightest"
  fi
done
[ ${#failed[@]} -eq 0 ] || exit 1
