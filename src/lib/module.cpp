// pyvelkor_core: Shamir threshold secret sharing of 256-bit keys over the integers modulo
// 2^127 - 1, as a CPython extension module on the stable ABI.
//
//   generate_key() -> bytes                    32 fresh random bytes from the OS generator
//   split_secret(secret, k, n) -> list[str]    n shares "index:a:b:c:d", any k rebuild secret
//   combine_shares(shares, k) -> bytes         the secret rebuilt from the first k shares
//
// This file holds the module definition, the function table and the import sequence. The
// module uses single-phase initialisation and belongs to the first interpreter that imports it:
// it keeps process-wide state (the cached module, the PanicException type) that is not
// isolated per interpreter, so a second interpreter is refused.
#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "boundary/entry_guard.hpp"
#include "boundary/forced_unwind.hpp"
#include "boundary/owned_ref.hpp"
#include "boundary/python_api.hpp"
#include "boundary/python_error.hpp"
#include "core/internal_failure.hpp"
#include "lib/functions.hpp"

namespace velkor::lib {
namespace {

using boundary::expect_object;
using boundary::OwnedRef;
using boundary::PythonError;

// The module functions in registration order. Each stored docstring starts with a signature
// header ("name(params)\n--\n\n") from which the interpreter derives __text_signature__; only
// the text after the header becomes __doc__.
struct FunctionEntry {
  const char* name;
  PyCFunction entry;
  int flags;
  const char* doc;
};

// Not constexpr: the keyword-taking entries need a function pointer cast (as_method), which is
// never a constant expression.
const std::array kFunctionTable = {
    FunctionEntry{"generate_key", generate_key, METH_NOARGS,
                  "generate_key()\n--\n\n"
                  "Генерирует случайный 256-битный ключ"},
    FunctionEntry{"split_secret", as_method(split_secret), METH_VARARGS | METH_KEYWORDS,
                  "split_secret(secret, k, n)\n--\n\n"
                  "Разбивает 32-байтный секрет на 3 части Шамира (порог 2).\n"
                  "Возвращает список строк \"index:a:b:c:d\""},
    FunctionEntry{"combine_shares", as_method(combine_shares), METH_VARARGS | METH_KEYWORDS,
                  "combine_shares(shares, k)\n--\n\n"
                  "Восстанавливает секрет из 2+ частей. Возвращает bytes (32 байта)."},
};

// The method definitions handed to PyCMethod_New must outlive the function objects, which live
// as long as the process: they are static and never freed.
std::array<PyMethodDef, kFunctionTable.size()> method_definitions{};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "pyvelkor_core",  // m_name
    "",               // m_doc: the module's __doc__ is an empty str, not None
    0,                // m_size: no per-module state
    nullptr,          // m_methods: functions are added once the module object exists
    nullptr,          // m_slots
    nullptr,          // m_traverse
    nullptr,          // m_clear
    nullptr,          // m_free: the module lives until the process ends
};

// The ID of the interpreter that owns the module, -1 until the first import claims it.
// Different interpreters may run the import function concurrently, so it is atomic.
std::atomic<std::int64_t> owner_interpreter{-1};

// The module built by the first successful import; filled once, never emptied. Guarded by the
// interpreter lock of the owning interpreter.
PyObject* module_cache = nullptr;

constexpr const char* kSubinterpreterMessage =
    "pyvelkor_core does not yet support sub-interpreters: it can be imported by only one "
    "interpreter per process. See "
    "https://docs.python.org/3/howto/isolating-extensions.html";

// Claims the module for the calling interpreter, or fails if another one owns it.
void claim_for_current_interpreter() {
  PyInterpreterState* state = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(state);
  if (id == -1) {
    boundary::throw_fetched_error();
  }
  std::int64_t expected = -1;
  if (!owner_interpreter.compare_exchange_strong(expected, id, std::memory_order_seq_cst) &&
      expected != id) {
    throw PythonError(PyExc_ImportError, kSubinterpreterMessage);
  }
}

// The module's __all__ list (borrowed through the returned reference), created empty on first
// use. A lookup failure other than AttributeError is passed on.
OwnedRef all_list(PyObject* module) {
  PyObject* existing = PyObject_GetAttrString(module, "__all__");
  if (existing != nullptr) {
    return OwnedRef::steal(existing);
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
    boundary::throw_fetched_error();
  }
  PyErr_Clear();
  OwnedRef list = expect_object(PyList_New(0));
  if (PyObject_SetAttrString(module, "__all__", list.get()) != 0) {
    boundary::throw_fetched_error();
  }
  return list;
}

// A rendering of the pending exception for an internal failure message; clears it.
std::string take_error_rendering() {
  OwnedRef exception = OwnedRef::steal(PyErr_GetRaisedException());
  if (exception) {
    OwnedRef text = OwnedRef::steal(boundary::call_python(PyObject_Repr, exception.get()));
    Py_ssize_t size = 0;
    if (const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr) {
      return std::string(utf8, static_cast<std::size_t>(size));
    }
  }
  PyErr_Clear();
  return "<unknown error>";
}

// Creates the function object for one table entry, lists it in __all__ and sets it as an
// attribute of the module.
void add_function(PyObject* module, PyMethodDef* definition) {
  const char* module_name = PyModule_GetName(module);
  if (module_name == nullptr) {
    boundary::throw_fetched_error();
  }
  OwnedRef module_name_str = expect_object(PyUnicode_FromString(module_name));
  OwnedRef function =
      expect_object(PyCMethod_New(definition, module, module_name_str.get(), nullptr));
  OwnedRef name = OwnedRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name || PyUnicode_AsUTF8AndSize(name.get(), nullptr) == nullptr) {
    boundary::throw_fetched_error();
  }
  OwnedRef all = all_list(module);
  if (PyList_Append(all.get(), name.get()) != 0) {
    core::internal_failure("could not append __name__ to __all__: " + take_error_rendering());
  }
  if (PyObject_SetAttr(module, name.get(), function.get()) != 0) {
    boundary::throw_fetched_error();
  }
}

OwnedRef initialise_module() {
  claim_for_current_interpreter();
  if (module_cache != nullptr) {
    return OwnedRef::borrow(module_cache);
  }
  OwnedRef module = OwnedRef::steal(PyModule_Create2(&module_definition, PYTHON_ABI_VERSION));
  if (!module) {
    boundary::throw_fetched_error();
  }
  for (std::size_t i = 0; i < kFunctionTable.size(); ++i) {
    const FunctionEntry& entry = kFunctionTable[i];
    method_definitions[i] = PyMethodDef{entry.name, entry.entry, entry.flags, entry.doc};
    add_function(module.get(), &method_definitions[i]);
  }
  if (module_cache == nullptr) {
    module_cache = module.release();
  }
  return OwnedRef::borrow(module_cache);
}

}  // namespace
}  // namespace velkor::lib

PyMODINIT_FUNC PyInit_pyvelkor_core(void) {
  return velkor::boundary::entry_guard(velkor::lib::initialise_module);
}
