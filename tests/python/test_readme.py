"""The Python examples in the README run as written, and every command README.md and
CONTRIBUTING.md show is run, as written, by the test command."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import WINDOWS

ROOT = Path(__file__).resolve().parents[2]
README = ROOT / "README.md"
# Every python block but the signature summary (a block of bare definitions) is an example.
BLOCKS = [
    block
    for block in re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), flags=re.DOTALL)
    if not block.lstrip().startswith("def ")
]
TEST_COMMAND = "scripts/test.sh"


def test_readme_has_examples() -> None:
    assert len(BLOCKS) >= 2
    # The programs under examples/ that the README shows whole: it shows them as they are.
    assert (ROOT / "examples" / "verify_key.py").read_text(encoding="utf-8") in BLOCKS


@pytest.mark.parametrize("block", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_example_runs(block: str) -> None:
    exec(compile(block, str(README), "exec"), {})


def documented_commands() -> list[tuple[str, str]]:
    """(document, command) for every line of every sh block, its comment cut off."""
    commands = []
    for name in ("README.md", "CONTRIBUTING.md"):
        for block in re.findall(r"```sh\n(.*?)```", (ROOT / name).read_text(encoding="utf-8"), flags=re.DOTALL):
            for line in block.splitlines():
                command = re.sub(r"\s+#.*$", "", line).strip()
                if command:
                    commands.append((name, command))
    return commands


def lines_the_test_command_runs() -> list[str]:
    """The code lines of scripts/test.sh and of every project script it runs, directly or not."""
    pending, seen, lines = [TEST_COMMAND], set(), []
    while pending:
        script = pending.pop()
        if script in seen:
            continue
        seen.add(script)
        for line in (ROOT / script).read_text(encoding="utf-8").splitlines():
            code = line.strip()
            if code and not code.startswith("#"):
                lines.append(code)
                pending += re.findall(r"\bscripts/[\w/-]+\.sh\b", code)
    return lines


COMMANDS = [(name, command) for name, command in documented_commands() if command != TEST_COMMAND]


def test_quick_start_is_the_example_and_the_test_command() -> None:
    section = README.read_text(encoding="utf-8").split("## Quick start", 1)[1].split("\n## ", 1)[0]
    assert re.findall(r"```sh\n(.*?)```", section, flags=re.DOTALL) == ["scripts/example.sh\n" + TEST_COMMAND + "\n"]


@pytest.mark.parametrize(("document", "command"), COMMANDS, ids=[command for _, command in COMMANDS])
def test_documented_command_is_run_by_the_test_command(document: str, command: str) -> None:
    pattern = re.compile(rf"(^|[\s(&|;]){re.escape(command)}($|[\s)&|;])")
    assert any(pattern.search(line) for line in lines_the_test_command_runs()), (
        f"{document} shows `{command}`, which {TEST_COMMAND} does not run as written"
    )


# CONTRIBUTING.md: a PYTHON that is set and unusable stops the scripts with the reason; none is
# replaced by another interpreter.
@pytest.mark.skipif(WINDOWS, reason="the scripts are bash scripts for Linux")
@pytest.mark.parametrize(
    ("python", "reason"),
    [
        ("/nonexistent/python", "no such program"),
        (str(README), "no such program"),  # not executable
        ("false", "does not run Python code (exit status 1)"),
        (sys.executable, None),
    ],
    ids=["missing", "not executable", "not Python", "usable"],
)
def test_an_unusable_python_setting_stops_the_scripts(python: str, reason: str | None) -> None:
    command = 'source scripts/lib/find-python.sh && echo "found: $(velkor_find_python)"'
    result = subprocess.run(
        ["bash", "-c", command], cwd=ROOT, env={**os.environ, "PYTHON": python}, capture_output=True, text=True
    )
    if reason is None:
        assert (result.returncode, result.stdout) == (0, f"found: {shutil.which(python)}\n"), result.stderr
    else:
        assert (result.returncode, result.stdout) == (1, "")
        assert result.stderr.startswith(f"error: PYTHON={python}") and reason in result.stderr
