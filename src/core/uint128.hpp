// The unsigned 128-bit integer of the core.
//
// Where the compiler has `unsigned __int128` (GCC, Clang) `uint128` is that type. Elsewhere, or
// when VELKOR_PORTABLE_U128 is defined (the tests build one copy of the core that way), it is a
// small class of two 64-bit limbs with just the operations the core uses. Both give the results
// of exact unsigned 128-bit arithmetic with wrap-around modulo 2^128. The arithmetic, bitwise and
// shift operations (shift counts being public constants) and mul_64x64 never branch on or index
// memory by the values; the comparisons and `divmod_u64` may, and are for public
// values only.
//
// Code that must compile with both backends uses only:
//   - construction from std::uint64_t (implicit) and make_u128(hi, lo);
//   - hi64(v), lo64(v);
//   - + - ~ & | ^ << >> (shift counts 0..127) and their compound forms, == != < > <= >=;
//   - mul_64x64(a, b): the full 128-bit product of two 64-bit values;
//   - divmod_u64(v, d): quotient and remainder by a non-zero 64-bit divisor.
#pragma once

#include <cstdint>

#if defined(__SIZEOF_INT128__) && !defined(VELKOR_PORTABLE_U128)
#define VELKOR_NATIVE_U128 1
#else
#define VELKOR_NATIVE_U128 0
#endif

namespace velkor::core {

#if VELKOR_NATIVE_U128

// `__extension__` keeps -Wpedantic quiet about the non-standard type.
__extension__ typedef unsigned __int128 uint128;

[[nodiscard]] constexpr uint128 make_u128(std::uint64_t hi, std::uint64_t lo) noexcept {
  return (static_cast<uint128>(hi) << 64) | lo;
}
[[nodiscard]] constexpr std::uint64_t hi64(uint128 v) noexcept {
  return static_cast<std::uint64_t>(v >> 64);
}
[[nodiscard]] constexpr std::uint64_t lo64(uint128 v) noexcept {
  return static_cast<std::uint64_t>(v);
}
[[nodiscard]] constexpr uint128 mul_64x64(std::uint64_t a, std::uint64_t b) noexcept {
  return static_cast<uint128>(a) * b;
}

#else

class uint128 {
 public:
  constexpr uint128() noexcept = default;
  // Implicit, like the conversion of a built-in integer.
  constexpr uint128(std::uint64_t value) noexcept : lo_(value) {}  // NOLINT
  constexpr uint128(std::uint64_t hi, std::uint64_t lo) noexcept : lo_(lo), hi_(hi) {}

  [[nodiscard]] constexpr std::uint64_t hi() const noexcept { return hi_; }
  [[nodiscard]] constexpr std::uint64_t lo() const noexcept { return lo_; }

  friend constexpr uint128 operator+(uint128 a, uint128 b) noexcept {
    // The carries are computed from the operands' and the result's top bits, not by a
    // comparison that the compiler may turn into a branch.
    const std::uint64_t lo = a.lo_ + b.lo_;
    const std::uint64_t carry = ((a.lo_ & b.lo_) | ((a.lo_ | b.lo_) & ~lo)) >> 63;
    return uint128(a.hi_ + b.hi_ + carry, lo);
  }
  friend constexpr uint128 operator-(uint128 a, uint128 b) noexcept {
    const std::uint64_t lo = a.lo_ - b.lo_;
    const std::uint64_t borrow = ((~a.lo_ & b.lo_) | (~(a.lo_ ^ b.lo_) & lo)) >> 63;
    return uint128(a.hi_ - b.hi_ - borrow, lo);
  }
  friend constexpr uint128 operator~(uint128 a) noexcept { return uint128(~a.hi_, ~a.lo_); }
  friend constexpr uint128 operator&(uint128 a, uint128 b) noexcept {
    return uint128(a.hi_ & b.hi_, a.lo_ & b.lo_);
  }
  friend constexpr uint128 operator|(uint128 a, uint128 b) noexcept {
    return uint128(a.hi_ | b.hi_, a.lo_ | b.lo_);
  }
  friend constexpr uint128 operator^(uint128 a, uint128 b) noexcept {
    return uint128(a.hi_ ^ b.hi_, a.lo_ ^ b.lo_);
  }
  // Shift counts are public constants in the core; they select code, never secret data.
  friend constexpr uint128 operator<<(uint128 a, unsigned count) noexcept {
    if (count == 0) return a;
    if (count >= 64) return uint128(a.lo_ << (count - 64), 0);
    return uint128((a.hi_ << count) | (a.lo_ >> (64 - count)), a.lo_ << count);
  }
  friend constexpr uint128 operator>>(uint128 a, unsigned count) noexcept {
    if (count == 0) return a;
    if (count >= 64) return uint128(a.hi_ >> (count - 64));
    return uint128(a.hi_ >> count, (a.lo_ >> count) | (a.hi_ << (64 - count)));
  }
  friend constexpr uint128 operator<<(uint128 a, int count) noexcept {
    return a << static_cast<unsigned>(count);
  }
  friend constexpr uint128 operator>>(uint128 a, int count) noexcept {
    return a >> static_cast<unsigned>(count);
  }

