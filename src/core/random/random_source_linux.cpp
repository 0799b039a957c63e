// fill_random on Linux. Requests reach the kernel's cryptographic generator in one of two ways
// (random_source_linux.hpp says which is taken when):
//   - the kernel's vDSO getrandom, the same generator run in this process from a state that
//     the kernel defines (vdso_getrandom.hpp), as glibc 2.41 and later do inside getrandom();
//   - the C library's getrandom(), which reads the generator without a file descriptor. It is
//     called through the C library (not as a raw system call), so that the usual symbol
//     interposition works on it, for tests as for any other tool.
// Either way every request is made when it is asked for: nothing is buffered here.
#include "core/random/random_source_linux.hpp"

#include <link.h>
#include <sys/auxv.h>
#include <sys/random.h>
#include <sys/types.h>

#if defined(__GLIBC__)
#include <gnu/libc-version.h>
#endif

#include <atomic>
#include <cerrno>
#include <charconv>
#include <optional>

#include "core/cancellation.hpp"
#include "core/internal_failure.hpp"
#include "core/random/elf_symbols.hpp"
#include "core/random/random_source.hpp"
#include "core/random/random_source_internal.hpp"

namespace velkor::core {

namespace {

// Fills `remaining` bytes (at least one) at `next` with getrandom(). getrandom() is a
// cancellation point, and the module calls it with the interpreter lock held: the caller holds
// cancellation off (core/cancellation.hpp).
void fill_with_getrandom(unsigned char* next, std::size_t remaining) {
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

// The part of a request of `size` bytes (at least one) that `vdso` answers, when it is not null:
// how many bytes at the start of the buffer it filled. The vDSO answers in full. A failure
// (negative), no byte or more than asked for leaves the whole request to getrandom(), a short
// answer the rest of it: then getrandom() reports whatever really fails, exactly as on the path
// without the vDSO.
std::size_t vdso_part(const VdsoGetrandom* vdso, void* buffer, std::size_t size) {
  if (vdso == nullptr) {
    return 0;
  }
  const ssize_t got = (*vdso)(buffer, size);
  if (got > 0 && static_cast<std::size_t>(got) <= size) {
    return static_cast<std::size_t>(got);
  }
  return 0;
}

// Run once, at the first request. Kept out of line, so that the callers' path for every other
// request stays a few instructions without a frame of their own.
#if defined(__GNUC__) || defined(__clang__)
__attribute__((noinline, cold))
#endif
std::optional<VdsoGetrandom> choose_vdso_getrandom() noexcept {
#if defined(__GLIBC__)
  if (linux_random::c_library_uses_vdso(::gnu_get_libc_version())) {
    return std::nullopt;
  }
  // This module's reference to getrandom resolves to the first definition in the process's
  // lookup order. When that is not the C library's own, someone watches or replaces the
  // generator (a preloaded library, a sanitizer, a test program) and sees every request.
  if (reinterpret_cast<std::uintptr_t>(&::getrandom) != linux_random::c_library_getrandom()) {
    return std::nullopt;
  }
  return open_vdso_getrandom(reinterpret_cast<const void*>(::getauxval(AT_SYSINFO_EHDR)));
#else
  return std::nullopt;
#endif
}

}  // namespace

namespace linux_random {

void fill_random_from(const VdsoGetrandom* vdso, void* buffer, std::size_t size) {
  if (size == 0) {
    return;
  }
  // What the vDSO answered in full makes no system call, and needs no change of the thread's
  // cancellation state.
  const std::size_t done = vdso_part(vdso, buffer, size);
  if (done < size) {
    const CancellationHeldOff held_off;
    fill_with_getrandom(static_cast<unsigned char*>(buffer) + done, size - done);
  }
}

const VdsoGetrandom* process_vdso_getrandom() noexcept {
  // The one vDSO state of the process, kept here and opened (mapped) at the first request. One
  // is enough, although the kernel's design gives each thread its own: every request of the
  // module is made by a call that holds the interpreter lock from entry to return and never
  // releases it, and the module refuses to be imported into a second interpreter, so no two
  // requests ever use the state at the same time. If opening fails, the answer stays null and
  // every request goes through getrandom().
  static const std::optional<VdsoGetrandom> vdso = choose_vdso_getrandom();
  return vdso ? &*vdso : nullptr;
}

bool c_library_uses_vdso(std::string_view glibc_version) noexcept {
  unsigned major = 0;
  unsigned minor = 0;
  const char* const end = glibc_version.data() + glibc_version.size();
  const auto [dot, major_error] = std::from_chars(glibc_version.data(), end, major);
  if (major_error != std::errc{} || dot == end || *dot != '.') {
    return true;
  }
  const auto [rest, minor_error] = std::from_chars(dot + 1, end, minor);
  // "2.41" or "2.41.9000" (a development snapshot): anything after the minor number is not read.
  if (minor_error != std::errc{} || (rest != end && *rest != '.')) {
    return true;
  }
  return major > 2 || (major == 2 && minor >= 41);
}

std::uintptr_t c_library_getrandom() noexcept {
  std::uintptr_t address = 0;
  ::dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* data) -> int {
        const elf::MappedObject object{info->dlpi_addr, info->dlpi_phdr, info->dlpi_phnum};
        if (elf::soname(object) != "libc.so.6") {
          return 0;  // the next object
        }
        *static_cast<std::uintptr_t*>(data) = elf::find_function(object, "getrandom", "GLIBC_2.25");
        return 1;  // stop
      },
      &address);
  return address;
}

}  // namespace linux_random

void fill_random(void* buffer, std::size_t size) {
  if (size == 0) {
    return;  // no request, and no reason to open the vDSO state
  }
  linux_random::fill_random_from(linux_random::process_vdso_getrandom(), buffer, size);
}

namespace {

// Set once the first request has found that requests go to getrandom(): from then on the path of
// a request needs no look at the vDSO state, and no frame of its own.
std::atomic<bool> getrandom_only{false};

// fill_random_held_off for a request that may use the vDSO (every request until the path is
// known, then every request where the vDSO is used).
#if defined(__GNUC__) || defined(__clang__)
__attribute__((noinline))
#endif
void fill_random_chosen(void* buffer, std::size_t size) {
  const VdsoGetrandom* const vdso = linux_random::process_vdso_getrandom();
  if (vdso == nullptr) {
    getrandom_only.store(true, std::memory_order_relaxed);
  }
  const std::size_t done = vdso_part(vdso, buffer, size);
  if (done < size) {
    fill_with_getrandom(static_cast<unsigned char*>(buffer) + done, size - done);
  }
}

}  // namespace

void fill_random_held_off(void* buffer, std::size_t size) {
  if (size == 0) {
    return;
  }
  if (getrandom_only.load(std::memory_order_relaxed)) {
    fill_with_getrandom(static_cast<unsigned char*>(buffer), size);
    return;
  }
  fill_random_chosen(buffer, size);
}

}  // namespace velkor::core
