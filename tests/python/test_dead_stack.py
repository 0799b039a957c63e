"""No key word and no drawn coefficient may stay in the thread's stack memory once a call has
returned: the dead frames of the core's functions would otherwise keep what they spilled there
until something else happens to overwrite it."""

from __future__ import annotations

import ast
import hashlib
import json
import os
import sys
from pathlib import Path

import pytest

import pyvelkor_core
from conftest import PRELUDES, build_native, needs_vdso, posix_only, run_python

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
            if line.split()[5:] == ["[stack]"]:  # the pathname field whole
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


def under_stack_limit(code: str, kib: int, prelude: str = "") -> str:
    """Code that starts the interpreter again with RLIMIT_STACK at `kib` KiB (as `ulimit -s` does:
    the main thread's stack is laid out at exec) and runs `code` there, with the module this
    interpreter imported (an editable install would run its build tools on import, under that
    limit too)."""
    load = """
import importlib.util, sys
location = importlib.util.spec_from_file_location("pyvelkor_core", sys.argv[1])
sys.modules["pyvelkor_core"] = importlib.util.module_from_spec(location)
location.loader.exec_module(sys.modules["pyvelkor_core"])
"""
    return f"""
import os, resource, sys, pyvelkor_core
hard = resource.getrlimit(resource.RLIMIT_STACK)[1]
soft = {kib * 1024} if hard == resource.RLIM_INFINITY else min({kib * 1024}, hard)
resource.setrlimit(resource.RLIMIT_STACK, (soft, hard))
os.execv(sys.executable, [sys.executable, "-c", {load + prelude + code!r}, pyvelkor_core.__file__])
"""


# The main thread's stack under small and default limits: its bound is where the kernel stops
# its growth, which glibc's figure for it does not say.
def scan_code(case: str) -> str:
    call, script, fail_after, _, patterns = CASES[case]
    return SCAN.format(
        key=hex(int.from_bytes(KEY, "big")),
        script=hex(int.from_bytes(script, "big")),
        script_size=len(script),
        fail_after=fail_after,
        errno=EIO,
        call=call,
        patterns={name: p.hex() for name, p in patterns.items()},
    )


@pytest.mark.parametrize("stack_kib", [512, 1024, 8192])
@pytest.mark.parametrize("case", CASES)
def test_no_secret_left_on_the_stack(fault_library: Path, case: str, stack_kib: int) -> None:
    _, _, _, expected, _ = CASES[case]
    code = under_stack_limit(scan_code(case), stack_kib, PRELUDES[fault_library.stem])
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


# A file whose name ends in the kernel's label for the main thread's stack, mapped before the first
# call: its line in /proc/self/maps comes before the stack's, and is not taken for it.
@pytest.mark.parametrize("case", ["combine_shares", "split_secret, generator failing"])
def test_a_file_named_like_the_stack_is_not_taken_for_it(fault_library: Path, tmp_path: Path, case: str) -> None:
    data = tmp_path / "data [stack]"
    data.write_bytes(bytes(4096))
    prelude = f"""
import mmap
with open({str(data)!r}, "r+b") as file:
    mapped_file = mmap.mmap(file.fileno(), 4096)
"""
    result = run_python(prelude + scan_code(case), preload=fault_library)
    assert result.returncode == 0, result.stderr
    scan = json.loads(result.stdout)
    assert scan["result"] == CASES[case][3]
    assert scan["after"] == {}


