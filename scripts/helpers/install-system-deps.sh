#!/usr/bin/env bash
# Installs the system packages the test and benchmark commands need, when they are missing:
# a C++ compiler, GoogleTest, valgrind, the mingw-w64 cross compiler and wine64 (to build the
# core tests for Windows x64 and run them), clang 19 with its fuzzing and sanitizer runtimes,
# Google Benchmark, strace (to count the system calls of the random source), gdb (the fast loop's
# debug run), the oldest supported
# compilers (GCC 11, Clang 14), the aarch64, s390x and i686 cross compilers with qemu-user to run
# the core tests and the Python suite on those targets, and debootstrap for the Debian trees of
# those processors' interpreters.
# Uses apt-get when run as root on Debian or Ubuntu; elsewhere it only says what is missing.
set -euo pipefail

missing=()
need() {  # need <package> <file or command that shows it is installed>
  if [ -e "$2" ] || command -v "$2" >/dev/null 2>&1; then return; fi
  missing+=("$1")
}
need g++ g++
need libgtest-dev /usr/include/gtest/gtest.h
need libbenchmark-dev /usr/include/benchmark/benchmark.h
need valgrind valgrind
need g++-mingw-w64-x86-64-posix x86_64-w64-mingw32-g++-posix
# Debian keeps the 64-bit Wine loader out of PATH.
need wine64 /usr/lib/wine/wine64
need clang-19 clang++-19
need libclang-rt-19-dev "$(ls -d /usr/lib/llvm-19/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a 2>/dev/null | head -n 1)"
need binutils objdump
need strace strace
need gdb gdb
need g++-11 g++-11
need clang-14 clang++-14
need g++-aarch64-linux-gnu aarch64-linux-gnu-g++
need g++-s390x-linux-gnu s390x-linux-gnu-g++
need g++-i686-linux-gnu i686-linux-gnu-g++
need debootstrap debootstrap
need qemu-user qemu-aarch64

[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
  echo "installing system packages: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # Waits for another apt-get or dpkg that holds the lock (a fresh machine's unattended
  # upgrades). apt's and debconf's notices ("delaying package configuration", its frontend
  # fallbacks) are dropped; its errors are shown, and a failure stops the script (pipefail).
  apt=(apt-get -qq -o DPkg::Lock::Timeout=600)
  quiet() { grep -v -E '^debconf: |^dpkg-preconfigure: |^(Extracting|Preconfiguring) templates' >&2 || true; }
  "${apt[@]}" update 2>&1 >/dev/null | quiet
  "${apt[@]}" install -y --no-install-recommends "${missing[@]}" 2>&1 >/dev/null | quiet
else
  echo "error: missing system packages: ${missing[*]} (install them, or run as root with apt-get)" >&2
  exit 1
fi
