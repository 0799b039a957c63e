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
#pragma once

#include <utility>

#include "boundary/owned_ref.hpp"
#include "boundary/python_api.hpp"

namespace velkor::boundary {

// Raises the exception currently being handled (inside a catch block) as described above.
void raise_current_exception() noexcept;

template <class Body>
[[nodiscard]] PyObject* entry_guard(Body&& body) noexcept {
  try {
    OwnedRef result = std::forward<Body>(body)();
    return result.release();
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

}  // namespace velkor::boundary
