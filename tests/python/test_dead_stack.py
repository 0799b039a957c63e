"""No key word and no drawn coefficient may stay in the thread's stack memory once a call has
returned: the dead frames of the core's functions would otherwise keep what they spilled there
until something else happens to overwrite it."""

from __future__ import annotations

import ast
import hashlib
import json
from pathlib import Path

import pytest

import pyvelkor_core
from conftest import needs_vdso, run_python, smallest_thread_stack

KEY = bytes(range(1, 33))
EIO = 5

# The scan runs in a fresh interpreter with the getrandom stand-in preloaded. Every byte string
# it looks for is built from an int (int.to_bytes writes straight into the new object), never
# through a buffer on the stack, and the stack is read once before the call as well: a pattern
# seen then would not be the module's doing.
SCAN = """
import json, os, pyvelkor_core

def stack_range():
    with open("/proc/self/maps") as maps:
        for line in maps:
            if line.endswith("[stack]\\n"):
                return tuple(int(v, 16) for v in line.split()[0].split("-"))

start, end = stack_range()
memory = os.open("/proc/self/mem", os.O_RDONLY)
key = ({key}).to_bytes(32, "big")
script = ({script}).to_bytes({script_size}, "big")
fault.fault_script(script, len(script))
fault.fault_arm({fail_after}, {errno})
before = os.pread(memory, end - start, start)
try:
    result = repr({call})
except BaseException as error:
    result = type(error).__name__
after = os.pread(memory, end - start, start)
fault.fault_disarm()
patterns = {{name: bytes.fromhex(text) for name, text in {patterns}.items()}}
print(json.dumps({{
    "result": result,
    "script_left": fault.fault_script_left(),
    "stack_unchanged": stack_range() == (start, end),
    "before": {{name: before.count(p) for name, p in patterns.items() if before.count(p)}},
    "after": {{name: after.count(p) for name, p in patterns.items() if after.count(p)}},
}}))
"""


def script_bytes(size: int) -> bytes:
    """Fixed bytes without structure for the scripted generator."""
    blocks = (hashlib.sha256(b"dead stack %d" % i).digest() for i in range(size // 32 + 1))
    return b"".join(blocks)[:size]


def word_patterns(key: bytes) -> dict[str, bytes]:
    """Each 64-bit word of the key big-endian (as the key's bytes), little-endian (as the word
    sits in a register spilled to memory) and as a little-endian 16-byte field value."""
    patterns = {}
    for w in range(4):
        big = key[8 * w : 8 * w + 8]
        patterns[f"word {w} big-endian"] = big
        patterns[f"word {w} little-endian"] = big[::-1]
        patterns[f"word {w} field value"] = big[::-1] + bytes(8)
    return patterns


def draw_patterns(script: bytes, draws: int) -> dict[str, bytes]:
    """The raw 8-byte draws, and each coefficient (low draw, then high draw with its top bit
    cleared) as a little-endian 16-byte field value."""
    patterns = {f"draw {i}": script[8 * i : 8 * i + 8] for i in range(draws)}
    for c in range(draws // 2):
        low = script[16 * c : 16 * c + 8]
        high = int.from_bytes(script[16 * c + 8 : 16 * c + 16], "little") & (2**63 - 1)
        patterns[f"coefficient {c} field value"] = low + high.to_bytes(8, "little")
    return patterns


SHARES = pyvelkor_core.split_secret(KEY, 3, 5)
GENERATED = script_bytes(32)
DRAWS = script_bytes(16 * 8)

# (call, scripted bytes, calls that succeed before the generator fails or -1, expected result,
#  patterns that must be gone)
CASES = {
    "generate_key": ("pyvelkor_core.generate_key()", GENERATED, -1, repr(GENERATED), word_patterns(GENERATED)),
    "split_secret": (
        "pyvelkor_core.split_secret(key, 3, 5)",
        DRAWS,
        -1,
        None,
        word_patterns(KEY) | draw_patterns(DRAWS, 16),
    ),
    "combine_shares": (
        f"pyvelkor_core.combine_shares({SHARES[:3]!r}, 3)",
        b"",
        -1,
        repr(KEY),
        word_patterns(KEY),
    ),
    # The generator fails on the sixth draw: the internal failure unwinds through the core.
    "split_secret, generator failing": (
        "pyvelkor_core.split_secret(key, 3, 5)",
        DRAWS[:40],
        5,
        "PanicException",
        word_patterns(KEY) | draw_patterns(DRAWS[:40], 5),
    ),
}


@pytest.mark.parametrize("case", CASES)
def test_no_secret_left_on_the_stack(fault_library: Path, case: str) -> None:
    call, script, fail_after, expected, patterns = CASES[case]
    code = SCAN.format(
        key=hex(int.from_bytes(KEY, "big")),
        script=hex(int.from_bytes(script, "big")),
        script_size=len(script),
        fail_after=fail_after,
        errno=EIO,
        call=call,
        patterns={name: p.hex() for name, p in patterns.items()},
    )
    result = run_python(code, preload=fault_library)
    assert result.returncode == 0, result.stderr
    scan = json.loads(result.stdout)
    assert scan["script_left"] == 0  # every scripted byte was drawn by the call
    assert scan["stack_unchanged"]
    if expected is not None:
        assert scan["result"] == expected
    else:
        shares = ast.literal_eval(scan["result"])  # the split's list of share strings
        assert pyvelkor_core.combine_shares(shares[2:], 3) == KEY
    assert scan["before"] == {}
    assert scan["after"] == {}


# Through the kernel's vDSO generator nothing can be scripted, but the key it drew is the
# result: none of its words may stay in the stack, where the vDSO's own frames lay too.
VDSO_SCAN = """
import os, pyvelkor_core
with open("/proc/self/maps") as maps:
    start, end = next(tuple(int(v, 16) for v in line.split()[0].split("-"))
                      for line in maps if line.endswith("[stack]\\n"))
memory = os.open("/proc/self/mem", os.O_RDONLY)
pyvelkor_core.generate_key()  # the generator's state is mapped and keyed before the scan
key = pyvelkor_core.generate_key()
after = os.pread(memory, end - start, start)
print(key.hex())
print(after.hex())
"""


@needs_vdso
def test_no_key_left_on_the_stack_through_the_vdso() -> None:
    result = run_python(VDSO_SCAN)
    assert result.returncode == 0, result.stderr
    key, stack = (bytes.fromhex(line) for line in result.stdout.splitlines())
    found = {name: stack.count(p) for name, p in word_patterns(key).items() if stack.count(p)}
    assert found == {}


def test_calls_work_on_the_smallest_thread_stack() -> None:
    # The scrub clears a fixed depth below the entry point: it must fit in the stack of a thread
    # started after threading.stack_size() of the smallest size Python allows (32 KiB before 3.14).
    result = run_python(
        f"""
        import threading, pyvelkor_core
        threading.stack_size({smallest_thread_stack()})
        results = []
        def work():
            key = pyvelkor_core.generate_key()
            shares = pyvelkor_core.split_secret(key, 255, 255)
            results.append(pyvelkor_core.combine_shares(shares, 255) == key)
            try:
                pyvelkor_core.combine_shares(shares[:2] + ["1:0:0:0"], 3)
            except ValueError as error:
                results.append(str(error))
        thread = threading.Thread(target=work)
        thread.start()
        thread.join()
        print(results)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[True, 'Shamir combine failed: Invalid share format (need 5 fields): 1:0:0:0']"
