// The module functions as the interpreter calls them. Each runs its body inside the entry guard,
// so it returns a new reference, or null with exactly one exception set.
#pragma once

#include "boundary/python_api.hpp"

namespace velkor::lib {

// generate_key(): METH_NOARGS.
PyObject* generate_key(PyObject* module, PyObject* unused);

// split_secret(secret, k, n): METH_VARARGS | METH_KEYWORDS.
PyObject* split_secret(PyObject* module, PyObject* args, PyObject* kwargs);

// combine_shares(shares, k): METH_VARARGS | METH_KEYWORDS.
PyObject* combine_shares(PyObject* module, PyObject* args, PyObject* kwargs);

// The entry of a keyword-taking function as the PyCFunction that PyMethodDef stores; the
// METH_KEYWORDS flag tells the interpreter to call it with three arguments. The cast goes
// through void(*)(void), the generic function pointer type.
inline PyCFunction as_method(PyCFunctionWithKeywords function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function));
}

}  // namespace velkor::lib
