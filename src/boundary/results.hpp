// Result builders: turn the core's plain results into the Python objects the module functions
// return. A failure of the interpreter to create the object is the internal failure
// "Python API call failed".
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "boundary/owned_ref.hpp"
#include "boundary/python_api.hpp"
#include "boundary/python_error.hpp"
#include "core/interrupt_poll.hpp"

namespace velkor::boundary {

// A new bytes object holding a copy of `data`. The caller still owns (and wipes) its buffer.
[[nodiscard]] OwnedRef make_bytes(std::span<const std::uint8_t> data);

// The str objects of a result list, made one by one and owned here until the list is made from
// them all at once. The list exists only once every str does, and is filled with nothing in
// between that can run Python code: Python code that finds a list (a signal handler or a
// garbage collection at an interrupt poll, through gc.get_objects()) never sees one with empty
// slots.
//
// The str objects not handed to a list (the call ended before it was made) are wiped, then
// released: each one's text, the share it holds, is overwritten with zeros in place, where this
// module is its only owner. See wipe_unshared_text in results.cpp for when that is sound. A
// thread that a forced unwind takes out of the interpreter keeps them unwiped, like every
// reference it holds (forced_unwind.hpp).
class StrItems {
 public:
  // Room for `capacity` str objects: up to kInline of them on the stack, so that a split of a
  // few shares makes no allocation for them.
  explicit StrItems(std::size_t capacity)
      : heap_(capacity > kInline ? new PyObject*[capacity] : nullptr),
        items_(capacity > kInline ? heap_.get() : inline_) {}
  StrItems(const StrItems&) = delete;
  StrItems& operator=(const StrItems&) = delete;
  ~StrItems() {
    if (owned_ != count_) {
      release_unhanded();
    }
  }

  // Makes the next str, from the ASCII `text` (a share text); at most `capacity` of them. Decoded
  // as Latin-1, which for ASCII gives the same ASCII str as UTF-8 does, without the UTF-8
  // decoder's validation of every byte.
  void add(std::string_view text) {
    PyObject* item =
        PyUnicode_DecodeLatin1(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
    if (item == nullptr) {
      static_cast<void>(expect_object(item));  // the internal failure
    }
    items_[count_++] = item;
  }

  // A new list of the str objects made, in order; they all belong to it from here on.
  [[nodiscard]] OwnedRef into_list();

 private:
  static constexpr std::size_t kInline = 16;

  // Wipes and releases the str objects still owned here.
  void release_unhanded() noexcept;

  PyObject* inline_[kInline];  // left uninitialised: only the first count_ are written
  std::unique_ptr<PyObject*[]> heap_;
  PyObject** items_;
  std::size_t count_ = 0;  // str objects made
  std::size_t owned_ = 0;  // the first one still owned here (the ones before belong to a list)
};

// A new list of str, one per UTF-8 text of `texts` (anything with size() that a range-for
// walks, giving texts), in the same order. Signals are checked every few thousand items, as in the
// core, while the str objects are made; the list is made after the last check.
template <class TextList>
[[nodiscard]] OwnedRef make_str_list(const TextList& texts) {
  StrItems items(texts.size());
  core::PollCountdown polls(check_signals, core::items_per_poll(core::kShareSteps));
  for (const auto& text : texts) {
    polls.tick();
    items.add(std::string_view(text));
  }
  return items.into_list();
}

}  // namespace velkor::boundary
