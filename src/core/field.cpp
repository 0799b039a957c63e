// Exponentiation and inversion modulo 2^127 − 1.
#include "core/field.hpp"

namespace velkor::core {

using field_detail::canonical;
using field_detail::mul_loose;
using field_detail::sqr_loose;
using field_detail::weak;

namespace {

// x^(2^count) for a weak x; result weak. Kept out of line: inlined into inv_mod, whose many live
// intermediate powers crowd the registers, the squaring loop spills to the stack and runs at
// nearly half speed (seen with GCC).
#if defined(__GNUC__) || defined(__clang__)
__attribute__((noinline))
#endif
uint128 sqr_n_loose(uint128 x, int count) noexcept {
  for (int i = 0; i < count; ++i) x = sqr_loose(x);
  return x;
}

}  // namespace

FieldElement pow_mod(FieldElement base, FieldElement e) noexcept {
  const uint128 b = weak(base);
  uint128 result = 1U;
  // Left to right over the bits of the public exponent, from its highest set bit; the
  // squarings before that bit would only square 1.
  bool started = false;
  for (int bit = 127; bit >= 0; --bit) {
    const bool set = lo64(e >> bit) & 1U;
    if (started) result = sqr_loose(result);
    if (set) {
      result = mul_loose(result, b);
      started = true;
    }
  }
  return canonical(result);
}

FieldElement inv_mod(FieldElement a) noexcept {
  // P − 2 = 2^127 − 3 = (2^125 − 1) · 4 + 1. Values x_k = a^(2^k − 1) are built by
  // x_{j+k} = x_j^(2^k) · x_k: 126 squarings and 10 multiplications in all, the same for every a.
  const uint128 x1 = weak(a);
  const uint128 x2 = mul_loose(sqr_loose(x1), x1);
  const uint128 x3 = mul_loose(sqr_loose(x2), x1);
  const uint128 x5 = mul_loose(sqr_n_loose(x3, 2), x2);
  const uint128 x10 = mul_loose(sqr_n_loose(x5, 5), x5);
  const uint128 x20 = mul_loose(sqr_n_loose(x10, 10), x10);
  const uint128 x40 = mul_loose(sqr_n_loose(x20, 20), x20);
  const uint128 x80 = mul_loose(sqr_n_loose(x40, 40), x40);
  const uint128 x120 = mul_loose(sqr_n_loose(x80, 40), x40);
  const uint128 x125 = mul_loose(sqr_n_loose(x120, 5), x5);
  return canonical(mul_loose(sqr_n_loose(x125, 2), x1));
}

}  // namespace velkor::core
