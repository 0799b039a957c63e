// fill_random on Linux: the C library's getrandom(), which reads the kernel's cryptographic
// generator without a file descriptor. It is called through the C library (not as a raw system
// call) so that the usual symbol interposition works on it, for tests as for any other tool.
#include <sys/random.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>

#include "core/internal_failure.hpp"
#include "core/random_source.hpp"
#include "core/random_source_internal.hpp"

namespace velkor::core {

void fill_random(void* buffer, std::size_t size) {
  auto* next = static_cast<unsigned char*>(buffer);
  std::size_t remaining = size;
  // A size of 0 never enters the loop, so it makes no system call.
  while (remaining > 0) {
    // Flags 0: the urandom source, which blocks only until the kernel's generator has been
    // seeded once after boot and never afterwards. Requests above 256 bytes may be answered
    // in part (and a signal may cut one short); the loop asks again for what is missing.
    const ssize_t got = ::getrandom(next, remaining, 0);
    if (got < 0) {
      // Read errno at once, before anything else can overwrite it.
      const int error = errno;
      if (error == EINTR) {
        continue;
      }
      internal_failure(random_failure_message(detail::errno_failure_code(error)));
    }
    const auto delivered = static_cast<std::size_t>(got);
    if (delivered == 0 || delivered > remaining) {
      // Neither is a valid answer to a non-zero request: zero bytes would make this loop spin
      // for ever, and more than asked for means the count cannot be trusted. Fail instead of
      // calling the buffer filled.
      internal_failure(random_failure_message(detail::errno_failure_code(EIO)));
    }
    next += delivered;
    remaining -= delivered;
  }
}

}  // namespace velkor::core
