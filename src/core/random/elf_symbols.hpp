// Lookup of functions in the dynamic symbol table of an ELF object that is already mapped into
// the process: the kernel's vDSO (handed over as the address of its ELF header) and the shared
// objects that the dynamic loader lists. Linux only. Nothing is read from files and nothing is
// loaded: only the tables the object's PT_DYNAMIC segment points to.
#pragma once

#include <link.h>  // ElfW, the ELF types of this machine's word size

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace velkor::core::elf {

// A mapped ELF object: its program headers and the load bias, the difference between the
// addresses it was linked for and those it is mapped at.
struct MappedObject {
  std::uintptr_t bias = 0;
  const ElfW(Phdr) * headers = nullptr;
  std::size_t header_count = 0;
};

// The object whose ELF header is mapped at `header`, as the kernel maps the vDSO; nothing when
// the bytes there are not an ELF header of this machine's class and byte order.
[[nodiscard]] std::optional<MappedObject> object_at_header(const void* header) noexcept;

// The address of the defined function `name` of version `version` (a GLOBAL or WEAK STT_FUNC
// symbol whose version definition is named `version`), or 0 when the object has no such
// function, no symbol versions, or no table to tell how many symbols there are.
[[nodiscard]] std::uintptr_t find_function(const MappedObject& object, std::string_view name,
                                           std::string_view version) noexcept;

// The object's DT_SONAME, or an empty view when it has none.
[[nodiscard]] std::string_view soname(const MappedObject& object) noexcept;

}  // namespace velkor::core::elf
