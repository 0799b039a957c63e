// Splitting: argument checks, the exact requests made to the word source, and share values
// against the reference evaluation of the drawn polynomials.
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "core/internal_failure.hpp"
#include "core/interrupt_poll.hpp"
#include "core/split.hpp"
#include "test_support.hpp"

namespace velkor {
namespace {

using oracle::from_native;
using oracle::kP;
using oracle::to_native;
using oracle::u128;

// A reproducible word source (splitmix64) that counts its requests.
struct ScriptedWords {
  static inline std::uint64_t state = 0;
  static inline std::uint64_t calls = 0;
  static inline bool all_ones = false;

  static void reset(std::uint64_t seed, bool ones = false) {
    state = seed;
    calls = 0;
    all_ones = ones;
  }
  static std::uint64_t next() {
    ++calls;
    if (all_ones) return ~std::uint64_t{0};
    std::uint64_t z = (state += 0x9e3779b97f4a7c15U);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9U;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebU;
    return z ^ (z >> 31);
  }
};

std::array<std::uint8_t, 32> secret_from(std::uint64_t seed) {
  std::array<std::uint8_t, 32> secret{};
  ScriptedWords::reset(seed);
  for (auto& byte : secret) byte = static_cast<std::uint8_t>(ScriptedWords::next());
  return secret;
}

struct Rejection {
  std::size_t length;
  std::uint64_t k;
  std::uint64_t n;
  const char* message;
};

TEST(Split, RejectsArgumentsInOrderWithoutDrawing) {
  const Rejection cases[] = {
      {0, 2, 3, "Secret must be exactly 32 bytes"},
      {31, 1, 0, "Secret must be exactly 32 bytes"},
      {33, 3, 5, "Secret must be exactly 32 bytes"},
      {32, 0, 5, "Shamir split failed: k must be >= 2"},
      {32, 1, 0, "Shamir split failed: k must be >= 2"},
      {32, 3, 2, "Shamir split failed: n must be >= k"},
      {32, ~std::uint64_t{0}, 5, "Shamir split failed: n must be >= k"},
  };
  const std::vector<std::uint8_t> bytes(64, 7);
  for (const Rejection& c : cases) {
    ScriptedWords::reset(1);
    const auto result = core::shamir_split({bytes.data(), c.length}, c.k, c.n, ScriptedWords::next);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), c.message);
    EXPECT_EQ(ScriptedWords::calls, 0U);
  }
}

// The split reserves each coefficient row (k − 1 values of 16 bytes, all four in one block) and
// draws the table, then reserves the result list (n handles) and its texts. A size in bytes
// beyond PTRDIFF_MAX is a capacity overflow; a representable one that cannot be had is bad_alloc.
TEST(Split, ReservationsThatCannotBeSizedOrHad) {
  const auto secret = secret_from(1);
  constexpr std::uint64_t kRow = PTRDIFF_MAX / 16;  // the longest row that can be sized
  constexpr std::uint64_t kHandles = PTRDIFF_MAX / sizeof(std::string_view);
  struct Case {
    std::uint64_t k, n;
    bool overflow;
    std::uint64_t draws;
  };
  const Case cases[] = {
      {kRow + 2, kRow + 2, true, 0},   // a row one value too long
      {kRow + 1, kRow + 1, false, 0},  // the row can be sized, four of them cannot be had
      {std::uint64_t{1} << 50, std::uint64_t{1} << 50, false, 0},  // a table beyond any memory
      {2, kHandles + 1, true, 8},  // the table is drawn before the list is sized
      {2, kHandles, false, 8},     // the handles can be sized, their texts cannot be had
      {3, std::uint64_t{1} << 55, false, 16},  // texts beyond any memory
  };
  for (const Case& c : cases) {
    ScriptedWords::reset(1);
    try {
      (void)core::shamir_split(secret, c.k, c.n, ScriptedWords::next);
      ADD_FAILURE() << "no failure for k = " << c.k << ", n = " << c.n;
    } catch (const core::InternalFailure& failure) {
      EXPECT_TRUE(c.overflow) << "k = " << c.k << ", n = " << c.n;
      EXPECT_EQ(failure.message(), "capacity overflow");
      // The place is the call site in the core's source, named relative to the project (not the
      // helper's own header, not a full path), with whichever SourcePlace the compiler has.
      EXPECT_STREQ(failure.where().file_name(), "src/core/split.cpp");
      EXPECT_GT(failure.where().line(), 100U);
    } catch (const std::bad_alloc&) {
      EXPECT_FALSE(c.overflow) << "k = " << c.k << ", n = " << c.n;
    }
    EXPECT_EQ(ScriptedWords::calls, c.draws) << "k = " << c.k << ", n = " << c.n;
  }
}

