// secure_wipe: the single place where secret memory is overwritten. Each platform's own
// non-elidable primitive is used where the C library provides one; everywhere else the volatile
// loop of detail::volatile_wipe does the job.

// memset_s (C11 Annex K) is declared only when this is set before the first C library header,
// and any standard header may pull <string.h> in, so it comes before every include.
#if defined(__APPLE__) && !defined(__STDC_WANT_LIB_EXT1__)
#define __STDC_WANT_LIB_EXT1__ 1
#endif

#include "core/wipe.hpp"

#include <string.h>  // explicit_bzero, explicit_memset, memset_s: not part of <cstring>

#include "core/wipe_internal.hpp"

#if defined(_WIN32)
#include "core/random/windows_api.hpp"  // SecureZeroMemory
#endif

// Which primitive this C library offers. glibc has explicit_bzero since 2.25, FreeBSD since
// 11 and OpenBSD since 5.5; NetBSD names its equivalent explicit_memset.
#if defined(_WIN32)
#define VELKOR_WIPE_SECURE_ZERO_MEMORY 1
#elif defined(__APPLE__)
#define VELKOR_WIPE_MEMSET_S 1
#elif defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 25))
#define VELKOR_WIPE_EXPLICIT_BZERO 1
#elif defined(__FreeBSD__) || defined(__OpenBSD__)
#define VELKOR_WIPE_EXPLICIT_BZERO 1
#elif defined(__NetBSD__)
#define VELKOR_WIPE_EXPLICIT_MEMSET 1
#endif

namespace velkor::core {

namespace detail {

void volatile_wipe(void* data, std::size_t size) noexcept {
  // Stores through a volatile lvalue are observable behaviour, so none of them may be dropped.
  volatile unsigned char* bytes = static_cast<volatile unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = 0;
  }
#if defined(__GNUC__) || defined(__clang__)
  // An empty assembly statement that receives the address and clobbers memory: the compiler
  // must assume the zeros are read, so it cannot sink or merge the stores above.
  __asm__ __volatile__("" : : "r"(data) : "memory");
#endif
}

}  // namespace detail

void secure_wipe(void* data, std::size_t size) noexcept {
  // Nothing to do, and the primitives below are not all specified for a null pointer.
  if (size == 0) {
    return;
  }
#if defined(VELKOR_WIPE_SECURE_ZERO_MEMORY)
  SecureZeroMemory(data, size);
#elif defined(VELKOR_WIPE_MEMSET_S)
  // memset_s refuses sizes above RSIZE_MAX and then may write nothing; no real buffer is that
  // large, but if one were it is still wiped, by the portable loop.
  if (memset_s(data, size, 0, size) != 0) {
    detail::volatile_wipe(data, size);
  }
#elif defined(VELKOR_WIPE_EXPLICIT_BZERO)
  explicit_bzero(data, size);
#elif defined(VELKOR_WIPE_EXPLICIT_MEMSET)
  explicit_memset(data, 0, size);
#else
  detail::volatile_wipe(data, size);
#endif
}

}  // namespace velkor::core
