// scrub_stack: Depth bytes of stack below the caller, as far as the thread's stack reaches,
// wiped; then the scratch registers cleared.
#include "core/stack_scrub.hpp"

#include <atomic>
#include <cstdint>

#include "core/wipe.hpp"

#if defined(_WIN32)
#include <malloc.h>  // _alloca

#include "core/random/windows_api.hpp"  // GetCurrentThreadStackLimits
#elif defined(__APPLE__) || defined(__linux__)
#include <pthread.h>
#endif
#if defined(__linux__)
#include <elf.h>  // AT_MINSIGSTKSZ
#include <fcntl.h>
#include <sys/auxv.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>

// The auxiliary vector's entry for the least signal frame (Linux 4.18 on aarch64, 5.14 on
// x86-64); older C library headers lack its name.
#ifndef AT_MINSIGSTKSZ
#define AT_MINSIGSTKSZ 51
#endif
#endif

// glibc 2.34 moved the thread functions from libpthread into libc and gave pthread_getattr_np and
// pthread_attr_getstack new default versions there (GLIBC_2.32, GLIBC_2.34), which an older C
// library does not have: a module linked against them would not load where the wheel's
// manylinux_2_28 tag promises it does. Both functions are unchanged since their first versions,
// which every glibc still exports, so the references are bound to those on the two processors a
// manylinux wheel is made for.
#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 34)
#if defined(__x86_64__)
__asm__(".symver pthread_getattr_np, pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack, pthread_attr_getstack@GLIBC_2.2.5");
#elif defined(__aarch64__)
__asm__(".symver pthread_getattr_np, pthread_getattr_np@GLIBC_2.17");
__asm__(".symver pthread_attr_getstack, pthread_attr_getstack@GLIBC_2.17");
#endif
#endif

// The registers are cleared where the System V calling convention holds (x86-64 outside
// Windows, whose convention preserves more of them).
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(_WIN32)
#include <cpuid.h>
#define VELKOR_STACK_SCRUB_X86_64 1
#endif

// On Windows x64, with GCC or Clang, the registers its own calling convention leaves to the
// called function are cleared. MSVC has no inline assembly for x64 and no intrinsic that writes
// a named register, so a build with it clears only the stack.
#if defined(_WIN32) && defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#define VELKOR_STACK_SCRUB_WINDOWS_X64 1
#endif

// Not inlined (inlined, the wiped region would be part of the caller's own frame, above the dead
// frames instead of over them), and not instrumented by AddressSanitizer, which may move an
// instrumented function's stack memory to a heap-allocated "fake stack" (or surround it with
// redzones) and would then wipe that instead of the thread's stack.
#if defined(_MSC_VER) && !defined(__clang__)
#define VELKOR_STACK_SCRUB_ATTRIBUTES __declspec(noinline)
#elif defined(__clang__) || defined(__GNUC__)
#define VELKOR_STACK_SCRUB_ATTRIBUTES __attribute__((noinline, no_sanitize_address))
#else
#define VELKOR_STACK_SCRUB_ATTRIBUTES
#endif

// The region is taken from the stack at run time, as large as the thread's stack allows. Both
// forms move the stack pointer page by page where the stack must be probed (Windows always,
// elsewhere with -fstack-clash-protection).
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#define VELKOR_STACK_ALLOCATE(size) _alloca(size)
#define VELKOR_STACK_HERE() reinterpret_cast<std::uintptr_t>(_AddressOfReturnAddress())
#else
#define VELKOR_STACK_ALLOCATE(size) __builtin_alloca(size)
#define VELKOR_STACK_HERE() reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0))
#endif

