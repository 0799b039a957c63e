// fill_random on Windows: BCryptGenRandom with the system-preferred generator, and
// SystemFunction036 (documented as RtlGenRandom) as the fallback for a piece it fails on. The
// decisions are made by windows_random::fill_in_pieces; this file only binds the system calls.
#include "core/random/windows_api.hpp"
// windows.h first: bcrypt.h uses its types.
#include <bcrypt.h>

#include <cstddef>
#include <cstdint>

#include "core/internal_failure.hpp"
#include "core/random/random_source.hpp"
#include "core/random/windows_random.hpp"

// The SDK declares this function only under its documented name RtlGenRandom, which
// <ntsecapi.h> maps onto the exported name with a macro; declaring the export directly avoids
// that header and its macro. It lives in ADVAPI32.dll.
extern "C" BOOLEAN NTAPI SystemFunction036(PVOID buffer, ULONG length);

static_assert(BCRYPT_USE_SYSTEM_PREFERRED_RNG ==
              velkor::core::windows_random::kUseSystemPreferredRng);
static_assert(sizeof(ULONG) == sizeof(std::uint32_t));

namespace velkor::core {

void fill_random(void* buffer, std::size_t size) {
  auto* const bytes = static_cast<unsigned char*>(buffer);
  const std::uint32_t code = windows_random::fill_in_pieces(
      size,
      [bytes](std::size_t offset, std::uint32_t length) -> std::uint32_t {
        // A null algorithm handle with this flag selects the system-preferred generator.
        const NTSTATUS status = BCryptGenRandom(nullptr, bytes + offset, ULONG{length},
                                                BCRYPT_USE_SYSTEM_PREFERRED_RNG);
        // NTSTATUS is a signed LONG; its bit pattern is what the severity test reads.
        return static_cast<std::uint32_t>(status);
      },
      [bytes](std::size_t offset, std::uint32_t length) -> bool {
        return SystemFunction036(bytes + offset, ULONG{length}) != FALSE;
      });
  if (code != 0) {
    internal_failure(random_failure_message(code));
  }
}

// Not a cancellation point here: the same call.
void fill_random_held_off(void* buffer, std::size_t size) {
  fill_random(buffer, size);
}

}  // namespace velkor::core
