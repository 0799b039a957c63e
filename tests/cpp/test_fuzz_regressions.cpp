// Inputs on which the fuzz targets (fuzz/) found the core misbehaving, kept as ordinary tests so
// that every build of the test suite runs them. Each test names the target and its input.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/combine.hpp"
#include "core/share_text.hpp"

namespace velkor {
namespace {

std::array<std::uint8_t, 32> combine_bytes(const std::vector<std::string_view>& texts,
                                           std::uint64_t k) {
  const core::Outcome<core::RecoveredSecret> result = core::shamir_combine(texts, k);
  EXPECT_TRUE(result.ok()) << result.error();
  std::array<std::uint8_t, 32> bytes{};
  if (result.ok()) {
    const auto view = result.value().bytes();
    std::copy(view.begin(), view.end(), bytes.begin());
  }
  return bytes;
}

// fuzz_combine, input 00 00 0a: k = 0 and an empty list. With no shares, the Lagrange weights
// were computed through the small-index path, which took the smallest and largest index of the
// empty index list (std::minmax_element gives end(), here a null pointer) and read through
// them: undefined behaviour, a segmentation fault in unoptimised builds.
TEST(FuzzRegressions, CombineWithKZeroAndNoShares) {
  EXPECT_EQ(combine_bytes({}, 0), (std::array<std::uint8_t, 32>{}));
}

// The same path with texts present but none read (k = 0), and the interpolation entry points
// called directly with no shares.
TEST(FuzzRegressions, InterpolationOfNoShares) {
  EXPECT_EQ(combine_bytes({"x", "1:0:0"}, 0), (std::array<std::uint8_t, 32>{}));
  EXPECT_TRUE(core::lagrange_weights_at_zero(std::span<const core::Share>{}).empty());
  for (int word = 0; word < 4; ++word) {
    EXPECT_TRUE(core::interpolate_at_zero(std::span<const core::Share>{}, word) == 0U);
  }
}

}  // namespace
}  // namespace velkor
