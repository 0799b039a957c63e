// PanicException and the standard-error report of an internal failure.
//
// PanicException derives from BaseException, so `except Exception` does not swallow it. It is
// created on first use and kept for the life of the process, so every internal failure raises
// the same type object. It is not an attribute of the module: callers reach it through a caught
// exception (type(e)).
#pragma once

#include <string_view>

#include "boundary/python_api.hpp"
#include "core/source_place.hpp"

namespace velkor::boundary {

// The PanicException type (borrowed), created at most once per process. Null, with the
// interpreter's exception set, if it could not be created.
[[nodiscard]] PyObject* panic_exception_type() noexcept;

// True when `exception` is an instance of exactly PanicException (not of a subclass).
[[nodiscard]] bool is_panic_exception(PyObject* exception) noexcept;

// Sets PanicException(message) as the interpreter's current exception.
void raise_panic(std::string_view message) noexcept;

// Writes the report of an internal failure straight to file descriptor 2 (not sys.stderr): an
// empty line, the thread and source place, the message, and after the first failure of the
// process only, a line telling how to get a stack trace. Thread cancellation is held off while
// it writes (as in write_stderr).
void write_failure_report(std::string_view message, const core::SourcePlace& where) noexcept;

// Writes raw text to file descriptor 2, retrying short writes; errors are ignored, since there
// is nowhere left to report them. A deferred thread cancellation does not act inside it: it stays
// pending until the thread's next cancellation point.
void write_stderr(std::string_view text) noexcept;

}  // namespace velkor::boundary