# A process forked from a thread other than the main one runs on that thread's stack, with the
# process's id as its thread id; the thread had not called the module before.
FORK_SCAN = """
import ctypes, json, multiprocessing, os, threading, pyvelkor_core

def thread_stack():
    libc = ctypes.CDLL(None)
    libc.pthread_self.restype = ctypes.c_void_p
    libc.pthread_getattr_np.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
    libc.pthread_attr_getstack.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
    attributes = ctypes.create_string_buffer(256)
    address, size = ctypes.c_void_p(), ctypes.c_size_t()
    assert libc.pthread_getattr_np(libc.pthread_self(), attributes) == 0
    assert libc.pthread_attr_getstack(attributes, ctypes.byref(address), ctypes.byref(size)) == 0
    libc.pthread_attr_destroy(attributes)
    return address.value, address.value + size.value

def child():
    start, end = thread_stack()
    memory = os.open("/proc/self/mem", os.O_RDONLY)
    before = os.pread(memory, end - start, start)
    result = pyvelkor_core.combine_shares({shares!r}, 3)
    after = os.pread(memory, end - start, start)
    # Built after the reads: bytes.fromhex writes its result through a buffer on the stack.
    patterns = {{name: bytes.fromhex(text) for name, text in {patterns}.items()}}
    print(json.dumps({{
        "result": result == ({key}).to_bytes(32, "big"),
        "before": {{name: before.count(p) for name, p in patterns.items() if before.count(p)}},
        "after": {{name: after.count(p) for name, p in patterns.items() if after.count(p)}},
    }}), flush=True)

def fork():
    process = multiprocessing.get_context("fork").Process(target=child)
    process.start()
    process.join()
    assert process.exitcode == 0

thread = threading.Thread(target=fork)
thread.start()
thread.join()
"""


@posix_only
def test_no_key_left_on_the_stack_of_a_process_forked_from_a_thread() -> None:
    code = FORK_SCAN.format(
        patterns={name: p.hex() for name, p in word_patterns(KEY).items()},
        shares=SHARES[:3],
        key=hex(int.from_bytes(KEY, "big")),
    )
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    scan = json.loads(result.stdout.splitlines()[-1])
    assert scan == {"result": True, "before": {}, "after": {}}


# Through the kernel's vDSO generator nothing can be scripted, but the key it drew is the
# result: none of its words may stay in the stack, where the vDSO's own frames lay too.
VDSO_SCAN = """
import os, pyvelkor_core
with open("/proc/self/maps") as maps:
    start, end = next(tuple(int(v, 16) for v in line.split()[0].split("-"))
                      for line in maps if line.split()[5:] == ["[stack]"])
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
    # The scrub clears a fixed depth below the entry point: it must fit in the smallest thread
    # stack Python allows, 32 KiB on most processors (more where the C library needs more, as
    # on s390x).
    result = run_python(
        """
        import threading, pyvelkor_core
        size = 32768
        while True:
            try:
                threading.stack_size(size)
                break
            except ValueError:
                size += 4096
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


