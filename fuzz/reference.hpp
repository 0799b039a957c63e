// Slow, independent re-implementations used by the fuzz targets as oracles: a share text reader
// and writer, arithmetic modulo P = 2^127 − 1 and Lagrange interpolation at 0. They are written
// for obviousness, not speed: the reader cuts into any number of pieces and accumulates values
// in a 160-bit number so that overflow is a plain "top limb non-zero" test; the field reduces
// with the compiler's 128-bit remainder. They share no code with the core.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/share_text.hpp"
#include "core/uint128.hpp"

namespace velkor::fuzz {

// The harnesses are only built with Clang, which has unsigned __int128 on every target the
// fuzzers run on; the core may still use its portable two-limb type.
__extension__ typedef unsigned __int128 u128;

inline constexpr u128 kP = (static_cast<u128>(1) << 127) - 1;
inline constexpr u128 kMax128 = ~static_cast<u128>(0);

inline u128 to_native(core::uint128 v) {
  return (static_cast<u128>(core::hi64(v)) << 64) | core::lo64(v);
}
inline core::uint128 from_native(u128 v) {
  return core::make_u128(static_cast<std::uint64_t>(v >> 64), static_cast<std::uint64_t>(v));
}

// The five fields of a share in text order: index, a, b, c, d.
using Fields = std::array<u128, 5>;

inline Fields fields_of(const core::Share& share) {
  return {to_native(share.index), to_native(share.a), to_native(share.b), to_native(share.c),
          to_native(share.d)};
}

// ---------------------------------------------------------------------------------------------
// Failure reporting: print what went wrong and abort, so that libFuzzer keeps the input.

inline std::string printable(std::string_view bytes) {
  std::string out;
  for (const char ch : bytes) {
    const auto byte = static_cast<unsigned char>(ch);
    if (byte >= 0x20 && byte < 0x7f && byte != '\\') {
      out += ch;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      out += escaped;
    }
  }
  return out;
}

[[noreturn]] inline void fail(const std::string& what) {
  std::fprintf(stderr, "\n*** fuzz check failed: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

inline void check(bool condition, const std::string& what) {
  if (!condition) fail(what);
}

// The same, with the message built only on failure (for checks in hot loops).
template <class Describe>
  requires std::is_invocable_r_v<std::string, Describe>
inline void check(bool condition, Describe&& describe) {
  if (!condition) fail(describe());
}

inline std::string hex(u128 v) {
  char text[40];
  std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(v >> 64),
                static_cast<unsigned long long>(v));
  return text;
}

// ---------------------------------------------------------------------------------------------
// Share text, read and written by the rules directly.

inline const std::string kFieldCountPrefix = "Invalid share format (need 5 fields): ";
inline const std::string kEmptyMessage = "cannot parse integer from empty string";
inline const std::string kDigitMessage = "invalid digit found in string";
inline const std::string kTooLargeMessage = "number too large to fit in target type";

struct ReadResult {
  bool ok = false;
  std::string message;  // when !ok
  Fields fields{};      // when ok
};

// Reads one unsigned number in `base` (10 or 16). Returns an empty string on success.
inline std::string read_number(const std::string& piece, unsigned base, u128& out) {
  if (piece.empty()) return kEmptyMessage;
  std::string digits = piece;
  if (digits.size() >= 2 && digits[0] == '+') digits.erase(0, 1);
  const std::string alphabet = base == 10 ? "0123456789" : "0123456789abcdefABCDEF";
  // 160-bit accumulator, least significant limb first. value · 16 + 15 < 2^133 never overflows
  // it while value is below 2^128.
  std::array<std::uint32_t, 5> limbs{};
  for (const char ch : digits) {
    const std::size_t at = alphabet.find(ch);
    if (at == std::string::npos) return kDigitMessage;
    std::uint64_t carry = at < 16 ? at : at - 6;  // 'A'..'F' follow 'a'..'f' in the alphabet
    for (std::uint32_t& limb : limbs) {
      const std::uint64_t wide = static_cast<std::uint64_t>(limb) * base + carry;
      limb = static_cast<std::uint32_t>(wide);
      carry = wide >> 32;
    }
    if (limbs[4] != 0 || carry != 0) return kTooLargeMessage;
  }
  out = 0;
  for (std::size_t i = 4; i-- > 0;) out = (out << 32) | limbs[i];
  return {};
}

inline ReadResult read_share(std::string_view text) {
  ReadResult result;
  std::vector<std::string> pieces(1);
  for (const char ch : text) {
    if (ch == ':') {
      pieces.emplace_back();
    } else {
      pieces.back() += ch;
    }
  }
  if (pieces.size() != 5) {
    result.message = kFieldCountPrefix + std::string(text);
    return result;
  }
  for (std::size_t i = 0; i < 5; ++i) {
    std::string message = read_number(pieces[i], i == 0 ? 10 : 16, result.fields[i]);
    if (!message.empty()) {
      result.message = std::move(message);
      return result;
    }
  }
  result.ok = true;
  return result;
}

// The canonical text: decimal index, then four values of exactly 32 lower-case hex digits.
inline std::string write_share(const Fields& fields) {
  std::string decimal;
  u128 index = fields[0];
  do {
    decimal.insert(decimal.begin(), static_cast<char>('0' + static_cast<int>(index % 10)));
    index /= 10;
  } while (index != 0);
  std::string text = decimal;
  for (std::size_t i = 1; i < 5; ++i) text += ":" + hex(fields[i]);
  return text;
}

// True when `message` has one of the four shapes a share text error can have, for `text`.
inline bool is_share_text_message(const std::string& message, std::string_view text) {
  return message == kFieldCountPrefix + std::string(text) || message == kEmptyMessage ||
         message == kDigitMessage || message == kTooLargeMessage;
}

// ---------------------------------------------------------------------------------------------
// Arithmetic modulo P. Operands of any 128-bit value; results 0 … P − 1.

inline u128 ref_reduce(u128 a) {
  return a % kP;
}

inline u128 ref_add(u128 a, u128 b) {
  return (ref_reduce(a) + ref_reduce(b)) % kP;
}

inline u128 ref_sub(u128 a, u128 b) {
  return (ref_reduce(a) + (kP - ref_reduce(b))) % kP;
}

inline u128 ref_mul(u128 a, u128 b) {
  a = ref_reduce(a);
  b = ref_reduce(b);
  // a · b = a1 b1 · 2^128 + (a1 b0 + a0 b1) · 2^64 + a0 b0, with 2^128 ≡ 2 (mod P).
  const u128 a1 = a >> 64, a0 = static_cast<std::uint64_t>(a);
  const u128 b1 = b >> 64, b0 = static_cast<std::uint64_t>(b);
  const u128 high = (a1 * b1) % kP * 2 % kP;     // a1 b1 < 2^126
  const u128 middle = (a1 * b0 + a0 * b1) % kP;  // each product < 2^127
  const u128 middle_shifted =                    // middle · 2^64, middle = m1 · 2^64 + m0
      ((middle >> 64) * 2 + (static_cast<u128>(static_cast<std::uint64_t>(middle)) << 64) % kP) %
      kP;
  const u128 low = (a0 * b0) % kP;
  return ref_add(ref_add(high, middle_shifted), low);
}

inline u128 ref_pow(u128 base, u128 exponent) {
  u128 result = 1;
  base = ref_reduce(base);
  while (exponent != 0) {
    if (exponent & 1) result = ref_mul(result, base);
    base = ref_mul(base, base);
    exponent >>= 1;
  }
  return result;
}

// a^(P − 2): the inverse of a non-zero a, and 0 for 0.
inline u128 ref_inv(u128 a) {
  return ref_pow(a, kP - 2);
}

// Lagrange interpolation at 0 of the four words of `shares`, textbook form: for each share i,
// ∏_{m≠i} (0 − x_m) · (∏_{m≠i} (x_i − x_m))^(−1); a zero denominator gives weight 0.
inline std::array<u128, 4> ref_interpolate(const std::vector<Fields>& shares) {
  std::array<u128, 4> sums{};
  for (std::size_t i = 0; i < shares.size(); ++i) {
    u128 num = 1, den = 1;
    for (std::size_t m = 0; m < shares.size(); ++m) {
      if (m == i) continue;
      num = ref_mul(num, ref_sub(0, shares[m][0]));
      den = ref_mul(den, ref_sub(shares[i][0], shares[m][0]));
    }
    const u128 weight = ref_mul(num, ref_inv(den));
    for (std::size_t j = 0; j < 4; ++j)
      sums[j] = ref_add(sums[j], ref_mul(shares[i][j + 1], weight));
  }
  return sums;
}

// A few identities of the reference field, checked once when a fuzz target starts, so that a
// wrong oracle is not mistaken for a wrong core.
inline void self_test_reference() {
  check(ref_mul(kP - 1, kP - 1) == 1, "reference: (-1)^2");
  check(ref_mul(static_cast<u128>(1) << 126, 2) == 1, "reference: 2^127");
  check(ref_mul(kMax128, 5) == 5, "reference: 2^128 - 1 acts as 1");
  check(ref_inv(0) == 0, "reference: inverse of 0");
  u128 x = 0x123456789abcdefULL;
  for (unsigned round = 0; round < 64; ++round) {
    x = ref_add(ref_mul(x, x), round + 3);
    if (x != 0) check(ref_mul(x, ref_inv(x)) == 1, "reference: x * x^-1 = 1 for x = " + hex(x));
    // (x + 1)^2 = x^2 + 2x + 1
    check(ref_mul(x + 1, x + 1) == ref_add(ref_add(ref_mul(x, x), ref_mul(2, x)), 1),
          "reference: square of x + 1");
  }
  // Two points on the line y = 5 + 7x interpolate to 5.
  const std::vector<Fields> line = {{1, 12, 12, 12, 12}, {3, 26, 26, 26, 26}};
  check(ref_interpolate(line)[0] == 5, "reference: interpolation of a line");
  const ReadResult read = read_share("+7:+1F:0:0:" + std::string(32, 'f'));
  check(read.ok && read.fields[0] == 7 && read.fields[1] == 31 && read.fields[4] == kMax128,
        "reference: reading +7:+1F:0:0:f…f");
  check(read_share(std::string(39, '9') + ":0:0:0:0").message == kTooLargeMessage,
        "reference: 39 nines overflow");
}

}  // namespace velkor::fuzz
