// The dynamic-symbol lookup against a small ELF image built here and against the kernel's real
// vDSO, and the opening of the vDSO getrandom: its state parameters, refused ones included.
#if defined(__linux__)

#include <gtest/gtest.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "core/random/elf_symbols.hpp"
#include "core/random/vdso_getrandom.hpp"

namespace {

namespace elf = velkor::core::elf;
using Addr = ElfW(Addr);
using Definition = ElfW(Verdef);
using Dyn = ElfW(Dyn);
using Ehdr = ElfW(Ehdr);
using Half = ElfW(Half);
using Phdr = ElfW(Phdr);
using Sxword = ElfW(Sxword);
using Sym = ElfW(Sym);
using Verdaux = ElfW(Verdaux);
using Versym = ElfW(Versym);
using Word = ElfW(Word);
using velkor::core::open_vdso_getrandom;

enum class Variant {
  kSysvHash,       // as linked: link addresses, a SysV hash table
  kGnuHashOnly,    // only a GNU hash table gives the symbol count
  kRelocated,      // the table entries rewritten to run-time addresses, as glibc does
  kNoHashTable,    // nothing tells the symbol count
  kNoVersions,     // no version-symbol table
  kOldVersion,     // the function is defined with LINUX_2.5
  kHiddenVersion,  // a non-default version: still that version
  kUndefined,      // the function is only referenced
  kObject,         // a data symbol of that name
  kBadMagic,       // not an ELF header
};

// A mapped object as the vDSO is one: the ELF header, one PT_LOAD over the whole image and a
// PT_DYNAMIC; symbols null and the function looked for (so a symbol count one short misses
// it); versions linux-vdso.so.1 (base), LINUX_2.6, LINUX_2.5.
struct FakeImage {
  Ehdr header{};
  Phdr segments[2]{};
  Dyn dynamic[12]{};
  Sym symbols[2]{};
  Versym versions[2]{};
  struct VersionEntry {
    Definition definition;
    Verdaux aux;
  } definitions[3]{};
  std::uint32_t sysv_hash[4]{};            // 1 bucket, 2 chains
  alignas(8) std::uint32_t gnu_hash[8]{};  // 1 bucket, symbols from 1, one 64-bit bloom word
  char strings[80]{};

