// Arithmetic in the prime field of the integers modulo P = 2^127 − 1.
//
// A FieldElement is an unsigned 128-bit integer; it is canonical when 0 <= v < P. The operations
// accept the non-canonical values that occur in the core (64-bit secret words, parsed share
// fields of any 128-bit value, the 1 … P results of neg_mod / sub_mod) and return exactly the
// values stated at each declaration.
//
// All operations are constant time in their operands unless the contract says otherwise: no
// branch and no memory index depends on an operand value. Reduction uses the Mersenne form of P
// (2^127 ≡ 1, so v ≡ (v mod 2^127) + (v >> 127)); products are formed from 64 × 64 → 128-bit
// limb products.
#pragma once

#include <cstdint>

#include "core/uint128.hpp"

namespace velkor::core {

using FieldElement = uint128;

// P = 2^127 − 1.
inline constexpr FieldElement kModulus = make_u128(0x7fffffffffffffffU, 0xffffffffffffffffU);

// a mod P. a: any 128-bit value. Result: 0 … P − 1. Constant time.
[[nodiscard]] constexpr FieldElement reduce_mod(FieldElement a) noexcept;

// (a + b) mod P. a + b must not exceed 2^128 − 1 (at every call site both are below P).
// Result: 0 … P − 1. Constant time.
[[nodiscard]] constexpr FieldElement add_mod(FieldElement a, FieldElement b) noexcept;

// a · b mod P. a, b: any 128-bit values (each acts as its remainder mod P; 2^128 − 1 ≡ 1).
// Result: 0 … P − 1. Constant time.
[[nodiscard]] constexpr FieldElement mul_mod(FieldElement a, FieldElement b) noexcept;

// −a mod P in the range 1 … P: P − reduce_mod(a), so neg_mod(0) = P (P stands for zero).
// a: any 128-bit value. Constant time.
[[nodiscard]] constexpr FieldElement neg_mod(FieldElement a) noexcept;

// a − b mod P, not always reduced: the plain difference a − b when a > b; otherwise
// P − reduce_mod(b − a), which lies in 1 … P (P when a = b). a, b: any 128-bit values.
// Meant as an operand of mul_mod. Constant time.
[[nodiscard]] constexpr FieldElement sub_mod(FieldElement a, FieldElement b) noexcept;

// base^e mod P, with 0^0 = 1. base: any 128-bit value; e: any 128-bit value.
// Result: 0 … P − 1. Constant time in base; the sequence of operations depends on e, which
// must be public.
[[nodiscard]] FieldElement pow_mod(FieldElement base, FieldElement e) noexcept;

// a^(P − 2) mod P: the inverse of a for a ≢ 0, and 0 for a ≡ 0. a: any 128-bit value.
// Result: 0 … P − 1. Constant time (a fixed chain of squarings and multiplications).
[[nodiscard]] FieldElement inv_mod(FieldElement a) noexcept;

// ---------------------------------------------------------------------------------------------
// Implementation details follow. The `field_detail` helpers work on partly reduced values:
// "weak" means below 2^127 (P may occur and stands for 0), "loose" means at most 2^127.
//
// Products: for a = a1 · 2^64 + a0 and b = b1 · 2^64 + b0 with b below 2^127,
//   a · b = lo(t1) + t2 · 2^64 + a1 b1 · 2^128, where t1 = a0 b0 and t2 = a0 b1 + a1 b0 + hi(t1)
// (t2 fits in 128 bits because both cross products are below 2^127). Splitting at bit 127,
//   a · b mod 2^127 = lo(t1) + (t2 mod 2^63) · 2^64   and   a · b >> 127 = (t2 >> 63) + a1 · 2b1,
// and the two add up to a value ≡ a · b below 2^128 that one fold brings below 2^127.

namespace field_detail {

inline constexpr std::uint64_t kLow63 = 0x7fffffffffffffffU;

// Hides a value from the optimiser so that mask arithmetic on it is not turned back into a
// branch on the condition the mask was made from.
[[nodiscard]] constexpr std::uint64_t opaque(std::uint64_t v) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  if (!__builtin_is_constant_evaluated()) __asm__("" : "+r"(v));
#endif
  return v;
}

// One Mersenne fold (2^127 ≡ 1). v: any 128-bit value. Result ≡ v, loose (at most 2^127; it is
// 2^127 only for v = 2^128 − 1). For v below 2^128 − 1 the result is weak.
[[nodiscard]] constexpr uint128 fold(uint128 v) noexcept {
  return (v & kModulus) + (v >> 127);
}

// v: any 128-bit value. Result: weak, ≡ v.
[[nodiscard]] constexpr uint128 weak(uint128 v) noexcept {
  return fold(fold(v));
}

// v loose. Result: v mod P. v + 1 reaches bit 127 exactly when v >= P, and then
// (v + 1) mod 2^127 = v − P.
[[nodiscard]] constexpr uint128 canonical(uint128 v) noexcept {
  return (v + ((v + 1U) >> 127)) & kModulus;
}

// a + b mod 2^64, and in `carry` the carry out of it (0 or 1), without a branch: the compiler's
// overflow builtin (an add that sets the carry flag) where the native 128-bit type is used,
// else from the top bits of the operands and the sum.
[[nodiscard]] constexpr std::uint64_t add_carry(std::uint64_t a, std::uint64_t b,
                                                std::uint64_t& carry) noexcept {
#if VELKOR_NATIVE_U128
  if (!__builtin_is_constant_evaluated()) {
    std::uint64_t sum = 0;
    carry = __builtin_add_overflow(a, b, &sum) ? 1U : 0U;
    return sum;
  }
#endif
  const std::uint64_t sum = a + b;
  carry = ((a & b) | ((a | b) & ~sum)) >> 63;
  return sum;
}

// A 128-bit value as its two 64-bit halves. The split's evaluation keeps its four sums as halves
// and multiplies them by mul_small_halves: held as 128-bit integers, GCC moved them through the
// stack at every step (as it still does with the products of mul_loose; done on halves, they
// were no better there).
struct Halves {
  std::uint64_t lo = 0;
  std::uint64_t hi = 0;
};

[[nodiscard]] constexpr Halves halves(uint128 v) noexcept {
  return {lo64(v), hi64(v)};
}
[[nodiscard]] constexpr uint128 joined(Halves v) noexcept {
  return make_u128(v.hi, v.lo);
}

// The full product of two 64-bit values, as halves.
[[nodiscard]] constexpr Halves mul_halves(std::uint64_t a, std::uint64_t b) noexcept {
  return halves(mul_64x64(a, b));
}

// a + b mod 2^128.
[[nodiscard]] constexpr Halves add_halves(Halves a, Halves b) noexcept {
  std::uint64_t carry = 0;
  const std::uint64_t lo = add_carry(a.lo, b.lo, carry);
  return {lo, a.hi + b.hi + carry};
}

// fold() on halves: (hi mod 2^63) · 2^64 + lo plus hi >> 63, which carries at most into the
// cleared top bit.
[[nodiscard]] constexpr Halves fold_halves(Halves v) noexcept {
  std::uint64_t carry = 0;
  const std::uint64_t lo = add_carry(v.lo, v.hi >> 63, carry);
  return {lo, (v.hi & kLow63) + carry};
}

// a · x cut at bit 127 and added back together, not folded: a any 128-bit value, x below 2^64.
// Result ≡ a · x, below 2^127 + 2^65.
[[nodiscard]] constexpr Halves mul_small_halves_unfolded(Halves a, std::uint64_t x) noexcept {
  const Halves t1 = mul_halves(a.lo, x);
  const Halves t2 = add_halves(mul_halves(a.hi, x), {t1.hi, 0});  // a · x = lo(t1) + t2 · 2^64
  // (lo(t2) mod 2^63) · 2^64 + lo(t1), below 2^127, plus t2 >> 63, below 2^65.
  return add_halves({t1.lo, t2.lo & kLow63}, {(t2.hi << 1) | (t2.lo >> 63), t2.hi >> 63});
}

// mul_small_loose on halves: a any 128-bit value, x below 2^64. Result: weak, ≡ a · x (one fold
// brings the sum below 2^127 + 2^65 under 2^127).
[[nodiscard]] constexpr Halves mul_small_halves(Halves a, std::uint64_t x) noexcept {
  return fold_halves(mul_small_halves_unfolded(a, x));
}

// a loose, b weak. Result: weak, ≡ a · b.
[[nodiscard]] constexpr uint128 mul_loose(uint128 a, uint128 b) noexcept {
  const std::uint64_t a0 = lo64(a);
  const std::uint64_t a1 = hi64(a);
  const std::uint64_t b0 = lo64(b);
  const std::uint64_t b1 = hi64(b);
  const uint128 t1 = mul_64x64(a0, b0);
  const uint128 t2 = mul_64x64(a0, b1) + mul_64x64(a1, b0) + hi64(t1);
  const uint128 high = mul_64x64(a1, b1 << 1) + (t2 >> 63);
  const uint128 low = make_u128(lo64(t2) & kLow63, lo64(t1));
  // a · b < 2^254, so high < 2^127 and low + high <= 2^128 − 2: the fold gives a weak value.
  return fold(low + high);
}

// a weak. Result: weak, ≡ a².
[[nodiscard]] constexpr uint128 sqr_loose(uint128 a) noexcept {
  const std::uint64_t a0 = lo64(a);
  const std::uint64_t a1 = hi64(a);
  const uint128 t1 = mul_64x64(a0, a0);
  // a0 · 2a1 <= (2^64 − 1)(2^64 − 2), so adding hi(t1) stays below 2^128.
  const uint128 t2 = mul_64x64(a0, a1 << 1) + hi64(t1);
  const uint128 high = mul_64x64(a1, a1 << 1) + (t2 >> 63);
  const uint128 low = make_u128(lo64(t2) & kLow63, lo64(t1));
  return fold(low + high);
}

// a: any 128-bit value; x below 2^64. Result: weak, ≡ a · x.
[[nodiscard]] constexpr uint128 mul_small_loose(uint128 a, std::uint64_t x) noexcept {
  const uint128 t1 = mul_64x64(lo64(a), x);
  const uint128 t2 = mul_64x64(hi64(a), x) + hi64(t1);  // a · x = lo(t1) + t2 · 2^64
  const uint128 low = make_u128(lo64(t2) & kLow63, lo64(t1));
  // t2 >> 63 < 2^65: the sum is below 2^127 + 2^65, and after one fold below 2^127.
  return fold(low + (t2 >> 63));
}

}  // namespace field_detail

