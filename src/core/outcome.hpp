// Result type of the core operations: a value, or the error message that tells the caller
// what was wrong with its input. Core operations never throw for bad input; they return the
// first failed check as text and the boundary decides how to raise it.
#pragma once

#include <string_view>
#include <utility>
#include <variant>

#include "core/wipe.hpp"

namespace velkor::core {

// The text of an input error, exactly as the caller will see it (before any prefix the
// module function puts in front of it). A message may quote the caller's input (a rejected
// share text), so it lives in wiping storage.
struct ErrorMessage {
  SecretString text;
};

template <class T>
class [[nodiscard]] Outcome {
 public:
  Outcome(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Outcome(ErrorMessage error) : state_(std::in_place_index<1>, std::move(error)) {}

  [[nodiscard]] bool ok() const noexcept { return state_.index() == 0; }

  // Only valid when ok().
  [[nodiscard]] T& value() & { return *std::get_if<0>(&state_); }
  [[nodiscard]] const T& value() const& { return *std::get_if<0>(&state_); }
  [[nodiscard]] T&& value() && { return std::move(*std::get_if<0>(&state_)); }

  // Only valid when !ok(); a view of the message, valid as long as this outcome lives.
  [[nodiscard]] std::string_view error() const& { return std::get_if<1>(&state_)->text; }

 private:
  std::variant<T, ErrorMessage> state_;
};

}  // namespace velkor::core
