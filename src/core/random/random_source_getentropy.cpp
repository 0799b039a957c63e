// fill_random on macOS and the BSDs: getentropy(), which reads the kernel's cryptographic
// generator without a file descriptor and never answers in part. It refuses requests above
// 256 bytes, so longer ones are made piece by piece.
#include <unistd.h>  // getentropy on the BSDs
#if defined(__APPLE__)
#include <sys/random.h>  // getentropy on macOS
#endif

#include <cerrno>
#include <cstddef>

#include "core/internal_failure.hpp"
#include "core/random/random_source.hpp"
#include "core/random/random_source_internal.hpp"

namespace velkor::core {

namespace {

// The largest request getentropy accepts (GETENTROPY_MAX, not declared everywhere).
constexpr std::size_t kMaxPiece = 256;

}  // namespace

void fill_random(void* buffer, std::size_t size) {
  auto* next = static_cast<unsigned char*>(buffer);
  std::size_t remaining = size;
  // A size of 0 never enters the loop, so it makes no system call.
  while (remaining > 0) {
    const std::size_t piece = remaining < kMaxPiece ? remaining : kMaxPiece;
    // getentropy fills the whole piece or fails; it reports success as 0.
    if (::getentropy(next, piece) != 0) {
      // Read errno at once, before anything else can overwrite it.
      const int error = errno;
      // None of these systems documents EINTR for getentropy; if one ever reports it, the
      // piece was interrupted rather than refused, and is asked for again.
      if (error == EINTR) {
        continue;
      }
      internal_failure(random_failure_message(detail::errno_failure_code(error)));
    }
    next += piece;
    remaining -= piece;
  }
}

// Not a cancellation point here: the same call.
void fill_random_held_off(void* buffer, std::size_t size) {
  fill_random(buffer, size);
}

}  // namespace velkor::core
