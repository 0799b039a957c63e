#include "boundary/binder.hpp"

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "boundary/argument_error.hpp"
#include "boundary/owned_ref.hpp"
#include "boundary/python_error.hpp"
#include "core/internal_failure.hpp"

namespace velkor::boundary {

namespace {

// How a function is named in its argument errors: "split_secret()".
std::string display_name(const ParameterSpec& spec) {
  std::string name(spec.function_name);
  name += "()";
  return name;
}

[[noreturn]] void fail(std::string message) {
  throw PythonError(PyExc_TypeError, std::move(message));
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

[[noreturn]] void fail_too_many_positional(const ParameterSpec& spec, std::size_t given) {
  std::string message = display_name(spec);
  if (spec.required_positional < spec.positional.size()) {
    message += " takes from ";
    message += std::to_string(spec.required_positional);
    message += " to ";
  } else {
    message += " takes ";
  }
  message += std::to_string(spec.positional.size());
  message += " positional arguments but ";
  message += std::to_string(given);
  message += given == 1 ? " was given" : " were given";
  fail(std::move(message));
}

// The key is shown as its str(), which need not be valid UTF-8 (a lone surrogate is the one way
// a str key can fail to be read), so the message is assembled as a Python str.
[[noreturn]] void fail_unexpected_keyword(const ParameterSpec& spec, PyObject* key) {
  const std::string prefix = display_name(spec) + " got an unexpected keyword argument '";
  OwnedRef key_text = OwnedRef::steal(PyObject_Str(key));
  if (!key_text) {
    throw_fetched_error();
  }
  OwnedRef message = expect_object(PyUnicode_FromFormat("%s%U'", prefix.c_str(), key_text.get()));
  throw PythonError(new_exception(PyExc_TypeError, message.get()));
}

[[noreturn]] void fail_missing(const ParameterSpec& spec, std::string_view kind,
                               std::span<const std::string_view> names) {
  std::string message = display_name(spec);
  message += " missing ";
  message += std::to_string(names.size());
  message += " required ";
  message += kind;
  message += names.size() == 1 ? " argument: " : " arguments: ";
  message += quoted_names(names);
  fail(std::move(message));
}

constexpr std::size_t kNoSlot = static_cast<std::size_t>(-1);

// The slot a keyword name binds to: keyword-only names first, then positional names (exact
// byte comparison). Sets `positional_only` when the name is that of a positional-only
// parameter.
std::size_t slot_for_keyword(const ParameterSpec& spec, std::string_view name,
                             bool& positional_only) {
  positional_only = false;
  for (std::size_t j = 0; j < spec.keyword_only.size(); ++j) {
    if (spec.keyword_only[j].name == name) {
      return spec.positional.size() + j;
    }
  }
  for (std::size_t i = 0; i < spec.positional.size(); ++i) {
    if (spec.positional[i] == name) {
      positional_only = i < spec.positional_only;
      return i;
    }
  }
  return kNoSlot;
}

// Walks the keyword dictionary in its order; the first bad key ends the binding.
void bind_keywords(const ParameterSpec& spec, PyObject* kwargs, std::span<PyObject*> slots) {
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
      fail_unexpected_keyword(spec, key);
    }
    const std::string_view name(utf8, static_cast<std::size_t>(size));
    bool positional_only = false;
    const std::size_t slot = slot_for_keyword(spec, name, positional_only);
    if (slot == kNoSlot) {
      fail_unexpected_keyword(spec, key);
    }
    if (positional_only) {
      // Reported after the walk, with all such names together. The name is kept from the
      // parameter description, which outlives the call, not from the key.
      positional_only_given.push_back(spec.positional[slot]);
      continue;
    }
    if (slots[slot] != nullptr) {
      std::string message = display_name(spec);
      message += " got multiple values for argument '";
      message += name;
      message += "'";
      fail(std::move(message));
    }
    slots[slot] = value;
  }
  if (!positional_only_given.empty()) {
    fail(display_name(spec) + " got some positional-only arguments passed as keyword arguments: " +
         quoted_names(positional_only_given));
  }
}

void check_required(const ParameterSpec& spec, std::size_t given,
                    std::span<PyObject* const> slots) {
  if (given < spec.required_positional) {
    const auto required = slots.first(spec.required_positional);
    if (std::any_of(required.begin() + static_cast<std::ptrdiff_t>(given), required.end(),
                    [](PyObject* slot) { return slot == nullptr; })) {
      std::vector<std::string_view> missing;
      for (std::size_t i = 0; i < required.size(); ++i) {
        if (required[i] == nullptr) {
          missing.push_back(spec.positional[i]);
        }
      }
      fail_missing(spec, "positional", missing);
    }
  }
  std::vector<std::string_view> missing_keywords;
  for (std::size_t j = 0; j < spec.keyword_only.size(); ++j) {
    if (spec.keyword_only[j].required && slots[spec.positional.size() + j] == nullptr) {
      missing_keywords.push_back(spec.keyword_only[j].name);
    }
  }
  if (!missing_keywords.empty()) {
    fail_missing(spec, "keyword", missing_keywords);
  }
}

}  // namespace

void bind_arguments(const ParameterSpec& spec, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> slots) {
  if (slots.size() != spec.slot_count() || !spec.valid()) {
    core::internal_failure("argument slots do not match the parameter description");
  }
  std::fill(slots.begin(), slots.end(), nullptr);

  const Py_ssize_t count = PyTuple_Size(args);
  if (count < 0) {
    throw_fetched_error();
  }
  const auto given = static_cast<std::size_t>(count);
  const std::size_t copied = std::min(given, spec.positional.size());
  for (std::size_t i = 0; i < copied; ++i) {
    slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  }
  if (given > spec.positional.size()) {
    fail_too_many_positional(spec, given);
  }

  if (kwargs != nullptr) {
    bind_keywords(spec, kwargs, slots);
  }
  check_required(spec, copied, slots);
}

}  // namespace velkor::boundary
