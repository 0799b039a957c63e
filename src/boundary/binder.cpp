#include "boundary/binder.hpp"

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "boundary/argument_error.hpp"
#include "boundary/forced_unwind.hpp"
#include "boundary/owned_ref.hpp"
#include "boundary/python_error.hpp"
#include "core/internal_failure.hpp"

namespace velkor::boundary {

namespace {

// How a function is named in its argument errors: "split_secret()".
std::string display_name(const ParameterSpec& parameters) {
  std::string name(parameters.function_name);
  name += "()";
  return name;
}

[[noreturn]] void fail(std::string_view message) {
  throw PythonError(PyExc_TypeError, message);
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_names(std::span<const std::string_view> names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) {
        list += ',';
      }
      list += (i + 1 == names.size()) ? " and " : " ";
    }
    list += '\'';
    list += names[i];
    list += '\'';
  }
  return list;
}

[[noreturn]] void fail_too_many_positional(const ParameterSpec& parameters, std::size_t given) {
  std::string message = display_name(parameters);
  if (parameters.required_positional < parameters.positional.size()) {
    message += " takes from ";
    message += std::to_string(parameters.required_positional);
    message += " to ";
  } else {
    message += " takes ";
  }
  message += std::to_string(parameters.positional.size());
  message += " positional arguments but ";
  message += std::to_string(given);
  message += given == 1 ? " was given" : " were given";
  fail(message);
}

// The key is shown as its str(), which need not be valid UTF-8 (a lone surrogate is the one way
// a str key can fail to be read), so the message is assembled as a Python str.
[[noreturn]] void fail_unexpected_keyword(const ParameterSpec& parameters, PyObject* key) {
  const std::string prefix = display_name(parameters) + " got an unexpected keyword argument '";
  OwnedRef key_text = OwnedRef::steal(call_python(PyObject_Str, key));
  if (!key_text) {
    throw_fetched_error();
  }
  OwnedRef message = expect_object(PyUnicode_FromFormat("%s%U'", prefix.c_str(), key_text.get()));
  throw PythonError(new_exception(PyExc_TypeError, message.get()));
}

[[noreturn]] void fail_missing(const ParameterSpec& parameters, std::string_view kind,
                               std::span<const std::string_view> names) {
  std::string message = display_name(parameters);
  message += " missing ";
  message += std::to_string(names.size());
  message += " required ";
  message += kind;
  message += names.size() == 1 ? " argument: " : " arguments: ";
  message += quoted_names(names);
  fail(message);
}

constexpr std::size_t kNoSlot = static_cast<std::size_t>(-1);

// The slot a keyword name binds to: keyword-only names first, then positional names (exact
// byte comparison). Sets `positional_only` when the name is that of a positional-only
// parameter.
std::size_t slot_for_keyword(const ParameterSpec& parameters, std::string_view name,
                             bool& positional_only) {
  positional_only = false;
  for (std::size_t j = 0; j < parameters.keyword_only.size(); ++j) {
    if (parameters.keyword_only[j].name == name) {
      return parameters.positional.size() + j;
    }
  }
  for (std::size_t i = 0; i < parameters.positional.size(); ++i) {
    if (parameters.positional[i] == name) {
      positional_only = i < parameters.positional_only;
      return i;
    }
  }
  return kNoSlot;
}

// Walks the keyword dictionary in its order; the first bad key ends the binding.
void bind_keywords(const ParameterSpec& parameters, PyObject* kwargs, std::span<OwnedRef> slots) {
  std::vector<std::string_view> positional_only_given;
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(kwargs, &position, &key, &value) != 0) {
    if (!PyUnicode_Check(key)) {
      // Ordinary call syntax never passes such a key; PyObject_Call from C code can.
      fail(conversion_message(key, "PyString"));
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
    if (utf8 == nullptr) {
      PyErr_Clear();
      fail_unexpected_keyword(parameters, key);
    }
    const std::string_view name(utf8, static_cast<std::size_t>(size));
    bool positional_only = false;
    const std::size_t slot = slot_for_keyword(parameters, name, positional_only);
    if (slot == kNoSlot) {
      fail_unexpected_keyword(parameters, key);
    }
    if (positional_only) {
      // Reported after the walk, with all such names together. The name is kept from the
      // parameter description, which outlives the call, not from the key.
      positional_only_given.push_back(parameters.positional[slot]);
      continue;
    }
    if (slots[slot]) {
      std::string message = display_name(parameters);
      message += " got multiple values for argument '";
      message += name;
      message += "'";
      fail(message);
    }
    slots[slot] = OwnedRef::borrow(value);
  }
  if (!positional_only_given.empty()) {
    fail(display_name(parameters) +
         " got some positional-only arguments passed as keyword arguments: " +
         quoted_names(positional_only_given));
  }
}

void check_required(const ParameterSpec& parameters, std::size_t given,
                    std::span<const OwnedRef> slots) {
  if (given < parameters.required_positional) {
    const auto required = slots.first(parameters.required_positional);
    if (std::any_of(required.begin() + static_cast<std::ptrdiff_t>(given), required.end(),
                    [](const OwnedRef& slot) { return !slot; })) {
      std::vector<std::string_view> missing;
      for (std::size_t i = 0; i < required.size(); ++i) {
        if (!required[i]) {
          missing.push_back(parameters.positional[i]);
        }
      }
      fail_missing(parameters, "positional", missing);
    }
  }
  std::vector<std::string_view> missing_keywords;
  for (std::size_t j = 0; j < parameters.keyword_only.size(); ++j) {
    if (parameters.keyword_only[j].required && !slots[parameters.positional.size() + j]) {
      missing_keywords.push_back(parameters.keyword_only[j].name);
    }
  }
  if (!missing_keywords.empty()) {
    fail_missing(parameters, "keyword", missing_keywords);
  }
}

}  // namespace

void bind_arguments(const ParameterSpec& parameters, PyObject* args, PyObject* kwargs,
                    std::span<OwnedRef> slots) {
  if (slots.size() != parameters.slot_count() || !parameters.valid()) {
    core::internal_failure("argument slots do not match the parameter description");
  }
  for (OwnedRef& slot : slots) {
    slot = OwnedRef();
  }

  const Py_ssize_t count = PyTuple_Size(args);
  if (count < 0) {
    throw_fetched_error();
  }
  const auto given = static_cast<std::size_t>(count);
  const std::size_t copied = std::min(given, parameters.positional.size());
  for (std::size_t i = 0; i < copied; ++i) {
    slots[i] = OwnedRef::borrow(PyTuple_GetItem(args, static_cast<Py_ssize_t>(i)));
  }
  if (given > parameters.positional.size()) {
    fail_too_many_positional(parameters, given);
  }

  if (kwargs != nullptr) {
    bind_keywords(parameters, kwargs, slots);
  }
  check_required(parameters, copied, slots);
}

}  // namespace velkor::boundary