constexpr FieldElement reduce_mod(FieldElement a) noexcept {
  return field_detail::canonical(field_detail::fold(a));
}

constexpr FieldElement add_mod(FieldElement a, FieldElement b) noexcept {
  return reduce_mod(a + b);
}

constexpr FieldElement mul_mod(FieldElement a, FieldElement b) noexcept {
  return field_detail::canonical(
      field_detail::mul_loose(field_detail::fold(a), field_detail::weak(b)));
}

constexpr FieldElement neg_mod(FieldElement a) noexcept {
  return kModulus - reduce_mod(a);
}

constexpr FieldElement sub_mod(FieldElement a, FieldElement b) noexcept {
  const uint128 direct = a - b;
  const uint128 reverse = b - a;
  const uint128 wrapped = kModulus - reduce_mod(reverse);
  // Borrow out of b − a (that is, a > b), from the sign bits of the operands and the
  // difference: no comparison that the compiler could turn into a branch.
  const std::uint64_t a_greater = field_detail::opaque(hi64((~b & a) | (~(b ^ a) & reverse)) >> 63);
  const std::uint64_t mask64 = 0U - a_greater;
  const uint128 mask = make_u128(mask64, mask64);
  return wrapped ^ ((direct ^ wrapped) & mask);
}

}  // namespace velkor::core
