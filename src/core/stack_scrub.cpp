// scrub_stack: a frame of Depth bytes, wiped, then the scratch registers cleared.
#include "core/stack_scrub.hpp"

#include "core/wipe.hpp"

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

// Not inlined (inlined, the buffer would be part of the caller's own frame, above the dead
// frames instead of over them), and not instrumented by AddressSanitizer, which may move an
// instrumented function's locals to a heap-allocated "fake stack" and would then wipe that
// instead of the thread's stack.
#if defined(_MSC_VER) && !defined(__clang__)
#define VELKOR_STACK_SCRUB_ATTRIBUTES __declspec(noinline)
#elif defined(__clang__) || defined(__GNUC__)
#define VELKOR_STACK_SCRUB_ATTRIBUTES __attribute__((noinline, no_sanitize_address))
#else
#define VELKOR_STACK_SCRUB_ATTRIBUTES
#endif

namespace velkor::core {
namespace {

#if defined(VELKOR_STACK_SCRUB_X86_64)

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

// xmm16–31 exist only with AVX-512; the compiler accepts them as clobbers only in code built for
// it. EVEX-encoded writes of them clear the whole zmm register.
__attribute__((target("avx512f"))) void clear_avx512_upper_registers() noexcept {
  __asm__ __volatile__(
      "vpxord %%xmm16, %%xmm16, %%xmm16\n\tvpxord %%xmm17, %%xmm17, %%xmm17\n\t"
      "vpxord %%xmm18, %%xmm18, %%xmm18\n\tvpxord %%xmm19, %%xmm19, %%xmm19\n\t"
      "vpxord %%xmm20, %%xmm20, %%xmm20\n\tvpxord %%xmm21, %%xmm21, %%xmm21\n\t"
      "vpxord %%xmm22, %%xmm22, %%xmm22\n\tvpxord %%xmm23, %%xmm23, %%xmm23\n\t"
      "vpxord %%xmm24, %%xmm24, %%xmm24\n\tvpxord %%xmm25, %%xmm25, %%xmm25\n\t"
      "vpxord %%xmm26, %%xmm26, %%xmm26\n\tvpxord %%xmm27, %%xmm27, %%xmm27\n\t"
      "vpxord %%xmm28, %%xmm28, %%xmm28\n\tvpxord %%xmm29, %%xmm29, %%xmm29\n\t"
      "vpxord %%xmm30, %%xmm30, %%xmm30\n\tvpxord %%xmm31, %%xmm31, %%xmm31"
      :
      :
      : "xmm16", "xmm17", "xmm18", "xmm19", "xmm20", "xmm21", "xmm22", "xmm23", "xmm24", "xmm25",
        "xmm26", "xmm27", "xmm28", "xmm29", "xmm30", "xmm31");
}

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

// True when the processor has AVX and the operating system saves the ymm registers (XCR0 bits 1
// and 2): only then is vzeroupper available, and only then can the upper halves hold anything.
bool avx_enabled() noexcept {
  unsigned eax = 0;
  unsigned ebx = 0;
  unsigned ecx = 0;
  unsigned edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 || (ecx & bit_OSXSAVE) == 0 ||
      (ecx & bit_AVX) == 0) {
    return false;
  }
  unsigned xcr0 = 0;
  unsigned xcr0_high = 0;
  __asm__ __volatile__("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
  return (xcr0 & 0x6U) == 0x6U;
}

// Asked once, when the library is loaded: CPUID is slow, and in a virtual machine very slow.
const bool avx = avx_enabled();

// Zeroes the registers the Windows x64 convention lets a called function change: rax, rcx, rdx,
// r8–r11, xmm0–5 and, with AVX, the upper halves of ymm0–15. The caller's rbx, rbp, rdi, rsi,
// rsp, r12–r15 and xmm6–15 are left as they are; vzeroupper changes only the upper halves of
// ymm6–15, which that convention does not preserve.
void clear_scratch_registers() noexcept {
  if (avx) __asm__ __volatile__("vzeroupper");
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

}  // namespace

template <std::size_t Depth>
VELKOR_STACK_SCRUB_ATTRIBUTES void scrub_stack() noexcept {
  // Uninitialised on purpose: only the wipe writes it. Its address goes to secure_wipe, which
  // the compiler must assume reads it, so the buffer cannot be left out of the frame.
  unsigned char region[Depth];
  secure_wipe(region, sizeof region);
  clear_scratch_registers();
}

template void scrub_stack<kStackScrubDepth>() noexcept;
template void scrub_stack<kKeyScrubDepth>() noexcept;
template void scrub_stack<kSplitScrubDepth>() noexcept;
template void scrub_stack<kCombineScrubDepth>() noexcept;

}  // namespace velkor::core
