// The 128-bit integer and the field operations, each checked against the plain reference
// arithmetic of field_oracle.hpp. In the portable test executable the same checks run on the
// two-limb integer.
#include <gtest/gtest.h>

#include "core/field.hpp"
#include "test_support.hpp"

namespace velkor {
namespace {

using core::FieldElement;
using oracle::from_native;
using oracle::kP;
using oracle::to_native;
using oracle::u128;
using testing::kMax128;
using testing::kTwo127;

constexpr int kRandomPairs = 1'000'000;

TEST(Uint128, OperationsMatchExactArithmetic) {
  auto rng = testing::seeded_generator();
  for (int i = 0; i < 200'000; ++i) {
    const u128 a = testing::random_operand(rng);
    const u128 b = testing::random_operand(rng);
    const unsigned shift = static_cast<unsigned>(rng() % 128);
    const core::uint128 ca = from_native(a);
    const core::uint128 cb = from_native(b);
    ASSERT_EQ(to_native(ca + cb), a + b);
    ASSERT_EQ(to_native(ca - cb), a - b);
    ASSERT_EQ(to_native(ca << static_cast<int>(shift)), a << shift);
    ASSERT_EQ(to_native(ca >> static_cast<int>(shift)), a >> shift);
    ASSERT_EQ(to_native((ca & cb) | (~ca ^ cb)), (a & b) | (~a ^ b));
    ASSERT_EQ(ca < cb, a < b);
    ASSERT_EQ(ca == cb, a == b);
    const auto x = static_cast<std::uint64_t>(a);
    const auto y = static_cast<std::uint64_t>(b >> 64);
    ASSERT_EQ(to_native(core::mul_64x64(x, y)), static_cast<u128>(x) * y);
    // A 32-bit divisor (the decimal writer's 10^9 is one), then divisors of every width up to 64
    // bits.
    const std::uint64_t divisor = static_cast<std::uint32_t>(rng()) | 1U;
    const core::DivMod64 qr = core::divmod_u64(ca, divisor);
    ASSERT_EQ(to_native(qr.quotient), a / divisor);
    ASSERT_EQ(qr.remainder, static_cast<std::uint64_t>(a % divisor));
    const std::uint64_t wide = (rng() >> (rng() % 64)) | 1U;
    const core::DivMod64 qr64 = core::divmod_u64(ca, wide);
    ASSERT_EQ(to_native(qr64.quotient), a / wide);
    ASSERT_EQ(qr64.remainder, static_cast<std::uint64_t>(a % wide));
  }
  // The largest product: (2^64 − 1)^2 = 2^128 − 2^65 + 1.
  const std::uint64_t max64 = ~std::uint64_t{0};
  EXPECT_EQ(to_native(core::mul_64x64(max64, max64)), static_cast<u128>(max64) * max64);
}

struct Binary {
  const char* name;
  u128 a;
  u128 b;
  u128 expected;
};

TEST(Field, KnownValues) {
  const Binary mul_cases[] = {
      {"(P-1)^2", kP - 1, kP - 1, 1},
      {"a*0", 123456789, 0, 0},
      {"0*b", 0, kMax128, 0},
      {"a*P", kMax128, kP, 0},
      {"unreduced second operand", 12345, kMax128, 12345},
      {"unreduced first operand", kMax128, 12345, 12345},
      {"2^127 is 1", kTwo127, kTwo127, 1},
      {"2^126*2", static_cast<u128>(1) << 126, 2, 1},
  };
  for (const Binary& c : mul_cases) {
    EXPECT_EQ(to_native(core::mul_mod(from_native(c.a), from_native(c.b))), c.expected) << c.name;
  }
  const Binary sub_cases[] = {{"a>b", 5, 3, 2},
                              {"a<b", 3, 5, kP - 2},
                              {"a=b", 5, 5, kP},
                              {"a>b unreduced", kMax128, 1, kMax128 - 1}};
  for (const Binary& c : sub_cases) {
    EXPECT_EQ(to_native(core::sub_mod(from_native(c.a), from_native(c.b))), c.expected) << c.name;
  }
  EXPECT_EQ(to_native(core::add_mod(from_native(kP - 1), 1U)), 0U);
  EXPECT_EQ(to_native(core::neg_mod(0U)), kP);
  EXPECT_EQ(to_native(core::neg_mod(1U)), kP - 1);
  EXPECT_EQ(to_native(core::neg_mod(from_native(kP))), kP);
  EXPECT_EQ(to_native(core::inv_mod(1U)), 1U);
  EXPECT_EQ(to_native(core::inv_mod(2U)), static_cast<u128>(1) << 126);
  EXPECT_EQ(to_native(core::inv_mod(0U)), 0U);
  EXPECT_EQ(to_native(core::inv_mod(from_native(kP))), 0U);
  EXPECT_EQ(to_native(core::pow_mod(0U, 0U)), 1U);
  EXPECT_EQ(to_native(core::pow_mod(from_native(kP), 5U)), 0U);
  EXPECT_EQ(to_native(core::kModulus), kP);
}

// Every operation against the reference on a million operand pairs over the whole 128-bit range.
TEST(Field, MatchesReferenceOnRandomOperands) {
  auto rng = testing::seeded_generator();
  for (int i = 0; i < kRandomPairs; ++i) {
    const u128 a = testing::random_operand(rng);
    const u128 b = testing::random_operand(rng);
    const FieldElement ca = from_native(a);
    const FieldElement cb = from_native(b);
    ASSERT_EQ(to_native(core::mul_mod(ca, cb)), oracle::mul_mod(a, b)) << "mul " << i;
    ASSERT_EQ(to_native(core::sub_mod(ca, cb)), oracle::sub_mod(a, b)) << "sub " << i;
    ASSERT_EQ(to_native(core::neg_mod(ca)), oracle::neg_mod(a)) << "neg " << i;
    ASSERT_EQ(to_native(core::reduce_mod(ca)), oracle::reduce_mod(a)) << "reduce " << i;
    // The product on halves that the split's evaluation uses: any value times a 64-bit one,
    // weak.
    namespace fd = core::field_detail;
    const auto x = static_cast<std::uint64_t>(b);
    const u128 small = to_native(fd::joined(fd::mul_small_halves(fd::halves(ca), x)));
    ASSERT_LT(small, kTwo127) << "mul_small_halves " << i;
    ASSERT_EQ(oracle::reduce_mod(small), oracle::mul_mod(a, x)) << "mul_small_halves " << i;
    // add_mod's callers keep the sum within 128 bits.
    const u128 addend = b > kMax128 - a ? kMax128 - a : b;
    ASSERT_EQ(to_native(core::add_mod(ca, from_native(addend))), oracle::add_mod(a, addend))
        << "add " << i;
  }
}

TEST(Field, PowerAndInverseMatchReference) {
  auto rng = testing::seeded_generator();
  for (int i = 0; i < 300; ++i) {
    const u128 base = testing::random_operand(rng);
    const u128 e = i < 30 ? static_cast<u128>(i) : testing::random_operand(rng);
    ASSERT_EQ(to_native(core::pow_mod(from_native(base), from_native(e))),
              oracle::pow_mod(base, e));
    ASSERT_EQ(to_native(core::inv_mod(from_native(base))), oracle::inv_mod(base));
  }
  // Without the reference, many more: a · a^(−1) = 1 for a ≢ 0.
  for (int i = 0; i < 20'000; ++i) {
    const FieldElement a = from_native(testing::random_operand(rng));
    const FieldElement product = core::mul_mod(a, core::inv_mod(a));
    ASSERT_EQ(to_native(product), core::reduce_mod(a) == 0U ? 0U : 1U);
  }
}

}  // namespace
}  // namespace velkor