  FakeImage(Variant variant, std::uintptr_t function) {
    static_assert(sizeof(Addr) == 8, "the GNU hash table below has one 64-bit bloom word");
    std::size_t used = 1;
    const auto add = [&](std::string_view text) {
      const std::size_t offset = used;
      std::memcpy(strings + used, text.data(), text.size());
      used += text.size() + 1;
      return static_cast<Word>(offset);
    };
    const auto so = add("linux-vdso.so.1");
    const Word names[3] = {so, add("LINUX_2.6"), add("LINUX_2.5")};
    const auto wanted = add("__vdso_getrandom");
    const auto offset = [this](const void* part) {
      return static_cast<Addr>(static_cast<const char*>(part) -
                               reinterpret_cast<const char*>(this));
    };

    std::memcpy(header.e_ident, ELFMAG, SELFMAG);
    header.e_ident[EI_CLASS] = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
    // The tables are written in this machine's byte order, as the kernel's vDSO is.
    header.e_ident[EI_DATA] = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;
    if (variant == Variant::kBadMagic) header.e_ident[1] = 'X';
    header.e_phoff = offset(segments);
    header.e_phentsize = sizeof(Phdr);
    header.e_phnum = 2;
    segments[0].p_type = PT_LOAD;
    segments[0].p_memsz = sizeof(FakeImage);
    segments[1].p_type = PT_DYNAMIC;
    segments[1].p_vaddr = offset(dynamic);
    segments[1].p_memsz = sizeof dynamic;

    Sym& symbol = symbols[1];
    symbol.st_name = wanted;
    const int type = variant == Variant::kObject ? STT_OBJECT : STT_FUNC;
    symbol.st_info = static_cast<unsigned char>((STB_GLOBAL << 4) | type);
    symbol.st_shndx = variant == Variant::kUndefined ? SHN_UNDEF : 12;  // 12: any section
    symbol.st_value = function - reinterpret_cast<std::uintptr_t>(this);
    versions[1] = variant == Variant::kOldVersion      ? 3
                  : variant == Variant::kHiddenVersion ? 0x8002
                                                       : 2;
    for (unsigned i = 0; i < 3; ++i) {
      Definition& definition = definitions[i].definition;
      definition.vd_version = 1;
      definition.vd_flags = static_cast<Half>(i == 0 ? VER_FLG_BASE : 0);
      definition.vd_ndx = static_cast<Half>(i + 1);
      definition.vd_cnt = 1;
      definition.vd_aux = sizeof(Definition);
      definition.vd_next = i < 2 ? sizeof(VersionEntry) : 0;
      definitions[i].aux.vda_name = names[i];
    }
    sysv_hash[0] = 1;  // buckets
    sysv_hash[1] = 2;  // chains: one per symbol
    gnu_hash[0] = 1;   // buckets
    gnu_hash[1] = 1;   // first hashed symbol
    gnu_hash[2] = 1;   // bloom words (Addr each: two 32-bit slots)
    gnu_hash[6] = 1;   // the bucket starts at symbol 1
    gnu_hash[7] = 1;   // whose chain value ends the chain

    const bool relocated = variant == Variant::kRelocated;
    const auto pointer = [&](const void* part) {
      return relocated ? reinterpret_cast<Addr>(part) : offset(part);
    };
    std::size_t n = 0;
    const auto entry = [&](Sxword tag, Addr value) {
      dynamic[n].d_tag = tag;
      dynamic[n++].d_un.d_ptr = value;
    };
    entry(DT_SONAME, so);
    entry(DT_STRTAB, pointer(strings));
    entry(DT_STRSZ, used);
    entry(DT_SYMTAB, pointer(symbols));
    if (variant != Variant::kNoHashTable && variant != Variant::kGnuHashOnly) {
      entry(DT_HASH, pointer(sysv_hash));
    }
    if (variant == Variant::kGnuHashOnly) entry(DT_GNU_HASH, pointer(gnu_hash));
    if (variant != Variant::kNoVersions) entry(DT_VERSYM, pointer(versions));
    entry(DT_VERDEF, offset(definitions));  // glibc leaves this one as linked
    entry(DT_VERDEFNUM, 3);
  }
};

struct LookupCase {
  const char* label;
  Variant variant;
  const char* name;
  const char* version;
  bool found;
};

void PrintTo(const LookupCase& c, std::ostream* out) {
  *out << c.label;
}

class FakeElfLookup : public ::testing::TestWithParam<LookupCase> {};

TEST_P(FakeElfLookup, FindsOnlyTheDefinedFunctionOfThatNameAndVersion) {
  const LookupCase& c = GetParam();
  constexpr std::uintptr_t kFunction = 0x12345670;
  const FakeImage image(c.variant, kFunction);
  const auto object = elf::object_at_header(&image);
  if (c.variant == Variant::kBadMagic) {
    EXPECT_FALSE(object.has_value());
    return;
  }
  ASSERT_TRUE(object.has_value());
  EXPECT_EQ(elf::soname(*object), "linux-vdso.so.1");
  EXPECT_EQ(elf::find_function(*object, c.name, c.version), c.found ? kFunction : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Images, FakeElfLookup,
    ::testing::Values(
        LookupCase{"SysvHash", Variant::kSysvHash, "__vdso_getrandom", "LINUX_2.6", true},
        LookupCase{"GnuHashOnly", Variant::kGnuHashOnly, "__vdso_getrandom", "LINUX_2.6", true},
        LookupCase{"Relocated", Variant::kRelocated, "__vdso_getrandom", "LINUX_2.6", true},
        LookupCase{"HiddenVersion", Variant::kHiddenVersion, "__vdso_getrandom", "LINUX_2.6", true},
        LookupCase{"OtherVersionAsked", Variant::kSysvHash, "__vdso_getrandom", "LINUX_2.5", false},
        LookupCase{"NamePrefix", Variant::kSysvHash, "__vdso_getrando", "LINUX_2.6", false},
        LookupCase{"NoHashTable", Variant::kNoHashTable, "__vdso_getrandom", "LINUX_2.6", false},
        LookupCase{"NoVersions", Variant::kNoVersions, "__vdso_getrandom", "LINUX_2.6", false},
        LookupCase{"OldVersion", Variant::kOldVersion, "__vdso_getrandom", "LINUX_2.6", false},
        LookupCase{"Undefined", Variant::kUndefined, "__vdso_getrandom", "LINUX_2.6", false},
        LookupCase{"Object", Variant::kObject, "__vdso_getrandom", "LINUX_2.6", false},
        LookupCase{"BadMagic", Variant::kBadMagic, "__vdso_getrandom", "LINUX_2.6", false}),
    [](const ::testing::TestParamInfo<LookupCase>& param_info) {
      return std::string(param_info.param.label);
    });

// ---------------------------------------------------------------------------------------------
// The real vDSO.

#if defined(__x86_64__)
// Linux 6.11 and later export getrandom in the x86-64 vDSO.
bool kernel_has_vdso_getrandom() {
  utsname name{};
  int major = 0;
  int minor = 0;
  return ::uname(&name) == 0 && std::sscanf(name.release, "%d.%d", &major, &minor) == 2 &&
         (major > 6 || (major == 6 && minor >= 11));
}

TEST(RealVdso, GetrandomIsFoundAndFillsEveryRequestedByte) {
  if (!kernel_has_vdso_getrandom()) GTEST_SKIP() << "the kernel is older than 6.11";
  const auto vdso =
      open_vdso_getrandom(reinterpret_cast<const void*>(::getauxval(AT_SYSINFO_EHDR)));
  ASSERT_TRUE(vdso.has_value());
  // Over 64 fills every bit of every byte takes both values (see FillRandomCoverage).
  for (const std::size_t size : {std::size_t{8}, std::size_t{32}}) {
    unsigned char buffer[32];
    unsigned char any[32] = {};
    unsigned char all[32];
    std::memset(all, 0xFF, sizeof all);
    for (int round = 0; round < 64; ++round) {
      ASSERT_EQ((*vdso)(buffer, size), static_cast<ssize_t>(size));
      for (std::size_t i = 0; i < size; ++i) {
        any[i] = static_cast<unsigned char>(any[i] | buffer[i]);
        all[i] = static_cast<unsigned char>(all[i] & buffer[i]);
      }
    }
    for (std::size_t i = 0; i < size; ++i) {
      EXPECT_EQ(any[i], 0xFF) << size << " bytes, byte " << i;
      EXPECT_EQ(all[i], 0x00) << size << " bytes, byte " << i;
    }
  }
}
#endif

// ---------------------------------------------------------------------------------------------
// A fake vDSO getrandom that answers the parameter request from a script.

struct ParameterAnswer {
  const char* label;
  ssize_t result;
  std::uint32_t size, prot, flags;
  bool opened;
};

void PrintTo(const ParameterAnswer& c, std::ostream* out) {
  *out << c.label;
}

ParameterAnswer g_answer;
int g_requests = 0;

ssize_t fake_vdso_getrandom(void* buffer, std::size_t length, unsigned int flags, void* state,
                            std::size_t state_size) {
  ++g_requests;
  // The parameter request, as the kernel defines it.
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(flags, 0u);
  EXPECT_EQ(state_size, ~std::size_t{0});
  auto* const parameters = static_cast<std::uint32_t*>(state);
  parameters[0] = g_answer.size;
  parameters[1] = g_answer.prot;
  parameters[2] = g_answer.flags;
  return g_answer.result;
}

class FakeVdsoParameters : public ::testing::TestWithParam<ParameterAnswer> {};

TEST_P(FakeVdsoParameters, StateIsMappedOnlyAsTheKernelSays) {
  g_answer = GetParam();
  g_requests = 0;
  const FakeImage image(Variant::kSysvHash, reinterpret_cast<std::uintptr_t>(&fake_vdso_getrandom));
  const auto vdso = open_vdso_getrandom(&image);
  EXPECT_EQ(g_requests, 1);
  ASSERT_EQ(vdso.has_value(), GetParam().opened);
  if (vdso) {
    // Writable memory of its own, at the start of a page.
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    EXPECT_EQ(vdso->state_size, GetParam().size);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(vdso->state) % page, 0u);
    static_cast<volatile unsigned char*>(vdso->state)[vdso->state_size - 1] = 1;
    ::munmap(vdso->state, page);
  }
}

constexpr std::uint32_t kReadWrite = PROT_READ | PROT_WRITE;
constexpr std::uint32_t kAnonymous = MAP_PRIVATE | MAP_ANONYMOUS;

INSTANTIATE_TEST_SUITE_P(
    Answers, FakeVdsoParameters,
    ::testing::Values(ParameterAnswer{"Usable", 0, 144, kReadWrite, kAnonymous, true},
                      ParameterAnswer{"Refused", -ENOSYS, 144, kReadWrite, kAnonymous, false},
                      ParameterAnswer{"NoSize", 0, 0, kReadWrite, kAnonymous, false},
                      ParameterAnswer{"BeyondAPage", 0, 1 << 20, kReadWrite, kAnonymous, false},
                      ParameterAnswer{"MappingFails", 0, 144, kReadWrite, 0, false}),
    [](const ::testing::TestParamInfo<ParameterAnswer>& param_info) {
      return std::string(param_info.param.label);
    });

}  // namespace

#endif  // __linux__