@pytest.fixture(scope="session")
def switched_stack_library(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """Builds the helper that calls into Python on a stack of its own (native/switched_stack.c)."""
    return build_native(tmp_path_factory, "switched_stack")


@pytest.fixture(scope="session")
def stack_end_library(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """Builds the helper that calls into Python near the end of the stack (native/stack_end.c)."""
    return build_native(tmp_path_factory, "stack_end")


CALLS = f"""
import ctypes, pyvelkor_core
key = {KEY!r}
shares = {SHARES!r}
def calls():
    # One call that returns its result and one that fails, whose scrub is the deepest.
    assert pyvelkor_core.combine_shares(shares[:3], 3) == key
    try:
        pyvelkor_core.combine_shares(shares[:2] + ["1:0:0:0"], 3)
    except ValueError:
        pass
    return True
"""


# A stack the thread switched to, below the main thread's stack or above its top: its bounds are
# unknown, so the scrub must leave it alone. Writing below the caller as far as its depth reached
# past the end of such a small stack, into the canary page under it or the guard page below.
@pytest.mark.parametrize("stack_size", [12 * 1024, 16 * 1024])
@pytest.mark.parametrize("above", [False, True], ids=["below", "above"])
def test_calls_on_a_switched_stack_write_nothing_outside_it(
    switched_stack_library: Path, above: bool, stack_size: int
) -> None:
    result = run_python(
        CALLS
        + f"""
helper = ctypes.PyDLL({str(switched_stack_library)!r})
helper.switched_call.argtypes = [ctypes.py_object, ctypes.c_int, ctypes.c_size_t]
calls()  # the thread's own stack bounds are read on the ordinary stack first
print(helper.switched_call(calls, {int(above)}, {stack_size}))
"""
    )
    assert result.returncode == 0, result.stderr
    if result.stdout.strip() == "2":  # qemu-user lays out the address space its own way
        pytest.skip("no mapping could be placed there beside the main thread's stack")
    assert result.stdout.strip() == "0"  # the call returned and the canaries are intact


# Signals that land while the scrub clears down to the end of a small thread's stack: the kernel's
# frame and the handler's run below the wiped region. A timer sends them to the calling thread
# only (the main thread blocks them); the calls run with 14 KiB left, where the scrub is clamped.
def load_stack_end(library: Path) -> str:
    """Code that loads the stack-end helper as `helper`, its call typed."""
    return f"""helper = ctypes.PyDLL({str(library)!r})
helper.call_near_stack_end.argtypes = [ctypes.py_object, ctypes.c_size_t]
helper.call_near_stack_end.restype = ctypes.c_long"""


@pytest.mark.skipif(
    sys.version_info >= (3, 14),
    reason="CPython 3.14 and later run no Python code with less than their own stack margin left",
)
@pytest.mark.parametrize("thread_stack", [32 * 1024, 64 * 1024])
def test_signals_during_the_scrub_near_the_end_of_the_stack(stack_end_library: Path, thread_stack: int) -> None:
    result = run_python(
        CALLS
        + f"""
import signal, threading
{load_stack_end(stack_end_library)}
received = []
signal.signal(signal.SIGALRM, lambda *_: received.append(1))
def work():
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {{signal.SIGALRM}})
    helper.call_near_stack_end(lambda: all(calls() for _ in range(1000)), 14 * 1024)
signal.pthread_sigmask(signal.SIG_BLOCK, {{signal.SIGALRM}})
threading.stack_size({thread_stack})
worker = threading.Thread(target=work)
signal.setitimer(signal.ITIMER_REAL, 0.0001, 0.00005)
worker.start()
worker.join()
signal.setitimer(signal.ITIMER_REAL, 0)
signal.signal(signal.SIGALRM, signal.SIG_IGN)  # drops one still pending for the main thread
print(len(received) > 0)
"""
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "True"


# RLIMIT_STACK changed after the main thread's bounds were read. Lowered to 1 MiB, the calls run
# 16 KiB above the new limit, where the scrub's depth would grow the stack past it; raised to
# 64 MiB, a combine 12 MiB down leaves no key word below it.
@pytest.mark.parametrize(("limit_mib", "room"), [(1, 16 * 1024), (64, 52 << 20)], ids=["lowered", "raised"])
def test_calls_follow_a_changed_stack_limit(stack_end_library: Path, limit_mib: int, room: int) -> None:
    if os.environ.get("VELKOR_EMULATOR"):
        # The guest's [stack] is qemu's own mapping, made whole at the start: it neither grows nor
        # follows a changed limit, so a call near the lowered limit only overflows the interpreter.
        pytest.skip("qemu-user maps the main thread's stack whole at its start: it does not follow the limit")
    patterns = {name: p.hex() for name, p in word_patterns(KEY).items()}
    result = run_python(
        CALLS
        + f"""
import json, os, resource
{load_stack_end(stack_end_library)}
patterns = {{name: bytes.fromhex(text) for name, text in {patterns}.items()}}
found = {{}}

def scan():
    # Nothing that loads the key into a register between the reads: the interpreter's next lazy
    # symbol binding would write it to the stack.
    with open("/proc/self/maps") as maps:
        start, end = next(tuple(int(v, 16) for v in line.split()[0].split("-"))
                          for line in maps if line.split()[5:] == ["[stack]"])
    memory = os.open("/proc/self/mem", os.O_RDONLY)
    before = os.pread(memory, end - start, start)
    result = pyvelkor_core.combine_shares(shares[:3], 3)
    after = os.pread(memory, end - start, start)
    found.update({{name: after.count(p) - before.count(p) for name, p in patterns.items()
                  if after.count(p) > before.count(p)}})
    calls()
    assert result == key

calls()  # the bounds are read with the limit as it was
hard = resource.getrlimit(resource.RLIMIT_STACK)[1]
if hard != resource.RLIM_INFINITY and hard < {limit_mib << 20}:
    print("hard limit")
    raise SystemExit
resource.setrlimit(resource.RLIMIT_STACK, ({limit_mib << 20}, hard))
print(helper.call_near_stack_end(scan, {room}))
print(json.dumps(found))
"""
    )
    assert result.returncode == 0, result.stderr
    if result.stdout.strip() == "hard limit":
        pytest.skip(f"the hard limit of the stack is below {limit_mib} MiB")
    left, found = result.stdout.splitlines()
    assert int(left) == room
    if limit_mib > 8:
        assert json.loads(found) == {}
