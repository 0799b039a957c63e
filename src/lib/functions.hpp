// The module functions as the interpreter calls them. Each runs its body inside the entry guard,
// so it returns a new reference, or null with exactly one exception set.
#pragma once

#include "boundary/python_api.hpp"

namespace velkor::lib {

// generate_key(): METH_NOARGS.
PyObject* generate_key(PyObject* module, PyObject* unused);

}  // namespace velkor::lib
