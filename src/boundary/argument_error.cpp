#include "boundary/argument_error.hpp"

#include "boundary/forced_unwind.hpp"
#include "boundary/python_error.hpp"

namespace velkor::boundary {

namespace {

constexpr std::string_view kUnknownTypeName = "<failed to extract type name>";
constexpr std::string_view kUnprintableException = "<exception str() failed>";

// A str from UTF-8 text; a failure to create it is an internal failure.
OwnedRef make_text(std::string_view text) {
  return expect_object(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// str() of a converter's exception; the fallback text when str() itself raises (a
// PanicException raised there is resumed instead).
OwnedRef exception_str(PyObject* exception) {
  OwnedRef text = OwnedRef::steal(call_python(PyObject_Str, exception));
  if (text) {
    return text;
  }
  const OwnedRef dropped = fetch_error();
  return make_text(kUnprintableException);
}

// The new TypeError that replaces a converter's TypeError `original` for `parameter`.
[[noreturn]] void throw_wrapped(std::string_view parameter, PyObject* original_text,
                                OwnedRef original_cause) {
  std::string prefix = "argument '";
  prefix += parameter;
  prefix += "': ";
  OwnedRef prefix_text = make_text(prefix);
  OwnedRef message = expect_object(PyUnicode_Concat(prefix_text.get(), original_text));
  OwnedRef wrapped = new_exception(PyExc_TypeError, message.get());
  // Steals the cause reference; a null cause clears __cause__ and still sets
  // __suppress_context__.
  PyException_SetCause(wrapped.get(), original_cause.release());
  throw PythonError(std::move(wrapped));
}

}  // namespace

std::string conversion_message(PyObject* value, std::string_view target) {
  std::string message = "'";
  // The attribute, not the name stored in the type: a metaclass may answer the lookup itself,
  // with any object or by raising.
  // A PanicException from the lookup is resumed; any other error leaves the placeholder.
  // The name is the interned str: the interpreter's type-attribute cache keeps a reference to
  // the name of each lookup, and a name made anew by every call (as PyObject_GetAttrString
  // makes it) would leave a str behind in cache entry after cache entry.
  OwnedRef qualname;
  const OwnedRef name = OwnedRef::steal(PyUnicode_InternFromString("__qualname__"));
  if (name) {
    qualname = OwnedRef::steal(
        call_python(PyObject_GetAttr, reinterpret_cast<PyObject*>(Py_TYPE(value)), name.get()));
  }
  if (!qualname) {
    const OwnedRef dropped = fetch_error();
  }
  Py_ssize_t size = 0;
  const char* utf8 = nullptr;
  if (qualname && PyUnicode_Check(qualname.get()) != 0) {
    utf8 = PyUnicode_AsUTF8AndSize(qualname.get(), &size);
    if (utf8 == nullptr) {
      PyErr_Clear();  // a lone surrogate: the UnicodeEncodeError runs no user code
    }
  }
  if (utf8 != nullptr) {
    message.append(utf8, static_cast<std::size_t>(size));
  } else {
    message += kUnknownTypeName;
  }
  message += "' object cannot be converted to '";
  message += target;
  message += "'";
  return message;
}

OwnedRef new_exception(PyObject* type, PyObject* message) {
  PyErr_SetObject(type, message);
  OwnedRef exception = OwnedRef::steal(PyErr_GetRaisedException());
  if (!exception) {
    // Raising an exception type with a str argument cannot end without an exception set.
    throw_fetched_error();
  }
  return exception;
}

void take_converter_failure(ConverterFailure& failure) {
  try {
    throw;
  } catch (ArgumentTypeMismatch& mismatch) {
    failure.mismatch = std::move(mismatch.message);
  } catch (PythonError& error) {
    PyObject* original = error.exception();
    // Only an exception object fetched from the interpreter can be inspected; converters raise
    // their own type errors as ArgumentTypeMismatch, never as a type-and-message PythonError.
    if (original == nullptr || reinterpret_cast<PyObject*>(Py_TYPE(original)) != PyExc_TypeError) {
      throw;
    }
    failure.type_error = error.take_exception();
  }
}

void throw_argument_error(std::string_view parameter, ConverterFailure failure) {
  if (!failure.type_error) {
    OwnedRef text = make_text(failure.mismatch);
    throw_wrapped(parameter, text.get(), OwnedRef());
  }
  PyObject* original = failure.type_error.get();
  OwnedRef text = exception_str(original);
  throw_wrapped(parameter, text.get(), OwnedRef::steal(PyException_GetCause(original)));
}

}  // namespace velkor::boundary
