// Shamir splitting of a 32-byte secret: four random polynomials of degree k − 1, one per
// 64-bit word, evaluated at x = 1 … n.
#include "core/split.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <new>

#include "core/byte_order.hpp"
#include "core/cancellation.hpp"
#include "core/internal_failure.hpp"
#include "core/interrupt_poll.hpp"
#include "core/scratch.hpp"
#include "core/share_text.hpp"

namespace velkor::core {
namespace {

constexpr std::size_t kSecretSize = 32;
constexpr std::size_t kWords = 4;
// The largest size in bytes a reservation can have.
constexpr std::uint64_t kMaxBytes = PTRDIFF_MAX;

// Share text length is (decimal digits of x) + 132.
constexpr std::uint64_t kValueTextSize = 4 * 33;

// Coefficient tables of splits with k − 1 <= kInlineDegree stay on the stack.
constexpr std::size_t kInlineDegree = 16;

// Total length of the texts of shares 1 … n. Every x >= 10^(d−1) has a d-th digit, so the digit
// count is the sum over d of the number of such x.
uint128 total_text_size(std::uint64_t n) {
  uint128 total = mul_64x64(n, kValueTextSize);
  std::uint64_t threshold = 1;
  for (int digits = 1; digits <= 20 && threshold <= n; ++digits) {
    total += n - threshold + 1;
    if (threshold > UINT64_MAX / 10) break;
    threshold *= 10;
  }
  return total;
}

// The last Horner step, y · x + s mod P, for y any 128-bit value, x and the secret word s below
// 2^64: the unfolded product (below 2^127 + 2^65) plus s is below 2^127 + 2^66, so one fold makes
// it loose and canonical() reduces it, one fold fewer than a weak product reduced after the
// addition.
FieldElement last_step(field_detail::Halves y, std::uint64_t x, std::uint64_t s) noexcept {
  using field_detail::add_halves;
  const field_detail::Halves sum =
      add_halves(field_detail::mul_small_halves_unfolded(y, x), {s, 0});
  return field_detail::canonical(field_detail::fold(field_detail::joined(sum)));
}

// The four values of the share at x, f_w(x) for w = 0 … 3, written to out.a … out.d: the table
// holds coefficient j (of x^(j + 1)) of word w at 4 · j + w, and degree >= 1. The four Horner
// chains are independent, so the processor overlaps them. Kept out of line with few live values:
// inlined into shamir_split, GCC spilled the 128-bit accumulators to the stack and ran at a third
// of the speed.
#if defined(__GNUC__) || defined(__clang__)
__attribute__((noinline))
#endif
void evaluate_four(const FieldElement* table, std::size_t degree, const std::uint64_t* words,
                   std::uint64_t x, Share& out) noexcept {
  using field_detail::add_halves;
  using field_detail::halves;
  using field_detail::Halves;
  using field_detail::joined;
  using field_detail::mul_small_halves;
  // The chains start at the highest coefficient. Each step adds a value below P to a weak
  // product: the sum fits in 128 bits, and mul_small_halves accepts any 128-bit value.
  const FieldElement* row = table + 4 * (degree - 1);
  Halves y0 = halves(row[0]);
  Halves y1 = halves(row[1]);
  Halves y2 = halves(row[2]);
  Halves y3 = halves(row[3]);
  while (row != table) {
    row -= 4;
    y0 = add_halves(mul_small_halves(y0, x), halves(row[0]));
    y1 = add_halves(mul_small_halves(y1, x), halves(row[1]));
    y2 = add_halves(mul_small_halves(y2, x), halves(row[2]));
    y3 = add_halves(mul_small_halves(y3, x), halves(row[3]));
  }
  out.a = last_step(y0, x, words[0]);
  out.b = last_step(y1, x, words[1]);
  out.c = last_step(y2, x, words[2]);
  out.d = last_step(y3, x, words[3]);
}

}  // namespace

FieldElement random_field_element(RandomWordSource draw) {
  const std::uint64_t lo = draw();
  const std::uint64_t hi = draw() & field_detail::kLow63;
  // The value is below 2^127, so canonical() maps P to 0 and leaves every other value alone.
  return field_detail::canonical(make_u128(hi, lo));
}

FieldElement evaluate_polynomial(FieldElement s, std::span<const FieldElement> row,
                                 std::uint64_t x) noexcept {
  uint128 y = 0U;
  for (std::size_t j = row.size(); j-- > 0;) y = field_detail::mul_small_loose(y, x) + row[j];
  return reduce_mod(field_detail::mul_small_loose(y, x) + s);
}

std::size_t ShareList::text_offset(std::size_t count) noexcept {
  return static_cast<std::size_t>(lo64(total_text_size(count)));
}

std::size_t ShareList::text_size(std::uint64_t x) noexcept {
  std::size_t digits = 1;
  for (std::uint64_t rest = x; rest >= 10; rest /= 10) ++digits;
  return digits + kValueTextSize;
}

Outcome<ShareList> shamir_split(std::span<const std::uint8_t> secret, std::uint64_t k,
                                std::uint64_t n, RandomWordSource draw, InterruptPoll poll) {
  if (secret.size() != kSecretSize) return ErrorMessage{"Secret must be exactly 32 bytes"};
  if (k < 2) return ErrorMessage{"Shamir split failed: k must be >= 2"};
  if (n < k) return ErrorMessage{"Shamir split failed: n must be >= k"};

  // The coefficient table is reserved, then drawn, before the result list is reserved. A row of
  // k − 1 values whose size cannot be represented is a capacity overflow; the four rows share
  // one block, and a table too large for any block is memory that cannot be had.
  const std::uint64_t degree = k - 1;
  if (degree > kMaxBytes / sizeof(FieldElement)) internal_failure("capacity overflow");
  if (degree > kMaxBytes / (kWords * sizeof(FieldElement))) throw std::bad_alloc();
  const auto degree_size = static_cast<std::size_t>(degree);
  Scratch<FieldElement, kWords * kInlineDegree, true> table(kWords * degree_size);

  // The secret's words and the values of the share being written, in one wiped block.
  struct Working {
    std::array<std::uint64_t, kWords> words;
    Share share;
  };
  SecretArray<Working, 1> working;
  std::uint64_t* const words = working[0].words.data();
  for (std::size_t w = 0; w < kWords; ++w) words[w] = load_be64(secret.data() + 8 * w);

  // Drawn row by row (word 0's coefficients of x^1 … x^(k−1), then word 1's, …), stored
  // interleaved by power. A coefficient (two requests) costs about as much as a small share.
  // The requests may reach a cancellation point (random_u64 leaves that to its caller), so
  // cancellation is held off for the whole table: once a split, not once a request.
  {
    const CancellationHeldOff held_off;
    PollCountdown drawing(poll, items_per_poll(kShareSteps));
    for (std::size_t w = 0; w < kWords; ++w) {
      for (std::size_t j = 0; j < degree_size; ++j) {
        table[kWords * j + w] = random_field_element(draw);
        drawing.tick();
      }
    }
  }

  // The result list of n strings, sized as n handles; then the buffer of their texts.
  if (n > kMaxBytes / ShareList::kHandleSize) internal_failure("capacity overflow");
  const uint128 text_size = total_text_size(n);
  if (text_size > kMaxBytes) throw std::bad_alloc();
  ShareList list;
  list.text_.resize(static_cast<std::size_t>(lo64(text_size)));
  list.count_ = static_cast<std::size_t>(n);

  Share& share = working[0].share;
  char* out = list.text_.data();
  PollCountdown writing(poll, items_per_poll(degree_size + kShareSteps));
  for (std::uint64_t x = 1; x <= n; ++x) {
    writing.tick();
    share.index = x;
    evaluate_four(table.data(), degree_size, words, x, share);
    out += format_share(share, out);
  }
  return list;
}

}  // namespace velkor::core
