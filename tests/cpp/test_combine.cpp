// Combining: round trips with splitting, the trusted-input behaviours, and agreement with the
// reference interpolation (one inversion per term) on arbitrary, inconsistent shares.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <numeric>
#include <string>
#include <vector>

#include "core/combine.hpp"
#include "core/interrupt_poll.hpp"
#include "core/split.hpp"
#include "test_support.hpp"

namespace velkor {
namespace {

using oracle::kP;
using oracle::u128;
using Bytes = std::array<std::uint8_t, 32>;

Bytes bytes_of(const core::RecoveredSecret& secret) {
  Bytes out;
  std::copy(secret.data(), secret.data() + 32, out.begin());
  return out;
}

// Combines, expecting success.
Bytes combine(const std::vector<std::string>& texts, std::uint64_t k) {
  const std::vector<std::string_view> views(texts.begin(), texts.end());
  auto result = core::shamir_combine(views, k);
  EXPECT_TRUE(result.ok()) << result.error();
  return result.ok() ? bytes_of(result.value()) : Bytes{};
}

std::string combine_error(const std::vector<std::string>& texts, std::uint64_t k) {
  const std::vector<std::string_view> views(texts.begin(), texts.end());
  const auto result = core::shamir_combine(views, k);
  EXPECT_FALSE(result.ok());
  return result.ok() ? std::string() : std::string(result.error());
}

// Bytes with word j = low 64 bits of words[j], big-endian.
Bytes words_to_bytes(const u128 (&words)[4]) {
  Bytes out{};
  for (std::size_t j = 0; j < 4; ++j) {
    for (std::size_t b = 0; b < 8; ++b) {
      out[8 * j + b] = static_cast<std::uint8_t>(words[j] >> (56 - 8 * b));
    }
  }
  return out;
}

std::string share_text(u128 index, u128 a, u128 b, u128 c, u128 d) {
  return testing::reference_share_text(index, {a, b, c, d});
}

TEST(Combine, AnyKOfNInAnyOrderRebuildsTheSecret) {
  auto rng = testing::seeded_generator();
  const std::pair<std::uint64_t, std::uint64_t> shapes[] = {{2, 2}, {2, 3},   {3, 5},   {5, 5},
                                                            {4, 9}, {10, 20}, {50, 60}, {255, 255}};
  for (const auto& [k, n] : shapes) {
    Bytes secret;
    for (auto& byte : secret) byte = static_cast<std::uint8_t>(rng());
    if (k == 3) secret.fill(0xff);                        // words 2^64 − 1, used unreduced
    const auto split = core::shamir_split(secret, k, n);  // the operating system's generator
    ASSERT_TRUE(split.ok());
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < split.value().size(); ++i) texts.emplace_back(split.value()[i]);
    for (int round = 0; round < 3; ++round) {
      std::shuffle(texts.begin(), texts.end(), rng);
      EXPECT_EQ(combine(texts, k), secret) << "k=" << k << " n=" << n;
    }
    // One share fewer than the threshold: some other 32 bytes, no error.
    EXPECT_NE(combine(texts, k - 1), secret) << "k=" << k;
  }
}

TEST(Combine, TwoSplitsOfOneSecretDiffer) {
  Bytes secret{};
  const auto first = core::shamir_split(secret, 2, 3);
  const auto second = core::shamir_split(secret, 2, 3);
  ASSERT_TRUE(first.ok() && second.ok());
  EXPECT_NE(first.value()[0], second.value()[0]);
}

TEST(Combine, ChecksCountThenReadsOnlyTheFirstK) {
  const std::vector<std::string> two_bad = {"junk", "1:0:0:0"};
  EXPECT_EQ(combine_error(two_bad, 3), "Shamir combine failed: Need at least 3 shares");
  EXPECT_EQ(combine_error({}, 18446744073709551615U),
            "Shamir combine failed: Need at least 18446744073709551615 shares");
  EXPECT_EQ(combine_error(two_bad, 2),
            "Shamir combine failed: Invalid share format (need 5 fields): junk");
  EXPECT_EQ(combine_error({"1:0:0:0:0", "1:0:0:0"}, 2),
            "Shamir combine failed: Invalid share format (need 5 fields): 1:0:0:0");
  EXPECT_EQ(combine_error({"1:0:0:0:0", "2:0:0:0:z", "3:"}, 2),
            "Shamir combine failed: invalid digit found in string");
  EXPECT_EQ(combine_error({"1:0:0:0:"}, 1),
            "Shamir combine failed: cannot parse integer from empty string");
  // Strings past the first k are never read.
  EXPECT_EQ(combine({"1:0:0:0:0", "2:0:0:0:0", "not a share"}, 2), Bytes{});
  EXPECT_EQ(combine(two_bad, 0), Bytes{});
  EXPECT_EQ(combine({}, 0), Bytes{});
}

TEST(Combine, TrustedInputEdgeCases) {
  const u128 big = (static_cast<u128>(0xabcdU) << 64) | 0x1122334455667788U;  // 2^64 or more
  // k = 1: the first share's values reduced mod P, low 64 bits.
  EXPECT_EQ(combine({share_text(9, kP + 3, big, kP, ~u128{0}), "x"}, 1),
            words_to_bytes({3, big, 0, 1}));
  // Identical shares: both denominators are 0.
  const std::string s = share_text(4, 10, 20, 30, 40);
  EXPECT_EQ(combine({s, s}, 2), Bytes{});
  // Index ≡ 0 (0 or P) in exactly one of k shares: its values, the others' terms vanish.
  for (const u128 zero : {u128{0}, kP}) {
    EXPECT_EQ(combine({share_text(5, 1, 2, 3, 4), share_text(zero, kP + 7, big, 8, 9),
                       share_text(6, 5, 6, 7, 8)},
                      3),
              words_to_bytes({7, big, 8, 9}));
  }
  // Two indices ≡ 0: every term vanishes.
  EXPECT_EQ(combine({share_text(0, 1, 2, 3, 4), share_text(kP, 5, 6, 7, 8)}, 2), Bytes{});
  // Index P + 1 behaves as index 1.
  Bytes secret;
  std::iota(secret.begin(), secret.end(), std::uint8_t{1});
  const auto split = core::shamir_split(secret, 3, 3);
  ASSERT_TRUE(split.ok());
  std::vector<std::string> texts;
  for (std::size_t i = 0; i < 3; ++i) texts.emplace_back(split.value()[i]);
  ASSERT_EQ(texts[0].substr(0, 2), "1:");
  texts[0] = "170141183460469231731687303715884105728" + texts[0].substr(1);  // P + 1
  EXPECT_EQ(combine(texts, 3), secret);
}

// The interpolation is exactly the term-by-term Lagrange formula of the reference, also where
// the shares do not fit together: duplicates, zero indices, indices and values of any size.
TEST(Combine, MatchesReferenceInterpolationOnArbitraryShares) {
  auto rng = testing::seeded_generator();
  const auto random_index = [&]() -> u128 {
    switch (rng() % 4) {
      case 0:
        return rng() % 8;  // small, often repeated, sometimes 0
      case 1:
        return testing::kSpecial[rng() % std::size(testing::kSpecial)];
      default:
        return testing::random_operand(rng);
    }
  };
  // Indices at the edge of exact word divisors x_i · ∏ (x_i − x_m): with the widths of the
  // largest index and of the range adding up to 63, divisors near 2^63 whose products overflow
  // it; one more bit of width, and the field products take over. Two shares whose difference (or
  // its negation) is the largest value the Euclidean inverse takes, and one more.
  const u128 two32 = u128{1} << 32;
  const u128 two17 = u128{1} << 17;
  const u128 two63 = u128{1} << 63;
  const std::vector<u128> fixed[] = {{two32, two32 + 1, two32 + (1U << 15) - 1},
                                     {2 * two32, 2 * two32 + 1, 2 * two32 + (1U << 15) - 1},
                                     {two17, two17 + 1, two17 + 2, two17 + (1U << 15) - 1},
                                     {two17, two17 + 1, two17 + 2, two17 + (1U << 15)},
                                     {1, two63},
                                     {two63, 1},
                                     {1, two63 + 1}};
  const int fixed_rounds = static_cast<int>(std::size(fixed));
  for (int round = 0; round < 60 + fixed_rounds; ++round) {
    const bool is_fixed = round >= 60;
    const std::size_t k = is_fixed    ? fixed[round - 60].size()
                          : round < 4 ? static_cast<std::size_t>(round)
                                      : 2 + rng() % 6;
    std::vector<std::string> texts;
    std::vector<oracle::Point> points[4];
    for (std::size_t i = 0; i < k; ++i) {
      // Rounds 30 on have only indices below 2^63 (the exact 64-bit products): small ones
      // that often repeat, then wide ones that fill a 64-bit word in one or two factors.
      const u128 index = is_fixed     ? fixed[round - 60][i]
                         : round < 30 ? random_index()
                         : round < 45 ? rng() % 40 + 1
                                      : rng() >> (1 + rng() % 63);
      u128 values[4];
      for (int w = 0; w < 4; ++w) {
        values[w] = testing::random_operand(rng);
        points[w].push_back({index, values[w]});
      }
      texts.push_back(testing::reference_share_text(index, values));
    }
    u128 expected[4];
    for (int w = 0; w < 4; ++w) expected[w] = oracle::interpolate_at_zero(points[w]);
    ASSERT_EQ(combine(texts, k), words_to_bytes(expected)) << "round " << round;
  }
}

// An interrupt poll that counts its calls and throws Stop on the call numbered stop_at.
struct Stop {};
struct CountingPoll {
  static inline std::uint64_t calls = 0;
  static inline std::uint64_t stop_at = 0;  // 0: never
  static void poll() {
    if (++calls == stop_at) throw Stop{};
  }
};

// The weights take k^2 steps: the poll comes at least once per kPollSteps of them, on both ways
// to the divisors (indices below 2^63, and any indices), and the result it does not stop is the
// same. An exception from it ends the combine, while the texts are read or the weights computed.
TEST(Combine, PollsWhileReadingAndWeighingAndStopsWhereItThrows) {
  auto rng = testing::seeded_generator();
  const auto texts_of = [&rng](std::size_t k, bool wide) {
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < k; ++i) {
      const u128 index = wide ? (u128{1} << 63) + 7 * i : i + 1;
      const u128 values[4] = {rng() % kP, rng(), rng(), rng()};
      texts.push_back(testing::reference_share_text(index, values));
    }
    return texts;
  };
  struct Case {
    std::size_t k;
    bool wide;
    std::uint64_t stop_at;
  };
  const Case cases[] = {{3000, false, 0}, {3000, true, 0}, {20000, false, 1}, {20000, false, 50}};
  for (const Case& c : cases) {
    const std::vector<std::string> texts = texts_of(c.k, c.wide);
    const std::vector<std::string_view> views(texts.begin(), texts.end());
    CountingPoll::calls = 0;
    CountingPoll::stop_at = c.stop_at;
    try {
      auto result = core::shamir_combine(views, c.k, CountingPoll::poll);
      ASSERT_EQ(c.stop_at, 0U) << "not stopped: k = " << c.k;
      ASSERT_TRUE(result.ok());
      EXPECT_GE(CountingPoll::calls, c.k * c.k / core::kPollSteps) << "wide " << c.wide;
      EXPECT_LE(CountingPoll::calls, c.k / 10) << "wide " << c.wide;  // not per row
      EXPECT_EQ(bytes_of(result.value()), combine(texts, c.k)) << "wide " << c.wide;
    } catch (const Stop&) {
      EXPECT_EQ(CountingPoll::calls, c.stop_at);
    }
  }
}

}  // namespace
}  // namespace velkor