TEST(Split, RandomFieldElementClearsTheTopBitAndMapsPToZero) {
  struct Case {
    std::uint64_t lo, hi;
    u128 expected;
  };
  const Case cases[] = {
      {5, 7, (static_cast<u128>(7) << 64) | 5},
      {5, (std::uint64_t{1} << 63) | 7, (static_cast<u128>(7) << 64) | 5},
      {~std::uint64_t{0}, ~std::uint64_t{0}, 0},           // P
      {~std::uint64_t{0} - 1, ~std::uint64_t{0}, kP - 1},  // P − 1
      {0, std::uint64_t{1} << 63, 0},
  };
  for (const Case& c : cases) {
    static std::uint64_t words[2];
    static int next;
    words[0] = c.lo;  // the first draw is the low half
    words[1] = c.hi;
    next = 0;
    const auto draw = []() -> std::uint64_t { return words[next++]; };
    EXPECT_EQ(to_native(core::random_field_element(draw)), c.expected);
    EXPECT_EQ(next, 2);
  }
}

TEST(Split, EvaluatePolynomialEdgeCases) {
  const u128 s = 0xffffffffffffffffU;
  for (const u128 x : {u128{1}, u128{2}, u128{1} << 63, u128{0xffffffffffffffffU}}) {
    const auto xs = static_cast<std::uint64_t>(x);
    const auto eval = [&](std::vector<u128> row) {
      std::vector<core::FieldElement> coefficients;
      for (const u128 c : row) coefficients.push_back(from_native(c));
      const u128 got = to_native(core::evaluate_polynomial(from_native(s), coefficients, xs));
      EXPECT_EQ(got, oracle::evaluate_polynomial(s, row, x));
      return got;
    };
    EXPECT_EQ(eval({1}), s + x);
    EXPECT_EQ(eval({kP - 1}), x > s ? kP + s - x : s - x);
    EXPECT_EQ(eval({0}), s);
    EXPECT_EQ(eval({1, 1}), oracle::reduce_mod(s + x + oracle::mul_mod(x, x)));
    EXPECT_EQ(eval({}), s);
    eval({kP - 1, kP - 2, 0, 12345});
  }
}

// The shares are f_w(x) of the polynomials made of exactly the drawn words, row by row.
TEST(Split, SharesAreTheValuesOfTheDrawnPolynomials) {
  auto rng = testing::seeded_generator();
  const std::pair<std::uint64_t, std::uint64_t> shapes[] = {{2, 2}, {2, 3},   {3, 5},
                                                            {7, 7}, {10, 20}, {2, 1001}};
  for (const auto& [k, n] : shapes) {
    const std::uint64_t seed = rng();
    const auto secret = secret_from(seed);
    ScriptedWords::reset(seed);
    const auto result = core::shamir_split(secret, k, n, ScriptedWords::next);
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(ScriptedWords::calls, 8 * (k - 1));
    const core::ShareList& list = result.value();
    ASSERT_EQ(list.size(), n);

    ScriptedWords::reset(seed);
    std::vector<u128> rows[4];
    for (auto& row : rows) {
      for (std::uint64_t j = 1; j < k; ++j) {
        const std::uint64_t lo = ScriptedWords::next();
        const u128 v = (static_cast<u128>(ScriptedWords::next() & 0x7fffffffffffffffU) << 64) | lo;
        row.push_back(v == kP ? 0 : v);
      }
    }
    // The walk through the list meets the texts operator[] gives, in order.
    auto walked = list.begin();
    for (std::uint64_t x = 1; x <= n; ++x) {
      u128 values[4];
      for (int w = 0; w < 4; ++w) {
        u128 word = 0;
        for (int b = 0; b < 8; ++b)
          word =
              (word << 8) | secret[8 * static_cast<std::size_t>(w) + static_cast<std::size_t>(b)];
        values[w] = oracle::evaluate_polynomial(word, rows[w], x);
      }
      const std::string_view text = list[x - 1];
      EXPECT_EQ(text, testing::reference_share_text(x, values)) << "k=" << k << " x=" << x;
      EXPECT_EQ(text.size(), std::to_string(x).size() + 132U);
      ASSERT_FALSE(walked == list.end()) << "x=" << x;
      EXPECT_EQ(*walked, text) << "x=" << x;
      ++walked;
    }
    EXPECT_TRUE(walked == list.end());
  }
}

