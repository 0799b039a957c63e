"""Faults the module must survive: the random generator failing in the middle of a split,
reservations that cannot be had or not even represented, concurrent use from threads, calls
from a thread whose small stack is nearly used up, and Python code that runs at the interrupt
polls of a split or stops it there."""

from __future__ import annotations

import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

import pyvelkor_core
from conftest import WINDOWS, posix_only, run_python, smallest_thread_stack

EIO = 5


def test_generator_failure_in_the_middle_of_a_split(fault_library: Path) -> None:
    result = run_python(
        f"""
        import gc, sys, pyvelkor_core
        secret = bytes(range(32))
        before = sys.getrefcount(secret)

        def failing_split():
            # k = 3 draws 16 values; the generator fails after 5 of them.
            fault.fault_arm(5, {EIO})
            calls = fault.fault_calls()
            try:
                shares = pyvelkor_core.split_secret(secret, 3, 5)
            except BaseException as error:
                fault.fault_disarm()
                return type(error).__name__, str(error), fault.fault_calls() - calls
            return "returned", shares, None

        print(*failing_split(), sep="|")
        def rss():
            # Closed here: an unclosed file's ResourceWarning (shown by debug and development-mode
            # interpreters) would load the warning machinery between the two counts.
            with open("/proc/self/statm") as statm:
                return int(statm.read().split()[1])
        for _ in range(200):
            failing_split()
        gc.collect()
        start = rss()
        for _ in range(5000):
            failing_split()
        gc.collect()
        print("pages grown:", rss() - start)
        print("refcount unchanged:", sys.getrefcount(secret) == before)
        shares = pyvelkor_core.split_secret(secret, 3, 5)
        print("works again:", pyvelkor_core.combine_shares(shares[2:], 3) == secret)
        """,
        preload=fault_library,
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    # Six requests were made: five that succeeded and the one that failed; no share came back.
    assert lines[0] == "PanicException|Error: OS Error: 5|6"
    assert int(lines[1].split(":")[1]) <= 64  # 256 KiB of slack over 5000 failures
    assert lines[2:] == ["refcount unchanged: True", "works again: True"]


# Representable reservations that cannot be had give MemoryError; sizes that cannot be represented
# (above PTRDIFF_MAX bytes) the internal failure. The coefficient table is reserved and drawn
# first, so a result list that fails does after 8 (k - 1) requests.
RESERVATIONS_64_BIT = [
    (2**55, 2**55, "MemoryError() 0"),  # the coefficient table
    (10**17, 10**17, "MemoryError() 0"),
    (2, 2**55, "MemoryError() 8"),  # the result list of n share strings
    (3, 10**9, "MemoryError() 16"),
    # Sizes that cannot be represented: a row of k - 1 values, then the list of n handles.
    (2**59 + 1, 2**59 + 1, "PanicException('capacity overflow') 0"),
    (2, 2**59, "PanicException('capacity overflow') 8"),
]
# With a 32-bit size_t the same limits come sooner: a row of 16-byte values above 2^27 values,
# a list of 8-byte handles above 2^28 strings.
RESERVATIONS_32_BIT = [
    (2**26 + 1, 2**26 + 1, "MemoryError() 0"),  # four rows of 2^30 bytes: no block holds them
    (2, 2**27, "MemoryError() 8"),  # the texts of 2^27 shares: more than 2^31 bytes
    (2**27 + 1, 2**27 + 1, "PanicException('capacity overflow') 0"),
    (2**55, 2**55, "PanicException('capacity overflow') 0"),
    (2, 2**28, "PanicException('capacity overflow') 8"),
    (3, 10**9, "PanicException('capacity overflow') 16"),
]


# Windows has no address-space limit to set: there only the reservations larger than any address
# space are tried (Wine commits what Linux overcommits).
RESERVATIONS_WINDOWS = [row for row in RESERVATIONS_64_BIT if row[:2] != (3, 10**9)]


@pytest.mark.parametrize(
    ("k", "n", "outcome"),
    RESERVATIONS_WINDOWS if WINDOWS else RESERVATIONS_64_BIT if sys.maxsize > 2**32 else RESERVATIONS_32_BIT,
)
def test_reservation_that_cannot_be_had_or_sized(request: pytest.FixtureRequest, k: int, n: int, outcome: str) -> None:
    # The requests to the generator: counted by the getrandom library, or the stand-in of
    # BCryptGenRandom on Windows.
    preload = request.getfixturevalue("bcrypt_fault" if WINDOWS else "fault_library")
    calls = "len(fault.calls)" if WINDOWS else "fault.fault_calls()"
    limit = "" if WINDOWS else "resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))"
    result = run_python(
        f"""
        import os, pyvelkor_core
        if {not WINDOWS}:
            import resource
            {limit}  # whatever the overcommit policy
        secret = os.urandom(32)
        calls = {calls}
        try:
            pyvelkor_core.split_secret(secret, {k}, {n})
        except BaseException as error:
            print(repr(error), {calls} - calls)
        shares = pyvelkor_core.split_secret(secret, 2, 3)
        print(pyvelkor_core.combine_shares(shares[1:], 2) == secret)
        """,
        preload=preload,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [outcome, "True"]


@pytest.mark.parametrize(("k", "n"), [(2, 2**63), (2**63, 2**63)])
def test_unrepresentable_reservation_is_capacity_overflow(k: int, n: int) -> None:
    result = run_python(
        f"""
        import pyvelkor_core
        try:
            pyvelkor_core.split_secret(bytes(32), {k}, {n})
        except BaseException as error:
            print(type(error).__name__, error)
        print(len(pyvelkor_core.split_secret(bytes(32), 2, 3)))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["PanicException capacity overflow", "3"]
    assert "\ncapacity overflow\n" in result.stderr


def test_concurrent_round_trips_from_eight_threads() -> None:
    failures: list[str] = []
    counts = [0] * 8
    keys: list[bytes] = []  # one generator state serves all threads: no key may come twice
    deadline = time.monotonic() + 3.0  # how long they run: at least one round each, whatever the load

    def worker(number: int) -> None:
        k = 2 + number  # each thread uses its own threshold
        while counts[number] == 0 or time.monotonic() < deadline:
            secret = pyvelkor_core.generate_key()
            shares = pyvelkor_core.split_secret(secret, k, k + 3)
            rebuilt = pyvelkor_core.combine_shares(shares[3:], k)
            if rebuilt != secret:
                failures.append(f"thread {number}: {secret.hex()} -> {rebuilt.hex()}")
                return
            counts[number] += 1
            keys.append(secret)

    threads = [threading.Thread(target=worker, args=(number,)) for number in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    assert all(count > 0 for count in counts)
    assert len(set(keys)) == len(keys)


# What each probe calls at the bottom of the recursion: the body of call(), which returns "ok"
# when the call did what it should. The first is the builtin baseline, the last runs with the
# getrandom stand-in preloaded (`fault`).
SMALL_STACK_CALLS = {
    "builtin ValueError": "try:\n    int('zz')\nexcept ValueError:\n    return 'ok'",
    "generate_key": "return 'ok' if len(pyvelkor_core.generate_key()) == 32 else 'short'",
    "split_secret": "return 'ok' if len(pyvelkor_core.split_secret(b'k' * 32, 2, 3)) == 3 else 'no'",
    "combine_shares": "return 'ok' if len(pyvelkor_core.combine_shares(share, 1)) == 32 else 'no'",
    "combine_shares ValueError": (
        "try:\n    pyvelkor_core.combine_shares(['1:' + '0' * 32 + ':zz'], 1)\nexcept ValueError:\n    return 'ok'"
    ),
    "split_secret TypeError": (
        "try:\n    pyvelkor_core.split_secret(bytearray(32), 2, 3)\nexcept TypeError:\n    return 'ok'"
    ),
    "PanicException": (
        f"fault.fault_arm(0, {EIO})\ntry:\n    pyvelkor_core.split_secret(b'k' * 32, 2, 3)\n"
        "except BaseException as error:\n    fault.fault_disarm()\n"
        "    return 'ok' if type(error).__name__ == 'PanicException' else repr(error)"
    ),
}

SMALL_STACK = """
import resource, threading
import pyvelkor_core
resource.setrlimit(resource.RLIMIT_CORE, (0, 0))  # the deepest probes crash: no core files
share = pyvelkor_core.split_secret(b"k" * 32, 2, 3)[:1]
threading.stack_size({size})

def call():
{body}

def f(n):
    return list(map(f, [n - 1]))[0] if n else call()

results = []
thread = threading.Thread(target=lambda: results.append(f({depth})))
thread.start()
thread.join()
print(results)
"""


@pytest.mark.parametrize("stack_size", [64 * 1024, 256 * 1024])
def test_calls_near_the_end_of_a_small_thread_stack(fault_library: Path, stack_size: int) -> None:
    try:
        threading.stack_size(threading.stack_size(stack_size))
    except ValueError:
        pytest.skip(f"threads of {stack_size} bytes are refused here: the C library's minimum is larger")

    # Every call works down to within 8 levels of the deepest recursion at which the builtin
    # baseline still works: the module's own frames take a few levels, the stack scrub none.
    # Each probe runs in its own interpreter, since the deeper ones end in SIGSEGV. CPython 3.14
    # and later refuse stacks below their stack-overflow margin: the smallest they take then.
    stack_size = smallest_thread_stack(stack_size)

    def probe(name: str, depth: int) -> subprocess.CompletedProcess[str]:
        body = textwrap.indent(SMALL_STACK_CALLS[name], "    ")
        code = SMALL_STACK.format(size=stack_size, body=body, depth=depth)
        return run_python(code, preload=fault_library if name == "PanicException" else None)

    def works(name: str, depth: int) -> bool:
        result = probe(name, depth)
        return result.returncode == 0 and result.stdout == "['ok']\n"

    deepest, failing = 0, stack_size // 128
    assert works("builtin ValueError", deepest) and not works("builtin ValueError", failing)
    while failing - deepest > 1:
        middle = (deepest + failing) // 2
        deepest, failing = (middle, failing) if works("builtin ValueError", middle) else (deepest, middle)
    for name in list(SMALL_STACK_CALLS)[1:]:
        result = probe(name, deepest - 8)
        assert (result.returncode, result.stdout) == (0, "['ok']\n"), (name, deepest, result.stderr[-3000:])


# start() has SIGINT come half a second later, and sent() waits until it came. On POSIX another process sends it. On
# Windows Ctrl-C reaches a console process as a call of the C runtime's SIGINT handler in a
# thread of the process; Wine delivers no console control event to a process without a console
# (GenerateConsoleCtrlEvent fails), so a timer thread calls the C runtime's raise(SIGINT), as
# that thread would.
SEND_SIGINT = (
    """\
import ctypes
kernel32 = ctypes.WinDLL("kernel32")
kernel32.CreateTimerQueueTimer.argtypes = [ctypes.c_void_p] * 4 + [ctypes.c_ulong] * 3
timer = ctypes.c_void_p()
c_raise = ctypes.cast(ctypes.CDLL("ucrtbase")["raise"], ctypes.c_void_p)
once = 8  # WT_EXECUTEONLYONCE
def start():
    assert kernel32.CreateTimerQueueTimer(ctypes.byref(timer), None, c_raise, signal.SIGINT, 500, 0, once)
sent = lambda: None
"""
    if WINDOWS
    else """\
# The signal comes half a second after the call starts, however long the killer takes to start:
# it waits for a byte written just before the call.
ready, go = os.pipe()
killer = subprocess.Popen(
    [sys.executable, "-c", "import os, sys, time; os.read(0, 1); time.sleep(0.5); os.kill(int(sys.argv[1]), 2)",
     str(os.getpid())],
    stdin=ready,
)
os.close(ready)
start = lambda: os.write(go, b"!")
sent = killer.wait
"""
)


# Calls that take many minutes (a split evaluates n polynomials of degree k - 1; a combine's
# weights take k^2 steps): a call that ignores the SIGINT sent half a second in runs past the
# time limit of the child.
@pytest.mark.parametrize(
    "call",
    [
        pytest.param("pyvelkor_core.split_secret(secret, 300_000, 300_000)", id="split"),
        pytest.param("pyvelkor_core.combine_shares(shares, len(shares))", id="combine"),
    ],
)
def test_sigint_ends_a_long_call(call: str) -> None:
    result = run_python(
        f"""
        import os, signal, subprocess, sys, pyvelkor_core
        # A shell's background job inherits SIGINT ignored, and the interpreter then installs no
        # handler of its own: install it here.
        signal.signal(signal.SIGINT, signal.default_int_handler)
        secret = bytes(range(32))
        shares = pyvelkor_core.split_secret(secret, 2, 600_000)
        counts = sys.getrefcount(secret), sys.getrefcount(shares[0])
{textwrap.indent(SEND_SIGINT, "        ")}
        try:
            start()
            {call}
        except KeyboardInterrupt as error:
            print("interrupted", repr(error))
        sent()
        print("references as before:", (sys.getrefcount(secret), sys.getrefcount(shares[0])) == counts)
        again = pyvelkor_core.split_secret(secret, 3, 5)
        print("works again:", pyvelkor_core.combine_shares(again[2:], 3) == secret)
        """,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "interrupted KeyboardInterrupt()",
        "references as before: True",
        "works again: True",
    ]


@posix_only
def test_python_code_at_a_poll_never_sees_the_result_list_unfilled() -> None:
    # A signal handler runs at the interrupt polls of a split, and gc.get_objects() lists every
    # tracked object there: the result list must not exist before it is full. The slice reads
    # every item (a NULL one crashes the interpreter). The handler must have run at least once
    # inside the call while half of the share strings existed.
    result = run_python(
        """
        import gc, signal, sys, pyvelkor_core
        secret = bytes(range(32))
        n = 100_000
        blocks = sys.getallocatedblocks()
        runs, busy = [], []

        def handler(signum, frame):
            if busy:  # a signal that arrives while the handler runs: nothing more to see
                return
            busy.append(True)
            lists = [len(found[:]) for found in gc.get_objects() if type(found) is list and len(found) == n]
            inside = "shares" not in globals()
            runs.append((inside and sys.getallocatedblocks() - blocks > n // 2, lists))
            busy.clear()

        signal.signal(signal.SIGALRM, handler)
        # A signal every 0.2 ms of real time, which passes at least as fast as the split's own
        # work: whatever the load, one is pending at each poll (about a millisecond of work apart).
        signal.setitimer(signal.ITIMER_REAL, 0.0002, 0.0002)
        shares = pyvelkor_core.split_secret(secret, 2, n)
        signal.setitimer(signal.ITIMER_REAL, 0)
        print(any(strings_made for strings_made, _ in runs), {size for _, lists in runs for size in lists})
        print(pyvelkor_core.combine_shares(shares[-2:], 2) == secret)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() in (["True set()", "True"], ["True {100000}", "True"])


@posix_only
def test_interrupted_split_leaves_no_share_text_in_memory() -> None:
    # A KeyboardInterrupt once a quarter of the share strings exist: every str the module made
    # and never handed out is wiped before it is freed. The scan reads every writable mapping
    # for anything shaped like a share text (the pattern does not match itself), before the
    # split as a control and after it.
    result = run_python(
        """
        import os, re, signal, sys, pyvelkor_core
        n = 200_000
        shape = re.compile(rb"[0-9]+(?::[0-9a-f]{32}){4}")

        def share_texts():
            memory = os.open("/proc/self/mem", os.O_RDONLY)
            with open("/proc/self/maps") as maps:
                regions = [line.split()[:2] for line in maps]
            count = 0
            for span, mode in regions:
                if mode.startswith("rw"):
                    start, end = (int(value, 16) for value in span.split("-"))
                    try:
                        count += sum(1 for _ in shape.finditer(os.pread(memory, end - start, start)))
                    except OSError:
                        pass
            os.close(memory)
            return count

        before = share_texts()
        blocks = sys.getallocatedblocks()

        def handler(signum, frame):
            if sys.getallocatedblocks() - blocks > n // 4:
                raise KeyboardInterrupt

        signal.signal(signal.SIGALRM, handler)
        # A signal every 0.2 ms of real time, which passes at least as fast as the split's own
        # work: whatever the load, one is pending at each poll (about a millisecond of work apart).
        signal.setitimer(signal.ITIMER_REAL, 0.0002, 0.0002)
        try:
            pyvelkor_core.split_secret(bytes(range(32)), 2, n)
            outcome = "returned"
        except KeyboardInterrupt:
            outcome = "interrupted"
        signal.setitimer(signal.ITIMER_REAL, 0)
        print(outcome, before, share_texts())
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["interrupted", "0", "0"]
