// Shamir combining: read the first k share texts, interpolate each word at 0, lay the four
// words out big-endian.
#include "core/combine.hpp"

#include <algorithm>
#include <bit>
#include <string>

#include "core/internal_failure.hpp"
#include "core/wipe.hpp"

namespace velkor::core {
namespace {

constexpr std::size_t kWords = 4;

// Product of public field values in which factors below 2^64 are first multiplied exactly into a
// 64-bit integer, and only passed to the field when that integer would overflow. With small
// indices (1 … n) most factors cost one machine multiplication instead of a field product.
class PublicProduct {
 public:
  void multiply(uint128 factor) noexcept {
    if (hi64(factor) == 0) {
      const uint128 wide = mul_64x64(small_, lo64(factor));
      if (hi64(wide) == 0) {
        small_ = lo64(wide);
        return;
      }
      field_ = field_detail::mul_small_loose(field_, small_);
      small_ = lo64(factor);
    } else {
      field_ = field_detail::mul_loose(field_, field_detail::fold(factor));
    }
  }
  // The product mod P, 0 … P − 1.
  [[nodiscard]] FieldElement value() const noexcept {
    return field_detail::canonical(field_detail::mul_small_loose(field_, small_));
  }

 private:
  uint128 field_ = 1U;  // loose
  std::uint64_t small_ = 1;
};

// divisors[i] = x_i · ∏_{m≠i} (x_i − x_m) mod P when every index is below 2^63, so that the
// differences are exact 64-bit integers. With w the bit width of the largest difference, any
// ⌊64 / w⌋ of them multiply exactly into one 64-bit word, which then enters the field: for
// indices 1 … 255 that is eight differences per field product, on a fixed, predictable schedule.
void small_index_divisors(const std::vector<FieldElement>& xs, std::vector<FieldElement>& divisors,
                          std::vector<char>& live) noexcept {
  const std::size_t k = xs.size();
  const auto [low, high] = std::minmax_element(xs.begin(), xs.end());
  const std::uint64_t span = lo64(*high) - lo64(*low);
  const int width = std::max(1, static_cast<int>(std::bit_width(span)));
  const int per_word = 64 / width;
  for (std::size_t i = 0; i < k; ++i) {
    const std::uint64_t xi = lo64(xs[i]);
    uint128 field = xi;
    std::uint64_t word = 1;
    int in_word = 0;
    bool negative = false;
    for (std::size_t m = 0; m < k; ++m) {
      const std::uint64_t xm = lo64(xs[m]);
      if (m == i) continue;
      if (xm == xi) {
        live[i] = 0;
        break;
      }
      negative ^= xi < xm;
      word *= xi > xm ? xi - xm : xm - xi;
      if (++in_word == per_word) {
        field = field_detail::mul_small_loose(field, word);
        word = 1;
        in_word = 0;
      }
    }
    const FieldElement value = field_detail::canonical(field_detail::mul_small_loose(field, word));
    divisors[i] = negative ? kModulus - value : value;
  }
}

const uint128& word_of(const Share& share, std::size_t word) noexcept {
  switch (word) {
    case 0:
      return share.a;
    case 1:
      return share.b;
    case 2:
      return share.c;
    default:
      return share.d;
  }
}

}  // namespace

RecoveredSecret::RecoveredSecret(RecoveredSecret&& other) noexcept : bytes_(other.bytes_) {
  secure_wipe(other.bytes_.data(), kSize);
}

RecoveredSecret& RecoveredSecret::operator=(RecoveredSecret&& other) noexcept {
  if (this != &other) {
    bytes_ = other.bytes_;
    secure_wipe(other.bytes_.data(), kSize);
  }
  return *this;
}

RecoveredSecret::~RecoveredSecret() {
  secure_wipe(bytes_.data(), kSize);
}

std::vector<FieldElement> lagrange_weights_at_zero(std::span<const Share> shares) {
  const std::size_t k = shares.size();
  std::vector<FieldElement> weights(k, FieldElement{0U});
  if (k == 0) return weights;  // no shares: the value at 0 of no polynomial is 0
  std::vector<FieldElement> xs(k);
  std::size_t zeros = 0;
  std::size_t zero_at = 0;
  for (std::size_t i = 0; i < k; ++i) {
    xs[i] = reduce_mod(shares[i].index);
    if (xs[i] == 0U) {
      ++zeros;
      zero_at = i;
    }
  }
  // An index ≡ 0 puts the factor −0 into the numerator of every other share, so their weights
  // vanish. A lone one has numerator and denominator both ∏ (−x_m): weight 1. Two or more also
  // make each other's denominators 0, so every weight is 0.
  if (zeros != 0) {
    if (zeros == 1) weights[zero_at] = 1U;
    return weights;
  }

  // With every x_i ≠ 0, ∏_{m≠i} (−x_m) = (−1)^(k−1) · X / x_i where X = ∏ x_m, so
  // weight i = (−1)^(k−1) · X / (x_i · den_i). The k divisors are inverted together
  // (Montgomery's trick): one inversion and 3 (k − 1) multiplications.
  std::vector<FieldElement> divisors(k);
  std::vector<char> live(k, 1);  // 0: den_i = 0, and inv_mod(0) = 0 makes the weight 0
  PublicProduct all;
  for (std::size_t i = 0; i < k; ++i) all.multiply(xs[i]);
  if (std::all_of(xs.begin(), xs.end(),
                  [](FieldElement x) { return hi64(x) == 0 && lo64(x) >> 63 == 0; })) {
    small_index_divisors(xs, divisors, live);
  } else {
    for (std::size_t i = 0; i < k; ++i) {
      PublicProduct magnitude;
      magnitude.multiply(xs[i]);
      bool negative = false;
      for (std::size_t m = 0; m < k; ++m) {
        if (m == i) continue;
        if (xs[m] == xs[i]) {
          live[i] = 0;
          break;
        }
        if (xs[i] > xs[m]) {
          magnitude.multiply(xs[i] - xs[m]);
        } else {
          magnitude.multiply(xs[m] - xs[i]);
          negative = !negative;
        }
      }
      const FieldElement value = magnitude.value();  // non-zero: a product of non-zero values
      divisors[i] = negative ? kModulus - value : value;
    }
  }

  // prefix[i] = product of the live divisors 0 … i.
  std::vector<FieldElement> prefix(k);
  FieldElement running = 1U;
  for (std::size_t i = 0; i < k; ++i) {
    if (live[i] != 0) running = mul_mod(running, divisors[i]);
    prefix[i] = running;
  }
  FieldElement inverse = inv_mod(running);  // of the product of all live divisors
  const FieldElement x_product = all.value();
  const FieldElement scale = (k - 1) % 2 == 0 ? x_product : kModulus - x_product;
  for (std::size_t i = k; i-- > 0;) {
    if (live[i] == 0) continue;
    const FieldElement before = i == 0 ? FieldElement{1U} : prefix[i - 1];
    weights[i] = mul_mod(scale, mul_mod(inverse, before));  // scale / divisor i
    inverse = mul_mod(inverse, divisors[i]);
  }
  return weights;
}

FieldElement interpolate_at_zero(std::span<const Share> shares, int word) {
  const std::vector<FieldElement> weights = lagrange_weights_at_zero(shares);
  FieldElement sum = 0U;
  for (std::size_t i = 0; i < shares.size(); ++i) {
    sum = add_mod(mul_mod(word_of(shares[i], static_cast<std::size_t>(word)), weights[i]), sum);
  }
  return sum;
}

Outcome<RecoveredSecret> shamir_combine(std::span<const std::string_view> shares, std::uint64_t k) {
  if (shares.size() < k) {
    return ErrorMessage{"Shamir combine failed: Need at least " + std::to_string(k) + " shares"};
  }
  const auto count = static_cast<std::size_t>(k);  // at most shares.size()
  if (count > PTRDIFF_MAX / sizeof(Share)) internal_failure("capacity overflow");

  SecretVector<Share> parsed;
  parsed.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    Share& share = parsed.emplace_back();
    const ShareTextError error = parse_share_into(shares[i], share);
    if (error != ShareTextError::kNone) {
      return ErrorMessage{"Shamir combine failed: " + share_text_error_message(error, shares[i])};
    }
  }

  const std::vector<FieldElement> weights = lagrange_weights_at_zero(parsed);
  SecretArray<FieldElement, kWords> sums;
  for (std::size_t i = 0; i < count; ++i) {
    const Share& share = parsed[i];
    sums[0] = add_mod(mul_mod(share.a, weights[i]), sums[0]);
    sums[1] = add_mod(mul_mod(share.b, weights[i]), sums[1]);
    sums[2] = add_mod(mul_mod(share.c, weights[i]), sums[2]);
    sums[3] = add_mod(mul_mod(share.d, weights[i]), sums[3]);
  }

  RecoveredSecret secret;
  std::uint8_t* out = secret.data();
  for (std::size_t j = 0; j < kWords; ++j) {
    const std::uint64_t word = lo64(sums[j]);  // higher bits are dropped
    for (int b = 0; b < 8; ++b)
      out[8 * j + static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(word >> (56 - 8 * b));
  }
  return secret;
}

}  // namespace velkor::core