TEST(Split, ZeroCoefficientsGiveTheSecretWordsEverywhere) {
  // All-ones words make every coefficient P, which is drawn as 0.
  std::array<std::uint8_t, 32> secret;
  secret.fill(0xff);
  ScriptedWords::reset(0, /*ones=*/true);
  const auto result = core::shamir_split(secret, 4, 12, ScriptedWords::next);
  ASSERT_TRUE(result.ok());
  const std::string field = ":0000000000000000ffffffffffffffff";
  EXPECT_EQ(result.value()[11], "12" + field + field + field + field);
  EXPECT_EQ(ScriptedWords::calls, 24U);
}

// An interrupt poll that counts its calls and throws Stop on the call numbered stop_at.
struct Stop {};
struct CountingPoll {
  static inline std::uint64_t calls = 0;
  static inline std::uint64_t stop_at = 0;  // 0: never
  static void reset(std::uint64_t stop) {
    calls = 0;
    stop_at = stop;
  }
  static void poll() {
    if (++calls == stop_at) throw Stop{};
  }
};

// The poll comes at least once per kPollSteps Horner steps (every few thousand shares at a small
// threshold) and every few thousand coefficients while the table is drawn, but not per share;
// the split it does not stop is the same. An exception from it ends the split where it is.
TEST(Split, PollsWhileDrawingAndWritingAndStopsWhereItThrows) {
  const auto secret = secret_from(3);
  struct Case {
    std::uint64_t k, n;
    std::uint64_t stop_at;
    bool stops_while_drawing;
  };
  const Case cases[] = {
      {2, 20000, 0, false},    // every few thousand shares
      {3000, 3000, 0, false},  // every few shares
      {2, 20000, 2, false},    // stopped while writing, the table drawn
      {20000, 20000, 1, true},
  };
  for (const Case& c : cases) {
    ScriptedWords::reset(5);
    CountingPoll::reset(c.stop_at);
    try {
      const auto result =
          core::shamir_split(secret, c.k, c.n, ScriptedWords::next, CountingPoll::poll);
      ASSERT_EQ(c.stop_at, 0U) << "not stopped: k = " << c.k;
      ASSERT_TRUE(result.ok());
      EXPECT_GE(CountingPoll::calls, c.n * (c.k - 1) / core::kPollSteps) << "k = " << c.k;
      EXPECT_GE(CountingPoll::calls, c.n / 4096) << "k = " << c.k;
      EXPECT_LE(CountingPoll::calls, c.n / 10) << "k = " << c.k;  // not per share
      ScriptedWords::reset(5);
      const auto plain = core::shamir_split(secret, c.k, c.n, ScriptedWords::next);
      ASSERT_TRUE(plain.ok());
      for (std::size_t i = 0; i < c.n; ++i) ASSERT_EQ(result.value()[i], plain.value()[i]);
    } catch (const Stop&) {
      EXPECT_EQ(CountingPoll::calls, c.stop_at);
      if (c.stops_while_drawing) {
        EXPECT_GT(ScriptedWords::calls, 0U);
        EXPECT_LE(ScriptedWords::calls, 2U * 4096U);
      } else {
        EXPECT_EQ(ScriptedWords::calls, 8 * (c.k - 1));
      }
    }
  }
}

}  // namespace
}  // namespace velkor
