// Writing and reading share texts.
#include "core/share_text.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "core/byte_order.hpp"
#include "core/declassify.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velkor::core {
namespace {

#if !defined(__SSE2__)

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
  if constexpr (std::endian::native == std::endian::little) {
    const std::uint64_t text = byte_swap(x);  // the most significant digit first in memory
    std::memcpy(out, &text, sizeof text);
  } else {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(x >> (8 * (7 - i)));
  }
}

#endif

#if defined(__SSE2__)

// Writes the 32 hexadecimal digits of `v`, most significant first, in two 16-byte stores: the
// bytes of each half, most significant first, are cut into their two nibbles, which are
// interleaved into one byte each and turned into ASCII by a comparison mask, with no branch and
// no table.
void write_hex128(char* out, uint128 v) noexcept {
  const __m128i bytes = _mm_set_epi64x(static_cast<long long>(byte_swap(lo64(v))),
                                       static_cast<long long>(byte_swap(hi64(v))));
  const __m128i low_nibble = _mm_set1_epi8(0x0f);
  const __m128i high = _mm_and_si128(_mm_srli_epi16(bytes, 4), low_nibble);
  const __m128i low = _mm_and_si128(bytes, low_nibble);
  const auto ascii = [](__m128i nibbles) {
    // '0' + nibble, plus 'a' − '0' − 10 = 39 for the nibbles above 9.
    const __m128i letters =
        _mm_and_si128(_mm_cmpgt_epi8(nibbles, _mm_set1_epi8(9)), _mm_set1_epi8(39));
    return _mm_add_epi8(_mm_add_epi8(nibbles, _mm_set1_epi8('0')), letters);
  };
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), ascii(_mm_unpacklo_epi8(high, low)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), ascii(_mm_unpackhi_epi8(high, low)));
}

#else

void write_hex128(char* out, uint128 v) noexcept {
  const std::uint64_t hi = hi64(v);
  const std::uint64_t lo = lo64(v);
  write_hex32(out, static_cast<std::uint32_t>(hi >> 32));
  write_hex32(out + 8, static_cast<std::uint32_t>(hi));
  write_hex32(out + 16, static_cast<std::uint32_t>(lo >> 32));
  write_hex32(out + 24, static_cast<std::uint32_t>(lo));
}

#endif

