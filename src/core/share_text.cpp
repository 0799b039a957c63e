// Writing and reading share texts.
#include "core/share_text.hpp"

#include <cstdint>
#include <cstring>

namespace velkor::core {
namespace {

// Writes the 8 hexadecimal digits of `v`, most significant first, without branches or tables:
// the nibbles are spread one per byte of a 64-bit word and turned into ASCII all at once.
void write_hex32(char* out, std::uint32_t v) noexcept {
  std::uint64_t x = v;
  x = (x | (x << 16)) & 0x0000ffff0000ffffU;
  x = (x | (x << 8)) & 0x00ff00ff00ff00ffU;
  x = (x | (x << 4)) & 0x0f0f0f0f0f0f0f0fU;  // byte i now holds nibble i (from the low end)
  // A nibble of 10 or more gets a carry into bit 4 when 6 is added; no byte overflows.
  const std::uint64_t letters = ((x + 0x0606060606060606U) >> 4) & 0x0101010101010101U;
  // '0' + nibble, plus 'a' − '0' − 10 = 39 for the letters.
  x += 0x3030303030303030U + letters * 39U;
  for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(x >> (8 * (7 - i)));
}

void write_hex128(char* out, uint128 v) noexcept {
  const std::uint64_t hi = hi64(v);
  const std::uint64_t lo = lo64(v);
  write_hex32(out, static_cast<std::uint32_t>(hi >> 32));
  write_hex32(out + 8, static_cast<std::uint32_t>(hi));
  write_hex32(out + 16, static_cast<std::uint32_t>(lo >> 32));
  write_hex32(out + 24, static_cast<std::uint32_t>(lo));
}

// Writes the shortest decimal form of the public `v`; returns the number of digits.
std::size_t write_decimal(char* out, uint128 v) noexcept {
  char digits[40];
  std::size_t count = 0;
  // Digits are produced from the low end. While the value needs more than 64 bits, peel off
  // blocks of exactly nine digits (10^9 fits the 32-bit divisor); the rest is a 64-bit number.
  while (hi64(v) != 0) {
    const DivMod32 step = divmod_u32(v, 1000000000U);
    std::uint32_t chunk = step.remainder;
    for (int i = 0; i < 9; ++i) {
      digits[count++] = static_cast<char>('0' + chunk % 10);
      chunk /= 10;
    }
    v = step.quotient;
  }
  std::uint64_t small = lo64(v);
  do {
    digits[count++] = static_cast<char>('0' + small % 10);
    small /= 10;
  } while (small != 0);
  for (std::size_t i = 0; i < count; ++i) out[i] = digits[count - 1 - i];
  return count;
}

// Value of an ASCII digit in base 10 or 16, or -1 when the byte is not one.
int digit_value(unsigned char byte, int base) noexcept {
  if (byte >= '0' && byte <= '9') return byte - '0';
  if (base == 16) {
    const unsigned lower = byte | 0x20U;  // folds A–F onto a–f and leaves no other byte there
    if (lower >= 'a' && lower <= 'f') return static_cast<int>(lower - 'a') + 10;
  }
  return -1;
}

// (2^128 − 1) / 10 and its remainder 5: value · 10 + digit overflows exactly when the value is
// above the quotient, or equal to it with a digit above 5.
constexpr uint128 kMaxDiv10 = make_u128(0x1999999999999999U, 0x9999999999999999U);
constexpr int kMaxMod10 = 5;

ShareTextError parse_unsigned(std::string_view piece, int base, uint128& out) noexcept {
  if (piece.empty()) return ShareTextError::kEmptyField;
  // One plus sign is a sign only when something follows it.
  if (piece.size() >= 2 && piece.front() == '+') piece.remove_prefix(1);
  if (base == 16 && piece.size() <= 32) {
    // Up to 32 hexadecimal digits always fit: only the digits need checking. This is the shape
    // of every value the writer produces.
    std::uint64_t hi = 0;
    std::uint64_t lo = 0;
    for (const char ch : piece) {
      const int digit = digit_value(static_cast<unsigned char>(ch), 16);
      if (digit < 0) return ShareTextError::kInvalidDigit;
      hi = (hi << 4) | (lo >> 60);
      lo = (lo << 4) | static_cast<std::uint64_t>(digit);
    }
    out = make_u128(hi, lo);
    return ShareTextError::kNone;
  }
  uint128 value = 0U;
  for (const char ch : piece) {
    const int digit = digit_value(static_cast<unsigned char>(ch), base);
    if (digit < 0) return ShareTextError::kInvalidDigit;
    const auto d = static_cast<std::uint64_t>(digit);
    if (base == 16) {
      // value · 16 + digit fits exactly when value < 2^124.
      if ((hi64(value) >> 60) != 0) return ShareTextError::kTooLarge;
      value = (value << 4) | d;
    } else {
      if (value > kMaxDiv10 || (value == kMaxDiv10 && digit > kMaxMod10)) {
        return ShareTextError::kTooLarge;
      }
      value = (value << 3) + (value << 1) + d;
    }
  }
  out = value;
  return ShareTextError::kNone;
}

}  // namespace

std::size_t format_share(const Share& share, char* out) noexcept {
  std::size_t length = write_decimal(out, share.index);
  for (const uint128* value : {&share.a, &share.b, &share.c, &share.d}) {
    out[length] = ':';
    write_hex128(out + length + 1, *value);
    length += 33;
  }
  return length;
}

SecretString format_share(const Share& share) {
  SecretString text(kMaxShareTextSize, '\0');
  text.resize(format_share(share, text.data()));
  return text;
}

ShareTextError parse_share_into(std::string_view text, Share& out) noexcept {
  std::string_view pieces[5];
  std::size_t count = 0;
  std::size_t start = 0;
  for (;;) {
    const std::size_t colon = text.find(':', start);
    if (count == 5) return ShareTextError::kFieldCount;  // a sixth piece exists
    pieces[count++] = text.substr(start, colon == std::string_view::npos ? colon : colon - start);
    if (colon == std::string_view::npos) break;
    start = colon + 1;
  }
  if (count != 5) return ShareTextError::kFieldCount;

  uint128* const fields[5] = {&out.index, &out.a, &out.b, &out.c, &out.d};
  for (std::size_t i = 0; i < 5; ++i) {
    const ShareTextError error = parse_unsigned(pieces[i], i == 0 ? 10 : 16, *fields[i]);
    if (error != ShareTextError::kNone) return error;
  }
  return ShareTextError::kNone;
}

std::string share_text_error_message(ShareTextError error, std::string_view text) {
  switch (error) {
    case ShareTextError::kNone:
      break;
    case ShareTextError::kFieldCount:
      return std::string("Invalid share format (need 5 fields): ").append(text);
    case ShareTextError::kEmptyField:
      return "cannot parse integer from empty string";
    case ShareTextError::kInvalidDigit:
      return "invalid digit found in string";
    case ShareTextError::kTooLarge:
      return "number too large to fit in target type";
  }
  return {};
}

Outcome<Share> parse_share(std::string_view text) {
  Share share{};
  const ShareTextError error = parse_share_into(text, share);
  if (error != ShareTextError::kNone) {
    secure_wipe(&share, sizeof share);
    return ErrorMessage{share_text_error_message(error, text)};
  }
  Outcome<Share> result(share);
  secure_wipe(&share, sizeof share);
  return result;
}

}  // namespace velkor::core
