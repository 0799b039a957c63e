// Byte order: 64-bit words from and to big-endian bytes, whatever the host's own order. With GCC
// and Clang a load or store and, on a little-endian host, one byte swap instruction.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace velkor::core {

// The bytes of `v` in the opposite order.
[[nodiscard]] constexpr std::uint64_t byte_swap(std::uint64_t v) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_bswap64(v);
#else
  std::uint64_t r = 0;
  for (int i = 0; i < 8; ++i) r |= ((v >> (8 * i)) & 0xffU) << (8 * (7 - i));
  return r;
#endif
}

// The 8 bytes at `bytes` read as a big-endian word.
[[nodiscard]] inline std::uint64_t load_be64(const std::uint8_t* bytes) noexcept {
  std::uint64_t word = 0;
  std::memcpy(&word, bytes, sizeof word);
  if constexpr (std::endian::native == std::endian::little) word = byte_swap(word);
  return word;
}

// `word` written to the 8 bytes at `out`, most significant first.
inline void store_be64(std::uint8_t* out, std::uint64_t word) noexcept {
  if constexpr (std::endian::native == std::endian::little) word = byte_swap(word);
  std::memcpy(out, &word, sizeof word);
}

}  // namespace velkor::core
