// Writing and reading share texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "core/share_text.hpp"
#include "test_support.hpp"

namespace velkor {
namespace {

using core::Share;
using oracle::from_native;
using oracle::kP;
using oracle::to_native;
using oracle::u128;
using testing::kMax128;

std::string write(const Share& share) {
  const core::SecretString text = core::format_share(share);
  return {text.data(), text.size()};
}

Share make_share(u128 index, u128 a, u128 b, u128 c, u128 d) {
  return {from_native(index), from_native(a), from_native(b), from_native(c), from_native(d)};
}

TEST(ShareText, WritesTheFixedShape) {
  EXPECT_EQ(write(make_share(3, 31, 0, kP - 1, 2748)),
            "3:0000000000000000000000000000001f:00000000000000000000000000000000:"
            "7ffffffffffffffffffffffffffffffe:00000000000000000000000000000abc");
  // Decimal index of every length (including the slow path above 64 bits) and hex digits of
  // every value, against an independent printf writer.
  auto rng = testing::seeded_generator();
  const u128 indices[] = {0, 9, 10, 18446744073709551615U, static_cast<u128>(1) << 64, kMax128};
  for (int i = 0; i < 20'000; ++i) {
    const u128 index = i < 6 ? indices[i] : testing::random_operand(rng) >> (rng() % 128);
    const u128 values[4] = {testing::random_operand(rng), testing::random_operand(rng),
                            testing::random_operand(rng), testing::random_operand(rng)};
    const Share share = make_share(index, values[0], values[1], values[2], values[3]);
    const std::string text = write(share);
    ASSERT_EQ(text, testing::reference_share_text(index, values));
    const auto back = core::parse_share(text);
    ASSERT_TRUE(back.ok()) << text;
    ASSERT_EQ(std::memcmp(&back.value(), &share, sizeof share), 0) << text;
  }
}

struct ParseCase {
  std::string text;
  const char* error;  // nullptr: must read as `expected`
  u128 expected[5];
};

TEST(ShareText, ReadsByTheRules) {
  const std::string max_hex(32, 'f');
  const std::string ok = "1:0:0:0:0";
  const ParseCase cases[] = {
      {ok, nullptr, {1, 0, 0, 0, 0}},
      {"2:aBcDeF:ABCDEF:abcdef:0", nullptr, {2, 0xabcdef, 0xabcdef, 0xabcdef, 0}},
      {"+7:+1f:0:0:0", nullptr, {7, 31, 0, 0, 0}},
      {"0:" + max_hex + ":0:0:0", nullptr, {0, kMax128, 0, 0, 0}},
      {"340282366920938463463374607431768211455:0:0:0:0", nullptr, {kMax128, 0, 0, 0, 0}},
      {"00000000000000000000000000000000000000000000005:0:0:0:0", nullptr, {5, 0, 0, 0, 0}},
      {"1:00000000" + max_hex + ":0:0:0", nullptr, {1, kMax128, 0, 0, 0}},
      {"1:0" + max_hex + ":0:0:0", nullptr, {1, kMax128, 0, 0, 0}},
      {"", "Invalid share format (need 5 fields): ", {}},
      {"1:0:0:0", "Invalid share format (need 5 fields): 1:0:0:0", {}},
      {ok + ":", "Invalid share format (need 5 fields): 1:0:0:0:0:", {}},
      {"x:y:z:w:v:u", "Invalid share format (need 5 fields): x:y:z:w:v:u", {}},
      {"1:0:0:0:", "cannot parse integer from empty string", {}},
      {":0:0:0:0", "cannot parse integer from empty string", {}},
      {ok + "\n", "invalid digit found in string", {}},
      {" " + ok, "invalid digit found in string", {}},
      {"+:0:0:0:0", "invalid digit found in string", {}},
      {"++1:0:0:0:0", "invalid digit found in string", {}},
      {"-1:0:0:0:0", "invalid digit found in string", {}},
      {"1:0x1f:0:0:0", "invalid digit found in string", {}},
      {"1:-1f:0:0:0", "invalid digit found in string", {}},
      {"a:0:0:0:0", "invalid digit found in string", {}},
      {"1:g:0:0:0", "invalid digit found in string", {}},
      {"1:1_0:0:0:0", "invalid digit found in string", {}},
      {"1:\xc3\xa9:0:0:0", "invalid digit found in string", {}},
      {"1:1" + max_hex + ":0:0:0", "number too large to fit in target type", {}},
      {"340282366920938463463374607431768211456:0:0:0:0",
       "number too large to fit in target type",
       {}},
      {"3402823669209384634633746074317682114550:0:0:0:0",
       "number too large to fit in target type",
       {}},
      // The first failing byte decides: overflow is reached before the bad digit here, and the
      // bad digit comes first in the next one.
      {"1:1" + max_hex + "x:0:0:0", "number too large to fit in target type", {}},
      {"1:" + max_hex.substr(1) + "x0:0:0:0", "invalid digit found in string", {}},
      // Pieces are read in order; only the first bad one counts.
      {"x::0:0:0", "invalid digit found in string", {}},
      {":x:0:0:0", "cannot parse integer from empty string", {}},
      {"1:0:0:0:1" + max_hex, "number too large to fit in target type", {}},
  };
  for (const ParseCase& c : cases) {
    const auto result = core::parse_share(c.text);
    if (c.error == nullptr) {
      ASSERT_TRUE(result.ok()) << c.text << ": " << result.error();
      const Share& s = result.value();
      const u128 got[5] = {to_native(s.index), to_native(s.a), to_native(s.b), to_native(s.c),
                           to_native(s.d)};
      for (int f = 0; f < 5; ++f) EXPECT_EQ(got[f], c.expected[f]) << c.text << " field " << f;
    } else {
      ASSERT_FALSE(result.ok()) << c.text;
      EXPECT_EQ(result.error(), c.error) << c.text;
    }
  }
}

// The value of a hexadecimal digit of either case, or -1.
int reference_digit(int byte) {
  if (byte >= '0' && byte <= '9') return byte - '0';
  if (byte >= 'a' && byte <= 'f') return byte - 'a' + 10;
  if (byte >= 'A' && byte <= 'F') return byte - 'A' + 10;
  return -1;
}

// Every byte value at the first and last digit of each half of a value in a text of the shape
// that writers produce (four values of 32 digits), which is read sixteen bytes at a time: a digit
// reads as its value, a '+' in front as a sign, a colon cuts the text, any other byte is
// rejected.
TEST(ShareText, ReadsEveryByteInEachPlaceOfAFullWidthValue) {
  for (const std::size_t place : {0U, 15U, 16U, 31U}) {
    for (int value = 0; value < 256; ++value) {
      const char byte = static_cast<char>(value);
      std::string digits(32, '7');
      digits[place] = byte;
      const std::string sevens(32, '7');
      const std::string text = "1:" + sevens + ":" + digits + ":" + sevens + ":" + sevens;
      const auto result = core::parse_share(text);
      const int digit = reference_digit(value);
      if (digit >= 0 || (byte == '+' && place == 0)) {
        ASSERT_TRUE(result.ok()) << "byte " << value << " at " << place;
        u128 expected = 0;
        for (std::size_t i = 0; i < 32; ++i) {
          expected = (expected << 4) | static_cast<u128>(i != place ? 7 : std::max(digit, 0));
        }
        EXPECT_EQ(to_native(result.value().b), expected) << "byte " << value << " at " << place;
      } else {
        ASSERT_FALSE(result.ok()) << "byte " << value << " at " << place;
        EXPECT_EQ(result.error(), byte == ':' ? "Invalid share format (need 5 fields): " + text
                                              : "invalid digit found in string")
            << "byte " << value << " at " << place;
      }
    }
  }
}

}  // namespace
}  // namespace velkor
