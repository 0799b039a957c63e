// SourcePlace: the file, line and column of a call site, for the report of an internal failure.
//
// It is std::source_location where the standard library provides it. Clang before 15 with
// libstdc++ (Debian 12's default clang) and older libc++ releases lack it, although the compiler
// offers the same information through __builtin_FILE, __builtin_LINE and __builtin_COLUMN; there
// SourcePlace is a small class with the same interface, built from those.
#pragma once

#include <cstdint>
#include <version>

#if defined(__cpp_lib_source_location)
#include <source_location>
#endif

namespace velkor::core {

#if defined(__cpp_lib_source_location)

using SourcePlace = std::source_location;

#else

class SourcePlace {
 public:
  constexpr SourcePlace() noexcept = default;

  // The built-ins sit in the default arguments, so they are evaluated where current() is called
  // (or where a function with a defaulted SourcePlace parameter is called), not here.
  [[nodiscard]] static constexpr SourcePlace current(
      const char* file = __builtin_FILE(),
      std::uint_least32_t line = static_cast<std::uint_least32_t>(__builtin_LINE()),
      std::uint_least32_t column = static_cast<std::uint_least32_t>(__builtin_COLUMN())) noexcept {
    SourcePlace place;
    place.file_ = file;
    place.line_ = line;
    place.column_ = column;
    return place;
  }

  [[nodiscard]] constexpr const char* file_name() const noexcept { return file_; }
  [[nodiscard]] constexpr std::uint_least32_t line() const noexcept { return line_; }
  [[nodiscard]] constexpr std::uint_least32_t column() const noexcept { return column_; }

 private:
  const char* file_ = "";
  std::uint_least32_t line_ = 0;
  std::uint_least32_t column_ = 0;
};

#endif

}  // namespace velkor::core
