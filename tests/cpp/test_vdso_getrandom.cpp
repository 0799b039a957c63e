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
#include <ctime>
#include <string>
#include <string_view>

#include "core/elf_symbols.hpp"
#include "core/vdso_getrandom.hpp"

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
// PT_DYNAMIC; symbols null, getcpu@LINUX_2.6 and the function looked for, last, so that a
// symbol count one short misses it; versions linux-vdso.so.1 (base), LINUX_2.6, LINUX_2.5.
struct FakeImage {
  Ehdr header{};
  Phdr segments[2]{};
  Dyn dynamic[12]{};
  Sym symbols[3]{};
  Versym versions[3]{};
  struct VersionEntry {
    Definition definition;
    Verdaux aux;
  } definitions[3]{};
  std::uint32_t sysv_hash[6]{};            // 1 bucket, 3 chains
  alignas(8) std::uint32_t gnu_hash[9]{};  // 1 bucket, symbols from 1, one 64-bit bloom word
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
    const auto getcpu = add("getcpu");
    const auto wanted = add("__vdso_getrandom");
    const auto base = reinterpret_cast<std::uintptr_t>(this);
    const auto offset = [this](const void* part) {
      return static_cast<Addr>(static_cast<const char*>(part) -
                               reinterpret_cast<const char*>(this));
    };

    std::memcpy(header.e_ident, ELFMAG, SELFMAG);
    header.e_ident[EI_CLASS] = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
    header.e_ident[EI_DATA] = ELFDATA2LSB;
    if (variant == Variant::kBadMagic) header.e_ident[1] = 'X';
    header.e_phoff = offset(segments);
    header.e_phentsize = sizeof(Phdr);
    header.e_phnum = 2;
    segments[0].p_type = PT_LOAD;
    segments[0].p_memsz = sizeof(FakeImage);
    segments[1].p_type = PT_DYNAMIC;
    segments[1].p_vaddr = offset(dynamic);
    segments[1].p_memsz = sizeof dynamic;

