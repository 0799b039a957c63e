// The platform-independent part of the random source. fill_random itself lives in one file per
// operating system: random_source_linux.cpp, random_source_getentropy.cpp (macOS and the BSDs)
// and random_source_windows.cpp.
#include "core/random/random_source.hpp"

#include <bit>
#include <cerrno>

#include "core/byte_order.hpp"
#include "core/random/random_source_internal.hpp"

namespace velkor::core {

std::string random_failure_message(std::uint32_t code) {
  return "Error: OS Error: " + std::to_string(code);
}

std::uint64_t random_u64() {
  std::uint64_t word = 0;
  fill_random_held_off(&word, sizeof word);
  // Little-endian whatever the host's byte order: the first byte delivered is the lowest.
  std::uint64_t value = word;
  if constexpr (std::endian::native != std::endian::little) value = byte_swap(value);
  // The request's buffer is half of a polynomial coefficient. A volatile store is observable
  // behaviour, so the optimiser cannot drop it although the word is dead afterwards; one store
  // costs less than a call of secure_wipe, which this path would make 8 · (k − 1) times a split.
  *static_cast<volatile std::uint64_t*>(&word) = 0;
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
