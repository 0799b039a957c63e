"""Reference and memory-block leaks of every entry point, on its success path and on each of its
error paths: 2,000 calls of each case must leave the interpreter's count of allocated memory blocks
and, in a debug build of CPython (python3.Nd), its total reference count where they were. The block
count exists in release builds too, so the table runs on every CPython whose allocator counts blocks.

A leaked reference shows in the block count only when it keeps a block alive that would otherwise
be freed, and in the reference count only when the object is not immortal. So every object a case
hands the module is made anew by each call wherever it can be (fresh(), the subclasses below,
integers above the small-integer cache, values __index__ computes), rather than a constant or a
small integer shared by all calls. scripts/checks/check-refleaks.sh shows that the table fails
for a module built with a reference leak planted on a success path and on an error path."""

from __future__ import annotations

import ctypes
import gc
import json
import os
import sys
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any, cast

import pytest

from conftest import run_python
from pyvelkor_core import combine_shares, generate_key, split_secret

# The total reference count, which only a debug build keeps.
total_refcount: Callable[[], int] | None = getattr(sys, "gettotalrefcount", None)

CALLS = 2000
WARM_UP = 200
# What a measurement may drift by without a leak (free lists, interned names, the counters' own
# integers; a few blocks in the release builds of CPython 3.12 and 3.13). A leak of one reference or
# one block per call shows as CALLS.
SLACK = 50
EIO = 5

SECRET = bytes(range(32))
SHARES = split_secret(SECRET, 3, 5)


def fresh[T: (int, float, str, bytes)](value: T) -> T:
    """A new object equal to `value`, made by this call: a reference the module kept to it would
    keep its block. Integers must lie outside the small-integer cache, texts be two or more long."""
    copy = value[:1] + value[1:] if isinstance(value, str | bytes) else value + 0
    assert copy is not value, f"{value!r} is not made anew"
    return cast(T, copy)


class Secret(bytes):
    """A bytes subclass: each instance is a new object."""


class Text(str):
    """A str subclass: each instance is a new object."""


class Count(int):
    """An int subclass, which the module reads through __index__ (PyNumber_Index makes an int)."""


class Index:
    """An integer-like object whose __index__ returns `value` (an integer outside the small-integer
    cache as a new object each time, see fresh()), or raises what `error` makes."""

    def __init__(self, value: object = None, *, error: Callable[[], BaseException] | None = None) -> None:
        self.value, self.error = value, error

    def __index__(self) -> Any:
        if self.error is not None:
            raise self.error()
        if isinstance(self.value, int) and not -5 <= self.value <= 256:
            return fresh(self.value)
        return self.value


class Shares:
    """A sequence of the shares whose __len__, __iter__ or item `fail_at` can raise."""

    def __init__(
        self, *, length: BaseException | None = None, iterate: BaseException | None = None, fail_at: int = -1
    ) -> None:
        self.length, self.iterate, self.fail_at = length, iterate, fail_at

    def __len__(self) -> int:
        if self.length is not None:
            raise self.length
        return len(SHARES)

    def __getitem__(self, position: int) -> str:
        if position == self.fail_at:
            raise ValueError("item")
        return fresh(SHARES[position])

    def __iter__(self) -> Iterator[str]:
        if self.iterate is not None:
            raise self.iterate
        for position in range(len(SHARES)):
            yield self[position]


def type_error_with_cause() -> TypeError:
    error = TypeError("no good")
    error.__cause__ = KeyError("why")
    return error


def answering_qualname(error: Callable[[], BaseException]) -> type:
    """A class whose __qualname__ lookup raises what `error` makes."""

    class Meta(type):
        def __getattribute__(cls, name: str) -> Any:
            if name == "__qualname__":
                raise error()
            return super().__getattribute__(name)

    return Meta("Stored", (), {})


def raw_call(function: object, args: tuple[Any, ...], kwargs: dict[Any, Any]) -> object:
    """PyObject_Call, which hands any dictionary to the function, keys that are not str too."""
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    return call(function, args, kwargs)


def shares_generator() -> Iterator[str]:
    for share in SHARES:
        yield fresh(share)


def fresh_shares(*texts: str) -> list[str]:
    return [fresh(text) for text in texts]


# Each raise makes a new exception: one raised again would carry its growing traceback along.
UNPRINTABLE_QUALNAME = answering_qualname(lambda: RuntimeError("no name"))
# Above every small-integer cache: CPython 3.15 keeps 0 to 1024 (earlier versions 0 to 256).
LARGE, NEGATIVE = 1100, -1100
BAD_INDEX = Index(error=type_error_with_cause)
NO_ERROR = None