// Writes the shortest decimal form of the public `v`; returns the number of digits.
std::size_t write_decimal(char* out, uint128 v) noexcept {
  if (hi64(v) == 0) {
    // The common case, every index a split writes: count the digits, then write them from the
    // last one back, in place.
    std::uint64_t small = lo64(v);
    std::size_t count = 1;
    for (std::uint64_t rest = small; rest >= 10; rest /= 10) ++count;
    for (std::size_t i = count; i-- > 0;) {
      out[i] = static_cast<char>('0' + small % 10);
      small /= 10;
    }
    return count;
  }
  char digits[40];
  std::size_t count = 0;
  // Digits are produced from the low end. While the value needs more than 64 bits, peel off
  // blocks of exactly nine digits (the remainder by 10^9 fits 32 bits); the rest is a 64-bit
  // number.
  while (hi64(v) != 0) {
    const DivMod64 step = divmod_u64(v, 1000000000U);
    auto chunk = static_cast<std::uint32_t>(step.remainder);
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

// Value of an ASCII decimal digit, or -1 when the byte is not one. For the index only, which is
// public: it may branch.
int decimal_digit(unsigned char byte) noexcept {
  return byte >= '0' && byte <= '9' ? byte - '0' : -1;
}

// Hexadecimal digits are read without a branch or table index on their bytes: the digits of the
// values are secret. Eight bytes are handled at once in the lanes of a 64-bit word; a lane's top
// bit is the flag of a test on that lane (the bytes are first cut to 7 bits, and the rejected
// bytes with a top bit are caught separately, so no lane carries into the next one).
constexpr std::uint64_t kLanes01 = 0x0101010101010101U;
constexpr std::uint64_t kLanes7f = 0x7f7f7f7f7f7f7f7fU;
constexpr std::uint64_t kLanes80 = 0x8080808080808080U;

// Lane flags of `b >= t` and `b <= t` for bytes b and a bound t, all below 0x80.
constexpr std::uint64_t lanes_at_least(std::uint64_t b, std::uint64_t t) noexcept {
  return (b + (0x80U - t) * kLanes01) & kLanes80;
}
constexpr std::uint64_t lanes_at_most(std::uint64_t b, std::uint64_t t) noexcept {
  return ((0x80U + t) * kLanes01 - b) & kLanes80;
}

struct HexLanes {
  std::uint64_t nibbles;  // the value of each lane's digit (garbage for an invalid byte)
  std::uint64_t valid;    // 0x80 in every lane that holds a hexadecimal digit
};

// Eight bytes, lane i holding byte i.
constexpr HexLanes hex_lanes(std::uint64_t bytes) noexcept {
  const std::uint64_t low7 = bytes & kLanes7f;
  const std::uint64_t folded = low7 | (0x20U * kLanes01);  // A–F onto a–f, nothing else there
  const std::uint64_t digit = lanes_at_least(low7, '0') & lanes_at_most(low7, '9');
  const std::uint64_t letter = lanes_at_least(folded, 'a') & lanes_at_most(folded, 'f');
  const std::uint64_t valid = (digit | letter) & ~bytes & kLanes80;
  // '0' … '9' have the digit in their low nibble, 'a' … 'f' and 'A' … 'F' the digit − 9.
  const std::uint64_t nibbles = (bytes & (0x0fU * kLanes01)) + (letter >> 7) * 9U;
  return {nibbles, valid};
}

#if defined(__SSE2__)

// Sixteen bytes read as hexadecimal digits in the lanes of an SSE2 register: each byte's digit
// value (garbage for a byte that is not a digit), and 0xff in `valid` for each byte that is one.
// Adding 80 maps '0' … '9', and nothing else, onto the signed bytes −128 … −119; adding 31 to
// the byte with bit 5 set maps 'a' … 'f' and 'A' … 'F', and nothing else, onto −128 … −123. One
// signed comparison each tests the range.
struct HexBytes {
  __m128i nibbles;
  __m128i valid;
};
HexBytes hex_bytes(__m128i bytes) noexcept {
  const __m128i digit = _mm_cmpgt_epi8(_mm_set1_epi8(-118), _mm_add_epi8(bytes, _mm_set1_epi8(80)));
  const __m128i folded = _mm_or_si128(bytes, _mm_set1_epi8(0x20));
  const __m128i letter =
      _mm_cmpgt_epi8(_mm_set1_epi8(-122), _mm_add_epi8(folded, _mm_set1_epi8(31)));
  // '0' … '9' have the digit in their low nibble, the letters the digit − 9.
  const __m128i nibbles = _mm_add_epi8(_mm_and_si128(bytes, _mm_set1_epi8(0x0f)),
                                       _mm_and_si128(letter, _mm_set1_epi8(9)));
  return {nibbles, _mm_or_si128(digit, letter)};
}

// 16-bit lane j holds digits 2j (low byte, more significant) and 2j + 1: the byte they make, in
// the low byte of the lane.
__m128i digit_pairs(__m128i nibbles) noexcept {
  return _mm_or_si128(_mm_slli_epi16(_mm_and_si128(nibbles, _mm_set1_epi16(0xff)), 4),
                      _mm_srli_epi16(nibbles, 8));
}

// Reads exactly 32 hexadecimal digits. Returns 1, or 0 when any byte is not one. Both halves are
// packed into one register, digit pair j of the first half in byte j, of the second in byte 8 + j.
std::uint64_t read_hex32(const char* text, uint128& out) noexcept {
  const HexBytes high = hex_bytes(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text)));
  const HexBytes low = hex_bytes(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text + 16)));
  const __m128i packed = _mm_packus_epi16(digit_pairs(high.nibbles), digit_pairs(low.nibbles));
  out = make_u128(
      byte_swap(static_cast<std::uint64_t>(_mm_cvtsi128_si64(packed))),
      byte_swap(static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(packed, packed)))));
  const auto valid =
      static_cast<std::uint64_t>(_mm_movemask_epi8(_mm_and_si128(high.valid, low.valid)));
  return ((valid ^ 0xffffU) - 1U) >> 63;  // 1 exactly when every byte is a digit
}

#else

// The 32-bit number of eight nibbles, lane 0 the most significant.
constexpr std::uint32_t pack_nibbles(std::uint64_t nibbles) noexcept {
  // Move lane 0 to the top, then pair neighbours: nibble pairs, byte pairs, 16-bit pairs.
  std::uint64_t v = byte_swap(nibbles);
  v = (v | (v >> 4)) & 0x00ff00ff00ff00ffU;
  v = (v | (v >> 8)) & 0x0000ffff0000ffffU;
  v = (v | (v >> 16)) & 0x00000000ffffffffU;
  return static_cast<std::uint32_t>(v);
}

// Eight bytes from `text`, byte i in lane i, whatever the byte order of the machine.
std::uint64_t load_lanes(const char* text) noexcept {
  std::uint64_t v = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&v, text, sizeof v);  // one unaligned load
  } else {
    for (int i = 0; i < 8; ++i) {
      v |= static_cast<std::uint64_t>(static_cast<unsigned char>(text[i])) << (8 * i);
    }
  }
  return v;
}

