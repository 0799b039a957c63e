#include "boundary/panic.hpp"

#include <cerrno>
#include <charconv>
#include <cstdint>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include "core/cancellation.hpp"

namespace velkor::boundary {

namespace {

constexpr const char* kPanicName = "pyo3_runtime.PanicException";
constexpr const char* kPanicDoc =
    "\n"
    "The exception raised when the native code of pyvelkor_core meets an unexpected internal\n"
    "failure, such as the operating system's random generator failing, while it is called\n"
    "from Python.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException instead of Exception, so\n"
    "that it will typically propagate all the way through the stack and cause the Python\n"
    "interpreter to exit.\n";

// Created under the interpreter lock, at most once, and never released.
PyObject* panic_type = nullptr;
// Whether the stack-trace hint has been written; guarded by the interpreter lock.
bool hint_written = false;

}  // namespace

PyObject* panic_exception_type() noexcept {
  if (panic_type == nullptr) {
    panic_type = PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr);
  }
  return panic_type;
}

bool is_panic_exception(PyObject* exception) noexcept {
  return panic_type != nullptr && reinterpret_cast<PyObject*>(Py_TYPE(exception)) == panic_type;
}

void raise_panic(std::string_view message) noexcept {
  PyObject* type = panic_exception_type();
  if (type == nullptr) {
    return;  // The interpreter's error from creating the type is the one raised.
  }
  PyObject* text =
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
  if (text == nullptr) {
    return;
  }
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

void write_stderr(std::string_view text) noexcept {
  // write() is a cancellation point, and the writers are noexcept, as the entry guard's handlers
  // that call them must be (core/cancellation.hpp).
  const core::CancellationHeldOff held_off;
  while (!text.empty()) {
#if defined(_WIN32)
    const int written = _write(2, text.data(), static_cast<unsigned>(text.size()));
#else
    const ssize_t written = ::write(2, text.data(), text.size());
#endif
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

void write_failure_report(std::string_view message, const core::SourcePlace& where) noexcept {
  // Written piece by piece from fixed buffers: reporting must work even when memory is short.
  // The report is written whole, as one piece for cancellation.
  const core::CancellationHeldOff held_off;
  char number[24];
  auto write_number = [&number](std::uint_least32_t value) {
    const auto end = std::to_chars(number, number + sizeof(number), value).ptr;
    write_stderr(std::string_view(number, static_cast<std::size_t>(end - number)));
  };
  // The module never names threads, so every interpreter thread is "<unnamed>".
  write_stderr("\nthread '<unnamed>' hit an internal failure at ");
  write_stderr(where.file_name());
  write_stderr(":");
  write_number(where.line());
  write_stderr(":");
  write_number(where.column());
  write_stderr(":\n");
  write_stderr(message);
  write_stderr("\n");
  if (!hint_written) {
    hint_written = true;
    write_stderr(
        "note: to see the native stack trace, run Python under gdb with `catch throw` and "
        "repeat the call; gdb stops where the failure is raised and `bt` prints the stack\n");
  }
}

}  // namespace velkor::boundary
