// The text form of a share: "index:a:b:c:d", the index in decimal and the four values as
// 32 lower-case hexadecimal digits each.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/outcome.hpp"
#include "core/uint128.hpp"
#include "core/wipe.hpp"

namespace velkor::core {

// One share: the evaluation point and the values of the four word polynomials there (a for
// secret bytes 0–7, … d for bytes 24–31). The values are secret; the index is not.
struct Share {
  uint128 index;
  uint128 a;
  uint128 b;
  uint128 c;
  uint128 d;
};

// Longest share text: a 39-digit index (2^128 − 1) and four times ":" plus 32 digits.
inline constexpr std::size_t kMaxShareTextSize = 39 + 4 * 33;

// Writes the text of `share` at `out`, which must have room for kMaxShareTextSize bytes, and
// returns the number of bytes written (the index's decimal digits plus 132). No terminator is
// written. The values are written in constant time (no branch or table index depends on them);
// the index is treated as public.
std::size_t format_share(const Share& share, char* out) noexcept;

// The text of `share` as a string that is wiped on release.
[[nodiscard]] SecretString format_share(const Share& share);

// Why a share text was rejected.
enum class ShareTextError {
  kNone,
  kFieldCount,    // not exactly five colon-separated pieces
  kEmptyField,    // a piece is empty
  kInvalidDigit,  // a byte that is not a digit of the piece's base
  kTooLarge,      // a piece's value exceeds 2^128 − 1
};

// Reads `text` into `out`. Returns kNone on success; otherwise the reason, and `out` holds
// whatever was read before the failure was found (the caller wipes it with the rest of its
// secrets). Rules: the text is cut at every colon and must give exactly five pieces (nothing
// trimmed); the first is read in base 10, the others in base 16 (either case); a piece of two or
// more bytes may start with one '+'. Pieces are read in order and the first failing byte of the
// first failing piece decides. The index, the places of the colons and the lengths of the pieces
// are treated as public; the hexadecimal digits are read without any branch or memory index
// that depends on them, whatever the outcome (which the caller learns anyway).
[[nodiscard]] ShareTextError parse_share_into(std::string_view text, Share& out) noexcept;

// The message for a rejected share text; `text` is the whole text that was read. The message
// may quote it, so it is kept in wiping storage.
[[nodiscard]] SecretString share_text_error_message(ShareTextError error, std::string_view text);

// Reads one share text; on failure returns the message of share_text_error_message. The
// returned values are a plain copy that nothing wipes: code that keeps secrets reads with
// parse_share_into into wiped storage instead (as shamir_combine does).
[[nodiscard]] Outcome<Share> parse_share(std::string_view text);

}  // namespace velkor::core
