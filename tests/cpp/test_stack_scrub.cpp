// The stack scrub: it clears kStackScrubDepth bytes right below its caller, and the deepest calls
// of the core stay within that depth. Both are read from the stack memory below the test's own
// frame, which the calls leave behind when they return.
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/combine.hpp"
#include "core/internal_failure.hpp"
#include "core/split.hpp"
#include "core/stack_scrub.hpp"

namespace velkor {
namespace {

constexpr std::size_t kPainted = 2 * core::kStackScrubDepth;
constexpr unsigned char kPaint = 0xA5;

#if defined(__GNUC__) || defined(__clang__)
#define VELKOR_TEST_PAINTER __attribute__((noinline, no_sanitize_address))
#else
#define VELKOR_TEST_PAINTER
#endif

// Fills kPainted bytes of stack right below the caller's frame with kPaint and returns the
// lowest of their addresses.
VELKOR_TEST_PAINTER std::uintptr_t paint_stack() {
  volatile unsigned char area[kPainted];
  for (std::size_t i = 0; i < kPainted; ++i) area[i] = kPaint;
  return reinterpret_cast<std::uintptr_t>(&area[0]);
}

const volatile unsigned char* painted(std::uintptr_t base) {
  return reinterpret_cast<const volatile unsigned char*>(base);
}

// How far below the top of the painted area the deepest overwritten byte lies.
std::size_t depth_reached(std::uintptr_t base) {
  std::size_t i = 0;
  while (i < kPainted && painted(base)[i] == kPaint) ++i;
  return kPainted - i;
}

std::uint64_t g_draws = 0;
std::uint64_t counting_draw() {
  return 0x9e3779b97f4a7c15U * ++g_draws;
}
std::uint64_t failing_draw() {
  if (++g_draws > 5) core::internal_failure("Error: OS Error: 5");
  return g_draws;
}

std::vector<std::string> share_texts(std::uint64_t k) {
  const std::array<std::uint8_t, 32> secret{};
  const auto split = core::shamir_split(secret, k, k, counting_draw);
  std::vector<std::string> texts;
  for (std::size_t i = 0; i < split.value().size(); ++i) texts.emplace_back(split.value()[i]);
  return texts;
}

TEST(StackScrub, DeepestCoreCallsStayWellWithinTheScrubbedDepth) {
  const std::array<std::uint8_t, 32> secret{};
  // On both sides of the sizes that keep their scratch arrays on the stack (16 shares, a
  // threshold of 17), the largest sizes, and a split unwinding from a failed draw.
  std::vector<std::pair<std::string, std::function<void()>>> calls;
  for (const std::uint64_t k : {3U, 17U, 18U, 255U}) {
    calls.emplace_back("split k = " + std::to_string(k),
                       [&secret, k] { (void)core::shamir_split(secret, k, k, counting_draw); });
  }
  std::vector<std::vector<std::string>> texts;
  std::vector<std::vector<std::string_view>> views;
  for (const std::uint64_t k : {3U, 16U, 17U, 255U}) {
    texts.push_back(share_texts(k));
    views.emplace_back(texts.back().begin(), texts.back().end());
  }
  for (const auto& view : views) {
    calls.emplace_back("combine k = " + std::to_string(view.size()),
                       [&view] { (void)core::shamir_combine(view, view.size()); });
  }
  calls.emplace_back("split with a failing draw", [&secret] {
    g_draws = 0;
    try {
      (void)core::shamir_split(secret, 3, 5, failing_draw);
    } catch (const core::InternalFailure&) {
    }
  });

  for (const auto& [what, call] : calls) {
    const std::uintptr_t base = paint_stack();
    call();
    const std::size_t depth = depth_reached(base);
    std::printf("%-28s %5zu bytes of stack\n", what.c_str(), depth);
    // Half the depth: room for the frames of the binding layer above the core and for builds
    // with larger frames (sanitizers, other compilers).
    EXPECT_LT(depth, core::kStackScrubDepth / 2) << what;
  }
}

TEST(StackScrub, ClearsItsDepthRightBelowTheCaller) {
  const std::uintptr_t base = paint_stack();
  core::scrub_stack();
  // From the top of the painted area down: the few bytes of the scrub's own frame that are not
  // its buffer (return address, alignment, a stack protector's canary), then the cleared run.
  std::size_t top = kPainted;
  while (top > kPainted - 32 && painted(base)[top - 1] != 0) --top;
  std::size_t cleared = 0;
  while (cleared < top && painted(base)[top - 1 - cleared] == 0) ++cleared;
  EXPECT_GT(top, kPainted - 32);
  EXPECT_GE(cleared, core::kStackScrubDepth);
}

}  // namespace
}  // namespace velkor