  constexpr uint128& operator+=(uint128 b) noexcept { return *this = *this + b; }
  constexpr uint128& operator-=(uint128 b) noexcept { return *this = *this - b; }
  constexpr uint128& operator&=(uint128 b) noexcept { return *this = *this & b; }
  constexpr uint128& operator|=(uint128 b) noexcept { return *this = *this | b; }
  constexpr uint128& operator^=(uint128 b) noexcept { return *this = *this ^ b; }
  constexpr uint128& operator<<=(int count) noexcept { return *this = *this << count; }
  constexpr uint128& operator>>=(int count) noexcept { return *this = *this >> count; }

  friend constexpr bool operator==(uint128 a, uint128 b) noexcept = default;
  friend constexpr bool operator<(uint128 a, uint128 b) noexcept {
    return a.hi_ < b.hi_ || (a.hi_ == b.hi_ && a.lo_ < b.lo_);
  }
  friend constexpr bool operator>(uint128 a, uint128 b) noexcept { return b < a; }
  friend constexpr bool operator<=(uint128 a, uint128 b) noexcept { return !(b < a); }
  friend constexpr bool operator>=(uint128 a, uint128 b) noexcept { return !(a < b); }

 private:
  std::uint64_t lo_ = 0;
  std::uint64_t hi_ = 0;
};

[[nodiscard]] constexpr uint128 make_u128(std::uint64_t hi, std::uint64_t lo) noexcept {
  return uint128(hi, lo);
}
[[nodiscard]] constexpr std::uint64_t hi64(uint128 v) noexcept {
  return v.hi();
}
[[nodiscard]] constexpr std::uint64_t lo64(uint128 v) noexcept {
  return v.lo();
}

// The 128-bit product from four 32 × 32 → 64-bit products.
[[nodiscard]] constexpr uint128 mul_64x64(std::uint64_t a, std::uint64_t b) noexcept {
  constexpr std::uint64_t kLow32 = 0xffffffffU;
  const std::uint64_t a_lo = a & kLow32;
  const std::uint64_t a_hi = a >> 32;
  const std::uint64_t b_lo = b & kLow32;
  const std::uint64_t b_hi = b >> 32;
  const std::uint64_t ll = a_lo * b_lo;
  const std::uint64_t lh = a_lo * b_hi;
  const std::uint64_t hl = a_hi * b_lo;
  const std::uint64_t hh = a_hi * b_hi;
  // Sum of the middle column: at most 3 · (2^32 − 1), so it cannot overflow 64 bits.
  const std::uint64_t mid = (ll >> 32) + (lh & kLow32) + (hl & kLow32);
  const std::uint64_t lo = (mid << 32) | (ll & kLow32);
  const std::uint64_t hi = hh + (lh >> 32) + (hl >> 32) + (mid >> 32);
  return uint128(hi, lo);
}

#endif

struct DivMod64 {
  uint128 quotient;
  std::uint64_t remainder;
};

// Quotient and remainder of `v` by the non-zero `divisor`. Not constant time: for public
// numbers only (the decimal index of a share, the product of index divisors that combining
// inverts).
[[nodiscard]] constexpr DivMod64 divmod_u64(uint128 v, std::uint64_t divisor) noexcept {
#if VELKOR_NATIVE_U128
  const uint128 quotient = v / divisor;
  return {quotient, lo64(v) - lo64(quotient) * divisor};
#else
  // Long division by single bits. The partial remainder is below the divisor; doubled, it may
  // pass 2^64, and then (top bit carried out) it is certainly at least the divisor.
  std::uint64_t rem = 0;
  std::uint64_t q_hi = 0;
  std::uint64_t q_lo = 0;
  for (int bit = 127; bit >= 0; --bit) {
    const std::uint64_t carried = rem >> 63;
    rem = (rem << 1) | (lo64(v >> bit) & 1U);
    const bool take = carried != 0 || rem >= divisor;
    if (take) rem -= divisor;
    q_hi = (q_hi << 1) | (q_lo >> 63);
    q_lo = (q_lo << 1) | (take ? 1U : 0U);
  }
  return {make_u128(q_hi, q_lo), rem};
#endif
}

}  // namespace velkor::core
