#include "boundary/python_error.hpp"

#include "boundary/forced_unwind.hpp"
#include "boundary/panic.hpp"
#include "core/internal_failure.hpp"

namespace velkor::boundary {

void PythonError::raise() noexcept {
  if (exception_) {
    PyErr_SetRaisedException(exception_.release());
    return;
  }
  PyObject* message =
      PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size()));
  if (message == nullptr) {
    return;  // The interpreter's own error (MemoryError) stands in for ours.
  }
  PyErr_SetObject(type_, message);
  Py_DECREF(message);
}

namespace {

// str() of an exception as UTF-8, or the fallback text when it cannot be had.
std::string exception_text(PyObject* exception, const char* fallback) {
  OwnedRef text = OwnedRef::steal(call_python(PyObject_Str, exception));
  if (text) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size)) {
      return std::string(utf8, static_cast<std::size_t>(size));
    }
  }
  PyErr_Clear();
  return fallback;
}

}  // namespace

void throw_fetched_error() {
  throw PythonError(fetch_error());
}

OwnedRef fetch_error() {
  OwnedRef exception = OwnedRef::steal(PyErr_GetRaisedException());
  if (!exception) {
    // A failed call that set no exception breaks the interpreter's own contract.
    core::internal_failure("interpreter call failed without setting an exception");
  }
  if (!is_panic_exception(exception.get())) {
    return exception;
  }
  std::string message = exception_text(exception.get(), "Unwrapped panic from Python code");
  write_stderr(
      "pyvelkor_core: resuming an internal failure (PanicException) fetched back from Python "
      "code\nPython stack trace below:\n");
  PyErr_SetRaisedException(exception.release());
  call_python(PyErr_PrintEx, 0);
  throw ResumedPanic{std::move(message)};
}

void check_signals() {
  if (call_python(PyErr_CheckSignals) != 0) {
    throw_fetched_error();
  }
}

OwnedRef expect_object(PyObject* result, core::SourcePlace where) {
  if (result == nullptr) {
    call_python(PyErr_Print);
    core::internal_failure("Python API call failed", where);
  }
  return OwnedRef::steal(result);
}

}  // namespace velkor::boundary
