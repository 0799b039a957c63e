// The kernel's getrandom in the vDSO (Linux 6.11 and later): the kernel's own generator, run in
// the caller's address space. It keeps its per-caller state in memory that the kernel defines
// (size, protection and mapping flags all come from the kernel): dropped under memory pressure,
// wiped in the child on fork, left out of core dumps. The state holds the generator's key and a
// batch of its output; the kernel's code alone reads and writes it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>

namespace velkor::core {

struct VdsoGetrandom {
  // __vdso_getrandom(buffer, length, flags, state, state_size): like getrandom(2), it returns
  // the number of bytes written or a negative error number.
  using Function = ssize_t (*)(void* buffer, std::size_t length, unsigned int flags, void* state,
                               std::size_t state_size);

  Function function = nullptr;
  void* state = nullptr;
  std::size_t state_size = 0;

  // One request with flags 0, as the getrandom() path makes it.
  ssize_t operator()(void* buffer, std::size_t length) const noexcept {
    return function(buffer, length, 0, state, state_size);
  }
};

// Finds __vdso_getrandom (version LINUX_2.6) in the vDSO whose ELF header is at `vdso_header`
// (getauxval(AT_SYSINFO_EHDR)), asks it for its state parameters and maps one state exactly as
// they say. Nothing when there is no vDSO or no such function, or when the parameters cannot be
// had or the mapping fails. The mapping is never released: it serves until the process ends.
[[nodiscard]] std::optional<VdsoGetrandom> open_vdso_getrandom(const void* vdso_header) noexcept;

}  // namespace velkor::core
