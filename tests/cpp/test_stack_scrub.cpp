// The stack scrub clears kStackScrubDepth bytes right below its caller, well beyond what the
// deepest calls of the core reach. Both are read from the stack memory the calls leave behind
// below the test's own frame.
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/combine.hpp"
#include "core/internal_failure.hpp"
#include "core/split.hpp"
#include "core/stack_scrub.hpp"

namespace velkor {
namespace {

constexpr std::size_t kPainted = 2 * core::kStackScrubDepth;
constexpr unsigned char kPaint = 0xA5;

// How deep the core may go: three quarters of the scrubbed depth leave room for the binding
// layer's frames above it. The first exception a process throws reaches deepest (the unwinder
// finds and reads the unwind tables): 6.6 KiB on x86-64, 9.1 KiB on aarch64, 6.0 KiB on s390x.
// AddressSanitizer's redzones make every frame larger (up to 10.5 KiB on x86-64); such a build
// must still stay within the scrubbed depth.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kDeepest = core::kStackScrubDepth;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr std::size_t kDeepest = core::kStackScrubDepth;
#else
constexpr std::size_t kDeepest = core::kStackScrubDepth / 4 * 3;
#endif
#else
constexpr std::size_t kDeepest = core::kStackScrubDepth / 4 * 3;
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

TEST(StackScrub, CoversTheDeepestCoreCalls) {
  // A combine of 16 shares keeps the largest scratch arrays on the stack; a split whose draw
  // fails unwinds through the core.
  const std::array<std::uint8_t, 32> secret{};
  const auto split = core::shamir_split(secret, 16, 16);
  std::vector<std::string_view> views;
  for (std::size_t i = 0; i < split.value().size(); ++i) views.push_back(split.value()[i]);

  for (int call = 0; call < 2; ++call) {
    const std::uintptr_t base = painted_stack();
    if (call == 0) {
      EXPECT_TRUE(core::shamir_combine(views, views.size()).ok());
    } else {
      g_draws = 0;
      EXPECT_THROW((void)core::shamir_split(secret, 3, 5, failing_draw), core::InternalFailure);
    }
    std::size_t untouched = 0;
    while (untouched < kPainted && painted_byte(base, untouched) == kPaint) ++untouched;
    EXPECT_LT(kPainted - untouched, kDeepest) << "call " << call;
  }

  // From the top of the painted area down: the few bytes of the scrub's own frame that are not
  // its buffer (return address, alignment, a stack protector's canary), then the cleared run.
  const std::uintptr_t base = painted_stack();
  core::scrub_stack();
  std::size_t top = kPainted;
  while (top > kPainted - 32 && painted_byte(base, top - 1) != 0) --top;
  std::size_t cleared = 0;
  while (cleared < top && painted_byte(base, top - 1 - cleared) == 0) ++cleared;
  EXPECT_GT(top, kPainted - 32);
  EXPECT_GE(cleared, core::kStackScrubDepth);
}

}  // namespace
}  // namespace velkor
