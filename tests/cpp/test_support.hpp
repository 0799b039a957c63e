// Shared helpers of the core tests: a seeded generator whose seed is printed and can be replayed
// with VELKOR_TEST_SEED, 128-bit operands biased towards the hard cases, and an independent
// writer of share texts.
#pragma once

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "field_oracle.hpp"

namespace velkor::testing {

using oracle::u128;

// A generator seeded from VELKOR_TEST_SEED when set, else from the clock; the seed is printed
// so that a failure can be replayed.
inline std::mt19937_64 seeded_generator() {
  std::uint64_t seed = 0;
  if (const char* text = std::getenv("VELKOR_TEST_SEED")) {
    seed = std::strtoull(text, nullptr, 10);
  } else {
    seed = std::random_device{}() ^ (static_cast<std::uint64_t>(std::random_device{}()) << 32);
  }
  std::printf("seed %" PRIu64 " (replay with VELKOR_TEST_SEED=%" PRIu64 ")\n", seed, seed);
  ::testing::Test::RecordProperty("seed", std::to_string(seed));
  return std::mt19937_64(seed);
}

inline constexpr u128 kTwo127 = static_cast<u128>(1) << 127;
inline constexpr u128 kMax128 = ~static_cast<u128>(0);

// Values at the edges of the reductions: around 0, P, 2^127, 2P = 2^128 − 2 and 2^128 − 1, and
// at the 64-bit limb boundary.
inline constexpr u128 kSpecial[] = {0,
                                    1,
                                    2,
                                    oracle::kP - 1,
                                    oracle::kP,
                                    oracle::kP + 1,
                                    kTwo127 + 1,
                                    2 * oracle::kP - 1,
                                    2 * oracle::kP,
                                    kMax128,
                                    ~static_cast<std::uint64_t>(0),
                                    static_cast<u128>(1) << 64,
                                    (static_cast<u128>(1) << 64) + 1};

// A 128-bit operand: a special value, a pattern of long runs of 0 and 1 bits (these produce the
// longest carry chains), or uniform bits.
inline u128 random_operand(std::mt19937_64& rng) {
  switch (rng() % 4) {
    case 0:
      return kSpecial[rng() % std::size(kSpecial)];
    case 1: {
      u128 v = 0;
      unsigned bit = 0;
      bool ones = (rng() & 1) != 0;
      while (bit < 128) {
        const unsigned run = 1 + static_cast<unsigned>(rng() % 64);
        for (unsigned i = 0; i < run && bit < 128; ++i, ++bit) {
          if (ones) v |= static_cast<u128>(1) << bit;
        }
        ones = !ones;
      }
      return v;
    }
    default:
      return (static_cast<u128>(rng()) << 64) | rng();
  }
}

// Share text written the plain way (printf), independent of the core's writer.
inline std::string reference_share_text(u128 index, const u128 (&values)[4]) {
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(index % 10)));
    index /= 10;
  } while (index != 0);
  for (const u128 v : values) {
    char field[40];
    std::snprintf(field, sizeof field, ":%016" PRIx64 "%016" PRIx64,
                  static_cast<std::uint64_t>(v >> 64), static_cast<std::uint64_t>(v));
    digits += field;
  }
  return digits;
}

}  // namespace velkor::testing
