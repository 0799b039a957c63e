"""The installed type stubs (the pyvelkor_core-stubs package): they describe the runtime module
exactly (stubtest), type-check ordinary use under --strict and reject wrong argument types."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

from conftest import scaled

pytest.importorskip("mypy")

USE = Path(__file__).parents[1] / "typing" / "use_pyvelkor_core.py"


def run_mypy(*arguments: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    # Run from a directory outside the source tree, so only the installed stubs can be found.
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--no-error-summary", *arguments],
        capture_output=True,
        text=True,
        cwd=cwd,
        timeout=scaled(300),
    )


def test_stubs_match_the_runtime_module(tmp_path: Path) -> None:
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "pyvelkor_core"],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=scaled(300),
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_ordinary_use_type_checks(tmp_path: Path) -> None:
    result = run_mypy(str(USE), cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_wrong_argument_types_are_reported(tmp_path: Path) -> None:
    misuse = tmp_path / "misuse.py"
    misuse.write_text(
        "from pyvelkor_core import combine_shares, split_secret\n"
        "split_secret('not bytes', 2, 3)\n"
        "split_secret(b'', 2.0, 3)\n"
        "combine_shares([b'share'], 2)\n"
        "combine_shares(['share'], '2')\n"
        "text: str = combine_shares(['share'], 2)\n"
        "split_secret(b'', 2, 3, 4)\n"
        # Not caught: a str is a Sequence[str] (the module raises TypeError when it is called).
        "combine_shares('1:0:0:0:0', 1)\n"
    )
    result = run_mypy(str(misuse), cwd=tmp_path)
    flagged = sorted({int(line.split(":")[1]) for line in result.stdout.splitlines() if ": error:" in line})
    assert flagged == [2, 3, 4, 5, 6, 7], result.stdout
