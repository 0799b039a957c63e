// The stack scrub clears its depth right below its caller, well beyond what the deepest calls
// behind each entry point reach. Both are read from the stack memory the calls leave behind
// below the test's own frame.
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/combine.hpp"
#include "core/internal_failure.hpp"
#include "core/random_source.hpp"
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
// aarch64, 6.0 KiB on s390x. AddressSanitizer's redzones make every frame larger (up to
// 10.5 KiB on x86-64); such a build must still stay within the cleared depth.
#if defined(__SANITIZE_ADDRESS__)
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

}  // namespace
}  // namespace velkor
