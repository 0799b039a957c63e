// Converters: one per kind of parameter, each turning a bound argument into the plain value the
// core takes. A converter either returns the value or throws: ArgumentTypeMismatch for a value
// of the wrong type (with the message that will follow the argument prefix), or PythonError
// with the interpreter's exception. Call them through convert_argument (argument_error.hpp),
// which applies the argument-name wrapping.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "boundary/owned_ref.hpp"
#include "boundary/python_api.hpp"

namespace velkor::boundary {

// `bytes` or a subclass of it: a read-only view of the object's bytes, valid as long as the
// object lives (the bound argument, which its slot holds for the whole call). No copy is made.
// Anything else, bytearray and memoryview included, is rejected with target "PyBytes".
[[nodiscard]] std::span<const std::uint8_t> to_bytes_view(PyObject* value);

// Any object with the integer-index protocol whose value lies in 0 .. 2^64 - 1. A non-integer
// gives the interpreter's TypeError; a negative or too large value its OverflowError.
[[nodiscard]] std::uint64_t to_u64(PyObject* value);

// The UTF-8 texts of a sequence of str, in the sequence's order. Each view points into the
// UTF-8 buffer that the str object caches; the object is held here (a strong reference), so the
// views stay valid as long as this value lives. Up to kInline texts are kept inside the object
// itself, more in two heap blocks.
class ShareTexts {
 public:
  ShareTexts() noexcept = default;
  ShareTexts(ShareTexts&& other) noexcept;
  ShareTexts(const ShareTexts&) = delete;
  ShareTexts& operator=(const ShareTexts&) = delete;
  ShareTexts& operator=(ShareTexts&&) = delete;
  ~ShareTexts();

  [[nodiscard]] std::span<const std::string_view> texts() const noexcept {
    return {on_heap_ ? heap_texts_.data() : inline_texts_.data(), size_};
  }

 private:
  friend ShareTexts to_share_texts(PyObject* value);
  static constexpr std::size_t kInline = 16;

  // Room for `capacity` texts in all; may move the texts to the heap.
  void reserve(std::size_t capacity);
  // Appends a text; takes over the reference of `owner` once nothing can fail any more.
  void push(OwnedRef& owner, std::string_view text);

  std::size_t size_ = 0;
  bool on_heap_ = false;
  std::array<PyObject*, kInline> inline_owners_;  // left uninitialised: size_ of them are used
  std::array<std::string_view, kInline> inline_texts_;
  std::vector<PyObject*> heap_owners_;
  std::vector<std::string_view> heap_texts_;
};

// A sequence (by the interpreter's sequence check) of str items, other than a str itself.
// Every item is converted, in iteration order.
[[nodiscard]] ShareTexts to_share_texts(PyObject* value);

}  // namespace velkor::boundary