// Reads exactly 32 hexadecimal digits. Returns 1, or 0 when any byte is not one.
std::uint64_t read_hex32(const char* text, uint128& out) noexcept {
  std::uint64_t all_valid = kLanes80;
  std::uint64_t halves[2] = {0, 0};
  for (int part = 0; part < 4; ++part) {
    const HexLanes lanes = hex_lanes(load_lanes(text + 8 * part));
    all_valid &= lanes.valid;
    std::uint64_t& half = halves[part / 2];
    half = (half << 32) | pack_nibbles(lanes.nibbles);
  }
  out = make_u128(halves[0], halves[1]);
  const std::uint64_t bad = all_valid ^ kLanes80;  // a top bit for every rejected byte
  return ((bad | (0U - bad)) >> 63) ^ 1U;          // 1 exactly when bad is 0
}

#endif

// The value and validity of one hexadecimal byte, without a branch on it: valid is 1 or 0.
struct HexByte {
  std::uint64_t nibble;
  std::uint64_t valid;
};
HexByte hex_byte(unsigned char byte) noexcept {
  const HexLanes lanes = hex_lanes(byte);
  return {lanes.nibbles & 0x0fU, (lanes.valid >> 7) & 1U};
}

// (2^128 − 1) / 10 and its remainder 5: value · 10 + digit overflows exactly when the value is
// above the quotient, or equal to it with a digit above 5.
constexpr uint128 kMaxDiv10 = make_u128(0x1999999999999999U, 0x9999999999999999U);
constexpr int kMaxMod10 = 5;

ShareTextError parse_decimal(std::string_view piece, uint128& out) noexcept {
  if (piece.empty()) return ShareTextError::kEmptyField;
  // One plus sign is a sign only when something follows it.
  if (piece.size() >= 2 && piece.front() == '+') piece.remove_prefix(1);
  uint128 value = 0U;
  for (const char ch : piece) {
    const int digit = decimal_digit(static_cast<unsigned char>(ch));
    if (digit < 0) return ShareTextError::kInvalidDigit;
    if (value > kMaxDiv10 || (value == kMaxDiv10 && digit > kMaxMod10)) {
      return ShareTextError::kTooLarge;
    }
    const auto d = static_cast<std::uint64_t>(digit);
    value = (value << 3) + (value << 1) + d;
  }
  out = value;
  return ShareTextError::kNone;
}

// A hexadecimal piece. Its length is public, its bytes are not: the loop over them never
// branches on a byte. A leading '+' (allowed when something follows it) reads as a digit 0, which
// leaves the value alone. The outcome for a bad piece is decided at the end from masks kept
// on the way: the first byte that is not a digit gives kInvalidDigit, unless an earlier digit
// would have pushed the value past 2^128 − 1 (kTooLarge).
ShareTextError parse_hex(std::string_view piece, uint128& out) noexcept {
  if (piece.empty()) return ShareTextError::kEmptyField;
  const std::size_t size = piece.size();
  std::uint64_t hi = 0;
  std::uint64_t lo = 0;
  std::uint64_t failed = 0;     // 1 once a byte has failed
  std::uint64_t too_large = 0;  // 1 when the first failure is an overflow
  for (std::size_t i = 0; i < size; ++i) {
    const auto byte = static_cast<unsigned char>(piece[i]);
    HexByte digit = hex_byte(byte);
    if (i == 0 && size >= 2) {
      // A '+' counts as a digit 0 in front of at least one more byte: plus is 1 for it, else 0.
      const std::uint64_t plus = ((static_cast<std::uint64_t>(byte) ^ '+') - 1U) >> 63;
      digit.valid |= plus;
      digit.nibble &= plus - 1U;
    }
    // value · 16 + digit fits exactly when value < 2^124.
    const std::uint64_t overflow = ((hi >> 60) + 0xfU) >> 4;  // 1 when the top nibble is set
    const std::uint64_t invalid = digit.valid ^ 1U;
    const std::uint64_t fresh = (invalid | overflow) & (failed ^ 1U);
    too_large |= fresh & overflow & digit.valid;
    failed |= fresh;
    hi = (hi << 4) | (lo >> 60);
    lo = (lo << 4) | digit.nibble;
  }
  out = make_u128(hi, lo);
  // The piece's verdict, the only thing about its bytes that is branched on: 0 when it reads,
  // 1 for a bad digit, 2 for an overflow (too_large is only ever set together with failed).
  std::uint64_t verdict = failed + too_large;
  declassify(verdict);
  if (verdict == 0) return ShareTextError::kNone;
  return verdict == 2 ? ShareTextError::kTooLarge : ShareTextError::kInvalidDigit;
}

