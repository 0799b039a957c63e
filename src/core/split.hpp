// Splitting a 32-byte secret into n share texts, any k of which rebuild it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/field.hpp"
#include "core/interrupt_poll.hpp"
#include "core/outcome.hpp"
#include "core/random/random_source.hpp"
#include "core/wipe.hpp"

namespace velkor::core {

// Where the random 64-bit words of the coefficients come from. The module always uses
// random_u64 (one 8-byte request to the operating system per word); tests inject their own.
using RandomWordSource = std::uint64_t (*)();

// The n share texts of one split, in order of their index (1 … n). All texts live back to back
// in one buffer that is wiped when the list is destroyed; each text is a view into it, valid as
// long as the list lives and is not moved from.
class ShareList {
 public:
  // What the list holds per share: the view that operator[] gives. The views are computed from
  // the index rather than stored, but the list of n strings is sized as n of them, so its limit
  // is that of any list of n string handles.
  static constexpr std::size_t kHandleSize = sizeof(std::string_view);

  [[nodiscard]] std::size_t size() const noexcept { return count_; }
  // Text of share i (0-based, so index i + 1): its bytes are data() … data() + size() − 1,
  // ASCII, not terminated. The place of a text follows from the lengths of the indices before it.
  [[nodiscard]] std::string_view operator[](std::size_t i) const noexcept {
    return {text_.data() + text_offset(i), text_size(i + 1)};
  }

  // The texts in order of their index, share 1 first. Each one starts where the one before it
  // ended, and the length grows by one at each power of ten, so a walk through the list costs a
  // few instructions a text, where operator[] works the place out from the start of the buffer.
  class Iterator {
   public:
    [[nodiscard]] std::string_view operator*() const noexcept { return {text_, size_}; }
    Iterator& operator++() noexcept {
      text_ += size_;
      if (++x_ == next_power_) {
        ++size_;
        // Past 10^19 no index has another digit to gain (and no list is that long).
        next_power_ = next_power_ <= UINT64_MAX / 10 ? next_power_ * 10 : 0;
      }
      return *this;
    }
    [[nodiscard]] bool operator==(const Iterator& other) const noexcept { return x_ == other.x_; }

   private:
    friend class ShareList;
    Iterator(const char* text, std::uint64_t x, std::size_t size, std::uint64_t next_power) noexcept
        : text_(text), x_(x), size_(size), next_power_(next_power) {}
    const char* text_;
    std::uint64_t x_;           // the index of the text the iterator is at
    std::size_t size_;          // its length
    std::uint64_t next_power_;  // the lowest index with one digit more
  };
  [[nodiscard]] Iterator begin() const noexcept { return {text_.data(), 1, text_size(1), 10}; }
  [[nodiscard]] Iterator end() const noexcept { return {nullptr, count_ + 1, 0, 0}; }

  // Total length of the texts of shares 1 … count; the offset of the text of share count + 1.
  [[nodiscard]] static std::size_t text_offset(std::size_t count) noexcept;
  // Length of the text of share x: the decimal digits of x and 4 · 33.
  [[nodiscard]] static std::size_t text_size(std::uint64_t x) noexcept;

 private:
  friend Outcome<ShareList> shamir_split(std::span<const std::uint8_t> secret, std::uint64_t k,
                                         std::uint64_t n, RandomWordSource draw,
                                         InterruptPoll poll);

  // All share texts, without separators; written in full by the split before it is returned.
  std::vector<char, WriteFirstAllocator<char>> text_;
  std::size_t count_ = 0;
};

// Splits `secret` (must be 32 bytes) with threshold k into n shares.
//
// Checks, in this order, returning the first failure as its message: a length other than 32
// gives "Secret must be exactly 32 bytes"; k < 2 gives "Shamir split failed: k must be >= 2";
// n < k gives "Shamir split failed: n must be >= k". Nothing is drawn before these pass.
//
// Then, in this order, it reserves the coefficient table, draws it (word rows 0 … 3, each with
// the k − 1 coefficients of x^1 … x^(k−1) in that order, two draws per coefficient: 8 · (k − 1)
// calls of `draw` whatever n is), reserves the result list and writes the shares for
// x = 1 … n. A split whose result list cannot be had has made all its draws.
//
// Internal failures: a coefficient row (k − 1 values of 16 bytes) or a result list (n handles
// of ShareList::kHandleSize bytes) whose size in bytes exceeds PTRDIFF_MAX ends in
// internal_failure("capacity overflow"), checked when that reservation is made; a failure of
// `draw` propagates as it is thrown. Any other reservation that cannot be had, the table as a
// whole and the texts included, throws std::bad_alloc. Every secret buffer (the words, the
// coefficient table, the evaluated values) is wiped on every path, exceptions included.
//
// `poll` is called every so often (interrupt_poll.hpp) while the table is drawn and while the
// shares are written, at least once per share at large thresholds; an exception from it ends the
// split like a failure of `draw`.
[[nodiscard]] Outcome<ShareList> shamir_split(std::span<const std::uint8_t> secret, std::uint64_t k,
                                              std::uint64_t n, RandomWordSource draw = random_u64,
                                              InterruptPoll poll = nullptr);

// One random coefficient: lo = draw(), then hi = draw() with its top bit cleared; the value
// hi · 2^64 + lo, except that P becomes 0. Result: 0 … P − 1. Constant time.
[[nodiscard]] FieldElement random_field_element(RandomWordSource draw);

// s + row[0] · x + row[1] · x^2 + … + row[m − 1] · x^m mod P (Horner's rule; just s reduced for
// an empty row). s and the row values below 2^127, x below 2^64. Result: 0 … P − 1.
// Constant time in s and the row values; the length of the row is public.
[[nodiscard]] FieldElement evaluate_polynomial(FieldElement s, std::span<const FieldElement> row,
                                               std::uint64_t x) noexcept;

}  // namespace velkor::core
