// Internal failures: conditions that are not the caller's fault (the operating system's random
// generator failing, a reservation whose size cannot be represented). They end the whole
// Python-level call; the boundary turns them into a report on standard error and PanicException.
#pragma once

#include <exception>
#include <string>
#include <utility>

#include "core/source_place.hpp"

namespace velkor::core {

class InternalFailure final : public std::exception {
 public:
  InternalFailure(std::string message, SourcePlace where) noexcept
      : message_(std::move(message)), where_(where) {}

  [[nodiscard]] const char* what() const noexcept override { return message_.c_str(); }
  [[nodiscard]] const std::string& message() const noexcept { return message_; }
  // The place in the module's source where the failure was detected.
  [[nodiscard]] const SourcePlace& where() const noexcept { return where_; }

 private:
  std::string message_;
  SourcePlace where_;
};

// Ends the current operation with an internal failure. Never returns.
[[noreturn]] inline void internal_failure(std::string message,
                                          SourcePlace where = SourcePlace::current()) {
  throw InternalFailure(std::move(message), where);
}

}  // namespace velkor::core