    const auto symbol = [&](Sym& entry, Word name, int type, std::uintptr_t address) {
      entry.st_name = name;
      entry.st_info = static_cast<unsigned char>((STB_GLOBAL << 4) | type);
      entry.st_shndx = 12;  // any defined section
      entry.st_value = address - base;
    };
    symbol(symbols[1], getcpu, STT_FUNC, base + 64);
    symbol(symbols[2], wanted, variant == Variant::kObject ? STT_OBJECT : STT_FUNC, function);
    if (variant == Variant::kUndefined) symbols[2].st_shndx = SHN_UNDEF;
    versions[1] = 2;
    versions[2] = variant == Variant::kOldVersion      ? 3
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
    sysv_hash[0] = 1;
    sysv_hash[1] = 3;
    gnu_hash[0] = 1;  // buckets
    gnu_hash[1] = 1;  // first hashed symbol
    gnu_hash[2] = 1;  // bloom words (Addr each; two 32-bit slots here)
    gnu_hash[6] = 1;  // the bucket starts at symbol 1
    gnu_hash[8] = 1;  // chain: symbol 1 goes on, symbol 2 ends it

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

const void* real_vdso() {
  return reinterpret_cast<const void*>(::getauxval(AT_SYSINFO_EHDR));
}

#if defined(__x86_64__)
TEST(RealVdso, ClockGettimeIsFoundAndTellsTheTime) {
  const auto vdso = elf::object_at_header(real_vdso());
  ASSERT_TRUE(vdso.has_value());
  EXPECT_EQ(elf::soname(*vdso), "linux-vdso.so.1");
  EXPECT_EQ(elf::find_function(*vdso, "__vdso_clock_gettime", "LINUX_2.5"), 0u);
  const std::uintptr_t address = elf::find_function(*vdso, "__vdso_clock_gettime", "LINUX_2.6");
  ASSERT_NE(address, 0u);
  timespec theirs{};
  timespec ours{};
  ASSERT_EQ(reinterpret_cast<int (*)(clockid_t, timespec*)>(address)(CLOCK_MONOTONIC, &theirs), 0);
  ::clock_gettime(CLOCK_MONOTONIC, &ours);
  EXPECT_LE(ours.tv_sec - theirs.tv_sec, 1);
  EXPECT_GE(ours.tv_sec, theirs.tv_sec);
}

// Linux 6.11 and later export getrandom in the x86-64 vDSO.
bool kernel_has_vdso_getrandom() {
  utsname name{};
  int major = 0;
  int minor = 0;
  return ::uname(&name) == 0 && std::sscanf(name.release, "%d.%d", &major, &minor) == 2 &&
         (major > 6 || (major == 6 && minor >= 11));
}

TEST(RealVdso, GetrandomFillsEveryRequestedByte) {
  if (!kernel_has_vdso_getrandom()) GTEST_SKIP() << "the kernel is older than 6.11";
  const auto vdso = open_vdso_getrandom(real_vdso());
  ASSERT_TRUE(vdso.has_value());
  for (const std::size_t size : {std::size_t{8}, std::size_t{32}, std::size_t{1000}}) {
    // Over 64 fills every bit of every requested byte takes both values (see
    // FillRandomCoverage); the guard bytes around the request stay as they are.
    std::string buffer(size + 2, '\x5a');
    std::string any(size, '\0');
    std::string all(size, '\xff');
    for (int round = 0; round < 64; ++round) {
      ASSERT_EQ((*vdso)(buffer.data() + 1, size), static_cast<ssize_t>(size));
      for (std::size_t i = 0; i < size; ++i) {
        any[i] = static_cast<char>(any[i] | buffer[i + 1]);
        all[i] = static_cast<char>(all[i] & buffer[i + 1]);
      }
    }
    EXPECT_EQ(any, std::string(size, '\xff')) << size;
    EXPECT_EQ(all, std::string(size, '\0')) << size;
    EXPECT_EQ(buffer.front(), '\x5a');
    EXPECT_EQ(buffer.back(), '\x5a');
  }
}
#endif

// ---------------------------------------------------------------------------------------------
// A fake vDSO getrandom that answers the parameter request from a script.

struct ParameterAnswer {
  const char* label;
  ssize_t result;
  std::uint32_t size;  // with `pages`, added to the page size
  bool pages;
  std::uint32_t prot, flags;
  bool opened;
};

std::size_t page_size() {
  return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

std::uint32_t answered_size(const ParameterAnswer& answer) {
  return static_cast<std::uint32_t>(answer.pages ? page_size() + answer.size : answer.size);
}

void PrintTo(const ParameterAnswer& c, std::ostream* out) {
  *out << c.label;
}

ParameterAnswer g_answer;
int g_requests = 0;

ssize_t fake_vdso_getrandom(void* buffer, std::size_t length, unsigned int flags, void* state,
                            std::size_t state_size) {
  ++g_requests;
  // Only the parameter request is expected.
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(flags, 0u);
  EXPECT_EQ(state_size, ~std::size_t{0});
  auto* const parameters = static_cast<std::uint32_t*>(state);
  parameters[0] = answered_size(g_answer);
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
    const std::size_t page = page_size();
    ASSERT_EQ(vdso->state_size, answered_size(GetParam()));
    // The state is writable memory of its own, at the start of a page.
    ASSERT_NE(vdso->state, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(vdso->state) % page, 0u);
    static_cast<volatile unsigned char*>(vdso->state)[vdso->state_size - 1] = 1;
    ::munmap(vdso->state, page);
  }
}

constexpr std::uint32_t kReadWrite = PROT_READ | PROT_WRITE;
constexpr std::uint32_t kAnonymous = MAP_PRIVATE | MAP_ANONYMOUS;

INSTANTIATE_TEST_SUITE_P(
    Answers, FakeVdsoParameters,
    ::testing::Values(ParameterAnswer{"Usable", 0, 144, false, kReadWrite, kAnonymous, true},
                      ParameterAnswer{"WholePage", 0, 0, true, kReadWrite, kAnonymous, true},
                      ParameterAnswer{"Refused", -ENOSYS, 144, false, kReadWrite, kAnonymous,
                                      false},
                      ParameterAnswer{"NoSize", 0, 0, false, kReadWrite, kAnonymous, false},
                      ParameterAnswer{"BeyondAPage", 0, 1, true, kReadWrite, kAnonymous, false},
                      ParameterAnswer{"MappingFails", 0, 144, false, kReadWrite, 0, false}),
    [](const ::testing::TestParamInfo<ParameterAnswer>& param_info) {
      return std::string(param_info.param.label);
    });

TEST(OpenVdsoGetrandom, NoVdsoMeansNone) {
  EXPECT_FALSE(open_vdso_getrandom(nullptr).has_value());
}

}  // namespace

#endif  // __linux__
