"""The Windows paths of the module, run in Windows' own CPython: the random source through
BCryptGenRandom and its fallback SystemFunction036 (stand-ins in the module's import address
table, native/bcrypt_fault.py), the report of their failure, and no secret left in the dead part
of the stack, read through VirtualQuery between the thread's own stack limits, for the main
thread and for threads of small stacks."""

from __future__ import annotations

import ast
import json
import re
from pathlib import Path

import pytest
from test_dead_stack import CASES, KEY

import pyvelkor_core
from conftest import run_python

BCRYPT_32 = ("bcrypt", 32, 2, True)  # 32 bytes, the system-preferred generator, no handle
FALLBACK_32 = ("fallback", 32)
SCRIPT = bytes(range(100, 132))
REPORT = re.compile(
    r"\nthread '<unnamed>' hit an internal failure at src/core/random/random_source_windows\.cpp:\d+:\d+:\n"
    r"Error: OS Error: (\d+)\n"
)

# generate_key with the preferred generator answering `status` (None: as the system does) and the
# fallback filling its piece or failing: the key (the scripted bytes, unchanged) or the failure
# code, and the calls made.
STATUSES = {
    "success": (None, True, SCRIPT, [BCRYPT_32]),
    "informational status": (0x40000000, False, SCRIPT, [BCRYPT_32]),
    "warning status": (0x80000005, False, SCRIPT, [BCRYPT_32]),
    "error, the fallback fills": (0xC0000001, True, SCRIPT, [BCRYPT_32, FALLBACK_32]),
    "error, the fallback fails": (0xC0000001, False, 1073741825, [BCRYPT_32, FALLBACK_32]),
    "highest error, the fallback fails": (0xFFFFFFFF, False, 2147483647, [BCRYPT_32, FALLBACK_32]),
}


@pytest.mark.parametrize("case", STATUSES)
def test_generate_key_through_bcrypt(bcrypt_fault: Path, case: str) -> None:
    status, fallback_fills, expected, calls = STATUSES[case]
    result = run_python(
        f"""
        import json
        fault.script({SCRIPT!r})
        if {status is not None}:
            fault.arm(0, {status or 0}, {fallback_fills})
        try:
            outcome = pyvelkor_core.generate_key().hex()
        except BaseException as error:
            outcome = [type(error).__name__, *error.args]
        print(json.dumps({{"outcome": outcome, "calls": fault.calls}}))
        """,
        preload=bcrypt_fault,
    )
    assert result.returncode == 0, result.stderr
    seen = json.loads(result.stdout)
    assert [tuple(call) for call in seen["calls"]] == calls
    if isinstance(expected, bytes):
        assert seen["outcome"] == expected.hex()
        assert result.stderr == ""
    else:
        assert seen["outcome"] == ["PanicException", f"Error: OS Error: {expected}"]
        assert [int(code) for code in REPORT.findall(result.stderr)] == [expected]


def test_split_draws_and_a_failure_in_the_middle(bcrypt_fault: Path) -> None:
    result = run_python(
        """
        import json
        secret = bytes(range(32))
        shares = pyvelkor_core.split_secret(secret, 3, 5)
        drawn, fault.calls[:] = list(fault.calls), []
        fault.arm(5, 0xC0000001, False)  # the sixth draw fails, and so does its fallback
        try:
            pyvelkor_core.split_secret(secret, 3, 5)
        except BaseException as error:
            failure = [type(error).__name__, *error.args]
        print(json.dumps([shares, drawn, failure, fault.calls]))
        """,
        preload=bcrypt_fault,
    )
    assert result.returncode == 0, result.stderr
    shares, drawn, failure, calls = json.loads(result.stdout)
    assert pyvelkor_core.combine_shares(shares[2:], 3) == bytes(range(32))
    # Two draws of 8 bytes for each of the 2 coefficients of each of the 4 words.
    assert [tuple(call) for call in drawn] == [("bcrypt", 8, 2, True)] * 16
    assert failure == ["PanicException", "Error: OS Error: 1073741825"]  # not a split error
    assert [tuple(call) for call in calls] == [("bcrypt", 8, 2, True)] * 6 + [("fallback", 8)]


# The thread's stack between GetCurrentThreadStackLimits' bounds, the pages that are committed
# and readable; byte strings looked for are built from ints, never through a buffer on the stack.
# It is read during the call as well, each time scripted bytes have been written into the
# module's buffer: what the scan must find there, it must not find after the call.
SCAN = """
import ctypes, json, struct, threading

kernel32 = ctypes.WinDLL("kernel32")
kernel32.VirtualQuery.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t]

def stack():
    low, high = ctypes.c_size_t(), ctypes.c_size_t()
    kernel32.GetCurrentThreadStackLimits(ctypes.byref(low), ctypes.byref(high))
    info, pages, address = (ctypes.c_ubyte * 48)(), [], low.value
    while address < high.value:
        assert kernel32.VirtualQuery(address, info, 48)
        base, _, _, _, size, state, protect, _ = struct.unpack_from("<QQIHxxQIII", info)
        end = min(base + size, high.value)
        if state == 0x1000 and not protect & 0x101:  # MEM_COMMIT; not PAGE_GUARD or PAGE_NOACCESS
            pages.append(ctypes.string_at(address, end - address))
        address = end
    return b"".join(pages)

def scan():
    key = ({key}).to_bytes(32, "big")
    fault.script(({script}).to_bytes({script_size}, "big"))
    if {fail_after} >= 0:
        fault.arm({fail_after}, 0xC0000001, False)
    patterns = {{name: bytes.fromhex(text) for name, text in {patterns}.items()}}
    before = stack()
    during = {{}}
    def seen():
        now = stack()
        during.update({{name: now.count(p) for name, p in patterns.items() if now.count(p)}})
    fault.on_fill = seen
    try:
        result = repr({call})
    except BaseException as error:
        result = type(error).__name__
    fault.on_fill = None
    after = stack()
    found.append({{
        "during": sorted(during),
        "result": result,
        "script_left": fault.script_left(),
        "before": {{name: before.count(p) for name, p in patterns.items() if before.count(p)}},
        "after": {{name: after.count(p) for name, p in patterns.items() if after.count(p)}},
    }})

found = []
if {thread_stack}:
    threading.stack_size({thread_stack})
    thread = threading.Thread(target=scan)
    thread.start()
    thread.join()
else:
    scan()
print(json.dumps(found[0]))
"""


@pytest.mark.parametrize("thread_stack", [0, 64 * 1024, 256 * 1024], ids=["main thread", "64 KiB", "256 KiB"])
@pytest.mark.parametrize("case", CASES)
def test_no_secret_left_on_the_stack(bcrypt_fault: Path, case: str, thread_stack: int) -> None:
    call, script, fail_after, expected, patterns = CASES[case]
    code = SCAN.format(
        key=hex(int.from_bytes(KEY, "big")),
        script=hex(int.from_bytes(script, "big")),
        script_size=len(script),
        fail_after=fail_after,
        call=call,
        patterns={name: p.hex() for name, p in patterns.items()},
        thread_stack=thread_stack,
    )
    result = run_python(code, preload=bcrypt_fault)
    assert result.returncode == 0, result.stderr
    scan = json.loads(result.stdout)
    assert scan["script_left"] == 0  # every scripted byte was drawn by the call
    if expected is not None:
        assert scan["result"] == expected
    else:
        assert pyvelkor_core.combine_shares(ast.literal_eval(scan["result"])[2:], 3) == KEY
    assert scan["before"] == {}
    if script:  # the scan sees the drawn bytes in the module's buffers while the call runs
        assert scan["during"]
    assert scan["after"] == {}
