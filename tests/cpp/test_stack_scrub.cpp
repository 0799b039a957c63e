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

#if defined(__linux__)
#include <sys/resource.h>

#include <cstdlib>
#include <fstream>
#include <string>
#endif

#include "core/combine.hpp"
#include "core/internal_failure.hpp"
#include "core/random/random_source.hpp"
#include "core/split.hpp"
#include "core/stack_scrub.hpp"

namespace velkor {
namespace {

constexpr std::size_t kPainted = 2 * core::kStackScrubDepth;
constexpr unsigned char kPaint = 0xA5;
// How far apart the top of the scrub's region and the top of the painted area may lie, either
// way: both start below the caller's frame, the one under the scrub's own fixed frame (return
// address and saved frame pointer, 16 bytes in an optimised build), the other under the frames
// of painted_stack and paint_stack, which are larger unoptimised (GCC 12 and Clang 19 at -O0: the
// region starts 14 bytes above the painted area, so 14 bytes of it lie outside). The words of that
// frame may hold zero bytes themselves.
constexpr std::size_t kFrames = 64;

// How deep a core call may go: three quarters of the depth its entry point clears leave room
// for the binding layer's frames above it. The first exception a process throws reaches
// deepest (the unwinder finds and reads the unwind tables): 6.6 KiB on x86-64, 9.1 KiB on
// aarch64, 6.0 KiB on s390x. On Windows every exception is dispatched and unwound by the system
// (12.9 KiB on every throw, not only the first, with mingw-w64 under Wine); such a build must
// still stay within the cleared depth. AddressSanitizer's redzones make every frame larger (up
// to 10.5 KiB on x86-64 for the first exception, 12.6 KiB for a combine of 16 shares with the
// portable integer); its builds, which are never released, may reach a quarter past the depth.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kShare = 5;
#elif defined(_WIN32)
constexpr std::size_t kShare = 4;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr std::size_t kShare = 5;
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

// How many bytes right below the caller a scrub of Depth clears: the longest run of zeros that
// begins within kFrames bytes of the top of the painted area.
template <std::size_t Depth>
std::size_t cleared_by_scrub() {
  const std::uintptr_t base = painted_stack();
  core::scrub_stack<Depth>();
  std::size_t longest = 0;
  for (std::size_t top = kPainted; top > kPainted - kFrames; --top) {
    if (painted_byte(base, top - 1) != 0 || (top < kPainted && painted_byte(base, top) == 0)) {
      continue;
    }
    std::size_t run = 0;
    while (run < top && painted_byte(base, top - 1 - run) == 0) ++run;
    if (run > longest) longest = run;
  }
  return longest;
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

  EXPECT_GE(cleared_by_scrub<core::kKeyScrubDepth>(), core::kKeyScrubDepth - kFrames);
  EXPECT_GE(cleared_by_scrub<core::kSplitScrubDepth>(), core::kSplitScrubDepth - kFrames);
  EXPECT_GE(cleared_by_scrub<core::kCombineScrubDepth>(), core::kCombineScrubDepth - kFrames);
  EXPECT_GE(cleared_by_scrub<core::kStackScrubDepth>(), core::kStackScrubDepth - kFrames);
}

#if defined(__linux__)
TEST(StackScrub, FindsTheMainStackByItsPathnameField) {
  struct Case {
    const char* line;
    bool parsed;
    bool accessible;
    bool stack;
  };
  const Case cases[] = {
      {"7ffc8d1e4000-7ffc8d205000 rw-p 00000000 00:00 0                          [stack]", true,
       true, true},
      // Files whose names end in the label, a deleted one and an old kernel's thread stack.
      {"7ffc8d1e4000-7ffc8d205000 rw-s 00000000 08:01 1311                       /tmp/data [stack]",
       true, true, false},
      {"7ffc8d1e4000-7ffc8d205000 r--p 00000000 08:01 1312                       /tmp/[stack]",
       true, true, false},
      {"7ffc8d1e4000-7ffc8d205000 r--p 00000000 08:01 1313 /srv/[stack] (deleted)", true, true,
       false},
      {"7ffc8d1e4000-7ffc8d205000 rw-p 00000000 00:00 0                          [stack:4242]",
       true, true, false},
      {"7ffc8d1e4000-7ffc8d205000 ---p 00000000 00:00 0 ", true, false, false},
      {"7ffc8d1e4000-7ffc8d205000 ---p 00000000 00:00 0", true, false, false},
      {"7ffc8d1e4000-7ffc8d205000 rw-p 00000000 00:00 [stack]", true, true, false},
      {"7ffc8d1e4000-7ffc8d205000 rw-p", false, false, false},
      {"7f3a1c000000 rw-p 00000000 00:00 0 [stack]", false, false, false},
  };
  for (const Case& c : cases) {
    core::StackMapsLine mapping;
    const std::string_view line = c.line;
    ASSERT_EQ(core::parse_stack_maps_line(line.data(), line.size(), mapping), c.parsed) << line;
    if (!c.parsed) continue;
    EXPECT_EQ(mapping.start, std::uintptr_t{0x7ffc8d1e4000}) << line;
    EXPECT_EQ(mapping.end, std::uintptr_t{0x7ffc8d205000}) << line;
    EXPECT_EQ(mapping.accessible, c.accessible) << line;
    EXPECT_EQ(mapping.stack, c.stack) << line;
  }
}

// The main thread's [stack] mapping now.
bool main_stack_mapping(core::StackMapsLine& stack) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    if (core::parse_stack_maps_line(line.data(), line.size(), stack) && stack.stack) return true;
  }
  return false;
}

