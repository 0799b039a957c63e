#include "boundary/converters.hpp"

#include <algorithm>
#include <new>
#include <utility>

#include "boundary/argument_error.hpp"
#include "boundary/forced_unwind.hpp"
#include "boundary/python_error.hpp"

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
  unsigned long long result = 0;
  if (PyLong_CheckExact(value)) {
    // An int is its own index: no __index__ to call and no new reference to take.
    result = PyLong_AsUnsignedLongLong(value);
  } else {
    // __index__ may run user code; whatever it raises is the interpreter's error.
    const OwnedRef index = OwnedRef::steal(call_python(PyNumber_Index, value));
    if (!index) {
      throw_fetched_error();
    }
    result = PyLong_AsUnsignedLongLong(index.get());
  }
  // All ones is also the valid value 2^64 - 1; only a pending error marks a failure.
  if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    throw_fetched_error();
  }
  return static_cast<std::uint64_t>(result);
}

ShareTexts::ShareTexts(ShareTexts&& other) noexcept
    : size_(std::exchange(other.size_, 0)),
      on_heap_(std::exchange(other.on_heap_, false)),
      heap_owners_(std::move(other.heap_owners_)),
      heap_texts_(std::move(other.heap_texts_)) {
  if (!on_heap_) {
    std::copy_n(other.inline_owners_.begin(), size_, inline_owners_.begin());
    std::copy_n(other.inline_texts_.begin(), size_, inline_texts_.begin());
  }
}

ShareTexts::~ShareTexts() {
  if (thread_leaving()) {
    return;  // a thread on its way out keeps its references (forced_unwind.hpp)
  }
  PyObject* const* owners = on_heap_ ? heap_owners_.data() : inline_owners_.data();
  for (std::size_t i = 0; i < size_; ++i) {
    Py_DECREF(owners[i]);
  }
}

void ShareTexts::reserve(std::size_t capacity) {
  if (!on_heap_ && capacity <= kInline) {
    return;
  }
  if (capacity > std::min(heap_owners_.max_size(), heap_texts_.max_size())) {
    throw std::bad_alloc();  // memory that cannot be had: MemoryError
  }
  heap_owners_.reserve(capacity);
  heap_texts_.reserve(capacity);
  if (!on_heap_) {
    heap_owners_.assign(inline_owners_.begin(), inline_owners_.begin() + size_);
    heap_texts_.assign(inline_texts_.begin(), inline_texts_.begin() + size_);
    on_heap_ = true;
  }
}

void ShareTexts::push(OwnedRef& owner, std::string_view text) {
  if (!on_heap_ && size_ < kInline) {
    inline_owners_[size_] = owner.release();
    inline_texts_[size_] = text;
  } else {
    if (!on_heap_ || size_ == heap_owners_.capacity() || size_ == heap_texts_.capacity()) {
      // Grows like push_back would; may throw, while `owner` still holds its reference.
      reserve(std::max(2 * size_, 2 * kInline));
    }
    heap_owners_.push_back(owner.release());
    heap_texts_.push_back(text);
  }
  ++size_;
}

ShareTexts to_share_texts(PyObject* value) {
  if (has_type_flag(value, Py_TPFLAGS_UNICODE_SUBCLASS)) {
    // A str is a sequence of str, but never a list of shares.
    throw ArgumentTypeMismatch{"Can't extract `str` to `Vec`"};
  }
  if (PySequence_Check(value) == 0) {
    throw ArgumentTypeMismatch{conversion_message(value, "Sequence")};
  }

  ShareTexts result;
  // One item: a str (or subclass) and its UTF-8 text.
  const auto take = [&result](OwnedRef& item) {
    if (!has_type_flag(item.get(), Py_TPFLAGS_UNICODE_SUBCLASS)) {
      throw ArgumentTypeMismatch{conversion_message(item.get(), "PyString")};
    }
    Py_ssize_t size = 0;
    // Fails only for a str that is not valid UTF-8 (a lone surrogate): UnicodeEncodeError.
    const char* utf8 = PyUnicode_AsUTF8AndSize(item.get(), &size);
    if (utf8 == nullptr) {
      throw_fetched_error();
    }
    result.push(item, std::string_view(utf8, static_cast<std::size_t>(size)));
  };

  if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
    // A plain list or tuple is walked by position, which is exactly what its iterator does:
    // nothing in the loop runs Python code that could change it.
    const bool list = PyList_CheckExact(value);
    const Py_ssize_t size = list ? PyList_Size(value) : PyTuple_Size(value);
    if (size < 0) {
      throw_fetched_error();
    }
    result.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      OwnedRef item = OwnedRef::borrow(list ? PyList_GetItem(value, i) : PyTuple_GetItem(value, i));
      if (!item) {
        throw_fetched_error();
      }
      take(item);
    }
    return result;
  }

  // The length is only a hint for the reservation: a sequence whose __len__ fails is still
  // iterated. Its error is dropped, except a PanicException (resumed) and a KeyboardInterrupt or
  // SystemExit, which must reach the caller. The hint is capped, so that a __len__ that
  // overstates (2**40, sys.maxsize) cannot turn into a failed or absurd reservation; the list
  // still grows to whatever the iteration yields.
  constexpr Py_ssize_t kMaxReservedHint = 1 << 16;
  Py_ssize_t hint = call_python(PySequence_Size, value);
  if (hint < 0) {
    OwnedRef error = fetch_error();
    if (PyErr_GivenExceptionMatches(error.get(), PyExc_KeyboardInterrupt) != 0 ||
        PyErr_GivenExceptionMatches(error.get(), PyExc_SystemExit) != 0) {
      throw PythonError(std::move(error));
    }
    hint = 0;
  }
  result.reserve(static_cast<std::size_t>(std::min(hint, kMaxReservedHint)));

  const OwnedRef iterator = OwnedRef::steal(call_python(PyObject_GetIter, value));
  if (!iterator) {
    throw_fetched_error();
  }
  while (true) {
    OwnedRef item = OwnedRef::steal(call_python(PyIter_Next, iterator.get()));
    if (!item) {
      if (PyErr_Occurred() != nullptr) {
        throw_fetched_error();
      }
      break;
    }
    take(item);
  }
  return result;
}

}  // namespace velkor::boundary
