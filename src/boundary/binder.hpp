// The general argument binder of the module functions that take a positional tuple and a
// keyword dictionary (METH_VARARGS | METH_KEYWORDS). Driven by a ParameterSpec, it fills one
// slot per parameter with a strong reference to the bound argument, or fails with a TypeError
// worded like the interpreter's own argument errors:
//
//   f() takes 3 positional arguments but 4 were given
//   f() got multiple values for argument 'k'
//   f() got an unexpected keyword argument 'x'
//   f() got some positional-only arguments passed as keyword arguments: 'a' and 'b'
//   f() missing 2 required positional arguments: 'shares' and 'k'
//
// Binding errors are raised as they are; they are never wrapped like conversion errors.
//
// The slots own their references because the call does not own its arguments otherwise: a
// caller of PyObject_Call keeps its keyword dictionary, and user code run by a later conversion
// (an __index__) can empty it. A borrowed slot would then point at a freed object.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "boundary/owned_ref.hpp"
#include "boundary/parameters.hpp"
#include "boundary/python_api.hpp"

namespace velkor::boundary {

// Binds `args` (a tuple) and `kwargs` (a dict, or null) to `slots`, which must have
// parameters.slot_count() empty entries. On return every required slot holds a strong reference;
// an optional parameter that was not given leaves its slot empty. Throws PythonError on failure.
void bind_arguments(const ParameterSpec& parameters, PyObject* args, PyObject* kwargs,
                    std::span<OwnedRef> slots);

// The slots of a function with N parameters, bound; they hold their arguments until the call
// ends.
template <std::size_t N>
[[nodiscard]] std::array<OwnedRef, N> bind(const ParameterSpec& parameters, PyObject* args,
                                           PyObject* kwargs) {
  std::array<OwnedRef, N> slots{};
  bind_arguments(parameters, args, kwargs, slots);
  return slots;
}

}  // namespace velkor::boundary