# name, call, the exception it must raise (None: it must return), a text its message contains.
# The failures of the random generator run with the getrandom fault library failing every call.
CASES: list[tuple[str, Callable[[], object], type[BaseException] | None, str]] = [
    ("generate_key", lambda: generate_key(), NO_ERROR, ""),
    ("generate_key: an argument", lambda: generate_key(fresh(LARGE)), TypeError, "takes no arguments"),
    ("generate_key: a keyword", lambda: generate_key(x=fresh(LARGE)), TypeError, "takes no keyword arguments"),
    ("generate_key: generator fails", lambda: generate_key(), BaseException, "OS Error: 5"),
    ("split_secret", lambda: split_secret(fresh(SECRET), 3, 5), NO_ERROR, ""),
    ("split_secret: keywords", lambda: split_secret(secret=Secret(SECRET), n=fresh(LARGE), k=Count(2)), NO_ERROR, ""),
    ("split_secret: __index__ objects", lambda: split_secret(SECRET, Index(2), Index(LARGE)), NO_ERROR, ""),
    ("split_secret: secret not bytes", lambda: split_secret(bytearray(32), 2, 3), TypeError, "'PyBytes'"),
    (
        "split_secret: type name fails",
        lambda: split_secret(UNPRINTABLE_QUALNAME(), 2, 3),
        TypeError,
        "failed to extract",
    ),
    ("split_secret: secret length", lambda: split_secret(fresh(b"short"), 2, 3), ValueError, "exactly 32 bytes"),
    ("split_secret: k < 2", lambda: split_secret(SECRET, Count(1), 3), ValueError, "k must be >= 2"),
    ("split_secret: n < k", lambda: split_secret(SECRET, fresh(LARGE + 1), fresh(LARGE)), ValueError, "n must be >= k"),
    (
        "split_secret: __index__ n < k",
        lambda: split_secret(SECRET, Index(LARGE + 1), Index(LARGE)),
        ValueError,
        "n must be >= k",
    ),
    ("split_secret: k not an integer", lambda: split_secret(SECRET, fresh(2.5), 3), TypeError, "argument 'k'"),
    (
        "split_secret: __index__ TypeError",
        lambda: split_secret(SECRET, BAD_INDEX, 3),
        TypeError,
        "argument 'k': no good",
    ),
    (
        "split_secret: __index__ other error",
        lambda: split_secret(SECRET, Index(error=lambda: ValueError("x")), 3),
        ValueError,
        "x",
    ),
    ("split_secret: __index__ non-int", lambda: split_secret(SECRET, Index("2"), 3), TypeError, "__index__"),
    ("split_secret: __index__ negative", lambda: split_secret(SECRET, Index(NEGATIVE), 3), OverflowError, ""),
    ("split_secret: k negative", lambda: split_secret(SECRET, fresh(NEGATIVE), 3), OverflowError, ""),
    ("split_secret: n over 64 bits", lambda: split_secret(SECRET, 2, fresh(2**64)), OverflowError, ""),
    ("split_secret: n unsizable", lambda: split_secret(SECRET, 2, fresh(2**63)), BaseException, "capacity overflow"),
    ("split_secret: generator fails", lambda: split_secret(SECRET, 2, 3), BaseException, "OS Error: 5"),
    (
        "split_secret: 4 positional",
        lambda: split_secret(SECRET, 2, 3, fresh(LARGE)),
        TypeError,
        "takes 3 positional",
    ),
    (
        "split_secret: unknown keyword",
        lambda: split_secret(SECRET, 2, 3, x=fresh(LARGE)),
        TypeError,
        "unexpected keyword",
    ),
    ("split_secret: k twice", lambda: split_secret(SECRET, 2, k=fresh(LARGE)), TypeError, "multiple values"),
    ("split_secret: missing", lambda: split_secret(fresh(SECRET)), TypeError, "missing 2 required"),
    (
        "split_secret: keyword not str",
        lambda: raw_call(split_secret, (SECRET, 2), {fresh(LARGE): 3}),
        TypeError,
        "'PyString'",
    ),
    ("combine_shares", lambda: combine_shares(fresh_shares(*SHARES[1:4]), 3), NO_ERROR, ""),
    (
        "combine_shares: tuple, keyword",
        lambda: combine_shares(tuple(fresh_shares(*SHARES)), k=Count(3)),
        NO_ERROR,
        "",
    ),
    ("combine_shares: str subclass", lambda: combine_shares([Text(share) for share in SHARES], 3), NO_ERROR, ""),
    ("combine_shares: no length", lambda: combine_shares(Shares(length=ValueError()), 3), NO_ERROR, ""),
    (
        "combine_shares: equal indices",
        lambda: combine_shares(fresh_shares(SHARES[0], SHARES[0]), 2),
        NO_ERROR,
        "",
    ),
    ("combine_shares: too few", lambda: combine_shares(fresh_shares(*SHARES), 6), ValueError, "Need at least 6"),
    ("combine_shares: too few, large k", lambda: combine_shares(SHARES, Index(LARGE)), ValueError, "Need at least"),
    (
        "combine_shares: 4 fields",
        lambda: combine_shares(fresh_shares(SHARES[0], "1:0:0:0"), 2),
        ValueError,
        "need 5 fields",
    ),
    (
        "combine_shares: bad digit",
        lambda: combine_shares(fresh_shares(SHARES[0], "1:g:0:0:0"), 2),
        ValueError,
        "invalid digit",
    ),
    ("combine_shares: empty field", lambda: combine_shares(fresh_shares("1:0:0:0:"), 1), ValueError, "empty string"),
    (
        "combine_shares: too large",
        lambda: combine_shares(fresh_shares(f"1:{2**128:x}:0:0:0"), 1),
        ValueError,
        "too large",
    ),
    (
        "combine_shares: int item",
        lambda: combine_shares([fresh(SHARES[0]), fresh(LARGE)], 2),
        TypeError,
        "'int' object",
    ),
    ("combine_shares: bytes item", lambda: combine_shares([fresh(b"1:0:0:0:0")], 1), TypeError, "'bytes' object"),
    (
        "combine_shares: item not UTF-8",
        lambda: combine_shares(fresh_shares(SHARES[0], "1:\udc80"), 2),
        UnicodeEncodeError,
        "",
    ),
    ("combine_shares: a str", lambda: combine_shares(fresh(SHARES[0]), 2), TypeError, "Can't extract `str`"),
    ("combine_shares: a dict", lambda: combine_shares({fresh(SHARES[0]): 1}, 2), TypeError, "'Sequence'"),
    ("combine_shares: a generator", lambda: combine_shares(shares_generator(), 2), TypeError, "'Sequence'"),
    (
        "combine_shares: __iter__ TypeError",
        lambda: combine_shares(Shares(iterate=TypeError("it")), 2),
        TypeError,
        "'shares': it",
    ),
    ("combine_shares: item raises", lambda: combine_shares(Shares(fail_at=1), 2), ValueError, "item"),
    (
        "combine_shares: __len__ interrupt",
        lambda: combine_shares(Shares(length=KeyboardInterrupt()), 2),
        KeyboardInterrupt,
        "",
    ),
    ("combine_shares: k not an integer", lambda: combine_shares(SHARES, fresh("2k")), TypeError, "argument 'k'"),
    ("combine_shares: k negative", lambda: combine_shares(SHARES, fresh(NEGATIVE)), OverflowError, ""),
    (
        "combine_shares: 3 positional",
        lambda: combine_shares(SHARES, 2, fresh(LARGE)),
        TypeError,
        "takes 2 positional",
    ),
    (
        "combine_shares: unknown keyword",
        lambda: combine_shares(SHARES, 2, n=fresh(LARGE)),
        TypeError,
        "unexpected keyword",
    ),
    ("combine_shares: missing", lambda: combine_shares(), TypeError, "missing 2 required"),
]
FAULTED = {name for name, *_ in CASES if name.endswith("generator fails")}


