// The Windows random source's decisions, kept apart from the system calls: how a request is cut
// into pieces, which status words count as failures, when the fallback generator is asked and
// which failure code comes out. The two generators are passed in, so this header needs no
// <windows.h> and runs with fakes on every platform; random_source_windows.cpp binds the real
// BCryptGenRandom and SystemFunction036 (RtlGenRandom).
#pragma once

#include <cstddef>
#include <cstdint>

namespace velkor::core::windows_random {

// Both generators take a 32-bit byte count; 0xFFFFFFFF is the largest one (2^32 does not fit).
inline constexpr std::uint32_t kMaxPiece = 0xFFFFFFFFu;

// BCRYPT_USE_SYSTEM_PREFERRED_RNG: use the system's generator, no algorithm handle needed.
inline constexpr std::uint32_t kUseSystemPreferredRng = 2;

// A Windows status word carries its severity in the two top bits: 00 success, 01
// informational, 10 warning, 11 error. Only the error severity counts as a failure.
[[nodiscard]] constexpr bool is_failure_status(std::uint32_t status) noexcept {
  return status >= 0xC0000000u;
}

// The code reported for a failing status: the status with bit 31 cleared, which keeps it
// below 2^31 and, since bit 30 stays set, never zero.
[[nodiscard]] constexpr std::uint32_t failure_code(std::uint32_t status) noexcept {
  return status & 0x7FFFFFFFu;
}

// Fills `size` bytes in consecutive pieces of at most kMaxPiece bytes, in address order.
// Pieces are identified by their offset from the start of the buffer:
//   preferred(offset, length) -> std::uint32_t  the status word of BCryptGenRandom;
//   fallback(offset, length)  -> bool           true when RtlGenRandom filled the piece.
// Each piece goes to `preferred` first; only if that fails is `fallback` asked, once. If both
// fail, filling stops at that piece and the failure code of the preferred generator's status
// is returned; pieces filled before it are left as they are. Returns 0 when every piece was
// filled. A size of 0 calls neither function.
template <class Preferred, class Fallback>
[[nodiscard]] std::uint32_t fill_in_pieces(std::size_t size, Preferred&& preferred,
                                           Fallback&& fallback) {
  std::size_t offset = 0;
  while (offset < size) {
    const std::size_t remaining = size - offset;
    // Compared as 64-bit values: where size_t has 32 bits a direct comparison would always be
    // false, and compilers warn about it.
    const std::uint32_t length = static_cast<std::uint64_t>(remaining) > kMaxPiece
                                     ? kMaxPiece
                                     : static_cast<std::uint32_t>(remaining);
    const std::uint32_t status = preferred(offset, length);
    if (is_failure_status(status) && !fallback(offset, length)) {
      return failure_code(status);
    }
    offset += length;
  }
  return 0;
}

}  // namespace velkor::core::windows_random
