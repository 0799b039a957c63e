// Shamir combining: read the first k share texts, interpolate each word at 0, lay the four
// words out big-endian.
#include "core/combine.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <new>
#include <string>
#include <utility>

#include "core/byte_order.hpp"
#include "core/interrupt_poll.hpp"
#include "core/scratch.hpp"
#include "core/wipe.hpp"

namespace velkor::core {
namespace {

constexpr std::size_t kWords = 4;

// Calls with at most this many shares keep their scratch arrays on the stack; larger ones take
// one heap block per array.
constexpr std::size_t kInlineShares = 16;

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

// Multiplies into `field` (weak) the differences xi − x for the `count` values x at `xs`, and
// flips `negative` (0 or 1) for each negative product. The caller picks `per_word` so that that
// many differences always multiply exactly into a signed 64-bit word (computed in unsigned
// arithmetic, which wraps to the same bits); only the word's magnitude (below 2^63) enters the
// field. Four words are built side by side and enter two field products in pairs (the exact
// product of two magnitudes is below 2^126), so that the multiplications overlap.
void multiply_differences(std::uint64_t xi, const std::uint64_t* xs, std::size_t count,
                          std::size_t per_word, uint128& field, std::uint64_t& negative) noexcept {
  using field_detail::mul_loose;
  using field_detail::mul_small_loose;
  const auto magnitude = [&negative](std::uint64_t word) {
    const std::uint64_t sign = 0U - (word >> 63);
    negative ^= sign & 1U;
    return (word ^ sign) - sign;
  };
  uint128 other = 1U;  // the second field product, used when a block of four words was
  std::size_t j = 0;
  for (; j + 4 * per_word <= count; j += 4 * per_word) {
    const std::uint64_t* const block = xs + j;
    std::uint64_t w0 = 1;
    std::uint64_t w1 = 1;
    std::uint64_t w2 = 1;
    std::uint64_t w3 = 1;
    for (std::size_t t = 0; t < per_word; ++t) {
      w0 *= xi - block[t];
      w1 *= xi - block[per_word + t];
      w2 *= xi - block[2 * per_word + t];
      w3 *= xi - block[3 * per_word + t];
    }
    field = mul_loose(field, mul_64x64(magnitude(w0), magnitude(w1)));
    other = mul_loose(other, mul_64x64(magnitude(w2), magnitude(w3)));
  }
  for (; j < count; j += per_word) {
    const std::size_t end = std::min(count, j + per_word);
    std::uint64_t w = 1;
    for (std::size_t t = j; t < end; ++t) w *= xi - xs[t];
    field = mul_small_loose(field, magnitude(w));
  }
  if (count >= 4 * per_word) field = mul_loose(field, other);
}

// divisors[i] = x_i · ∏_{m≠i} (x_i − x_m) mod P when every index is below 2^63, so that the
// differences are exact signed 64-bit integers. With w the bit width of the largest difference,
// any ⌊63 / w⌋ of them multiply exactly into one signed 64-bit word, which then enters the field:
// for indices 1 … 255 that is seven differences per field product. `span` is the largest index
// less the smallest. An equal pair of indices gives a zero difference, so both divisors come out
// 0. The rows are k differences each; `poll` is called between them, every few of them.
void small_index_divisors(const std::uint64_t* xs, std::size_t k, std::uint64_t span,
                          FieldElement* divisors, InterruptPoll poll) {
  const int width = std::max(1, static_cast<int>(std::bit_width(span)));
  const auto per_word = static_cast<std::size_t>(63 / width);
  PollCountdown rows(poll, items_per_poll(k));
  for (std::size_t i = 0; i < k; ++i) {
    rows.tick();
    const std::uint64_t xi = xs[i];
    uint128 field = xi;
    std::uint64_t negative = 0;
    multiply_differences(xi, xs, i, per_word, field, negative);
    multiply_differences(xi, xs + i + 1, k - 1 - i, per_word, field, negative);
    const FieldElement value = field_detail::canonical(field);
    // −value for an odd number of negative factors; 0 stays 0 (P − 0 ≡ 0 is folded back).
    divisors[i] = negative != 0 ? reduce_mod(kModulus - value) : value;
  }
}

// divisor i for any indices (canonical, non-zero, any size): the exact product of the row where
// it fits 64 bits, field products beyond. 0 for a divisor with an equal index.
FieldElement general_divisor(const FieldElement* xs, std::size_t k, std::size_t i) noexcept {
  PublicProduct magnitude;
  magnitude.multiply(xs[i]);
  bool negative = false;
  for (std::size_t m = 0; m < k; ++m) {
    if (m == i) continue;
    if (xs[m] == xs[i]) return 0U;
    if (xs[i] > xs[m]) {
      magnitude.multiply(xs[i] - xs[m]);
    } else {
      magnitude.multiply(xs[m] - xs[i]);
      negative = !negative;
    }
  }
  const FieldElement value = magnitude.value();  // non-zero: a product of non-zero values
  return negative ? kModulus - value : value;
}

// divisors[i] for any indices, by general_divisor; `poll` is called between the rows.
void general_divisors(const FieldElement* xs, std::size_t k, FieldElement* divisors,
                      InterruptPoll poll) {
  PollCountdown rows(poll, items_per_poll(k));
  for (std::size_t i = 0; i < k; ++i) {
    rows.tick();
    divisors[i] = general_divisor(xs, k, i);
  }
}

// The inverse of a public d with 2 <= d < 2^63 by the extended Euclidean algorithm: a few dozen
// word divisions instead of the 136 field operations of inv_mod. With P = q · d + r the
// algorithm runs on d and r, whose Bézout coefficients are exact 64-bit integers (of magnitude at
// most d); from u · d + v · r = 1 and r ≡ −q · d follows d^(−1) ≡ u − v · q, one field product.
FieldElement inverse_of_word(std::uint64_t d) noexcept {
  const DivMod64 first = divmod_u64(kModulus, d);
  // a = ua · d + va · r and b = ub · d + vb · r, the coefficients in unsigned words that wrap to
  // the bits of the signed values.
  std::uint64_t a = d;
  std::uint64_t b = first.remainder;  // 1 … d − 1: the prime P has no divisor d
  std::uint64_t ua = 1;
  std::uint64_t va = 0;
  std::uint64_t ub = 0;
  std::uint64_t vb = 1;
  while (b != 1) {  // the remainders end in gcd(d, r) = gcd(d, P) = 1
    const std::uint64_t q = a / b;
    const std::uint64_t next = a - q * b;
    const std::uint64_t u = ua - q * ub;
    const std::uint64_t v = va - q * vb;
    a = b;
    b = next;
    ua = ub;
    ub = u;
    va = vb;
    vb = v;
  }
  // ub and vb have opposite signs (or ub = 0 and vb = 1), so u − v · q is ±(|u| + |v| · q),
  // negative exactly when v is positive; it is not 0, and |u| < 2^63 keeps the sum below 2^128.
  const std::uint64_t v_sign = 0U - (vb >> 63);
  const std::uint64_t u_sign = 0U - (ub >> 63);
  const uint128 sum = field_detail::mul_small_loose(first.quotient, (vb ^ v_sign) - v_sign) +
                      ((ub ^ u_sign) - u_sign);
  const FieldElement magnitude = field_detail::canonical(field_detail::fold(sum));
  return v_sign != 0 ? magnitude : kModulus - magnitude;
}

// The inverse of a public field value (0 … P − 1; 0 gives 0). A value or a negated value below
// 2^63 takes the Euclidean way; the rest take inv_mod.
FieldElement public_inverse(FieldElement v) noexcept {
  if (v == 0U || v == 1U) return v;
  if (hi64(v) == 0 && lo64(v) >> 63 == 0) return inverse_of_word(lo64(v));
  const FieldElement negated = kModulus - v;
  if (hi64(negated) == 0 && lo64(negated) >> 63 == 0) {
    if (negated == 1U) return v;  // (−1)^(−1) = −1
    return kModulus - inverse_of_word(lo64(negated));
  }
  return inv_mod(v);
}

// Whether every divisor x_i · ∏_{m≠i} (x_i − x_m) of k indices (non-zero, below 2^63, the largest
// `high`, the smallest `low`) is an exact signed 64-bit integer: its magnitude is below 2^63 when
// the bit widths of one factor up to `high` and k − 1 factors up to high − low add up to 63 or
// less.
bool exact_divisors(std::size_t k, std::uint64_t low, std::uint64_t high) noexcept {
  return k <= 64 && static_cast<std::size_t>(std::bit_width(high)) +
                            (k - 1) * static_cast<std::size_t>(std::bit_width(high - low)) <=
                        63;
}

// The weights scale / divisor_i when exact_divisors holds for the k indices at `xs`. Instead of
// one inversion of the product of all divisors mod P, the divisors are taken in runs whose exact
// product R stays below 2^63, and each run's R is inverted by inverse_of_word. Then weight i is
// ±(scale / R) · (R / |divisor_i|), and R / |divisor_i| is the exact product of the run's other
// divisors: those before i times those after i. A divisor of 0 (an equal index) gives the weight
// 0 and stays out of the runs. `poll` is called between the rows of the divisors, every few of
// them.
void exact_weights(const std::uint64_t* xs, std::size_t k, FieldElement scale,
                   FieldElement* weights, InterruptPoll poll) {
  std::size_t first = 0;  // the current run's first share
  std::uint64_t run = 1;  // the exact product of the magnitudes of its divisors
  // Until its run ends, weights[j] holds the product of the magnitudes before j in the run (high
  // half) and divisor j as a signed word (low half).
  const auto end_run = [&](std::size_t end) {
    const FieldElement per_run = run == 1 ? scale : mul_mod(scale, inverse_of_word(run));
    std::uint64_t after = 1;
    for (std::size_t j = end; j-- > first;) {
      const std::uint64_t divisor = lo64(weights[j]);
      if (divisor == 0) continue;  // weight 0, already in place
      const std::uint64_t sign = 0U - (divisor >> 63);
      const FieldElement value =  // not 0: a product of non-zero values below P
          field_detail::canonical(field_detail::mul_small_loose(per_run, hi64(weights[j]) * after));
      weights[j] = sign != 0 ? kModulus - value : value;
      after *= (divisor ^ sign) - sign;
    }
  };
  PollCountdown rows(poll, items_per_poll(k));
  for (std::size_t i = 0; i < k; ++i) {
    rows.tick();
    const std::uint64_t xi = xs[i];
    // Exact as a signed product (exact_divisors); unsigned words wrap to the same bits.
    std::uint64_t divisor = xi;
    for (std::size_t m = 0; m < i; ++m) divisor *= xi - xs[m];
    for (std::size_t m = i + 1; m < k; ++m) divisor *= xi - xs[m];
    if (divisor == 0) {
      weights[i] = 0U;
      continue;
    }
    const std::uint64_t sign = 0U - (divisor >> 63);
    const std::uint64_t magnitude = (divisor ^ sign) - sign;
    uint128 grown = mul_64x64(run, magnitude);
    if (hi64(grown) != 0 || lo64(grown) >> 63 != 0) {
      end_run(i);
      first = i;
      run = 1;
      grown = magnitude;
    }
    weights[i] = make_u128(run, divisor);
    run = lo64(grown);
  }
  end_run(k);
}

// The weights of two shares with indices x0 and x1 (canonical): x1 / (x1 − x0) and, since the
// weights add up to 1, one minus it. An index ≡ 0 needs no rule of its own here: x0 = 0 gets
// x1 / x1 = 1, and x1 = 0 gets 0 (the other one 1). Equal indices (0 included) give two weights
// 0.
void two_weights(FieldElement x0, FieldElement x1, FieldElement* weights) noexcept {
  const FieldElement difference = x1 >= x0 ? x1 - x0 : x1 + (kModulus - x0);  // 0 … P − 1
  if (difference == 0U) {
    weights[0] = 0U;
    weights[1] = 0U;
    return;
  }
  const FieldElement first = mul_mod(x1, public_inverse(difference));
  weights[0] = first;
  weights[1] = reduce_mod(kModulus + 1U - first);  // 2 … P + 1 before the reduction
}

// The Lagrange weights at 0 of the indices of the k shares, written to `weights`. See
// lagrange_weights_at_zero for the definition. The work is quadratic in k: `poll` is called
// between the rows of the divisors.
void weights_into(const Share* shares, std::size_t k, FieldElement* weights, InterruptPoll poll) {
  if (k == 0) return;  // no shares: the value at 0 of no polynomial is 0
  if (k == 2) {
    two_weights(reduce_mod(shares[0].index), reduce_mod(shares[1].index), weights);
    return;
  }
  Scratch<FieldElement, kInlineShares, false> scratch(k);
  FieldElement* const xs = scratch.data();
  std::size_t zeros = 0;
  std::size_t zero_at = 0;
  bool small = true;
  for (std::size_t i = 0; i < k; ++i) {
    xs[i] = reduce_mod(shares[i].index);
    if (xs[i] == 0U) {
      ++zeros;
      zero_at = i;
    }
    small &= hi64(xs[i]) == 0 && lo64(xs[i]) >> 63 == 0;
  }
  // An index ≡ 0 puts the factor −0 into the numerator of every other share, so their weights
  // vanish. A lone one has numerator and denominator both ∏ (−x_m): weight 1. Two or more also
  // make each other's denominators 0, so every weight is 0.
  if (zeros != 0) {
    for (std::size_t i = 0; i < k; ++i) weights[i] = 0U;
    if (zeros == 1) weights[zero_at] = 1U;
    return;
  }

  // With every x_i ≠ 0, ∏_{m≠i} (−x_m) = (−1)^(k−1) · X / x_i where X = ∏ x_m, so
  // weight i = scale / divisor_i with scale = (−1)^(k−1) · X and divisor_i = x_i · den_i. A
  // divisor of 0 (den_i = 0: an equal index) gives the weight 0.
  PublicProduct all;
  for (std::size_t i = 0; i < k; ++i) all.multiply(xs[i]);
  const FieldElement x_product = all.value();
  const FieldElement scale = (k - 1) % 2 == 0 ? x_product : kModulus - x_product;
  // The divisors go to `weights` first. They are inverted together (Montgomery's trick): one
  // inversion and 3 (k − 1) multiplications; exact ones are taken in runs by exact_weights.
  FieldElement* const divisors = weights;
  if (small) {
    Scratch<std::uint64_t, kInlineShares, false> narrow(k);
    std::uint64_t low = ~std::uint64_t{0};
    std::uint64_t high = 0;
    for (std::size_t i = 0; i < k; ++i) {
      narrow[i] = lo64(xs[i]);
      low = std::min(low, narrow[i]);
      high = std::max(high, narrow[i]);
    }
    if (exact_divisors(k, low, high)) {
      exact_weights(narrow.data(), k, scale, weights, poll);
      return;
    }
    small_index_divisors(narrow.data(), k, high - low, divisors, poll);
  } else {
    general_divisors(xs, k, divisors, poll);
  }

  // prefix[i] = product of the live divisors 0 … i, in place of xs. The values are public, so
  // a product with 1 (no live divisor yet) is skipped by a branch.
  FieldElement* const prefix = xs;
  FieldElement running = 1U;
  for (std::size_t i = 0; i < k; ++i) {
    if (divisors[i] != 0U) running = running == 1U ? divisors[i] : mul_mod(running, divisors[i]);
    prefix[i] = running;
  }
  // scale / (product of all live divisors); each step below takes one divisor out of it.
  FieldElement inverse = mul_mod(public_inverse(running), scale);
  for (std::size_t i = k; i-- > 0;) {
    const FieldElement divisor = divisors[i];
    if (divisor == 0U) continue;  // weight 0, already in place
    const FieldElement before = i == 0 ? FieldElement{1U} : prefix[i - 1];
    weights[i] = before == 1U ? inverse : mul_mod(inverse, before);  // scale / divisor i
    if (i != 0) inverse = mul_mod(inverse, divisor);
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
  weights_into(shares.data(), k, weights.data(), nullptr);
  return weights;
}

namespace {

// Σ word(share i) · weight i mod P for one of the four words. The products are summed exactly,
// by 64-bit columns: the four 64 × 64-bit partial products of a value (any 128-bit value) and a
// weight (canonical) put their halves into the columns of 2^0, 2^64, 2^128 and 2^192, each
// summed in a 128-bit integer (at most 3k terms below 2^64, and k is below 2^57: each column stays
// below 2^123), and the columns are reduced once at the end. No fold between the terms, and no
// branch or memory index on the values.
FieldElement weighted_sum(const Share* shares, const FieldElement* weights, std::size_t k,
                          uint128 Share::* word) noexcept {
  using field_detail::fold;
  // A column as two words: a 64-bit add and the carry into the high word. (Held as 128-bit
  // integers, GCC kept the columns on the stack and cleared a word there for every add.)
  struct Column {
    std::uint64_t lo = 0;
    std::uint64_t hi = 0;
    void add(std::uint64_t x) noexcept {
      std::uint64_t carry = 0;
      lo = field_detail::add_carry(lo, x, carry);
      hi += carry;
    }
    [[nodiscard]] uint128 value() const noexcept { return make_u128(hi, lo); }
  };
  Column c0;
  Column c1;
  Column c2;
  Column c3;
  for (std::size_t i = 0; i < k; ++i) {
    const uint128 value = shares[i].*word;
    const std::uint64_t v0 = lo64(value);
    const std::uint64_t v1 = hi64(value);
    const std::uint64_t w0 = lo64(weights[i]);
    const std::uint64_t w1 = hi64(weights[i]);
    const uint128 p00 = mul_64x64(v0, w0);
    const uint128 p01 = mul_64x64(v0, w1);
    const uint128 p10 = mul_64x64(v1, w0);
    const uint128 p11 = mul_64x64(v1, w1);
    c0.add(lo64(p00));
    c1.add(hi64(p00));
    c1.add(lo64(p01));
    c1.add(lo64(p10));
    c2.add(hi64(p01));
    c2.add(hi64(p10));
    c2.add(lo64(p11));
    c3.add(hi64(p11));
  }
  // With 2^128 ≡ 2 (mod P) the sum is ≡ low + high · 2^64, where low = c0 + 2 c2 and
  // high = c1 + 2 c3 are below 2^125; high · 2^64 splits into lo(high) · 2^64, folded, and
  // hi(high) · 2^128 ≡ 2 hi(high). The total stays below 2^127 + 2^126, and one fold makes it
  // weak.
  const uint128 low = c0.value() + (c2.value() << 1);
  const uint128 high = c1.value() + (c3.value() << 1);
  const uint128 total = fold(make_u128(lo64(high), 0)) + low + (uint128{hi64(high)} << 1);
  return field_detail::canonical(fold(total));
}

// The four sums of weighted_sum, word a … d.
void weighted_sums(const Share* shares, const FieldElement* weights, std::size_t k,
                   FieldElement* sums) noexcept {
  sums[0] = weighted_sum(shares, weights, k, &Share::a);
  sums[1] = weighted_sum(shares, weights, k, &Share::b);
  sums[2] = weighted_sum(shares, weights, k, &Share::c);
  sums[3] = weighted_sum(shares, weights, k, &Share::d);
}

}  // namespace

FieldElement interpolate_at_zero(std::span<const Share> shares, int word) {
  const std::vector<FieldElement> weights = lagrange_weights_at_zero(shares);
  SecretArray<FieldElement, kWords> sums;
  weighted_sums(shares.data(), weights.data(), shares.size(), sums.data());
  return sums[static_cast<std::size_t>(word)];
}

Outcome<RecoveredSecret> shamir_combine(std::span<const std::string_view> shares, std::uint64_t k,
                                        InterruptPoll poll) {
  if (shares.size() < k) {
    SecretString message = "Shamir combine failed: Need at least ";
    message += std::to_string(k);
    message += " shares";
    return ErrorMessage{std::move(message)};
  }
  const auto count = static_cast<std::size_t>(k);  // at most shares.size()
  // More shares than one block can hold cannot be had (only the split's reservations are
  // capacity overflows).
  if (count > PTRDIFF_MAX / sizeof(Share)) throw std::bad_alloc();

  Scratch<Share, kInlineShares, true> parsed(count);
  PollCountdown reading(poll, items_per_poll(kShareSteps));
  for (std::size_t i = 0; i < count; ++i) {
    reading.tick();
    Share& share = parsed[i];
    const ShareTextError error = parse_share_into(shares[i], share);
    if (error != ShareTextError::kNone) {
      // The failed share may hold values too; the scratch wipes all `count` entries. The
      // message may quote the text and is wiping storage like it.
      SecretString message = share_text_error_message(error, shares[i]);
      message.insert(0, "Shamir combine failed: ");
      return ErrorMessage{std::move(message)};
    }
  }

  Scratch<FieldElement, kInlineShares, false> weights(count);
  weights_into(parsed.data(), count, weights.data(), poll);
  SecretArray<FieldElement, kWords> sums;
  weighted_sums(parsed.data(), weights.data(), count, sums.data());

  RecoveredSecret secret;
  for (std::size_t j = 0; j < kWords; ++j) {
    store_be64(secret.data() + 8 * j, lo64(sums[j]));  // higher bits are dropped
  }
  return secret;
}

}  // namespace velkor::core