namespace velkor::core {
namespace {

#if defined(VELKOR_STACK_SCRUB_X86_64) || defined(VELKOR_STACK_SCRUB_WINDOWS_X64)

// The vector registers the processor and the operating system have enabled: SSE only, AVX
// (ymm0–15) or AVX-512 (zmm0–31).
enum class VectorRegisters { kSse, kAvx, kAvx512 };

VectorRegisters enabled_vector_registers() noexcept {
  unsigned eax = 0;
  unsigned ebx = 0;
  unsigned ecx = 0;
  unsigned edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 || (ecx & bit_OSXSAVE) == 0 ||
      (ecx & bit_AVX) == 0) {
    return VectorRegisters::kSse;
  }
  // XCR0: which register states the operating system saves and restores (bits 1–2 SSE and
  // AVX, bits 5–7 the AVX-512 opmask and upper registers).
  unsigned xcr0 = 0;
  unsigned xcr0_high = 0;
  __asm__ __volatile__("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
  if ((xcr0 & 0x6U) != 0x6U) return VectorRegisters::kSse;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0 && (ebx & bit_AVX512F) != 0 &&
      (xcr0 & 0xe0U) == 0xe0U) {
    return VectorRegisters::kAvx512;
  }
  return VectorRegisters::kAvx;
}

// Asked once, when the library is loaded: CPUID is slow, and in a virtual machine very slow.
const VectorRegisters vector_registers = enabled_vector_registers();

// zmm16–31 exist only with AVX-512, and both conventions leave them to the called function; the
// compiler accepts them as clobbers only in code built for it. The 512-bit forms are the only
// encodings of them that AVX-512F alone guarantees (the 128- and 256-bit ones need AVX-512VL, which
// some processors and virtual machines with AVX-512F lack).
__attribute__((target("avx512f"))) void clear_avx512_upper_registers() noexcept {
  __asm__ __volatile__(
      "vpxord %%zmm16, %%zmm16, %%zmm16\n\tvpxord %%zmm17, %%zmm17, %%zmm17\n\t"
      "vpxord %%zmm18, %%zmm18, %%zmm18\n\tvpxord %%zmm19, %%zmm19, %%zmm19\n\t"
      "vpxord %%zmm20, %%zmm20, %%zmm20\n\tvpxord %%zmm21, %%zmm21, %%zmm21\n\t"
      "vpxord %%zmm22, %%zmm22, %%zmm22\n\tvpxord %%zmm23, %%zmm23, %%zmm23\n\t"
      "vpxord %%zmm24, %%zmm24, %%zmm24\n\tvpxord %%zmm25, %%zmm25, %%zmm25\n\t"
      "vpxord %%zmm26, %%zmm26, %%zmm26\n\tvpxord %%zmm27, %%zmm27, %%zmm27\n\t"
      "vpxord %%zmm28, %%zmm28, %%zmm28\n\tvpxord %%zmm29, %%zmm29, %%zmm29\n\t"
      "vpxord %%zmm30, %%zmm30, %%zmm30\n\tvpxord %%zmm31, %%zmm31, %%zmm31"
      :
      :
      : "xmm16", "xmm17", "xmm18", "xmm19", "xmm20", "xmm21", "xmm22", "xmm23", "xmm24", "xmm25",
        "xmm26", "xmm27", "xmm28", "xmm29", "xmm30", "xmm31");
}

#endif

#if defined(VELKOR_STACK_SCRUB_X86_64)

// Zeroes every register a called function may leave changed (the ones the System V ABI does not
// preserve across calls). The copies of a result out of the core go through vector registers
// (memcpy of the key into the bytes object, for one), and registers that still hold them are
// written to the stack by the next lazy symbol binding of the dynamic linker (which saves all of
// them) or by the kernel when it delivers a signal.
void clear_scratch_registers() noexcept {
  if (vector_registers == VectorRegisters::kAvx512) clear_avx512_upper_registers();
  if (vector_registers == VectorRegisters::kSse) {
    __asm__ __volatile__(
        "pxor %%xmm0, %%xmm0\n\tpxor %%xmm1, %%xmm1\n\tpxor %%xmm2, %%xmm2\n\t"
        "pxor %%xmm3, %%xmm3\n\tpxor %%xmm4, %%xmm4\n\tpxor %%xmm5, %%xmm5\n\t"
        "pxor %%xmm6, %%xmm6\n\tpxor %%xmm7, %%xmm7\n\tpxor %%xmm8, %%xmm8\n\t"
        "pxor %%xmm9, %%xmm9\n\tpxor %%xmm10, %%xmm10\n\tpxor %%xmm11, %%xmm11\n\t"
        "pxor %%xmm12, %%xmm12\n\tpxor %%xmm13, %%xmm13\n\tpxor %%xmm14, %%xmm14\n\t"
        "pxor %%xmm15, %%xmm15"
        :
        :
        : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10",
          "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
  } else {
    // Zeroes ymm0–15 (zmm0–15 with AVX-512) whole; the SSE forms above would keep the upper
    // halves.
    __asm__ __volatile__("vzeroall"
                         :
                         :
                         : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8",
                           "xmm9", "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
  }
  __asm__ __volatile__(
      "xorl %%eax, %%eax\n\txorl %%ecx, %%ecx\n\txorl %%edx, %%edx\n\txorl %%esi, %%esi\n\t"
      "xorl %%edi, %%edi\n\txorl %%r8d, %%r8d\n\txorl %%r9d, %%r9d\n\txorl %%r10d, %%r10d\n\t"
      "xorl %%r11d, %%r11d"
      :
      :
      : "rax", "rcx", "rdx", "rsi", "rdi", "r8", "r9", "r10", "r11");
}

#elif defined(VELKOR_STACK_SCRUB_WINDOWS_X64)

// Zeroes the registers the Windows x64 convention lets a called function change: rax, rcx, rdx,
// r8–r11, xmm0–5, with AVX the upper halves of ymm0–15 and with AVX-512 those of zmm0–15 and
// zmm16–31 whole. The caller's rbx, rbp, rdi, rsi, rsp, r12–r15 and xmm6–15 are left as they
// are; vzeroupper changes only the bits above the low 128 of ymm0–15 (zmm0–15), which that
// convention does not preserve.
void clear_scratch_registers() noexcept {
  if (vector_registers == VectorRegisters::kAvx512) clear_avx512_upper_registers();
  if (vector_registers != VectorRegisters::kSse) __asm__ __volatile__("vzeroupper");
  __asm__ __volatile__(
      "pxor %%xmm0, %%xmm0\n\tpxor %%xmm1, %%xmm1\n\tpxor %%xmm2, %%xmm2\n\t"
      "pxor %%xmm3, %%xmm3\n\tpxor %%xmm4, %%xmm4\n\tpxor %%xmm5, %%xmm5\n\t"
      "xorl %%eax, %%eax\n\txorl %%ecx, %%ecx\n\txorl %%edx, %%edx\n\txorl %%r8d, %%r8d\n\t"
      "xorl %%r9d, %%r9d\n\txorl %%r10d, %%r10d\n\txorl %%r11d, %%r11d"
      :
      :
      : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "rax", "rcx", "rdx", "r8", "r9", "r10",
        "r11");
}

#else

// Elsewhere only the stack is cleared.
void clear_scratch_registers() noexcept {}

#endif

// The scrub's region, written with zeros. Where AVX is enabled, by 32-byte stores, eight to a
// loop step, in assembly, which the optimiser neither sees into nor removes; the bytes past the
// last whole step, and the whole region elsewhere, by secure_wipe. The C library's wipe is as
// fast natively (for these sizes glibc's AVX2 memset uses `rep stosb`), but valgrind counts that
// instruction once per byte, so the plain loop keeps the instruction counts of the calls telling
// their work apart from the scrub. With SSE alone the loop would store half as wide, slower than
// the C library's wipe, which is kept there.
#if defined(VELKOR_STACK_SCRUB_X86_64) || defined(VELKOR_STACK_SCRUB_WINDOWS_X64)
constexpr std::size_t kWideStep = 256;

__attribute__((target("avx"))) void wipe_wide(unsigned char* bytes, std::size_t steps) noexcept {
  __asm__ __volatile__(
      "vpxor %%xmm0, %%xmm0, %%xmm0\n"
      "1:\n\t"
      "vmovdqu %%ymm0, (%0)\n\tvmovdqu %%ymm0, 32(%0)\n\t"
      "vmovdqu %%ymm0, 64(%0)\n\tvmovdqu %%ymm0, 96(%0)\n\t"
      "vmovdqu %%ymm0, 128(%0)\n\tvmovdqu %%ymm0, 160(%0)\n\t"
      "vmovdqu %%ymm0, 192(%0)\n\tvmovdqu %%ymm0, 224(%0)\n\t"
      "addq $256, %0\n\tdecq %1\n\tjnz 1b\n\t"
      "vzeroupper"
      : "+r"(bytes), "+r"(steps)
      :
      : "xmm0", "cc", "memory");
}

void wipe_region(void* region, std::size_t size) noexcept {
  const std::size_t steps = size / kWideStep;
  if (vector_registers == VectorRegisters::kSse || steps == 0) {
    secure_wipe(region, size);
    return;
  }
  auto* const bytes = static_cast<unsigned char*>(region);
  wipe_wide(bytes, steps);
  secure_wipe(bytes + steps * kWideStep, size - steps * kWideStep);
}
#else
void wipe_region(void* region, std::size_t size) noexcept {
  secure_wipe(region, size);
}
#endif

// Room the scrub leaves free above the lowest usable address of the thread's stack: its own
// callees (secure_wipe, the C library's wipe, a lazy binding of it, which saves every vector
// register) and a signal that lands while it runs take their frames below the wiped region. A
// signal takes the kernel's frame first (on x86-64 with AVX-512 about 3.4 KiB: the whole vector
// state), then the handler's; the interpreter's handler binds its own callees lazily on the first
// signal, which saves the vector state once more. So the margin is the frame the kernel reports
// as its least (AT_MINSIGSTKSZ in the auxiliary vector, read once) and 8 KiB for the handler and
// the callees; where the kernel reports no such figure, 8 KiB for the frame (the classic
// SIGSTKSZ) and the same 8 KiB. On Windows the lowest pages of the reservation also hold the
// guard pages that grow the stack and raise its overflow; the interpreter itself keeps 16 KiB
// free there.
#if defined(_WIN32)
std::uintptr_t read_stack_end_margin() noexcept {
  return 20 * 1024;
}
#else
constexpr std::uintptr_t kHandlerRoom = 8 * 1024;
constexpr std::uintptr_t kDefaultSignalFrame = 8 * 1024;

std::uintptr_t read_stack_end_margin() noexcept {
  std::uintptr_t frame = kDefaultSignalFrame;
#if defined(__linux__)
  const unsigned long reported = getauxval(AT_MINSIGSTKSZ);
  if (reported != 0) frame = static_cast<std::uintptr_t>(reported);
#endif
  return frame + kHandlerRoom;
}
#endif

const std::uintptr_t stack_end_margin = read_stack_end_margin();

// The calling thread's stack, once read: [lowest, top) are the addresses the scrub may write to,
// the end margin below lowest left free. A stack the thread switched to (swapcontext, a fiber, a
// coroutine library's stack) lies elsewhere, and its bounds are not known: when the caller's
// frame lies outside the thread's stack, nothing is scrubbed.
//
// The main thread's stack on Linux (`grows`) is mapped only as far as it has been used, and the
// kernel grows it on demand as far as RLIMIT_STACK allows, a limit the process (setrlimit) or
// another one (prlimit) may change at any time. There `lowest` is the margin above `mapped`, an
// address known to lie in the stack's mapping: a region above it is written without growing
// the stack, whatever the limit now is. A region that reaches lower takes main_stack_room,
// which asks for the limit afresh.
struct StackLimit {
  std::uintptr_t lowest = 0;
  std::uintptr_t top = 0;  // 0: unknown (or not read yet)
  std::uintptr_t mapped = 0;
  // The lowest address the main thread's stack may grow to whatever the limit, as the mapping
  // below it lay when last read.
  std::uintptr_t floor = 0;
  bool grows = false;
  bool read = false;
};

#if defined(__linux__)
const std::uintptr_t page_size = [] {
  const long size = sysconf(_SC_PAGESIZE);
  return size > 0 ? static_cast<std::uintptr_t>(size) : std::uintptr_t{4096};
}();

// The main thread's stack as /proc/self/maps shows it now: the [stack] mapping, and its floor:
// no nearer to the mapping below than the kernel's stack guard gap (256 pages unless the kernel
// was booted with another stack_guard_gap) when that mapping is accessible. glibc's
// pthread_getattr_np reports only RLIMIT_STACK below the top (and less the part above
// __libc_stack_end), not the gap; taking the gap off its figure whatever lies below would leave
// the bound above the caller of a small stack, and nothing scrubbed.
struct MainStack {
  std::uintptr_t start = 0;
  std::uintptr_t end = 0;
  std::uintptr_t floor = 0;
};

bool read_main_stack(MainStack& main) noexcept {
  const int maps = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (maps < 0) return false;
  char buffer[1024];
  std::size_t held = 0;
  bool skipping = false;  // the rest of a line longer than the buffer
  StackMapsLine below;
  StackMapsLine stack;
  bool found = false;
  while (!found) {
    const ssize_t count = read(maps, buffer + held, sizeof buffer - held);
    if (count <= 0) break;
    held += static_cast<std::size_t>(count);
    std::size_t begin = 0;
    while (!found) {
      const void* newline = std::memchr(buffer + begin, '\n', held - begin);
      const std::size_t line_end =
          newline == nullptr ? held
                             : static_cast<std::size_t>(static_cast<const char*>(newline) - buffer);
      if (newline == nullptr && (begin > 0 || held < sizeof buffer)) break;  // read the rest
      StackMapsLine mapping;
      if (!skipping && parse_stack_maps_line(buffer + begin, line_end - begin, mapping)) {
        if (mapping.stack && newline != nullptr) {
          stack = mapping;
          found = true;
        } else {
          below = mapping;
        }
      }
      skipping = newline == nullptr;
      begin = newline == nullptr ? held : line_end + 1;
    }
    std::memmove(buffer, buffer + begin, held - begin);
    held -= begin;
  }
  close(maps);
  if (!found || stack.end <= stack.start) return false;
  main.start = stack.start;
  main.end = stack.end;
  main.floor = below.end;
  if (below.accessible && below.end != 0) main.floor += 256 * page_size;
  if (main.floor > stack.start) main.floor = stack.start;
  return true;
}

// The range the main thread's stack covers and may grow over, [floor, end), as first read in
// the process, for every thread's first call: a frame outside it is not on that stack, and the
// thread's own stack is what the C library reports, without reading /proc/self/maps again.
// Published once (state 0 unread, 1 being written, 2 ready); a child forked while another thread
// wrote it starts afresh.
struct MainStackRange {
  std::uintptr_t floor = 0;
  std::uintptr_t end = 0;
};
std::atomic<int> main_stack_range_state{0};
MainStackRange main_stack_range;

void publish_main_stack_range(const MainStack& stack) noexcept {
  int expected = 0;
  if (!main_stack_range_state.compare_exchange_strong(expected, 1, std::memory_order_relaxed)) {
    return;
  }
  main_stack_range.floor = stack.floor;
  main_stack_range.end = stack.end;
  main_stack_range_state.store(2, std::memory_order_release);
}

[[maybe_unused]] const int fork_handler = pthread_atfork(
    nullptr, nullptr, [] { main_stack_range_state.store(0, std::memory_order_relaxed); });

// Any thread's stack as the C library reports it: [lowest, top), or top 0. For a thread the C
// library made: its stack without the guard below it. For the main thread, when /proc cannot be
// read, glibc's figure above, and musl's the part mapped so far, which is too little but safe.
void read_thread_stack(std::uintptr_t& lowest, std::uintptr_t& top) noexcept {
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return;
  void* address = nullptr;
  std::size_t size = 0;
  const int status = pthread_attr_getstack(&attributes, &address, &size);
  pthread_attr_destroy(&attributes);
  if (status != 0 || address == nullptr) return;
  lowest = reinterpret_cast<std::uintptr_t>(address);
  top = lowest + size;
}

// Whether the thread runs on the main thread's stack is told by where its frame lies, and where
// the C library puts its stack: not by its id, which is the process's in a child forked from
// another thread too, where that thread runs on its own stack.
void read_linux_stack_limit(StackLimit& limit, std::uintptr_t here) noexcept {
  std::uintptr_t lowest = 0;
  std::uintptr_t top = 0;
  read_thread_stack(lowest, top);
  const bool known = main_stack_range_state.load(std::memory_order_acquire) == 2;
  const auto near_main_stack = [&](std::uintptr_t address) {
    return address >= main_stack_range.floor && address <= main_stack_range.end;
  };
  MainStack stack;
  if ((!known || near_main_stack(here) || near_main_stack(top)) && read_main_stack(stack)) {
    publish_main_stack_range(stack);
    if ((here >= stack.start && here < stack.end) || (top > stack.start && top <= stack.end)) {
      limit.top = stack.end;
      limit.mapped = stack.start;
      limit.floor = stack.floor;
      limit.lowest = stack.start + stack_end_margin;
      limit.grows = true;
      return;
    }
  }
  if (top != 0) {
    limit.lowest = lowest + stack_end_margin;
    limit.top = top;
  }
}

// The room below `here` on the main thread's stack when the region and its margin reach below
// the part known to be mapped. A frame below that part lies on a stack the kernel grew since
// (or on a mapping placed where it could have grown): /proc/self/maps is read again. The region
// may then reach as far as the stack may grow now: RLIMIT_STACK below its top, asked afresh (a
// limit lowered since must not make the scrub fault where the caller's own frames fit, and one
// raised must not leave a deeper caller unscrubbed), and no lower than its floor.
VELKOR_STACK_SCRUB_ATTRIBUTES std::size_t main_stack_room(StackLimit& limit, std::uintptr_t here,
                                                          std::size_t depth) noexcept {
  if (here < limit.floor || here >= limit.top) return 0;
  if (here < limit.mapped) {
    // Reading /proc goes through cancellation points (see read_stack_limit).
    int cancel_state = 0;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
    MainStack stack;
    const bool reread = read_main_stack(stack);
    int ignored = 0;
    pthread_setcancelstate(cancel_state, &ignored);
    if (!reread || stack.end != limit.top) return 0;
    limit.mapped = stack.start;
    limit.floor = stack.floor;
    limit.lowest = stack.start + stack_end_margin;
    if (here < limit.mapped) return 0;
    if (here > limit.lowest && here - limit.lowest >= depth) return depth;
  }
  std::uintptr_t reach = limit.mapped;
  rlimit stack_limit{};
  if (getrlimit(RLIMIT_STACK, &stack_limit) == 0) {
    std::uintptr_t grows_to = limit.floor;
    if (stack_limit.rlim_cur != RLIM_INFINITY && stack_limit.rlim_cur < limit.top) {
      const std::uintptr_t by_limit =
          (limit.top - static_cast<std::uintptr_t>(stack_limit.rlim_cur) + page_size - 1) &
          ~(page_size - 1);
      if (by_limit > grows_to) grows_to = by_limit;
    }
    if (grows_to < reach) reach = grows_to;
  }
  const std::uintptr_t lowest = reach + stack_end_margin;
  if (here <= lowest) return 0;
  const std::uintptr_t room = (here - lowest) & ~std::uintptr_t{15};
  return room < depth ? static_cast<std::size_t>(room) : depth;
}
#endif

// Not inlined: it runs once per thread, and would otherwise enlarge scrub_size's frame.
VELKOR_STACK_SCRUB_ATTRIBUTES void read_stack_limit(StackLimit& limit,
                                                    [[maybe_unused]] std::uintptr_t here) noexcept {
  limit = StackLimit{};
  limit.read = true;
#if defined(_WIN32)
  ULONG_PTR low = 0;
  ULONG_PTR high = 0;
  GetCurrentThreadStackLimits(&low, &high);
  if (low != 0 && high > low) {
    limit.lowest = static_cast<std::uintptr_t>(low) + stack_end_margin;
    limit.top = static_cast<std::uintptr_t>(high);
  }
#elif defined(__APPLE__)
  // The stack of every thread, the main one included, is mapped whole when the thread starts;
  // the guard page lies below its lowest address.
  pthread_t self = pthread_self();
  const auto top = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(self));
  const std::size_t size = pthread_get_stacksize_np(self);
  if (top > size) {
    limit.lowest = top - size + stack_end_margin;
    limit.top = top;
  }
#elif defined(__linux__)
  // Reading /proc/self/maps (here, and in glibc's pthread_getattr_np for the main thread) goes
  // through cancellation points; a pending cancellation acted on there would unwind through this
  // noexcept function and terminate the process. It stays pending until the caller meets its
  // next cancellation point.
  int cancel_state = 0;
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
  read_linux_stack_limit(limit, here);
  int ignored = 0;
  pthread_setcancelstate(cancel_state, &ignored);
#endif
}

// How many bytes below `here` may be wiped, at most `depth`. With the stack's bounds unknown
// (a C library that does not tell them, or a main thread whose /proc cannot be read) the full
// depth is wiped, as far as the stack probes let it; outside the known stack, nothing. Not
// inlined, so that its work takes no room in scrub_stack's fixed frame, which lies above the
// wiped region.
VELKOR_STACK_SCRUB_ATTRIBUTES std::size_t scrub_size(std::uintptr_t here,
                                                     std::size_t depth) noexcept {
  // Read once per thread (no constructor or destructor: a plain thread-local value). In a
  // library loaded at run time each computation of its address is a call of __tls_get_addr,
  // which the compiler would repeat after the call that reads the bounds: the empty asm
  // statement makes the address one value, computed once per call.
  thread_local StackLimit thread_limit;
  StackLimit* limit = &thread_limit;
#if defined(__GNUC__) || defined(__clang__)
  __asm__("" : "+r"(limit));
#endif
  if (!limit->read) read_stack_limit(*limit, here);
  if (limit->top == 0) return depth;
  if (here > limit->lowest && here < limit->top) {
    const std::uintptr_t room = (here - limit->lowest) & ~std::uintptr_t{15};
    if (room >= depth) return depth;
    if (!limit->grows) return static_cast<std::size_t>(room);
  } else if (!limit->grows) {
    return 0;
  }
#if defined(__linux__)
  return main_stack_room(*limit, here, depth);
#else
  return 0;
#endif
}

}  // namespace

#if defined(__linux__)
bool parse_stack_maps_line(const char* line, std::size_t length, StackMapsLine& mapping) noexcept {
  std::size_t i = 0;
  const auto hex = [&](std::uintptr_t& value) {
    const std::size_t first = i;
    value = 0;
    for (; i < length; ++i) {
      const char c = line[i];
      unsigned digit = 0;
      if (c >= '0' && c <= '9') {
        digit = static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<unsigned>(c - 'a' + 10);
      } else {
        break;
      }
      value = (value << 4) | digit;
    }
    return i > first;
  };
  if (!hex(mapping.start) || i >= length || line[i++] != '-' || !hex(mapping.end)) return false;
  if (i + 4 >= length || line[i] != ' ') return false;
  mapping.accessible = line[i + 1] != '-' || line[i + 2] != '-' || line[i + 3] != '-';
  i += 5;
  // The offset, the device and the inode, one space before each.
  for (int field = 0; field < 3; ++field) {
    if (i >= length || line[i] != ' ') return false;
    const std::size_t first = ++i;
    while (i < length && line[i] != ' ') ++i;
    if (i == first) return false;
  }
  // The pathname, after the spaces that align it (none for an anonymous mapping), is the rest of
  // the line: a file's is absolute, so only the kernel's label is exactly "[stack]".
  while (i < length && line[i] == ' ') ++i;
  constexpr char kStack[] = "[stack]";
  constexpr std::size_t kStackLength = sizeof kStack - 1;
  mapping.stack = length - i == kStackLength && std::memcmp(line + i, kStack, kStackLength) == 0;
  return true;
}
#endif

template <std::size_t Depth>
VELKOR_STACK_SCRUB_ATTRIBUTES void scrub_stack() noexcept {
  // Taken below this function's small fixed frame, where the frames of the caller's earlier
  // callees lay, and left uninitialised: only the wipe writes it. Its address goes to
  // wipe_region, whose stores (assembly or secure_wipe) the compiler cannot leave out.
  const std::size_t size = scrub_size(VELKOR_STACK_HERE(), Depth);
  void* region = VELKOR_STACK_ALLOCATE(size);
  wipe_region(region, size);
  clear_scratch_registers();
}

template void scrub_stack<kStackScrubDepth>() noexcept;
template void scrub_stack<kKeyScrubDepth>() noexcept;
template void scrub_stack<kSplitScrubDepth>() noexcept;
template void scrub_stack<kCombineScrubDepth>() noexcept;

}  // namespace velkor::core
