"""generate_key(): fresh random keys straight from the operating system's generator."""

from __future__ import annotations

from pathlib import Path

import pytest

import pyvelkor_core
from conftest import run_python


def test_returns_32_fresh_bytes() -> None:
    keys = {pyvelkor_core.generate_key() for _ in range(64)}
    assert len(keys) == 64
    assert all(type(key) is bytes and len(key) == 32 for key in keys)
    # Across 64 keys every one of the 32 byte positions varies (a stuck byte would not).
    for position in range(32):
        assert len({key[position] for key in keys}) > 1


def _interpreter_message(call: str) -> str:
    """The TypeError message CPython gives its own no-argument builtin globals() for the same
    call, with the name of the module's function put in (the interpreter qualifies the names of
    functions outside builtins with their module)."""
    try:
        eval(call.replace("generate_key", "globals"))
    except TypeError as error:
        return str(error).replace("globals()", "pyvelkor_core.generate_key()")
    raise AssertionError("the reference call did not fail")


@pytest.mark.parametrize("call", ["generate_key(1)", "generate_key(x=1)", "generate_key(1, x=2)"])
def test_arguments_are_refused_by_the_interpreter(call: str) -> None:
    with pytest.raises(TypeError) as caught:
        eval(call, {"generate_key": pyvelkor_core.generate_key})
    assert str(caught.value) == _interpreter_message(call)


def test_refused_call_does_not_ask_the_generator(fault_library: Path) -> None:
    result = run_python(
        """
        import pyvelkor_core
        before = fault.fault_calls()
        for call in (lambda: pyvelkor_core.generate_key(1), lambda: pyvelkor_core.generate_key(x=1)):
            try:
                call()
            except TypeError:
                pass
        print(fault.fault_calls() - before)
        before, before_bytes = fault.fault_calls(), fault.fault_bytes()
        pyvelkor_core.generate_key()
        print(fault.fault_calls() - before, fault.fault_bytes() - before_bytes)
        """,
        preload=fault_library,
    )
    assert result.returncode == 0, result.stderr
    # No request for refused calls; exactly one 32-byte request for a key.
    assert result.stdout.split() == ["0", "1", "32"]
    assert result.stderr == ""
