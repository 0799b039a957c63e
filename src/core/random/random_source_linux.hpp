// The parts of the Linux random source that choose its path, declared here for its tests. The
// path is chosen once, at the first request of the process:
//   - the C library's getrandom() when it already runs the vDSO generator itself (glibc 2.41
//     and later), when getrandom is interposed (defined by an object ahead of the C library: a
//     preloaded library, the program itself), or when the C library is not glibc;
//   - else the kernel's vDSO getrandom with one state for the process, when the kernel has it;
//   - else getrandom(), as before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/random/vdso_getrandom.hpp"

namespace velkor::core::linux_random {

// fill_random with the path given: the request goes to `vdso` when it is not null, and what the
// vDSO does not deliver (all of it when the call fails) goes through getrandom(), with its
// failure handling.
void fill_random_from(const VdsoGetrandom* vdso, void* buffer, std::size_t size);

// The process's vDSO generator, opened at the first call; null when requests go through
// getrandom().
[[nodiscard]] const VdsoGetrandom* process_vdso_getrandom() noexcept;

// True when a glibc of this version (gnu_get_libc_version) calls the vDSO inside getrandom()
// by itself: 2.41 and later. A version that cannot be read counts as such, so that the plain
// getrandom() path is taken.
[[nodiscard]] bool c_library_uses_vdso(std::string_view glibc_version) noexcept;

// The address of the C library's own getrandom (glibc's libc.so.6, version GLIBC_2.25), found
// among the loaded objects; 0 when it cannot be found.
[[nodiscard]] std::uintptr_t c_library_getrandom() noexcept;

}  // namespace velkor::core::linux_random
