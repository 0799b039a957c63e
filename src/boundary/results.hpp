// Result builders: turn the core's plain results into the Python objects the module functions
// return. A failure of the interpreter to create the object is the internal failure
// "Python API call failed".
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "boundary/owned_ref.hpp"
#include "boundary/python_error.hpp"
#include "core/interrupt_poll.hpp"

namespace velkor::boundary {

// A new bytes object holding a copy of `data`. The caller still owns (and wipes) its buffer.
[[nodiscard]] OwnedRef make_bytes(std::span<const std::uint8_t> data);

// A new list of `size` slots, to be filled with set_list_text.
[[nodiscard]] OwnedRef make_list(std::size_t size);

// Stores a new str made from the UTF-8 `text` at `position` of a list from make_list.
void set_list_text(const OwnedRef& list, std::size_t position, std::string_view text);

// A new list of str, one per UTF-8 text of `texts` (anything with size() and an operator[]
// giving text), in the same order. Signals are checked every few thousand items, as in the core.
template <class TextList>
[[nodiscard]] OwnedRef make_str_list(const TextList& texts) {
  OwnedRef list = make_list(texts.size());
  core::PollCountdown items(check_signals, core::items_per_poll(core::kShareSteps));
  for (std::size_t i = 0; i < texts.size(); ++i) {
    items.tick();
    set_list_text(list, i, std::string_view(texts[i]));
  }
  return list;
}

}  // namespace velkor::boundary
