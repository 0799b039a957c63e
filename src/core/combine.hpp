// Rebuilding a 32-byte secret from share texts by Lagrange interpolation at x = 0.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/field.hpp"
#include "core/interrupt_poll.hpp"
#include "core/outcome.hpp"
#include "core/share_text.hpp"

namespace velkor::core {

// The 32 bytes of a rebuilt secret. Movable but not copyable; every copy it ever held (a
// moved-from object included) is wiped when it is destroyed.
class RecoveredSecret {
 public:
  static constexpr std::size_t kSize = 32;

  RecoveredSecret() noexcept = default;
  RecoveredSecret(const RecoveredSecret&) = delete;
  RecoveredSecret& operator=(const RecoveredSecret&) = delete;
  RecoveredSecret(RecoveredSecret&& other) noexcept;
  RecoveredSecret& operator=(RecoveredSecret&& other) noexcept;
  ~RecoveredSecret();

  [[nodiscard]] std::uint8_t* data() noexcept { return bytes_.data(); }
  [[nodiscard]] const std::uint8_t* data() const noexcept { return bytes_.data(); }
  [[nodiscard]] static constexpr std::size_t size() noexcept { return kSize; }
  [[nodiscard]] std::span<const std::uint8_t, kSize> bytes() const noexcept { return bytes_; }

 private:
  std::array<std::uint8_t, kSize> bytes_{};
};

// Rebuilds the secret from the first k of `shares`.
//
// Fails, in this order: with "Shamir combine failed: Need at least <k> shares" when fewer than
// k texts are given (before any text is read); with "Shamir combine failed: " followed by the
// share text message (see share_text_error_message) of the first of texts 0 … k − 1 that does
// not read. Texts at position k and later are never read.
//
// Otherwise word j (j = 0 … 3) is interpolate_at_zero over the k shares, and its low 64 bits are
// written big-endian to bytes 8j … 8j + 7. Input is trusted: equal indices, an index ≡ 0, values
// of P or more, or a wrong k give some result, not an error; k = 0 gives 32 zero bytes.
// Constant time in the share values; the indices and k are public. The parsed values and all
// intermediate secrets are wiped on every path.
//
// `poll` is called every so often (interrupt_poll.hpp) while the texts are read and while the
// weights are computed (k² steps), at least once per share at large k; an exception from it ends
// the combine, every parsed value wiped.
[[nodiscard]] Outcome<RecoveredSecret> shamir_combine(std::span<const std::string_view> shares,
                                                      std::uint64_t k,
                                                      InterruptPoll poll = nullptr);

// Lagrange weights at 0 for the indices of `shares`: weight i is
// ∏_{m≠i} (−x_m) · (∏_{m≠i} (x_i − x_m))^(−1) mod P with x = index mod P, and 0 when the
// denominator is 0 (an index equal to another one modulo P). Results: 0 … P − 1. Reads only the
// indices, which are public; may branch on them. At most one inversion by inv_mod per call (small
// indices are inverted by Euclid on words instead).
[[nodiscard]] std::vector<FieldElement> lagrange_weights_at_zero(std::span<const Share> shares);

// The value at 0 of the polynomial through (index, word j) of `shares` (word 0 is a … 3 is d):
// Σ word_j(share i) · weight i mod P, 0 for no shares. Result: 0 … P − 1. Constant time in the
// share values.
[[nodiscard]] FieldElement interpolate_at_zero(std::span<const Share> shares, int word);

}  // namespace velkor::core