def run_case(name: str, call: Callable[[], object], error: type[BaseException] | None, text: str) -> None:
    """One call of a case, which must take the path it names."""
    if error is None:
        call()
        return
    try:
        call()
    except error as raised:
        assert text in str(raised), f"{name}: {raised!r}"
    else:
        raise AssertionError(f"{name}: returned")


def measure(fault: Any) -> dict[str, list[int]]:
    """Runs in a child interpreter with the getrandom fault library preloaded: the growth of the
    total reference count (0 in a release build) and of the allocated blocks over CALLS calls of
    each case, after a warm-up that fills the caches a first call fills. Standard error (the
    reports of the internal failures) goes to /dev/null meanwhile."""
    references = total_refcount or (lambda: 0)
    results = {}
    saved = os.dup(2)
    quiet = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(quiet, 2)
        for name, call, error, text in CASES:
            if name in FAULTED:
                fault.fault_arm(0, EIO)
            try:
                for _ in range(WARM_UP):
                    run_case(name, call, error, text)
                gc.collect()
                refs, blocks = references(), sys.getallocatedblocks()
                for _ in range(CALLS):
                    run_case(name, call, error, text)
                gc.collect()
                results[name] = [references() - refs, sys.getallocatedblocks() - blocks]
            finally:
                fault.fault_disarm()
    finally:
        os.dup2(saved, 2)
        os.close(quiet)
        os.close(saved)
    return results


@pytest.fixture(scope="module")
def growth(fault_library: Path) -> dict[str, list[int]]:
    if sys.getallocatedblocks() == 0:
        pytest.skip("this interpreter counts no memory blocks (not CPython's allocator: PYTHONMALLOC=malloc?)")
    result = run_python(
        f"""
        import json, sys
        sys.path.insert(0, {str(Path(__file__).parent)!r})
        import test_refleaks
        print(json.dumps(test_refleaks.measure(fault)))
        """,
        preload=fault_library,
        # Seconds natively; far longer under qemu-user.
        timeout=600 * (10 if os.environ.get("VELKOR_EMULATOR") else 1),
    )
    assert result.returncode == 0, result.stderr
    measured: dict[str, list[int]] = json.loads(result.stdout)
    print("\n".join(f"{name:40} {refs:6} {blocks:6}" for name, (refs, blocks) in measured.items()))
    return measured


@pytest.mark.parametrize("name", [name for name, *_ in CASES])
def test_no_reference_or_block_leak(growth: dict[str, list[int]], name: str) -> None:
    refs, blocks = growth[name]
    counted = f"{refs} references, " if total_refcount is not None else ""
    assert abs(refs) <= SLACK and abs(blocks) <= SLACK, f"{CALLS} calls: {counted}{blocks} blocks"
