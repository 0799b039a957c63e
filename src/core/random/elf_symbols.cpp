// Dynamic symbol lookup in mapped ELF objects (see elf_symbols.hpp). The symbols are scanned in
// order rather than hashed: the lookups are few (a handful per process) and a scan needs from
// the hash tables only the number of symbols.
#include "core/random/elf_symbols.hpp"

#include <elf.h>

#include <algorithm>
#include <cstring>

namespace velkor::core::elf {

namespace {

// The tables that an object's dynamic section points to; null where an entry is missing.
struct Tables {
  const ElfW(Sym) * symbols = nullptr;
  const char* strings = nullptr;
  std::size_t strings_size = 0;
  const std::uint32_t* sysv_hash = nullptr;
  const std::uint32_t* gnu_hash = nullptr;
  const ElfW(Versym) * versions = nullptr;
  const ElfW(Verdef) * definitions = nullptr;
  std::size_t definition_count = 0;
  std::optional<std::size_t> soname;  // offset in the string table
};

template <class T>
const T* at(std::uintptr_t address) noexcept {
  return reinterpret_cast<const T*>(address);
}

std::optional<Tables> read_tables(const MappedObject& object) noexcept {
  std::uintptr_t dynamic = 0;
  std::size_t dynamic_count = 0;
  // The link addresses that the object's loaded segments cover.
  std::uintptr_t low = UINTPTR_MAX;
  std::uintptr_t high = 0;
  for (std::size_t i = 0; i < object.header_count; ++i) {
    const ElfW(Phdr) & header = object.headers[i];
    if (header.p_type == PT_LOAD) {
      low = std::min<std::uintptr_t>(low, header.p_vaddr);
      high = std::max<std::uintptr_t>(high, header.p_vaddr + header.p_memsz);
    } else if (header.p_type == PT_DYNAMIC) {
      dynamic = object.bias + header.p_vaddr;
      dynamic_count = header.p_memsz / sizeof(ElfW(Dyn));
    }
  }
  if (dynamic == 0 || low >= high) {
    return std::nullopt;
  }
  // glibc's dynamic loader rewrites some entries of the objects it loads (the symbol, string,
  // hash and version-symbol tables, not the version definitions) to run-time addresses; it
  // leaves the vDSO, whose pages are read-only, as linked. So an entry is a link address when
  // it lies in the object's link range, else a run-time address when that lies in the mapping.
  // For a mapped shared object the bias exceeds the size of its range: no value is both.
  const auto resolve = [&](ElfW(Addr) value) -> std::uintptr_t {
    if (value >= low && value < high) {
      return object.bias + value;
    }
    const std::uintptr_t linked = value - object.bias;
    return linked >= low && linked < high ? value : 0;
  };
  Tables tables;
  const auto* entry = at<ElfW(Dyn)>(dynamic);
  for (std::size_t i = 0; i < dynamic_count && entry[i].d_tag != DT_NULL; ++i) {
    const ElfW(Dyn) & e = entry[i];
    switch (e.d_tag) {
      case DT_SYMTAB:
        tables.symbols = at<ElfW(Sym)>(resolve(e.d_un.d_ptr));
        break;
      case DT_STRTAB:
        tables.strings = at<char>(resolve(e.d_un.d_ptr));
        break;
      case DT_STRSZ:
        tables.strings_size = e.d_un.d_val;
        break;
      case DT_HASH:
        tables.sysv_hash = at<std::uint32_t>(resolve(e.d_un.d_ptr));
        break;
      case DT_GNU_HASH:
        tables.gnu_hash = at<std::uint32_t>(resolve(e.d_un.d_ptr));
        break;
      case DT_VERSYM:
        tables.versions = at<ElfW(Versym)>(resolve(e.d_un.d_ptr));
        break;
      case DT_VERDEF:
        tables.definitions = at<ElfW(Verdef)>(resolve(e.d_un.d_ptr));
        break;
      case DT_VERDEFNUM:
        tables.definition_count = e.d_un.d_val;
        break;
      case DT_SONAME:
        tables.soname = e.d_un.d_val;
        break;
      default:
        break;
    }
  }
  return tables;
}

// The number of entries of the symbol table: the chain count of the SysV hash table, or else
// one past the last symbol that the GNU hash table reaches (the last chain of the highest
// bucket ends with a value whose lowest bit is set).
std::size_t symbol_count(const Tables& tables) noexcept {
  if (tables.sysv_hash != nullptr) {
    return tables.sysv_hash[1];
  }
  if (tables.gnu_hash == nullptr) {
    return 0;
  }
  const std::uint32_t bucket_count = tables.gnu_hash[0];
  const std::uint32_t first = tables.gnu_hash[1];  // symbols below it are not hashed
  const std::uint32_t bloom_words = tables.gnu_hash[2];
  const auto* buckets = reinterpret_cast<const std::uint32_t*>(
      reinterpret_cast<const ElfW(Addr)*>(tables.gnu_hash + 4) + bloom_words);
  const std::uint32_t* chains = buckets + bucket_count;
  std::uint32_t last = 0;
  for (std::uint32_t i = 0; i < bucket_count; ++i) {
    last = std::max(last, buckets[i]);
  }
  if (last < first) {
    return first;
  }
  while ((chains[last - first] & 1) == 0) {
    ++last;
  }
  return std::size_t{last} + 1;
}

std::string_view string_at(const Tables& tables, std::size_t offset) noexcept {
  if (tables.strings == nullptr || offset >= tables.strings_size) {
    return {};
  }
  const char* start = tables.strings + offset;
  return {start, ::strnlen(start, tables.strings_size - offset)};
}

// The name of the version that symbol `index` is defined with, or an empty view.
std::string_view version_of(const Tables& tables, std::size_t index) noexcept {
  if (tables.versions == nullptr || tables.definitions == nullptr) {
    return {};
  }
  // The top bit marks a hidden (non-default) version; the rest indexes the definitions.
  const unsigned wanted = tables.versions[index] & 0x7fffU;
  const auto* definition = tables.definitions;
  for (std::size_t i = 0; i < tables.definition_count; ++i) {
    if ((definition->vd_flags & VER_FLG_BASE) == 0 && definition->vd_ndx == wanted) {
      const auto* aux =
          at<ElfW(Verdaux)>(reinterpret_cast<std::uintptr_t>(definition) + definition->vd_aux);
      return string_at(tables, aux->vda_name);
    }
    if (definition->vd_next == 0) {
      break;
    }
    definition =
        at<ElfW(Verdef)>(reinterpret_cast<std::uintptr_t>(definition) + definition->vd_next);
  }
  return {};
}

}  // namespace

std::optional<MappedObject> object_at_header(const void* header) noexcept {
  if (header == nullptr || std::memcmp(header, ELFMAG, SELFMAG) != 0) {
    return std::nullopt;
  }
  const auto* elf = static_cast<const ElfW(Ehdr)*>(header);
  constexpr unsigned char kClass = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
  constexpr unsigned char kByteOrder =
      __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;
  if (elf->e_ident[EI_CLASS] != kClass || elf->e_ident[EI_DATA] != kByteOrder ||
      elf->e_phentsize != sizeof(ElfW(Phdr))) {
    return std::nullopt;
  }
  const auto base = reinterpret_cast<std::uintptr_t>(header);
  const auto* headers = at<ElfW(Phdr)>(base + elf->e_phoff);
  for (std::size_t i = 0; i < elf->e_phnum; ++i) {
    // The header is the start of the first loaded segment's file image.
    if (headers[i].p_type == PT_LOAD) {
      return MappedObject{base + headers[i].p_offset - headers[i].p_vaddr, headers, elf->e_phnum};
    }
  }
  return std::nullopt;
}

std::uintptr_t find_function(const MappedObject& object, std::string_view name,
                             std::string_view version) noexcept {
  const std::optional<Tables> tables = read_tables(object);
  if (!tables || tables->symbols == nullptr) {
    return 0;
  }
  const std::size_t count = symbol_count(*tables);
  for (std::size_t i = 1; i < count; ++i) {  // entry 0 is the reserved null symbol
    const ElfW(Sym) & symbol = tables->symbols[i];
    const unsigned type = symbol.st_info & 0xfU;
    const unsigned binding = static_cast<unsigned>(symbol.st_info) >> 4;
    if (type != STT_FUNC || (binding != STB_GLOBAL && binding != STB_WEAK) ||
        symbol.st_shndx == SHN_UNDEF) {
      continue;
    }
    if (string_at(*tables, symbol.st_name) == name && version_of(*tables, i) == version) {
      return object.bias + symbol.st_value;
    }
  }
  return 0;
}

std::string_view soname(const MappedObject& object) noexcept {
  const std::optional<Tables> tables = read_tables(object);
  if (!tables || !tables->soname) {
    return {};
  }
  return string_at(*tables, *tables->soname);
}

}  // namespace velkor::core::elf
