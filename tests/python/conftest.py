"""Shared fixtures: running code in a fresh interpreter, optionally with the getrandom fault
library preloaded."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

NATIVE = Path(__file__).parent / "native"


def run_python(code: str, *, preload: Path | None = None, timeout: float = 120) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a new interpreter (the one running the tests) and captures its output.
    With `preload` (the fault library), the code can use `fault`, the library loaded through
    ctypes (see FAULT_PRELUDE)."""
    code = textwrap.dedent(code)
    env = dict(os.environ)
    env.pop("PYTHONWARNINGS", None)
    if preload is not None:
        # A runtime that must come first (a sanitizer's) stays first.
        env["LD_PRELOAD"] = f"{env['LD_PRELOAD']} {preload}" if env.get("LD_PRELOAD") else str(preload)
        code = FAULT_PRELUDE + code
    return subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        env=env,
        timeout=timeout,
    )


@pytest.fixture(scope="session")
def fault_library(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """Builds the preloadable getrandom stand-in (see native/getrandom_fault.c)."""
    if not sys.platform.startswith("linux"):
        pytest.skip("the getrandom fault library is Linux only")
    compiler = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.fail("a C compiler is needed to build the getrandom fault library")
    output = tmp_path_factory.mktemp("native") / "getrandom_fault.so"
    subprocess.run(
        [compiler, "-shared", "-fPIC", "-O1", "-o", str(output), str(NATIVE / "getrandom_fault.c"), "-ldl"],
        check=True,
    )
    return output


# Prepended to code run with the fault library: `fault` is the preloaded library.
FAULT_PRELUDE = """\
import ctypes
fault = ctypes.CDLL(None)
fault.fault_calls.restype = ctypes.c_long
fault.fault_bytes.restype = ctypes.c_longlong
fault.fault_script.argtypes = [ctypes.c_char_p, ctypes.c_long]
fault.fault_script.restype = ctypes.c_long
fault.fault_script_left.restype = ctypes.c_long
"""
