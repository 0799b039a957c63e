"""Shared fixtures: running code in a fresh interpreter, optionally with one of the native test
libraries (the getrandom fault library, the free() scanner) preloaded."""

from __future__ import annotations

import os
import platform
import re
import shutil
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import pytest

NATIVE = Path(__file__).parent / "native"
WINDOWS = sys.platform == "win32"

# VELKOR_EMULATOR is set by the test command when the suite runs under an emulator: qemu-user
# (qemu-aarch64, qemu-s390x) or Wine (wine). Time limits are for runaway children, not
# measurements: under emulation they are ten times as long.
EMULATOR = os.environ.get("VELKOR_EMULATOR", "")
TIME_SCALE = 10 if EMULATOR else 1


def scaled(seconds: float) -> float:
    """A time limit of `seconds` on a native run, scaled for an emulator."""
    return seconds * TIME_SCALE


# What cannot mean anything on Windows: fork, POSIX signals and thread cancellation, /proc,
# resource limits (ulimit).
posix_only = pytest.mark.skipif(WINDOWS, reason="POSIX only (fork, signals, /proc or resource limits)")


def run_python(code: str, *, preload: Path | None = None, timeout: float = 120) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a new interpreter (the one running the tests) and captures its output.
    With `preload` (a library built by a fixture below), the code can use the library loaded
    through ctypes: `fault` or `scan` (see PRELUDES). `timeout` is scaled for an emulator."""
    code = textwrap.dedent(code)
    env = dict(os.environ)
    env.pop("PYTHONWARNINGS", None)
    if preload is not None:
        if preload.suffix != ".py":
            # A runtime that must come first (a sanitizer's) stays first.
            env["LD_PRELOAD"] = f"{env['LD_PRELOAD']} {preload}" if env.get("LD_PRELOAD") else str(preload)
        code = PRELUDES[preload.stem] + code
    return subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        env=env,
        timeout=scaled(timeout),
    )


def vdso_path_expected() -> bool:
    """Whether the module sends its requests through the vDSO getrandom here: Linux 6.11 or later
    on x86-64 (the first kernels that export it there), a glibc older than 2.41 (which does the
    same inside getrandom() itself), and nothing preloaded that could interpose getrandom."""
    if not sys.platform.startswith("linux") or platform.machine() != "x86_64" or os.environ.get("LD_PRELOAD"):
        return False
    libc, version = platform.libc_ver()
    kernel = tuple(int(part) for part in re.findall(r"\d+", platform.release())[:2])
    glibc = tuple(int(part) for part in re.findall(r"\d+", version)[:2])
    return libc == "glibc" and kernel >= (6, 11) and glibc < (2, 41)


needs_vdso = pytest.mark.skipif(
    not vdso_path_expected(),
    reason="the module uses getrandom() here" if sys.platform.startswith("linux") else "no vDSO getrandom here",
)


# Under qemu-user a pending thread cancellation does not end the thread at its next cancellation
# point; Windows has no thread cancellation.
needs_native_cancellation = pytest.mark.skipif(
    EMULATOR.startswith("qemu") or WINDOWS,
    reason="no POSIX thread cancellation on Windows"
    if WINDOWS
    else "a pending cancellation does not act under qemu-user",
)


def smallest_thread_stack(at_least: int = 32768) -> int:
    """The smallest size of at least `at_least` bytes, in steps of 4 KiB, that
    threading.stack_size() accepts in this interpreter: 32 KiB up to CPython 3.13; 3.14 refuses
    sizes below its stack-overflow margin (52 KiB in a release build, 100 KiB in a debug build)."""
    previous = threading.stack_size()
    size = at_least
    try:
        while True:
            try:
                threading.stack_size(size)
                return size
            except ValueError:
                size += 4096
    finally:
        threading.stack_size(previous)


def build_native(tmp_path_factory: pytest.TempPathFactory, name: str) -> Path:
    """Builds native/<name>.c into a preloadable library."""
    if not sys.platform.startswith("linux"):
        pytest.skip(f"the {name} library is Linux only")
    compiler = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.fail(f"a C compiler is needed to build the {name} library")
    output = tmp_path_factory.mktemp("native") / f"{name}.so"
    subprocess.run(
        [compiler, "-shared", "-fPIC", "-O1", "-o", str(output), str(NATIVE / f"{name}.c"), "-ldl"],
        check=True,
    )
    return output


@pytest.fixture(scope="session")
def fault_library(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """Builds the preloadable getrandom stand-in (see native/getrandom_fault.c)."""
    return build_native(tmp_path_factory, "getrandom_fault")


@pytest.fixture(scope="session")
def free_scan_library(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """Builds the preloadable free() that searches freed blocks (see native/free_scan.c)."""
    return build_native(tmp_path_factory, "free_scan")


@pytest.fixture(scope="session")
def bcrypt_fault() -> Path:
    """The stand-ins for the module's BCryptGenRandom and SystemFunction036 on Windows (see
    native/bcrypt_fault.py), a prelude rather than a library: they go into the module's import
    address table."""
    if not WINDOWS:
        pytest.skip("the module calls BCryptGenRandom on Windows only")
    return NATIVE / "bcrypt_fault.py"


# Prepended to code run with a preloaded library, by its name: `fault` or `scan` is the library.
PRELUDES = {
    "bcrypt_fault": (NATIVE / "bcrypt_fault.py").read_text(encoding="utf-8") + "\n",
    "getrandom_fault": """\
import ctypes
fault = ctypes.CDLL(None)
fault.fault_calls.restype = ctypes.c_long
fault.fault_bytes.restype = ctypes.c_longlong
fault.fault_script.argtypes = [ctypes.c_char_p, ctypes.c_long]
fault.fault_script.restype = ctypes.c_long
fault.fault_script_left.restype = ctypes.c_long
""",
    "free_scan": """\
import ctypes
scan = ctypes.CDLL(None)
scan.free_scan_arm.argtypes = [ctypes.c_char_p, ctypes.c_size_t]
scan.free_scan_hits.restype = ctypes.c_long
scan.free_scan_blocks.restype = ctypes.c_long
""",
}
