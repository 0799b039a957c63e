"""The module object: its functions, docstrings, signatures, identity across imports, its
refusal to be imported by a second interpreter, and calls that are under way when the
interpreter exits."""

from __future__ import annotations

import importlib
import importlib.util
import inspect
import sys

import pytest

import pyvelkor_core
from conftest import WINDOWS, run_python, scaled

NAMES = ["generate_key", "split_secret", "combine_shares"]

DOCS = {
    "generate_key": "Генерирует случайный 256-битный ключ",
    "split_secret": 'Разбивает 32-байтный секрет на 3 части Шамира (порог 2).\nВозвращает список строк "index:a:b:c:d"',
    "combine_shares": "Восстанавливает секрет из 2+ частей. Возвращает bytes (32 байта).",
}
SIGNATURES = {"generate_key": "()", "split_secret": "(secret, k, n)", "combine_shares": "(shares, k)"}
# Length in UTF-8 of each stored docstring: signature header plus __doc__.
STORED_DOC_BYTES = {"generate_key": 84, "split_secret": 188, "combine_shares": 139}


def test_module_attributes() -> None:
    assert pyvelkor_core.__name__ == "pyvelkor_core"
    assert pyvelkor_core.__doc__ == ""
    assert pyvelkor_core.__all__ == NAMES
    assert type(pyvelkor_core.__all__) is list
    public = [name for name in dir(pyvelkor_core) if not name.startswith("_")]
    assert sorted(public) == sorted(NAMES)
    # Windows names no stable ABI in a module's file name.
    suffix = ".pyd" if WINDOWS else ".abi3.so"
    assert pyvelkor_core.__file__ is not None and pyvelkor_core.__file__.endswith("pyvelkor_core" + suffix)


@pytest.mark.parametrize("name", NAMES)
def test_function_surface(name: str) -> None:
    function = getattr(pyvelkor_core, name)
    assert type(function).__name__ == "builtin_function_or_method"
    assert function.__self__ is pyvelkor_core
    assert function.__module__ == "pyvelkor_core"
    assert function.__name__ == name
    assert function.__qualname__ == name
    assert function.__doc__ == DOCS[name]
    assert function.__text_signature__ == SIGNATURES[name]
    assert str(inspect.signature(function)) == SIGNATURES[name]
    header = f"{name}{SIGNATURES[name]}\n--\n\n"
    assert len((header + DOCS[name]).encode()) == STORED_DOC_BYTES[name]


def test_reimport_returns_the_same_module() -> None:
    first = sys.modules.pop("pyvelkor_core")
    try:
        again = importlib.import_module("pyvelkor_core")
        assert again is first
        assert again.__all__ == NAMES
        assert again.generate_key is first.generate_key
    finally:
        sys.modules["pyvelkor_core"] = first


def test_reimport_in_fresh_process_keeps_all_without_duplicates() -> None:
    result = run_python(
        """
        import sys, pyvelkor_core as first
        for _ in range(3):
            del sys.modules["pyvelkor_core"]
            import pyvelkor_core
            assert pyvelkor_core is first
        print(pyvelkor_core.__all__)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == str(NAMES)


@pytest.mark.skipif(
    importlib.util.find_spec("_testcapi") is None, reason="no _testcapi (Windows' embeddable distribution has none)"
)
def test_second_interpreter_is_refused() -> None:
    result = run_python(
        """
        import pyvelkor_core, _testcapi
        code = _testcapi.run_in_subinterp("import pyvelkor_core")
        print("subinterpreter:", code)
        # The first interpreter's module keeps working.
        print(len(pyvelkor_core.generate_key()))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:2] == ["subinterpreter: -1", "32"]
    assert "ImportError: pyvelkor_core does not yet support sub-interpreters" in result.stderr
    assert "https://docs.python.org/3/howto/isolating-extensions.html" in result.stderr


# On Windows the main thread's time.sleep() waits on the SIGINT event too, which is closed by then
# (OSError: invalid handle): there the finalizer spins, and the interpreter hands its lock on
# every switch interval.
def slow_exit(seconds: float) -> str:
    if WINDOWS:
        return f"end = time.monotonic() + {seconds}\n                while time.monotonic() < end: pass"
    return f"time.sleep({seconds})"


# Python code that the module calls and that releases the interpreter lock (here to wait for an
# event that the interpreter's finalization sets), in a daemon thread: when the lock is free again
# the interpreter is finalizing, and Python 3.12 and 3.13 end the thread with pthread_exit, which
# unwinds the stack through the module's frames. No verdict hangs on a time: the short sleep at
# exit only gives the thread the time to be ended before the process is (when the process ends
# first, the test passes having shown less).
@pytest.mark.parametrize(
    "call",
    [
        pytest.param("pyvelkor_core.split_secret(b'k' * 32, Slow(), 3)", id="in __index__"),
        pytest.param("pyvelkor_core.combine_shares(Slow(), 1)", id="in __iter__"),
        # The module holds the iterator and the items so far.
        pytest.param("pyvelkor_core.combine_shares(SlowItems(), 1)", id="in __next__"),
        # Python code run while the module builds an error: str() of the TypeError an __index__
        # raised (which the argument error quotes), str() of an unexpected keyword, and the
        # __qualname__ of a rejected value's type.
        pytest.param("pyvelkor_core.split_secret(b'k' * 32, BadIndex(), 3)", id="in str() of a TypeError"),
        pytest.param("pyvelkor_core.split_secret(b'k' * 32, 2, 3, **{SlowKey('x'): 1})", id="in str() of a key"),
        pytest.param("pyvelkor_core.split_secret(SlowName(), 2, 3)", id="in __qualname__"),
    ],
)
def test_daemon_thread_inside_a_call_at_exit(call: str) -> None:
    result = run_python(
        f"""
        import sys, threading, time
        import pyvelkor_core

        share = pyvelkor_core.split_secret(b"k" * 32, 2, 3)[0]
        inside, finalizing = threading.Event(), threading.Event()

        def wait_unlocked():
            inside.set()
            finalizing.wait()

        class Slow:  # a sequence of one share, and the index 2
            def __len__(self):
                return 1
            def __getitem__(self, position):
                raise IndexError(position)
            def __iter__(self):
                wait_unlocked()
                return iter([share])
            def __index__(self):
                wait_unlocked()
                return 2

        class SlowItems(Slow):
            def __iter__(self):
                wait_unlocked()
                yield share

        class SlowText:
            def __str__(self):
                wait_unlocked()
                return "slow"

        class BadIndex:
            def __index__(self):
                raise TypeError(SlowText())

        class SlowKey(str):
            __str__ = SlowText.__str__

        class SlowQualname(type):
            def __getattribute__(cls, name):
                if name == "__qualname__":
                    wait_unlocked()
                return super().__getattribute__(name)

        class SlowName(metaclass=SlowQualname):
            pass

        class SlowExit:
            def __del__(self):
                finalizing.set()
                {slow_exit(scaled(0.2))}

        def work():
            {call}
            print("returned", flush=True)

        threading.Thread(target=work, daemon=True).start()
        assert inside.wait({scaled(30)})
        sys.modules["slow_exit"] = SlowExit()  # finalized with the modules, sleeping
        print("main done")
        """
    )
    assert (result.returncode, result.stderr) == (0, "")
    # The thread ended inside the call, not after it.
    assert result.stdout == "main done\n"
