#include "boundary/converters.hpp"

#include <algorithm>
#include <utility>

#include "boundary/argument_error.hpp"
#include "boundary/python_error.hpp"
#include "core/internal_failure.hpp"

namespace velkor::boundary {

namespace {

[[nodiscard]] bool has_type_flag(PyObject* value, unsigned long flag) noexcept {
  return (PyType_GetFlags(Py_TYPE(value)) & flag) != 0;
}

}  // namespace

std::span<const std::uint8_t> to_bytes_view(PyObject* value) {
  if (!has_type_flag(value, Py_TPFLAGS_BYTES_SUBCLASS)) {
    throw ArgumentTypeMismatch{conversion_message(value, "PyBytes")};
  }
  const char* data = PyBytes_AsString(value);
  const Py_ssize_t size = PyBytes_Size(value);
  if (data == nullptr || size < 0) {
    throw_fetched_error();
  }
  return {reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)};
}

std::uint64_t to_u64(PyObject* value) {
  // __index__ may run user code; whatever it raises is the interpreter's error.
  const OwnedRef index = OwnedRef::steal(PyNumber_Index(value));
  if (!index) {
    throw_fetched_error();
  }
  const unsigned long long result = PyLong_AsUnsignedLongLong(index.get());
  // All ones is also the valid value 2^64 - 1; only a pending error marks a failure.
  if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    throw_fetched_error();
  }
  return static_cast<std::uint64_t>(result);
}

ShareTexts to_share_texts(PyObject* value) {
  if (has_type_flag(value, Py_TPFLAGS_UNICODE_SUBCLASS)) {
    // A str is a sequence of str, but never a list of shares.
    throw ArgumentTypeMismatch{"Can't extract `str` to `Vec`"};
  }
  if (PySequence_Check(value) == 0) {
    throw ArgumentTypeMismatch{conversion_message(value, "Sequence")};
  }

  // The length is only a hint for the reservation: a sequence whose __len__ fails is still
  // iterated.
  Py_ssize_t hint = PySequence_Size(value);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  ShareTexts result;
  const auto capacity = static_cast<std::size_t>(hint);
  if (capacity > std::min(result.owners_.max_size(), result.texts_.max_size())) {
    core::internal_failure("capacity overflow");
  }
  result.owners_.reserve(capacity);
  result.texts_.reserve(capacity);

  const OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(value));
  if (!iterator) {
    throw_fetched_error();
  }
  while (true) {
    OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get()));
    if (!item) {
      if (PyErr_Occurred() != nullptr) {
        throw_fetched_error();
      }
      break;
    }
    if (!has_type_flag(item.get(), Py_TPFLAGS_UNICODE_SUBCLASS)) {
      throw ArgumentTypeMismatch{conversion_message(item.get(), "PyString")};
    }
    Py_ssize_t size = 0;
    // Fails only for a str that is not valid UTF-8 (a lone surrogate): UnicodeEncodeError.
    const char* utf8 = PyUnicode_AsUTF8AndSize(item.get(), &size);
    if (utf8 == nullptr) {
      throw_fetched_error();
    }
    result.owners_.push_back(std::move(item));
    result.texts_.emplace_back(utf8, static_cast<std::size_t>(size));
  }
  return result;
}

}  // namespace velkor::boundary
