// OwnedRef: a strong reference to a Python object, released when it goes out of scope. Every
// object a call creates is held in one until it is handed to the caller with release(), so no
// exit path (error results, internal failures, C++ exceptions) can leak a reference. A thread
// that a forced unwind takes out of the interpreter keeps its references (forced_unwind.hpp).
#pragma once

#include <utility>

#include "boundary/forced_unwind.hpp"
#include "boundary/python_api.hpp"

namespace velkor::boundary {

class OwnedRef {
 public:
  OwnedRef() noexcept = default;
  // Takes over a reference the caller owns (may be null).
  static OwnedRef steal(PyObject* object) noexcept { return OwnedRef(object); }
  // Takes a new reference to a borrowed object (may be null).
  static OwnedRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return OwnedRef(object);
  }

  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  ~OwnedRef() {
    if (object_ != nullptr && !thread_leaving()) {
      Py_DECREF(object_);
    }
  }

  [[nodiscard]] PyObject* get() const noexcept { return object_; }
  [[nodiscard]] explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

 private:
  explicit OwnedRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace velkor::boundary
