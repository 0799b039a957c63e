"""The path of the random source on Linux: the kernel's vDSO generator with one state for the
process, mapped at the first request and wiped in a forked child, and the system calls it saves."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from conftest import needs_native_cancellation, needs_vdso, pending_cancellation_program, run_python, scaled


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork on this platform")
def test_parent_and_child_draw_different_keys_and_coefficients() -> None:
    result = run_python(
        """
        import os, pyvelkor_core
        pyvelkor_core.generate_key()  # the generator's state exists before the fork
        read, write = os.pipe()
        pid = os.fork()
        draws = pyvelkor_core.generate_key().hex() + " " + pyvelkor_core.split_secret(bytes(32), 2, 2)[0]
        if pid == 0:
            os.write(write, draws.encode())
            os._exit(0)
        os.waitpid(pid, 0)
        print(draws)
        print(os.read(read, 4096).decode())
        """
    )
    assert result.returncode == 0, result.stderr
    parent, child = (line.split() for line in result.stdout.splitlines())
    assert parent[0] != child[0]
    # The secret is zero and k = 2, so the share at 1 is the four coefficients themselves.
    assert parent[1] != child[1]


@needs_vdso
def test_one_generator_state_is_mapped_at_the_first_request() -> None:
    result = run_python(
        """
        import pyvelkor_core
        def states():
            # The flag "dp" marks a droppable mapping: here only the vDSO generator's state.
            with open("/proc/self/smaps") as smaps:
                flags = [line.split()[1:] for line in smaps if line.startswith("VmFlags:")]
            return [mapping for mapping in flags if "dp" in mapping]
        print(len(states()))
        try:
            pyvelkor_core.split_secret(bytes(31), 2, 3)  # refused before any request
        except ValueError:
            pass
        print(len(states()))
        for _ in range(1000):
            shares = pyvelkor_core.split_secret(pyvelkor_core.generate_key(), 3, 5)
        print(len(states()), *states()[0])
        """
    )
    assert result.returncode == 0, result.stderr
    before, refused, after = result.stdout.splitlines()
    assert (before, refused) == ("0", "0")
    count, *flags = after.split()
    assert count == "1"
    # Wiped in a forked child, left out of core dumps, droppable.
    assert {"wf", "dd", "dp"} <= set(flags)


@needs_vdso
@pytest.mark.skipif(shutil.which("strace") is None, reason="strace is not installed (Linux only)")
def test_splits_make_no_getrandom_system_call_once_the_state_exists(tmp_path: Path) -> None:
    log = tmp_path / "strace.log"
    code = """
        import os, pyvelkor_core
        secret = pyvelkor_core.generate_key()  # maps the state, which asks the kernel for its key
        os.getrandom(77)
        for _ in range(2000):
            pyvelkor_core.split_secret(secret, 2, 3)
        os.getrandom(78)
        """
    command = ["strace", "-f", "-e", "trace=getrandom", "-o", str(log), sys.executable, "-c", textwrap.dedent(code)]
    subprocess.run(command, check=True, timeout=scaled(120))
    lines = log.read_text().splitlines()
    start, end = (
        next(i for i, line in enumerate(lines) if re.search(rf", {size}, 0\) = {size}$", line)) for size in (77, 78)
    )
    # The getrandom() path made 16,000 calls here. The vDSO asks the kernel again only after the
    # kernel has reseeded its generator (at most once a minute): one call if that falls here.
    assert len(lines[start + 1 : end]) <= 1, lines[start + 1 : end]


@needs_native_cancellation
@pytest.mark.parametrize("call", ["generate_key()", "split_secret(bytes(32), 2, 3)"])
def test_pending_cancellation_acts_after_the_getrandom_call(fault_library: Path, call: str) -> None:
    # getrandom() is a cancellation point, and the preloaded stand-in takes every request there.
    # A deferred cancellation acted on inside it would end the thread with the interpreter lock
    # held and leave the process waiting for ever: it must act at the thread's next cancellation
    # point after the call, where the interpreter has released its lock. A child left waiting
    # runs past its time limit, which fails the test.
    code = pending_cancellation_program(
        "calls = fault.fault_calls()",
        f"""
        result = pyvelkor_core.{call}
        seen.append((type(result).__name__, fault.fault_calls() > calls))
        """,
    )
    code += """
        print(seen, "ended" if not os.path.exists(task) else "still running")
        """
    result = run_python(code, preload=fault_library, timeout=90)
    assert result.returncode == 0, result.stderr
    expected = "bytes" if call.startswith("generate_key") else "list"
    assert result.stdout.splitlines() == [f"[('{expected}', True)] ended"]
