// Shamir splitting of a 32-byte secret: four random polynomials of degree k − 1, one per
// 64-bit word, evaluated at x = 1 … n.
#include "core/split.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/internal_failure.hpp"
#include "core/share_text.hpp"

namespace velkor::core {
namespace {

constexpr std::size_t kSecretSize = 32;
constexpr std::size_t kWords = 4;
constexpr std::uint64_t kMaxBytes = PTRDIFF_MAX;

// Share text length is (decimal digits of x) + 132.
constexpr std::uint64_t kValueTextSize = 4 * 33;

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

// Big-endian 64-bit word from 8 bytes.
std::uint64_t load_be64(const std::uint8_t* bytes) noexcept {
  std::uint64_t word = 0;
  for (int i = 0; i < 8; ++i) word = (word << 8) | bytes[i];
  return word;
}

// Evaluates the polynomials of two words at x together, so that the two independent Horner
// chains overlap in the processor. Kept out of line with few live values: inlined into
// shamir_split, GCC spilled the 128-bit accumulators to the stack and ran at a third of the speed.
#if defined(__GNUC__) || defined(__clang__)
__attribute__((noinline))
#endif
void evaluate_two(const FieldElement* row0, const FieldElement* row1, std::size_t degree,
                  std::uint64_t x, FieldElement& y0_out, FieldElement& y1_out) noexcept {
  using field_detail::mul_small_loose;
  // Each step adds a value below P to a weak product: the sum fits in 128 bits, and
  // mul_small_loose accepts any 128-bit value.
  uint128 y0 = 0U;
  uint128 y1 = 0U;
  for (std::size_t j = degree; j-- > 0;) {
    y0 = mul_small_loose(y0, x) + row0[j];
    y1 = mul_small_loose(y1, x) + row1[j];
  }
  y0_out = mul_small_loose(y0, x);
  y1_out = mul_small_loose(y1, x);
}

// f_w(x) for the four words: the polynomial part, then the word itself as constant term.
void evaluate_words(const SecretArray<FieldElement, kWords>& words,
                    const std::array<SecretVector<FieldElement>, kWords>& rows, std::uint64_t x,
                    Share& out) noexcept {
  const std::size_t degree = rows[0].size();
  evaluate_two(rows[0].data(), rows[1].data(), degree, x, out.a, out.b);
  evaluate_two(rows[2].data(), rows[3].data(), degree, x, out.c, out.d);
  out.a = reduce_mod(out.a + words[0]);
  out.b = reduce_mod(out.b + words[1]);
  out.c = reduce_mod(out.c + words[2]);
  out.d = reduce_mod(out.d + words[3]);
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

Outcome<ShareList> shamir_split(std::span<const std::uint8_t> secret, std::uint64_t k,
                                std::uint64_t n, RandomWordSource draw) {
  if (secret.size() != kSecretSize) return ErrorMessage{"Secret must be exactly 32 bytes"};
  if (k < 2) return ErrorMessage{"Shamir split failed: k must be >= 2"};
  if (n < k) return ErrorMessage{"Shamir split failed: n must be >= k"};

  // Sizes of the reservations: each coefficient row, the text buffer and the offsets.
  const std::uint64_t degree = k - 1;
  const uint128 text_size = total_text_size(n);
  if (degree > kMaxBytes / sizeof(FieldElement) || text_size > kMaxBytes ||
      n > kMaxBytes / sizeof(std::size_t)) {
    internal_failure("capacity overflow");
  }

  // Everything is reserved before the first draw, so a reservation that fails costs no
  // randomness; the table is still complete before the first share is evaluated.
  std::array<SecretVector<FieldElement>, kWords> rows;
  for (auto& row : rows) row.reserve(static_cast<std::size_t>(degree));
  ShareList list;
  list.text_.resize(static_cast<std::size_t>(lo64(text_size)));
  list.ends_.reserve(static_cast<std::size_t>(n));

  SecretArray<FieldElement, kWords> words;
  for (std::size_t w = 0; w < kWords; ++w) words[w] = load_be64(secret.data() + 8 * w);

  for (auto& row : rows) {
    for (std::uint64_t j = 0; j < degree; ++j) row.push_back(random_field_element(draw));
  }

  SecretArray<Share, 1> current;
  char* out = list.text_.data();
  std::size_t offset = 0;
  for (std::uint64_t x = 1; x <= n; ++x) {
    current[0].index = x;
    evaluate_words(words, rows, x, current[0]);
    offset += format_share(current[0], out + offset);
    list.ends_.push_back(offset);
  }
  return list;
}

}  // namespace velkor::core
