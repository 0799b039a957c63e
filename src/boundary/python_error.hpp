// Error results of the module functions and the helpers that turn failed interpreter calls into
// them. An error result is the caller's fault (bad arguments or data); it becomes exactly one
// Python exception and nothing is written anywhere. Internal failures, which are not the
// caller's fault, travel as velkor::core::InternalFailure instead (see entry_guard.hpp).
#pragma once

#include <exception>
#include <string>
#include <string_view>

#include "boundary/owned_ref.hpp"
#include "boundary/python_api.hpp"
#include "core/source_place.hpp"
#include "core/wipe.hpp"

namespace velkor::boundary {

// An error to be raised: either an exception type with a message text, turned into an
// exception object only when it is raised, or an exception object taken from the interpreter
// earlier in the call, raised again unchanged. Thrown by a body; the entry guard raises it.
class PythonError final : public std::exception {
 public:
  // An exception of `type` (a borrowed, immortal built-in type such as PyExc_ValueError) whose
  // args will be the one-element tuple (message,). The message is copied into wiping storage:
  // it may quote the caller's data (a rejected share text).
  PythonError(PyObject* type, std::string_view message) : type_(type), message_(message) {}
  // An exception object fetched from the interpreter.
  explicit PythonError(OwnedRef exception) noexcept : exception_(std::move(exception)) {}

  [[nodiscard]] const char* what() const noexcept override { return "Python error result"; }

  // The fetched exception object, or null for a type-and-message error.
  [[nodiscard]] PyObject* exception() const noexcept { return exception_.get(); }
  // Takes the fetched exception object out of the error.
  [[nodiscard]] OwnedRef take_exception() noexcept { return std::move(exception_); }

  // Makes this error the interpreter's current exception.
  void raise() noexcept;

 private:
  PyObject* type_ = nullptr;
  core::SecretString message_;
  OwnedRef exception_;
};

// A PanicException that came back from Python code the module called (a user __index__ or
// iterator that itself called into the module and failed). Its notice and traceback have
// already been printed; the guard raises a fresh PanicException with this message and writes
// no report of its own.
struct ResumedPanic {
  std::string message;
};

// Takes the interpreter's pending exception after a failed interpreter call and throws it as a
// PythonError. A PanicException is not an error result: it is resumed as an internal failure
// (ResumedPanic). Must only be called while an exception is set.
[[noreturn]] void throw_fetched_error();

// Takes the interpreter's pending exception after a failed interpreter call, for a caller that
// drops or replaces it. A PanicException is never dropped: it is resumed as by
// throw_fetched_error. Must only be called while an exception is set.
[[nodiscard]] OwnedRef fetch_error();

// Runs the Python handlers of the signals that arrived since the last check (the interpreter's
// own raises KeyboardInterrupt for SIGINT), as a call that works for long without running Python
// code must do every so often. An exception a handler raises is thrown as a PythonError (a
// PanicException is resumed, as by throw_fetched_error), which ends the call. Off the main thread
// no handler runs, but the interpreter may collect garbage here: it may run any Python code.
// It is the core's interrupt poll (core/interrupt_poll.hpp) in the module.
void check_signals();

// Checks the result of an interpreter call that must produce a new object. A null result means
// the interpreter could not create it: the pending exception is printed with PyErr_Print and
// the call ends in the internal failure "Python API call failed".
[[nodiscard]] OwnedRef expect_object(PyObject* result,
                                     core::SourcePlace where = core::SourcePlace::current());

}  // namespace velkor::boundary
