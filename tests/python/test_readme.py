"""The Python examples in the README run as written."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"
# Every python block but the signature summary (a block of bare definitions) is an example.
BLOCKS = [
    block
    for block in re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), flags=re.DOTALL)
    if not block.lstrip().startswith("def ")
]


def test_readme_has_examples() -> None:
    assert len(BLOCKS) >= 2


@pytest.mark.parametrize("block", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_example_runs(block: str) -> None:
    exec(compile(block, str(README), "exec"), {})
