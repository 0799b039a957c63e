// Reference arithmetic modulo P = 2^127 − 1, written as plainly as possible: the compiler's
// unsigned 128-bit integer and its general remainder, multiplication by doubling and adding over
// the bits of the second operand (reducing at every step), exponentiation by square-and-multiply
// from the lowest exponent bit, inversion as a^(P − 2). It shares no code with the core, which
// is what makes it a reference for the core's operations (and the baseline of the benchmarks).
// It is slow and not constant time on purpose.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/uint128.hpp"

#if !defined(__SIZEOF_INT128__)
#error "The reference arithmetic of the tests needs a compiler with unsigned __int128."
#endif

namespace velkor::oracle {

__extension__ typedef unsigned __int128 u128;

inline constexpr u128 kP = (static_cast<u128>(1) << 127) - 1;

inline u128 to_native(core::uint128 v) {
  return (static_cast<u128>(core::hi64(v)) << 64) | core::lo64(v);
}
inline core::uint128 from_native(u128 v) {
  return core::make_u128(static_cast<std::uint64_t>(v >> 64), static_cast<std::uint64_t>(v));
}

// Stops the compiler from turning `% kP` on a constant into anything but a general remainder.
inline u128 remainder(u128 a, u128 divisor) {
  return a % divisor;
}

inline u128 reduce_mod(u128 a) {
  return remainder(a, kP);
}

inline u128 add_mod(u128 a, u128 b) {
  return reduce_mod(a + b);
}

inline u128 mul_mod(u128 a, u128 b) {
  u128 acc = 0;
  for (;;) {
    a = reduce_mod(a);
    if ((b & 1) != 0) acc = reduce_mod(acc + a);
    if (b <= 1) return acc;
    a <<= 1;
    b >>= 1;
  }
}

inline u128 neg_mod(u128 a) {
  return kP - reduce_mod(a);
}

inline u128 sub_mod(u128 a, u128 b) {
  return a > b ? a - b : kP - reduce_mod(b - a);
}

inline u128 pow_mod(u128 base, u128 e) {
  u128 result = 1;
  while (e != 0) {
    if ((e & 1) != 0) result = mul_mod(result, base);
    base = mul_mod(base, base);
    e >>= 1;
  }
  return result;
}

inline u128 inv_mod(u128 a) {
  return pow_mod(a, kP - 2);
}

// One point of an interpolation: the share's index and one of its values.
struct Point {
  u128 x;
  u128 y;
};

// Lagrange interpolation at 0, one term at a time with its own inversion, exactly as the
// operations above define it (num and den built with neg_mod / sub_mod as second operands).
inline u128 interpolate_at_zero(std::span<const Point> points) {
  u128 sum = 0;
  for (std::size_t i = 0; i < points.size(); ++i) {
    u128 num = 1;
    u128 den = 1;
    for (std::size_t m = 0; m < points.size(); ++m) {
      if (m == i) continue;
      num = mul_mod(num, neg_mod(points[m].x));
      den = mul_mod(den, sub_mod(points[i].x, points[m].x));
    }
    const u128 weight = mul_mod(num, inv_mod(den));
    sum = add_mod(mul_mod(points[i].y, weight), sum);
  }
  return sum;
}

// f(x) = s + c_1 x + … + c_m x^m by carrying the running power beside the sum.
inline u128 evaluate_polynomial(u128 s, std::span<const u128> row, u128 x) {
  u128 y = s;
  u128 power = x;
  for (const u128 coefficient : row) {
    const u128 term = mul_mod(coefficient, power);
    power = mul_mod(power, x);
    y = add_mod(term, y);
  }
  return y;
}

}  // namespace velkor::oracle
