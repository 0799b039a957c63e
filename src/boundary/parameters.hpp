// ParameterSpec: the static description of a module function's parameters that drives the
// general binder (binder.hpp). One constant record per function; the binder reads nothing else.
//
// Slot layout: the positional parameters first, in order, then the keyword-only parameters.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace velkor::boundary {

struct KeywordOnlyParameter {
  std::string_view name;
  bool required;
};

struct ParameterSpec {
  // The plain function name; messages show it as "name()".
  std::string_view function_name;
  // Parameters that may be given by position (and, unless positional-only, by keyword).
  std::span<const std::string_view> positional;
  // How many of the leading positional parameters must be supplied.
  std::size_t required_positional;
  // How many of the leading positional parameters may not be given by keyword.
  std::size_t positional_only;
  // Parameters that may only be given by keyword.
  std::span<const KeywordOnlyParameter> keyword_only;

  [[nodiscard]] constexpr std::size_t slot_count() const noexcept {
    return positional.size() + keyword_only.size();
  }
  [[nodiscard]] constexpr bool valid() const noexcept {
    return required_positional <= positional.size() && positional_only <= positional.size();
  }
};

}  // namespace velkor::boundary
