// The platform-independent part of the random source. fill_random itself lives in one file per
// operating system: random_source_linux.cpp, random_source_getentropy.cpp (macOS and the BSDs)
// and random_source_windows.cpp.
#include "core/random/random_source.hpp"

#include <array>
#include <cerrno>

#include "core/random/random_source_internal.hpp"
#include "core/wipe.hpp"

namespace velkor::core {

std::string random_failure_message(std::uint32_t code) {
  return "Error: OS Error: " + std::to_string(code);
}

std::uint64_t random_u64() {
  std::array<unsigned char, 8> bytes{};
  fill_random(bytes.data(), bytes.size());
  // Little-endian whatever the host's byte order: the first byte delivered is the lowest.
  std::uint64_t value = 0;
  for (std::size_t i = bytes.size(); i-- > 0;) {
    value = (value << 8) | bytes[i];
  }
  // The stack copy is half of a polynomial coefficient.
  secure_wipe(bytes.data(), bytes.size());
  return value;
}

namespace detail {

std::uint32_t errno_failure_code(int error) noexcept {
  if (error > 0) {
    return static_cast<std::uint32_t>(error);
  }
  return static_cast<std::uint32_t>(EIO);
}

}  // namespace detail

}  // namespace velkor::core
