"""Internal failures end to end: the operating system's generator is made to fail in a child
process (the getrandom fault library is preloaded) and the failure must surface as
PanicException with a report on standard error, never as an ordinary error or a crash."""

from __future__ import annotations

import re
from pathlib import Path

from conftest import needs_native_cancellation, pending_cancellation_program, run_python

EIO = 5

REPORT = re.compile(
    r"\nthread '<unnamed>' hit an internal failure at (src/core/[\w./]+\.cpp):\d+:\d+:\n"
    r"Error: OS Error: 5\n"
)
HINT = "note: to see the native stack trace, run Python under gdb with `catch throw`"


def test_generator_failure_raises_panic_exception(fault_library: Path) -> None:
    result = run_python(
        f"""
        import pyvelkor_core
        fault.fault_arm(0, {EIO})
        types = []
        for attempt in range(2):
            try:
                try:
                    pyvelkor_core.generate_key()
                except Exception:
                    print("caught by except Exception")
            except BaseException as error:
                types.append(type(error))
                print(type(error).__module__, type(error).__qualname__, error.args)
                print(issubclass(type(error), BaseException), issubclass(type(error), Exception))
        print(types[0] is types[1])
        print("PanicException" in dir(pyvelkor_core))
        fault.fault_disarm()
        print(len(pyvelkor_core.generate_key()))
        """,
        preload=fault_library,
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines == [
        "pyo3_runtime PanicException ('Error: OS Error: 5',)",
        "True False",
        "pyo3_runtime PanicException ('Error: OS Error: 5',)",
        "True False",
        "True",  # the same type object for both failures
        "False",  # the type is not an attribute of the module
        "32",  # the module works again once the generator does
    ]
    # One report per failure, written to file descriptor 2; the hint only after the first.
    reports = list(REPORT.finditer(result.stderr))
    assert [report.group(1) for report in reports] == ["src/core/random/random_source_linux.cpp"] * 2
    assert result.stderr.count(HINT) == 1
    assert reports[0].end() <= result.stderr.index(HINT) < reports[1].start()


def test_panic_exception_type_and_uncaught_exit(fault_library: Path) -> None:
    result = run_python(
        f"""
        import pyvelkor_core
        fault.fault_arm(0, {EIO})
        try:
            pyvelkor_core.generate_key()
        except BaseException as error:
            kind = type(error)
        print(kind.__name__, kind.__bases__ == (BaseException,))
        print(kind.__doc__.startswith("\\n") and kind.__doc__.endswith("\\n"))
        print("BaseException" in kind.__doc__ and "SystemExit" in kind.__doc__)
        pyvelkor_core.generate_key()  # uncaught: the interpreter exits with the traceback
        """,
        preload=fault_library,
    )
    assert result.returncode == 1
    assert result.stdout.split("\n")[:3] == ["PanicException True", "True", "True"]
    assert result.stderr.rstrip().endswith("pyo3_runtime.PanicException: Error: OS Error: 5")


def test_report_bypasses_sys_stderr(fault_library: Path) -> None:
    # Replacing sys.stderr must not capture the report: it goes straight to the process's
    # standard error stream.
    result = run_python(
        f"""
        import io, sys, pyvelkor_core
        captured = sys.stderr = io.StringIO()
        fault.fault_arm(0, {EIO})
        try:
            pyvelkor_core.generate_key()
        except BaseException:
            pass
        sys.stderr = sys.__stderr__
        print(repr(captured.getvalue()))
        """,
        preload=fault_library,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "''"
    assert REPORT.search(result.stderr)


@needs_native_cancellation
def test_pending_cancellation_waits_for_the_end_of_the_report(fault_library: Path) -> None:
    # write() is a cancellation point, and the report is written from noexcept code: a deferred
    # cancellation pending when a call fails must not act there (std::terminate), nor be lost.
    # It ends the thread at its next cancellation point, once the call has raised.
    program = pending_cancellation_program(
        f"fault.fault_arm(0, {EIO})",
        """
        try:
            pyvelkor_core.split_secret(b"k" * 32, 2, 3)
        except BaseException as error:
            seen.append(type(error).__name__)
        """,
    )
    result = run_python(
        program
        + """
        fault.fault_disarm()
        print(seen, "ended" if not os.path.exists(task) else "still running")
        shares = pyvelkor_core.split_secret(b"k" * 32, 2, 3)
        print(pyvelkor_core.combine_shares(shares[1:], 2) == b"k" * 32)
        """,
        preload=fault_library,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["['PanicException'] ended", "True"]
    assert [report.group(1) for report in REPORT.finditer(result.stderr)] == ["src/core/random/random_source_linux.cpp"]
