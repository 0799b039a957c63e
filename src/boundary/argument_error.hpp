// Argument errors of the module functions: the text that names a value of the wrong type, and
// the wrapping that puts the parameter's name in front of a converter's TypeError.
//
// Wrapping rule, applied to every converter failure:
//   - an exception whose type is exactly TypeError (identity, not a subclass test) is replaced
//     by a new TypeError "argument '<name>': <str(original)>". Its __cause__ is the original's
//     own __cause__ (normally None), which also sets __suppress_context__; the original itself
//     is dropped, not chained;
//   - anything else (OverflowError, UnicodeEncodeError, subclasses of TypeError, whatever a
//     user's __index__ or iterator raised) passes on unchanged;
//   - internal failures (PanicException included) are never touched.
// Binding errors (wrong number or names of arguments) are not converter failures and are never
// wrapped.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "boundary/forced_unwind.hpp"
#include "boundary/owned_ref.hpp"
#include "boundary/python_api.hpp"

namespace velkor::boundary {

// Thrown by a converter that rejects the type of a value with a message of its own. It is a
// TypeError without the argument prefix; convert_argument turns it into the prefixed one. It
// must never leave convert_argument.
struct ArgumentTypeMismatch {
  std::string message;
};

// "'<type qualname>' object cannot be converted to '<target>'". The qualname is the
// __qualname__ attribute of the value's type, as looked up through its metaclass;
// "<failed to extract type name>" stands in for it when the lookup raises or its result is not a
// str that can be read as UTF-8 text.
[[nodiscard]] std::string conversion_message(PyObject* value, std::string_view target);

// Creates an exception of `type` with args (message,) the way a C function raises one: it is
// raised and taken straight back, so the interpreter chains __context__ to the exception being
// handled, if any, exactly as for an error raised at the end of the call.
[[nodiscard]] OwnedRef new_exception(PyObject* type, PyObject* message);

// What a handler of a converter's failure takes out of it: the handler only moves it out, and
// the argument error is built after the handler has ended (throw_argument_error), since building
// it runs Python code (str() of the original error), which a forced unwind may leave.
struct ConverterFailure {
  std::string mismatch;  // the message of an ArgumentTypeMismatch
  OwnedRef type_error;   // or the fetched exception, exactly a TypeError
};

// Called from a handler of a converter's failure: takes what the argument error needs out of
// the exception being handled into `failure`, or rethrows it when it is not to be wrapped. Runs
// no Python code.
void take_converter_failure(ConverterFailure& failure);

// Throws the argument error for `parameter` from what take_converter_failure took. Must not be
// called inside a handler.
[[noreturn]] void throw_argument_error(std::string_view parameter, ConverterFailure failure);

// Runs one converter for the parameter `parameter` and returns its value; a failure leaves as
// an argument error.
template <class Convert>
VELKOR_CATCHES_FORCED_UNWIND decltype(auto) convert_argument(std::string_view parameter,
                                                             Convert&& convert) {
  ConverterFailure failure;
  try {
    return std::forward<Convert>(convert)();
  } catch (ForcedUnwind&) {
    throw;
  } catch (...) {
    take_converter_failure(failure);
  }
  throw_argument_error(parameter, std::move(failure));
}

}  // namespace velkor::boundary