void set_stack_limit(rlim_t soft) {
  rlimit limit{};
  getrlimit(RLIMIT_STACK, &limit);
  limit.rlim_cur = soft;
  setrlimit(RLIMIT_STACK, &limit);
}

// Calls `call` `depth` bytes below the caller's frame, the stack in between taken and touched
// page by page from the top down, as the kernel grows the main thread's stack.
template <class Call>
#if defined(__GNUC__) || defined(__clang__)
__attribute__((noinline, no_sanitize_address))
#endif
void call_at_depth(std::size_t depth, const Call& call) {
  auto* const taken = static_cast<volatile unsigned char*>(__builtin_alloca(depth));
  for (std::size_t offset = depth; offset > 0; offset -= offset < 4096 ? offset : 4096) {
    taken[offset - 1] = 0;
  }
  taken[0] = 0;
  call();
  taken[0] = 1;  // keeps the taken stack in place until the call is over
}

std::uintptr_t frame_address() {
  return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
}

// RLIMIT_STACK changed after the main thread's bounds were read (in a child process, which keeps
// the test's own limit as it was). Lowered to leave 6 KiB of growth below the mapped stack, the
// scrub's 16 KiB from 8 KiB above the mapped part's end would grow it past the limit: the scrub
// stops above the limit and the end margin instead of faulting. Raised to 64 MiB, a scrub 12 MiB
// down clears its depth.
TEST(StackScrub, FollowsAChangedStackLimitOnTheMainThread) {
  EXPECT_EXIT(
      {
        core::scrub_stack<core::kStackScrubDepth>();
        core::StackMapsLine stack;
        if (!main_stack_mapping(stack)) std::_Exit(2);
        set_stack_limit(stack.end - stack.start + 6 * 1024);
        call_at_depth(frame_address() - stack.start - 8 * 1024,
                      [] { core::scrub_stack<core::kStackScrubDepth>(); });
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "");

  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_STACK, &limit), 0);
  core::StackMapsLine stack;
  ASSERT_TRUE(main_stack_mapping(stack));
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < 64 * 1024 * 1024) {
    GTEST_SKIP() << "the hard limit of the stack is below 64 MiB";
  }
  if (stack.end - stack.start >= 8 * 1024 * 1024) {
    GTEST_SKIP() << "the main stack is mapped whole here (qemu-user): the kernel does not grow it";
  }
  EXPECT_EXIT(
      {
        set_stack_limit(8 * 1024 * 1024);
        core::scrub_stack<core::kStackScrubDepth>();
        set_stack_limit(64 * 1024 * 1024);
        std::size_t cleared = 0;
        call_at_depth(12 * 1024 * 1024,
                      [&] { cleared = cleared_by_scrub<core::kStackScrubDepth>(); });
        std::_Exit(cleared >= core::kStackScrubDepth - kFrames ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}
#endif

#if defined(_WIN32) && defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// The registers around a call of the scrub on Windows x64, as velkor_scrub_with_registers
// loads them before the call and stores them after it.
struct RegisterFile {
  std::uint64_t preserved[8];  // rbx, rbp, rdi, rsi, r12, r13, r14, r15
  std::uint64_t scratch[7];    // rax, rcx, rdx, r8, r9, r10, r11
  std::uint64_t unused;
  unsigned char xmm[16][16];        // xmm0–15: the low halves of ymm0–15
  unsigned char ymm_upper[16][16];  // the upper halves of ymm0–15 (with AVX only)
  unsigned char zmm_upper[16][64];  // zmm16–31 (with AVX-512 only)
};
static_assert(offsetof(RegisterFile, scratch) == 64 && offsetof(RegisterFile, xmm) == 128 &&
              offsetof(RegisterFile, ymm_upper) == 384 &&
              offsetof(RegisterFile, zmm_upper) == 640 && sizeof(RegisterFile) == 1664);

// velkor_scrub_with_registers(in, out, vectors, scrub): loads every register above from `in`
// (the full ymm registers when vectors is 1 or more, and zmm16–31 too when it is 2), calls
// scrub, and stores them to `out`. It keeps its own caller's registers as the convention asks.
extern "C" void velkor_scrub_with_registers(const RegisterFile* in, RegisterFile* out,
                                            std::uint64_t vectors, void (*scrub)() noexcept);

__asm__(
    ".text\n"
    ".globl velkor_scrub_with_registers\n"
    "velkor_scrub_with_registers:\n"
    // Its caller's preserved registers, and the arguments, go to the frame: 8 pushes and 216
    // bytes (shadow space, xmm6–15, out, scrub, vectors) keep rsp 16-byte aligned at the call.
    "  pushq %rbx\n  pushq %rbp\n  pushq %rdi\n  pushq %rsi\n"
    "  pushq %r12\n  pushq %r13\n  pushq %r14\n  pushq %r15\n"
    "  subq $216, %rsp\n"
    "  .irp i, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15\n"
    "  movdqu %xmm\\i, 16*\\i-64(%rsp)\n"
    "  .endr\n"
    "  movq %rdx, 192(%rsp)\n  movq %r9, 200(%rsp)\n  movq %r8, 208(%rsp)\n"
    // Every register from `in`; rcx, the pointer to it, last.
    "  testq %r8, %r8\n  jz 1f\n"
    "  .irp i, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15\n"
    "  vmovdqu 128+16*\\i(%rcx), %xmm\\i\n"
    "  vinsertf128 $1, 384+16*\\i(%rcx), %ymm\\i, %ymm\\i\n"
    "  .endr\n"
    "  cmpq $2, %r8\n  jb 2f\n"
    "  .irp i, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31\n"
    "  vmovdqu64 640+64*(\\i-16)(%rcx), %zmm\\i\n"
    "  .endr\n"
    "  jmp 2f\n"
    "1:\n"
    "  .irp i, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15\n"
    "  movdqu 128+16*\\i(%rcx), %xmm\\i\n"
    "  .endr\n"
    "2:\n"
    "  movq 0(%rcx), %rbx\n  movq 8(%rcx), %rbp\n  movq 16(%rcx), %rdi\n  movq 24(%rcx), %rsi\n"
    "  movq 32(%rcx), %r12\n  movq 40(%rcx), %r13\n  movq 48(%rcx), %r14\n  movq 56(%rcx), %r15\n"
    "  movq 64(%rcx), %rax\n  movq 80(%rcx), %rdx\n  movq 88(%rcx), %r8\n  movq 96(%rcx), %r9\n"
    "  movq 104(%rcx), %r10\n  movq 112(%rcx), %r11\n  movq 72(%rcx), %rcx\n"
    "  callq *200(%rsp)\n"
    // Every register to `out`; rax trades places with the pointer to it.
    "  xchgq 192(%rsp), %rax\n"
    "  movq %rbx, 0(%rax)\n  movq %rbp, 8(%rax)\n  movq %rdi, 16(%rax)\n  movq %rsi, 24(%rax)\n"
    "  movq %r12, 32(%rax)\n  movq %r13, 40(%rax)\n  movq %r14, 48(%rax)\n  movq %r15, 56(%rax)\n"
    "  movq %rcx, 72(%rax)\n  movq %rdx, 80(%rax)\n  movq %r8, 88(%rax)\n  movq %r9, 96(%rax)\n"
    "  movq %r10, 104(%rax)\n  movq %r11, 112(%rax)\n"
    "  movq 192(%rsp), %rcx\n  movq %rcx, 64(%rax)\n"
    "  cmpq $0, 208(%rsp)\n  je 3f\n"
    "  .irp i, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15\n"
    "  vextractf128 $1, %ymm\\i, 384+16*\\i(%rax)\n"
    "  .endr\n"
    "  cmpq $2, 208(%rsp)\n  jb 3f\n"
    "  .irp i, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31\n"
    "  vmovdqu64 %zmm\\i, 640+64*(\\i-16)(%rax)\n"
    "  .endr\n"
    "3:\n"
    "  .irp i, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15\n"
    "  movdqu %xmm\\i, 128+16*\\i(%rax)\n"
    "  .endr\n"
    // The caller's registers back.
    "  .irp i, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15\n"
    "  movdqu 16*\\i-64(%rsp), %xmm\\i\n"
    "  .endr\n"
    "  addq $216, %rsp\n"
    "  popq %r15\n  popq %r14\n  popq %r13\n  popq %r12\n"
    "  popq %rsi\n  popq %rdi\n  popq %rbp\n  popq %rbx\n"
    "  ret\n");

TEST(StackScrub, WindowsX64KeepsTheCallersRegistersAndClearsTheOthers) {
  constexpr const char* kPreserved[] = {"rbx", "rbp", "rdi", "rsi", "r12", "r13", "r14", "r15"};
  constexpr const char* kScratch[] = {"rax", "rcx", "rdx", "r8", "r9", "r10", "r11"};
  constexpr unsigned char kZero[16] = {};
  // The test's own answer, from the C runtime's processor model (CPUID and XGETBV).
  const bool avx = __builtin_cpu_supports("avx") != 0;
  const bool avx512 = avx && __builtin_cpu_supports("avx512f") != 0;

  RegisterFile in{};
  auto* const bytes = reinterpret_cast<unsigned char*>(&in);
  // A pattern in which no register is zero and no two are equal.
  for (std::size_t i = 0; i < sizeof in; ++i) bytes[i] = static_cast<unsigned char>(i * 151 + 7);

  void (*const scrubs[])() noexcept = {
      core::scrub_stack<core::kKeyScrubDepth>, core::scrub_stack<core::kSplitScrubDepth>,
      core::scrub_stack<core::kCombineScrubDepth>, core::scrub_stack<core::kStackScrubDepth>};
  for (auto* const scrub : scrubs) {
    RegisterFile out{};
    velkor_scrub_with_registers(&in, &out, avx512 ? 2 : avx ? 1 : 0, scrub);
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
      if (avx512) {
        constexpr unsigned char kZeroZmm[64] = {};
        EXPECT_EQ(std::memcmp(out.zmm_upper[i], kZeroZmm, 64), 0)
            << "zmm" << i + 16 << " was not cleared";
      }
    }
  }
}
#endif

}  // namespace
}  // namespace velkor
