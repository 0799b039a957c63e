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
import time
from pathlib import Path

import pytest
from hypothesis import HealthCheck, settings

NATIVE = Path(__file__).parent / "native"
WINDOWS = sys.platform == "win32"

# What cannot mean anything on Windows: fork, POSIX signals and thread cancellation, /proc,
# resource limits (ulimit).
posix_only = pytest.mark.skipif(WINDOWS, reason="POSIX only (fork, signals, /proc or resource limits)")

# Every time limit of the suite is written for an idle machine running the code natively, with
# room for a loaded one (at least 20 times the time a test takes there), and passed through
# scaled(). Under qemu-user or Wine (VELKOR_EMULATOR, set by scripts/checks/check-other-cpus.sh
# and scripts/checks/check-windows-suite.sh), under
# the sanitizers (VELKOR_SANITIZER, set by scripts/checks/check-sanitizers.sh) and in a 32-bit
# interpreter (whose module has no native 128-bit integer) the code runs this many times
# slower, measured with the slowest child interpreter, test_no_leaks_on_success_and_error_paths:
# 0.9 s natively on an idle machine, 49 s under qemu-aarch64 alone; side by side on one loaded
# machine, 1.6 to 2.1 times as long under ASan and UBSan, and 1.7 to 2 times as long in the
# i386 chroot.
# VELKOR_TIME_FACTOR, when set, replaces the factor (a slow board, a debugger).
SLOWDOWN = {
    "qemu-aarch64": 60,
    "qemu-s390x": 60,
    # Wine runs the x86-64 code natively, but each child interpreter's start (the prefix, the
    # distribution's DLLs) takes seconds, and the suite starts hundreds of them.
    "wine": 10,
    "address,undefined": 4,
    "32-bit": 2,
}


def time_factor() -> float:
    if os.environ.get("VELKOR_TIME_FACTOR"):
        return float(os.environ["VELKOR_TIME_FACTOR"])
    factor = SLOWDOWN["32-bit"] if sys.maxsize < 2**32 else 1.0
    for variable in ("VELKOR_EMULATOR", "VELKOR_SANITIZER"):
        value = os.environ.get(variable)
        if value:
            # An emulator or sanitizer not in the table is taken to be as slow as the slowest.
            factor *= SLOWDOWN.get(value, max(SLOWDOWN.values()))
    return factor


def scaled(seconds: float) -> float:
    """`seconds`, a time limit or a wait written for native code, scaled to where the suite runs."""
    return seconds * time_factor()


# Hypothesis's own time limits (its deadline per example, its health check of slow data
# generation) would make a verdict depend on the machine's speed and load: the suite has none.
settings.register_profile("velkor", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("velkor")


# Wine's CreateProcess now and then fails with ERROR_INTERNAL_ERROR (1359) before the child
# runs at all; the start is tried again then, a few times. Nothing of the child has run, so no
# verdict is repeated.
WINE_START_FAILURE = 1359


def start_child(command: list[str], *, env: dict[str, str], timeout: float) -> subprocess.CompletedProcess[str]:
    for attempt in range(3):
        try:
            return subprocess.run(command, capture_output=True, text=True, env=env, timeout=timeout)
        except OSError as error:
            if getattr(error, "winerror", None) != WINE_START_FAILURE or attempt == 2:
                raise
    raise AssertionError("unreachable")


def run_python(code: str, *, preload: Path | None = None, timeout: float = 120) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a new interpreter (the one running the tests) and captures its output.
    With `preload` (a library built by a fixture below), the code can use the library loaded
    through ctypes: `fault` or `scan` (see PRELUDES). `timeout` is in native seconds (scaled());
    a child that runs past it fails the test with what it wrote so far."""
    __tracebackhide__ = True
    code = textwrap.dedent(code)
    env = dict(os.environ)
    env.pop("PYTHONWARNINGS", None)
    if preload is not None:
        if preload.suffix != ".py":
            # A runtime that must come first (a sanitizer's) stays first.
            env["LD_PRELOAD"] = f"{env['LD_PRELOAD']} {preload}" if env.get("LD_PRELOAD") else str(preload)
        code = PRELUDES[preload.stem] + code
    limit = scaled(timeout)
    start = time.monotonic()
    try:
        return start_child([sys.executable, "-c", code], env=env, timeout=limit)
    except subprocess.TimeoutExpired as error:
        written = [
            text.decode(errors="replace") if isinstance(text, bytes) else text or ""
            for text in (error.stdout, error.stderr)
        ]
    finally:
        record_time(time.monotonic() - start, limit)
    # Failed outside the handler, so that the report does not repeat the child's code (the test's
    # source shows it) in the exception's text.
    pytest.fail(
        f"the child interpreter ran past its time limit of {limit:.0f} s ({timeout:g} s scaled by {time_factor():g})\n"
        f"its standard output so far:\n{written[0]}\nits standard error so far:\n{written[1]}"
    )


def record_time(seconds: float, limit: float) -> None:
    """With VELKOR_TIMINGS set to a file, adds a line to it: how long a child interpreter ran, its
    limit and the test (scripts/checks/check-other-cpus.sh shows the ones closest to their limits)."""
    if path := os.environ.get("VELKOR_TIMINGS"):
        test = os.environ.get("PYTEST_CURRENT_TEST", "?").rsplit(" ", 1)[0]
        with open(path, "a") as file:
            file.write(f"{seconds:.2f} {limit:.0f} {test}\n")


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
    os.environ.get("VELKOR_EMULATOR", "").startswith("qemu") or WINDOWS,
    reason="no POSIX thread cancellation on Windows"
    if WINDOWS
    else "a pending cancellation does not act under qemu-user",
)


def pending_cancellation_program(prepare: str, work: str) -> str:
    """The start of a program for run_python: a daemon thread runs `prepare`, makes a deferred
    cancellation of itself pending, runs `work` (both statements, as the thread's body), then
    waits at a cancellation point outside the interpreter lock, where the cancellation must end
    it; if it does not, it appends "not cancelled" to `seen`. The program then waits up to 60
    native seconds (scaled) for the thread's task to end; `seen` and `task` are left to the lines
    that follow."""
    body = textwrap.indent(textwrap.dedent(prepare).strip() + "\n" + CANCEL + textwrap.dedent(work).strip(), " " * 12)
    return f"""
        import os, threading, time, pyvelkor_core
        libc = ctypes.PyDLL(None)  # keeps the interpreter lock across the call
        libc.pthread_self.restype = ctypes.c_ulong
        libc.pthread_cancel.argtypes = [ctypes.c_ulong]
        never, _ = os.pipe()
        seen = []

        def work():
{body}
            os.read(never, 1)  # a cancellation point, outside the interpreter lock
            seen.append("not cancelled")

        thread = threading.Thread(target=work, daemon=True)
        thread.start()
        # A cancelled thread never tells the threading module that it ended: watch its task.
        task = f"/proc/self/task/{{thread.native_id}}"
        deadline = time.monotonic() + {scaled(60)}
        while os.path.exists(task) and time.monotonic() < deadline:
            time.sleep(0.01)
        """


CANCEL = "libc.pthread_cancel(libc.pthread_self())  # deferred: pending from here on\n"


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
