#include "boundary/results.hpp"

#include <cstddef>
#include <cstdint>

#include "boundary/forced_unwind.hpp"
#include "boundary/python_error.hpp"
#include "core/internal_failure.hpp"
#include "core/wipe.hpp"

namespace velkor::boundary {

namespace {

// The most bytes a str's header can take before its text: 40 on 64-bit CPython 3.12 and 3.13
// (a debug build adds no field to it), 16 more with Py_TRACE_REFS. A text that lies further
// from the object is not the object's own storage.
constexpr std::uintptr_t kMaxStrHeader = 64;

// Overwrites with zeros the text of `text`, a str this module made and never handed out, if the
// module is its only owner; the caller then releases it. Sound because:
//   - no one else holds a reference (the count is 1; the limited API of 3.12 reads it straight
//     from the object), so no one can see the text change, and the object is freed right after;
//     its cached hash (never computed, since no one ever had the object) goes with it;
//   - for an ASCII str, PyUnicode_AsUTF8AndSize gives the object's own text, which lies right
//     after its header, not a copy (checked: the text must start within kMaxStrHeader bytes of
//     the object, where no separate block can lie, since the object is longer than that). A
//     text found elsewhere is left alone: wiping a copy would leave the object's own text.
// The texts of shares are ASCII and at least 133 bytes long, so neither check fails for them.
// Any exception pending before is kept.
void wipe_unshared_text(PyObject* text) noexcept {
  if (Py_REFCNT(text) != 1) {
    return;
  }
  PyObject* pending = PyErr_GetRaisedException();
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  const auto object = reinterpret_cast<std::uintptr_t>(text);
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  if (data != nullptr && start > object && start - object <= kMaxStrHeader) {
    core::secure_wipe(const_cast<char*>(data), static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  PyErr_SetRaisedException(pending);
}

}  // namespace

OwnedRef make_bytes(std::span<const std::uint8_t> data) {
  return expect_object(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                                 static_cast<Py_ssize_t>(data.size())));
}

void StrItems::release_unhanded() noexcept {
  if (thread_leaving()) {
    return;
  }
  for (std::size_t i = owned_; i < count_; ++i) {
    wipe_unshared_text(items_[i]);
    Py_DECREF(items_[i]);
  }
}

OwnedRef StrItems::into_list() {
  OwnedRef list = expect_object(PyList_New(static_cast<Py_ssize_t>(count_)));
  for (std::size_t i = 0; i < count_; ++i) {
    // Steals the reference, even when it fails, which it cannot for a position inside a new
    // list. Should it, the str it dropped is freed unwiped; those in the list already are wiped
    // before the list goes.
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), items_[i]) != 0) {
      owned_ = i + 1;
      for (std::size_t j = 0; j < i; ++j) {
        wipe_unshared_text(items_[j]);
      }
      call_python(PyErr_Print);
      core::internal_failure("Python API call failed");
    }
  }
  owned_ = count_;
  return list;
}

}  // namespace velkor::boundary
