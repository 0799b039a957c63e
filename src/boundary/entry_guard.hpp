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
//   a forced unwind (ForcedUnwind)    -> goes on, untouched: the thread is ending
//
// The one thing that leaves the guard is a forced unwind (forced_unwind.hpp): the guard is not
// noexcept, since a forced unwind that reaches a noexcept frame ends the process.
//
// Whatever the outcome, the guard then clears the stack its body used (core::scrub_stack), so
// that no secret the core spilled to its frames outlives the call: SuccessDepth bytes when the
// body returned (the measured reach of that entry point, with a margin), the full
// core::kStackScrubDepth when it ended in an exception, which unwinds much deeper. The clearing
// is a destructor's work, so that it also happens on a forced unwind, which runs no code after a
// catch block.
#pragma once

#include <cstddef>
#include <utility>

#include "boundary/forced_unwind.hpp"
#include "boundary/owned_ref.hpp"
#include "boundary/python_api.hpp"
#include "core/stack_scrub.hpp"

namespace velkor::boundary {

// Raises the exception currently being handled (inside a catch block) as described above. A
// forced unwind out of it (none is expected: it runs no Python code) goes on.
VELKOR_CATCHES_FORCED_UNWIND void raise_current_exception();

namespace detail {

// Clears the stack below the entry guard's frame when the guard's scope ends, whichever way it
// ends. Inlined, so that scrub_stack's frame goes right below the guard's own.
template <std::size_t SuccessDepth>
class StackScrubOnExit {
 public:
  StackScrubOnExit() noexcept = default;
  StackScrubOnExit(const StackScrubOnExit&) = delete;
  StackScrubOnExit& operator=(const StackScrubOnExit&) = delete;
#if defined(__GNUC__)
  [[gnu::always_inline]]
#endif
  inline ~StackScrubOnExit() {
    if (returned_) {
      core::scrub_stack<SuccessDepth>();
    } else {
      core::scrub_stack<core::kStackScrubDepth>();
    }
  }

  // The body returned its result: the call clears SuccessDepth rather than the full depth.
  void body_returned() noexcept { returned_ = true; }

 private:
  bool returned_ = false;
};

}  // namespace detail

template <std::size_t SuccessDepth = core::kStackScrubDepth, class Body>
[[nodiscard]] VELKOR_CATCHES_FORCED_UNWIND PyObject* entry_guard(Body&& body) {
  // The body's frames (and those of the exception handling) lie right below this one, which is
  // where scrub_stack's frame goes: run by this destructor once the try statement is over, on
  // every path, it clears them.
  detail::StackScrubOnExit<SuccessDepth> scrub;
  try {
    PyObject* result = std::forward<Body>(body)().release();
    scrub.body_returned();
    return result;
  } catch (ForcedUnwind&) {
    throw;
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

}  // namespace velkor::boundary
