// The entry guard around every entry point of the module (the import function and the three
// module functions). It runs the body and turns its outcome into the interpreter's convention:
// a new reference on success, or null with exactly one exception set. No C++ exception ever
// leaves the guard.
//
//   body returns an OwnedRef          -> that object
//   PythonError                       -> the error result, raised as is
//   core::InternalFailure             -> report on standard error, then PanicException
//   ResumedPanic                      -> PanicException (its notice is already printed)
//   std::bad_alloc                    -> MemoryError
//   any other C++ exception           -> report on standard error, then PanicException
//
// Whatever the outcome, the guard then clears the stack its body used (core::scrub_stack), so
// that no secret the core spilled to its frames outlives the call: SuccessDepth bytes when the
// body returned (the measured reach of that entry point, with a margin), the full
// core::kStackScrubDepth when it ended in an exception, which unwinds much deeper.
#pragma once

#include <cstddef>
#include <utility>

#include "boundary/owned_ref.hpp"
#include "boundary/python_api.hpp"
#include "core/stack_scrub.hpp"

namespace velkor::boundary {

// Raises the exception currently being handled (inside a catch block) as described above.
void raise_current_exception() noexcept;

template <std::size_t SuccessDepth = core::kStackScrubDepth, class Body>
[[nodiscard]] PyObject* entry_guard(Body&& body) noexcept {
  PyObject* result = nullptr;
  bool failed = false;
  try {
    result = std::forward<Body>(body)().release();
  } catch (...) {
    raise_current_exception();
    failed = true;
  }
  // The body's frames (and those of the exception handling) lay right below this one, which is
  // where scrub_stack's frame goes: called here, on every path, it clears them.
  if (failed) {
    core::scrub_stack<core::kStackScrubDepth>();
  } else {
    core::scrub_stack<SuccessDepth>();
  }
  return result;
}

}  // namespace velkor::boundary
