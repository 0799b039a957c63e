// Opening the vDSO getrandom (see vdso_getrandom.hpp).
#include "core/random/vdso_getrandom.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

#include "core/random/elf_symbols.hpp"

namespace velkor::core {

namespace {

// The answer of __vdso_getrandom to the parameter request (struct vgetrandom_opaque_params of
// the kernel's <linux/random.h>, newer than the headers this may be built with).
struct StateParameters {
  std::uint32_t size_of_opaque_state;
  std::uint32_t mmap_prot;
  std::uint32_t mmap_flags;
  std::uint32_t reserved[13];
};
static_assert(sizeof(StateParameters) == 64);

}  // namespace

std::optional<VdsoGetrandom> open_vdso_getrandom(const void* vdso_header) noexcept {
  const std::optional<elf::MappedObject> vdso = elf::object_at_header(vdso_header);
  if (!vdso) {
    return std::nullopt;
  }
  const std::uintptr_t address = elf::find_function(*vdso, "__vdso_getrandom", "LINUX_2.6");
  if (address == 0) {
    return std::nullopt;
  }
  const auto function = reinterpret_cast<VdsoGetrandom::Function>(address);
  // A null buffer, a length and flags of 0 and a state size of ~0 ask for the parameters.
  StateParameters parameters{};
  if (function(nullptr, 0, 0, &parameters, ~std::size_t{0}) != 0) {
    return std::nullopt;
  }
  // The kernel refuses a state that straddles a page boundary (pages may be dropped one by one),
  // so one page holds it, at its start.
  const long page = ::sysconf(_SC_PAGESIZE);
  const std::size_t size = parameters.size_of_opaque_state;
  if (page <= 0 || size == 0 || size > static_cast<std::size_t>(page)) {
    return std::nullopt;
  }
  void* const state =
      ::mmap(nullptr, static_cast<std::size_t>(page), static_cast<int>(parameters.mmap_prot),
             static_cast<int>(parameters.mmap_flags), -1, 0);
  if (state == MAP_FAILED) {
    return std::nullopt;
  }
  return VdsoGetrandom{function, state, size};
}

}  // namespace velkor::core