// 1 when `byte` is a colon, else 0, without a branch on it.
std::uint64_t colon_flag(char byte) noexcept {
  return ((static_cast<std::uint64_t>(static_cast<unsigned char>(byte)) ^ ':') - 1U) >> 63;
}

// Bit i set when byte i of the `size` (at most 64) bytes at `text` is a colon; no branch on the
// bytes. Sixteen at a time where the compiler targets SSE2, the rest one by one.
std::uint64_t colon_mask(const char* text, std::size_t size) noexcept {
  std::uint64_t mask = 0;
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i colon = _mm_set1_epi8(':');
  for (; i + 16 <= size; i += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
    const auto flags = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, colon)));
    mask |= static_cast<std::uint64_t>(flags) << i;
  }
#endif
  for (; i < size; ++i) mask |= colon_flag(text[i]) << i;
  return mask;
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
  // What is public about a valid text: its index, and its structure (the length of each piece,
  // hence the places of the colons), which the caller chose. What is secret: the bytes of the
  // four values. The reader branches only on public bytes (those of the index) and on verdicts
  // computed without a branch from the value bytes and declassified: where the text is cut, and
  // whether each piece reads. A verdict tells nothing about a digit of a valid text but that it
  // is not a colon and is a digit; for an invalid text it is the outcome the caller learns.
  //
  // The index ends at the first colon; its bytes are examined one by one up to it, so in a
  // valid text no value byte is looked at here. No colon at all: a single piece.
  const std::size_t size = text.size();
  std::size_t index_end = 0;
  while (index_end < size && text[index_end] != ':') ++index_end;
  if (index_end == size) return ShareTextError::kFieldCount;

  // The shape every writer's text has: a decimal index, then four colons each followed by 32
  // digits. The length tells whether the text can have it; then the three other colons and the
  // 128 digits are tested, all of them whatever the first tests gave (bitwise and), and only
  // the verdict on the whole shape is declassified. Anything else (a sign, short or long values,
  // a bad byte) goes the general way below, which finds the exact reason.
  if (size == index_end + 4 * 33) {
    const char* const values = text.data() + index_end;  // the colon in front of value 0
    std::uint64_t clean = colon_flag(values[33]) & colon_flag(values[66]) & colon_flag(values[99]) &
                          read_hex32(values + 1, out.a) & read_hex32(values + 34, out.b) &
                          read_hex32(values + 67, out.c) & read_hex32(values + 100, out.d);
    declassify(clean);
    if (clean != 0 &&
        parse_decimal(text.substr(0, index_end), out.index) == ShareTextError::kNone) {
      return ShareTextError::kNone;
    }
  }

  // The cuts after the index's colon: the colon flags of each block of up to 64 bytes are
  // computed without a branch and declassified as a block, then the colons are taken from them.
  // Exactly three more colons make five pieces; a fourth means a sixth piece.
  std::size_t cuts[3] = {};
  std::size_t colons = 0;
  for (std::size_t block = index_end + 1; block < size; block += 64) {
    std::uint64_t mask = colon_mask(text.data() + block, std::min<std::size_t>(64, size - block));
    declassify(mask);
    for (; mask != 0; mask &= mask - 1) {
      if (colons == 3) return ShareTextError::kFieldCount;
      cuts[colons++] = block + static_cast<std::size_t>(std::countr_zero(mask));
    }
  }
  if (colons != 3) return ShareTextError::kFieldCount;

  if (const ShareTextError error = parse_decimal(text.substr(0, index_end), out.index);
      error != ShareTextError::kNone) {
    return error;
  }
  const std::size_t starts[4] = {index_end + 1, cuts[0] + 1, cuts[1] + 1, cuts[2] + 1};
  const std::size_t ends[4] = {cuts[0], cuts[1], cuts[2], size};
  uint128* const values[4] = {&out.a, &out.b, &out.c, &out.d};
  for (std::size_t i = 0; i < 4; ++i) {
    const ShareTextError error = parse_hex(text.substr(starts[i], ends[i] - starts[i]), *values[i]);
    if (error != ShareTextError::kNone) return error;
  }
  return ShareTextError::kNone;
}

SecretString share_text_error_message(ShareTextError error, std::string_view text) {
  switch (error) {
    case ShareTextError::kNone:
      break;
    case ShareTextError::kFieldCount: {
      constexpr std::string_view prefix = "Invalid share format (need 5 fields): ";
      SecretString message;
      message.reserve(prefix.size() + text.size());
      message.append(prefix).append(text);
      return message;
    }
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
