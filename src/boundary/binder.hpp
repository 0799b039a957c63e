// The general argument binder of the module functions that take a positional tuple and a
// keyword dictionary (METH_VARARGS | METH_KEYWORDS). Driven by a ParameterSpec, it fills one
// slot per parameter with a borrowed reference to the bound argument, or fails with a TypeError
// worded like the interpreter's own argument errors:
//
//   f() takes 3 positional arguments but 4 were given
//   f() got multiple values for argument 'k'
//   f() got an unexpected keyword argument 'x'
//   f() got some positional-only arguments passed as keyword arguments: 'a' and 'b'
//   f() missing 2 required positional arguments: 'shares' and 'k'
//
// Binding errors are raised as they are; they are never wrapped like conversion errors.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "boundary/parameters.hpp"
#include "boundary/python_api.hpp"

namespace velkor::boundary {

// Binds `args` (a tuple) and `kwargs` (a dict, or null) to `slots`, which must have
// parameters.slot_count() entries. On return every required slot holds a borrowed reference; an
// optional parameter that was not given leaves its slot null. Throws PythonError on failure.
void bind_arguments(const ParameterSpec& parameters, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> slots);

// The slots of a function with N parameters, bound.
template <std::size_t N>
[[nodiscard]] std::array<PyObject*, N> bind(const ParameterSpec& parameters, PyObject* args,
                                            PyObject* kwargs) {
  std::array<PyObject*, N> slots{};
  bind_arguments(parameters, args, kwargs, slots);
  return slots;
}

}  // namespace velkor::boundary
