// The stack scrub clears its depth right below its caller, well beyond what the deepest calls
// behind each entry point reach. Both are read from the stack memory the calls leave behind
// below the test's own frame.
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "core/combine.hpp"
#include "core/internal_failure.hpp"
#include "core/random/random_source.hpp"
#include "core/split.hpp"
#include "core/stack_scrub.hpp"

namespace velkor {
namespace {

constexpr std::size_t kPainted = 2 * core::kStackScrubDepth;
constexpr unsigned char kPaint = 0xA5;

// How deep a core call may go: three quarters of the depth its entry point clears leave room
// for the binding layer's frames above it. The first exception a process throws reaches
// deepest (the unwinder finds and reads the unwind tables): 6.6 KiB on x86-64, 9.1 KiB on
// aarch64, 6.0 KiB on s390x. AddressSanitizer's redzones make every frame larger (up to
// 10.5 KiB on x86-64), and on Windows every exception is dispatched and unwound by the system
// (12.9 KiB on every throw, not only the first, with mingw-w64 under Wine); such builds must
// still stay within the cleared depth.
#if defined(__SANITIZE_ADDRESS__) || defined(_WIN32)
constexpr std::size_t kShare = 4;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr std::size_t kShare = 4;
#else
constexpr std::size_t kShare = 3;
#endif
#else
constexpr std::size_t kShare = 3;
#endif

// Fills kPainted bytes of stack right below the caller's frame with kPaint; stores the lowest
// of their addresses in `lowest` (passed out, not returned: compilers rightly warn about a
// returned address of a dead frame, even as an integer).
#if defined(__GNUC__) || defined(__clang__)
__attribute__((noinline, no_sanitize_address))
#endif
void paint_stack(std::uintptr_t& lowest) {
  volatile unsigned char area[kPainted];
  for (std::size_t i = 0; i < kPainted; ++i) area[i] = kPaint;
  lowest = reinterpret_cast<std::uintptr_t>(&area[0]);
}

std::uintptr_t painted_stack() {
  std::uintptr_t lowest = 0;
  paint_stack(lowest);
  return lowest;
}

unsigned char painted_byte(std::uintptr_t base, std::size_t i) {
  return reinterpret_cast<const volatile unsigned char*>(base)[i];
}

std::uint64_t g_draws = 0;
std::uint64_t failing_draw() {
  if (++g_draws > 5) core::internal_failure("Error: OS Error: 5");
  return g_draws;
}

// How many bytes of the painted area below the caller `call` wrote to.
template <class Call>
std::size_t reach(Call call) {
  const std::uintptr_t base = painted_stack();
  call();
  std::size_t untouched = 0;
  while (untouched < kPainted && painted_byte(base, untouched) == kPaint) ++untouched;
  return kPainted - untouched;
}

// How many bytes right below the caller a scrub of Depth clears: from the top of the painted
// area down, past the few bytes of the scrub's own frame that are not its buffer (return
// address, alignment, a stack protector's canary), the run of zeros.
template <std::size_t Depth>
std::size_t cleared_by_scrub() {
  const std::uintptr_t base = painted_stack();
  core::scrub_stack<Depth>();
  std::size_t top = kPainted;
  while (top > kPainted - 32 && painted_byte(base, top - 1) != 0) --top;
  std::size_t cleared = 0;
  while (cleared < top && painted_byte(base, top - 1 - cleared) == 0) ++cleared;
  return top > kPainted - 32 ? cleared : 0;
}

TEST(StackScrub, CoversTheDeepestCoreCalls) {
  // The deepest call behind each entry point: a combine of 16 shares keeps the largest scratch
  // arrays on the stack, a split of 255 the largest table on the heap, and a split whose draw
  // fails unwinds through the core, as every failed call does.
  const std::array<std::uint8_t, 32> secret{};
  const auto split = core::shamir_split(secret, 16, 16);
  std::vector<std::string_view> views;
  for (std::size_t i = 0; i < split.value().size(); ++i) views.push_back(split.value()[i]);

  std::array<std::uint8_t, 32> key{};
  EXPECT_LT(reach([&] { core::fill_random(key.data(), key.size()); }),
            core::kKeyScrubDepth / 4 * kShare);
  EXPECT_LT(reach([&] { EXPECT_TRUE(core::shamir_split(secret, 255, 255).ok()); }),
            core::kSplitScrubDepth / 4 * kShare);
  EXPECT_LT(reach([&] { EXPECT_TRUE(core::shamir_combine(views, views.size()).ok()); }),
            core::kCombineScrubDepth / 4 * kShare);
  EXPECT_LT(reach([&] {
              g_draws = 0;
              EXPECT_THROW((void)core::shamir_split(secret, 3, 5, failing_draw),
                           core::InternalFailure);
            }),
            core::kStackScrubDepth / 4 * kShare);

  EXPECT_GE(cleared_by_scrub<core::kKeyScrubDepth>(), core::kKeyScrubDepth);
  EXPECT_GE(cleared_by_scrub<core::kSplitScrubDepth>(), core::kSplitScrubDepth);
  EXPECT_GE(cleared_by_scrub<core::kCombineScrubDepth>(), core::kCombineScrubDepth);
  EXPECT_GE(cleared_by_scrub<core::kStackScrubDepth>(), core::kStackScrubDepth);
}

#if defined(_WIN32) && defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// The registers around a call of the scrub on Windows x64, as velkor_scrub_with_registers
// loads them before the call and stores them after it.
struct RegisterFile {
  std::uint64_t preserved[8];  // rbx, rbp, rdi, rsi, r12, r13, r14, r15
  std::uint64_t scratch[7];    // rax, rcx, rdx, r8, r9, r10, r11
  std::uint64_t unused;
  unsigned char xmm[16][16];        // xmm0–15: the low halves of ymm0–15
  unsigned char ymm_upper[16][16];  // the upper halves of ymm0–15 (with AVX only)
};
static_assert(offsetof(RegisterFile, scratch) == 64 && offsetof(RegisterFile, xmm) == 128 &&
              offsetof(RegisterFile, ymm_upper) == 384 && sizeof(RegisterFile) == 640);

// velkor_scrub_with_registers(in, out, with_avx, scrub): loads every register above from `in`
// (the full ymm registers when with_avx is non-zero), calls scrub, and stores them to `out`. It
// keeps its own caller's registers as the convention asks.
extern "C" void velkor_scrub_with_registers(const RegisterFile* in, RegisterFile* out,
                                            std::uint64_t with_avx, void (*scrub)() noexcept);

__asm__(
    "  .text\n"
    "  .globl velkor_scrub_with_registers\n"
    "  .p2align 4\n"
    "velkor_scrub_with_registers:\n"
    "  pushq %rbx\n"
    "  pushq %rbp\n"
    "  pushq %rdi\n"
    "  pushq %rsi\n"
    "  pushq %r12\n"
    "  pushq %r13\n"
    "  pushq %r14\n"
    "  pushq %r15\n"
    "  subq $216, %rsp\n"
    "  movdqu %xmm6, 32(%rsp)\n"
    "  movdqu %xmm7, 48(%rsp)\n"
    "  movdqu %xmm8, 64(%rsp)\n"
    "  movdqu %xmm9, 80(%rsp)\n"
    "  movdqu %xmm10, 96(%rsp)\n"
    "  movdqu %xmm11, 112(%rsp)\n"
    "  movdqu %xmm12, 128(%rsp)\n"
    "  movdqu %xmm13, 144(%rsp)\n"
    "  movdqu %xmm14, 160(%rsp)\n"
    "  movdqu %xmm15, 176(%rsp)\n"
    "  movq %rdx, 192(%rsp)\n"
    "  movq %r9, 200(%rsp)\n"
    "  movq %r8, 208(%rsp)\n"
    "  testq %r8, %r8\n"
    "  jz 1f\n"
    "  vmovdqu 128(%rcx), %xmm0\n"
    "  vinsertf128 $1, 384(%rcx), %ymm0, %ymm0\n"
    "  vmovdqu 144(%rcx), %xmm1\n"
    "  vinsertf128 $1, 400(%rcx), %ymm1, %ymm1\n"
    "  vmovdqu 160(%rcx), %xmm2\n"
    "  vinsertf128 $1, 416(%rcx), %ymm2, %ymm2\n"
    "  vmovdqu 176(%rcx), %xmm3\n"
    "  vinsertf128 $1, 432(%rcx), %ymm3, %ymm3\n"
    "  vmovdqu 192(%rcx), %xmm4\n"
    "  vinsertf128 $1, 448(%rcx), %ymm4, %ymm4\n"
    "  vmovdqu 208(%rcx), %xmm5\n"
    "  vinsertf128 $1, 464(%rcx), %ymm5, %ymm5\n"
    "  vmovdqu 224(%rcx), %xmm6\n"
    "  vinsertf128 $1, 480(%rcx), %ymm6, %ymm6\n"
    "  vmovdqu 240(%rcx), %xmm7\n"
    "  vinsertf128 $1, 496(%rcx), %ymm7, %ymm7\n"
    "  vmovdqu 256(%rcx), %xmm8\n"
    "  vinsertf128 $1, 512(%rcx), %ymm8, %ymm8\n"
    "  vmovdqu 272(%rcx), %xmm9\n"
    "  vinsertf128 $1, 528(%rcx), %ymm9, %ymm9\n"
    "  vmovdqu 288(%rcx), %xmm10\n"
    "  vinsertf128 $1, 544(%rcx), %ymm10, %ymm10\n"
    "  vmovdqu 304(%rcx), %xmm11\n"
    "  vinsertf128 $1, 560(%rcx), %ymm11, %ymm11\n"
    "  vmovdqu 320(%rcx), %xmm12\n"
    "  vinsertf128 $1, 576(%rcx), %ymm12, %ymm12\n"
    "  vmovdqu 336(%rcx), %xmm13\n"
    "  vinsertf128 $1, 592(%rcx), %ymm13, %ymm13\n"
    "  vmovdqu 352(%rcx), %xmm14\n"
    "  vinsertf128 $1, 608(%rcx), %ymm14, %ymm14\n"
    "  vmovdqu 368(%rcx), %xmm15\n"
    "  vinsertf128 $1, 624(%rcx), %ymm15, %ymm15\n"
    "  jmp 2f\n"
    "1:\n"
    "  movdqu 128(%rcx), %xmm0\n"
    "  movdqu 144(%rcx), %xmm1\n"
    "  movdqu 160(%rcx), %xmm2\n"
    "  movdqu 176(%rcx), %xmm3\n"
    "  movdqu 192(%rcx), %xmm4\n"
    "  movdqu 208(%rcx), %xmm5\n"
    "  movdqu 224(%rcx), %xmm6\n"
    "  movdqu 240(%rcx), %xmm7\n"
    "  movdqu 256(%rcx), %xmm8\n"
    "  movdqu 272(%rcx), %xmm9\n"
    "  movdqu 288(%rcx), %xmm10\n"
    "  movdqu 304(%rcx), %xmm11\n"
    "  movdqu 320(%rcx), %xmm12\n"
    "  movdqu 336(%rcx), %xmm13\n"
    "  movdqu 352(%rcx), %xmm14\n"
    "  movdqu 368(%rcx), %xmm15\n"
    "2:\n"
    "  movq 0(%rcx), %rbx\n"
    "  movq 8(%rcx), %rbp\n"
    "  movq 16(%rcx), %rdi\n"
    "  movq 24(%rcx), %rsi\n"
    "  movq 32(%rcx), %r12\n"
    "  movq 40(%rcx), %r13\n"
    "  movq 48(%rcx), %r14\n"
    "  movq 56(%rcx), %r15\n"
    "  movq 64(%rcx), %rax\n"
    "  movq 80(%rcx), %rdx\n"
    "  movq 88(%rcx), %r8\n"
    "  movq 96(%rcx), %r9\n"
    "  movq 104(%rcx), %r10\n"
    "  movq 112(%rcx), %r11\n"
    "  movq 72(%rcx), %rcx\n"
    "  callq *200(%rsp)\n"
    "  xchgq 192(%rsp), %rax\n"
    "  movq %rbx, 0(%rax)\n"
    "  movq %rbp, 8(%rax)\n"
    "  movq %rdi, 16(%rax)\n"
    "  movq %rsi, 24(%rax)\n"
    "  movq %r12, 32(%rax)\n"
    "  movq %r13, 40(%rax)\n"
    "  movq %r14, 48(%rax)\n"
    "  movq %r15, 56(%rax)\n"
    "  movq %rcx, 72(%rax)\n"
    "  movq %rdx, 80(%rax)\n"
    "  movq %r8, 88(%rax)\n"
    "  movq %r9, 96(%rax)\n"
    "  movq %r10, 104(%rax)\n"
    "  movq %r11, 112(%rax)\n"
    "  movq 192(%rsp), %rcx\n"
    "  movq %rcx, 64(%rax)\n"
    "  cmpq $0, 208(%rsp)\n"
    "  je 3f\n"
    "  vextractf128 $1, %ymm0, 384(%rax)\n"
    "  vextractf128 $1, %ymm1, 400(%rax)\n"
    "  vextractf128 $1, %ymm2, 416(%rax)\n"
    "  vextractf128 $1, %ymm3, 432(%rax)\n"
    "  vextractf128 $1, %ymm4, 448(%rax)\n"
    "  vextractf128 $1, %ymm5, 464(%rax)\n"
    "  vextractf128 $1, %ymm6, 480(%rax)\n"
    "  vextractf128 $1, %ymm7, 496(%rax)\n"
    "  vextractf128 $1, %ymm8, 512(%rax)\n"
    "  vextractf128 $1, %ymm9, 528(%rax)\n"
    "  vextractf128 $1, %ymm10, 544(%rax)\n"
    "  vextractf128 $1, %ymm11, 560(%rax)\n"
    "  vextractf128 $1, %ymm12, 576(%rax)\n"
    "  vextractf128 $1, %ymm13, 592(%rax)\n"
    "  vextractf128 $1, %ymm14, 608(%rax)\n"
    "  vextractf128 $1, %ymm15, 624(%rax)\n"
    "3:\n"
    "  movdqu %xmm0, 128(%rax)\n"
    "  movdqu %xmm1, 144(%rax)\n"
    "  movdqu %xmm2, 160(%rax)\n"
    "  movdqu %xmm3, 176(%rax)\n"
    "  movdqu %xmm4, 192(%rax)\n"
    "  movdqu %xmm5, 208(%rax)\n"
    "  movdqu %xmm6, 224(%rax)\n"
    "  movdqu %xmm7, 240(%rax)\n"
    "  movdqu %xmm8, 256(%rax)\n"
    "  movdqu %xmm9, 272(%rax)\n"
    "  movdqu %xmm10, 288(%rax)\n"
    "  movdqu %xmm11, 304(%rax)\n"
    "  movdqu %xmm12, 320(%rax)\n"
    "  movdqu %xmm13, 336(%rax)\n"
    "  movdqu %xmm14, 352(%rax)\n"
    "  movdqu %xmm15, 368(%rax)\n"
    "  movdqu 32(%rsp), %xmm6\n"
    "  movdqu 48(%rsp), %xmm7\n"
    "  movdqu 64(%rsp), %xmm8\n"
    "  movdqu 80(%rsp), %xmm9\n"
    "  movdqu 96(%rsp), %xmm10\n"
    "  movdqu 112(%rsp), %xmm11\n"
    "  movdqu 128(%rsp), %xmm12\n"
    "  movdqu 144(%rsp), %xmm13\n"
    "  movdqu 160(%rsp), %xmm14\n"
    "  movdqu 176(%rsp), %xmm15\n"
    "  addq $216, %rsp\n"
    "  popq %r15\n"
    "  popq %r14\n"
    "  popq %r13\n"
    "  popq %r12\n"
    "  popq %rsi\n"
    "  popq %rdi\n"
    "  popq %rbp\n"
    "  popq %rbx\n"
    "  ret\n");

TEST(StackScrub, WindowsX64KeepsTheCallersRegistersAndClearsTheOthers) {
  constexpr const char* kPreserved[] = {"rbx", "rbp", "rdi", "rsi", "r12", "r13", "r14", "r15"};
  constexpr const char* kScratch[] = {"rax", "rcx", "rdx", "r8", "r9", "r10", "r11"};
  constexpr unsigned char kZero[16] = {};
  // The test's own answer, from the C runtime's processor model (CPUID and XGETBV).
  const bool avx = __builtin_cpu_supports("avx") != 0;

  RegisterFile in{};
  auto* const bytes = reinterpret_cast<unsigned char*>(&in);
  // A pattern in which no register is zero and no two are equal.
  for (std::size_t i = 0; i < sizeof in; ++i) bytes[i] = static_cast<unsigned char>(i * 151 + 7);

  void (*const scrubs[])() noexcept = {
      core::scrub_stack<core::kKeyScrubDepth>, core::scrub_stack<core::kSplitScrubDepth>,
      core::scrub_stack<core::kCombineScrubDepth>, core::scrub_stack<core::kStackScrubDepth>};
  for (auto* const scrub : scrubs) {
    RegisterFile out{};
    velkor_scrub_with_registers(&in, &out, avx ? 1 : 0, scrub);
    for (std::size_t i = 0; i < 8; ++i) {
      EXPECT_EQ(out.preserved[i], in.preserved[i]) << kPreserved[i] << " was changed";
    }
    for (std::size_t i = 0; i < 7; ++i) {
      EXPECT_EQ(out.scratch[i], 0u) << kScratch[i] << " was not cleared";
    }
    for (std::size_t i = 0; i < 16; ++i) {
      const unsigned char* expected = i < 6 ? kZero : in.xmm[i];
      EXPECT_EQ(std::memcmp(out.xmm[i], expected, 16), 0)
          << "xmm" << i << (i < 6 ? " was not cleared" : " was changed");
      if (avx) {
        EXPECT_EQ(std::memcmp(out.ymm_upper[i], kZero, 16), 0)
            << "the upper half of ymm" << i << " was not cleared";
      }
    }
  }
}
#endif

}  // namespace
}  // namespace velkor
