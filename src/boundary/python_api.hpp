// The one place the boundary includes Python.h. The module is built against the stable ABI of
// CPython 3.12 (Py_LIMITED_API = 0x030C0000): 3.12 is the first version whose limited API has
// PyErr_GetRaisedException and PyErr_SetRaisedException, which the error reporting relies on.
// CMake defines Py_LIMITED_API for the module target; these checks keep a build that forgot it,
// or that leaks the interpreter's internal API, from compiling.
#pragma once

#if !defined(Py_LIMITED_API)
#error "the module must be compiled against the limited API (Py_LIMITED_API)"
#elif Py_LIMITED_API != 0x030C0000
#error "the module targets the stable ABI of CPython 3.12 exactly"
#endif

#if defined(Py_BUILD_CORE) || defined(Py_BUILD_CORE_MODULE) || defined(Py_BUILD_CORE_BUILTIN)
#error "the interpreter's internal API must not be used by this module"
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>
