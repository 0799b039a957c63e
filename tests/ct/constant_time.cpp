// Constant-time check of the core, run under valgrind's memcheck.
//
// Memcheck tracks for every bit whether it is defined, and reports a conditional jump or a
// memory address that depends on an undefined bit. Marking the secret inputs undefined
// (VALGRIND_MAKE_MEM_UNDEFINED) therefore turns every branch and every table index on a secret
// into a memcheck error, wherever it happens: in the core, in code inlined from its headers or in
// a library function. Results are marked defined again only where they are released on purpose:
// to compare them with independently computed values, which shows that the code under test
// really computed them (a check of code that was optimised away would prove nothing).
//
// Memcheck does not report conditional moves (their result just becomes undefined), nor
// differences in the running time of an instruction itself: this check catches the secret-
// dependent control flow and memory access that the compiler leaves in the optimised code.
//
//   velkor_ct core          every field operation, polynomial evaluation, share writing,
//                           interpolation, the whole split, and the reading of valid share texts
//                           and the whole combine from them, on secrets: no memcheck error
//   velkor_ct branchy-mul   the reference double-and-add multiplication, which branches on the
//                           bits of its second operand: memcheck must report errors
//   velkor_ct table-hex     hexadecimal digits looked up in a table by secret nibbles: memcheck
//                           must report errors
//   velkor_ct plain-reader  share texts cut at their colons and read digit by digit, each looked
//                           up in a table, stopping at the first bad one: memcheck must report
//                           errors
//
// The last three show that the check can fail.
//
// Share texts are read with their value bytes (everything after the index but the colons)
// marked secret. The reader tells the check, through its declassify hook (core/declassify.hpp,
// active in this build only), which values it branches on on purpose: where the text is cut and
// whether each piece reads. Anything else that depends on a value byte is reported. Each mode
// prints "results correct" when every released result matched; it refuses to run outside valgrind,
// where it would prove nothing.
#include <valgrind/memcheck.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/combine.hpp"
#include "core/field.hpp"
#include "core/share_text.hpp"
#include "core/split.hpp"
#include "field_oracle.hpp"

namespace {

namespace core = velkor::core;
namespace oracle = velkor::oracle;
using core::uint128;
using oracle::u128;

// ---------------------------------------------------------------------------------------------
// Marking and checking

template <class T>
void make_secret(T& value) {
  VALGRIND_MAKE_MEM_UNDEFINED(&value, sizeof value);
}

template <class T>
void make_secret_range(std::span<T> values) {
  VALGRIND_MAKE_MEM_UNDEFINED(values.data(), values.size_bytes());
}

template <class T>
void release(T& value) {
  VALGRIND_MAKE_MEM_DEFINED(&value, sizeof value);
}

void release_text(std::string_view text) {
  VALGRIND_MAKE_MEM_DEFINED(text.data(), text.size());
}

std::size_t g_checked = 0;
std::size_t g_wrong = 0;

void expect(bool ok, const char* what) {
  ++g_checked;
  if (!ok) {
    if (g_wrong < 20) std::printf("wrong result: %s\n", what);
    ++g_wrong;
  }
}

// Memcheck errors reported so far.
unsigned errors_so_far() {
  return static_cast<unsigned>(VALGRIND_COUNT_ERRORS);
}

// Runs one group of checks and prints how many memcheck errors it caused.
template <class F>
void section(const char* name, F&& body) {
  const unsigned before = errors_so_far();
  body();
  std::printf("%-28s %u memcheck errors\n", name, errors_so_far() - before);
}

uint128 to_core(u128 v) {
  return oracle::from_native(v);
}
u128 to_native(uint128 v) {
  return oracle::to_native(v);
}

constexpr u128 kP = oracle::kP;
constexpr u128 kTwo64 = static_cast<u128>(1) << 64;
constexpr u128 kTwo127 = static_cast<u128>(1) << 127;
constexpr u128 kMax128 = ~static_cast<u128>(0);

// Operands at the edges of the reductions (0, P, 2^127, 2P, 2^128 − 1, the limb boundary) and
// two without structure. Memcheck follows definedness, not values, so a handful is enough; the
// edges make the comparisons with the reference meaningful.
const std::array<u128, 12> kOperands = {
    0,
    1,
    2,
    kP - 1,
    kP,
    kP + 1,
    kTwo127 + 1,
    2 * kP,
    kMax128,
    kTwo64 - 1,
    (static_cast<u128>(0x0123456789abcdefU) << 64) | 0xfedcba98U,
    (static_cast<u128>(0x5a5a5a5a00ff00ffU) << 64) | 0xc3U};

// Deterministic 64-bit words (splitmix64) for coefficients and secrets.
struct WordStream {
  std::uint64_t state;
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15U);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9U;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebU;
    return z ^ (z >> 31);
  }
  u128 below_p() { return ((static_cast<u128>(next()) << 64) | next()) % kP; }
};

// ---------------------------------------------------------------------------------------------
// The core on secrets

void check_field_operations() {
  for (const u128 a : kOperands) {
    uint128 sa = to_core(a);
    make_secret(sa);

    uint128 reduced = core::reduce_mod(sa);
    uint128 negated = core::neg_mod(sa);
    uint128 inverse = core::inv_mod(sa);
    release(reduced);
    release(negated);
    release(inverse);
    expect(to_native(reduced) == oracle::reduce_mod(a), "reduce_mod");
    expect(to_native(negated) == oracle::neg_mod(a), "neg_mod");
    expect(
        oracle::mul_mod(to_native(inverse), a) == (oracle::reduce_mod(a) == 0 ? u128{0} : u128{1}),
        "inv_mod");

    // Secret base, public exponent: the exponent's bits may steer the sequence of operations.
    for (const u128 e : {u128{0}, u128{1}, u128{2}, u128{3}, kP - 2, kP - 1, kMax128}) {
      uint128 power = core::pow_mod(sa, to_core(e));
      release(power);
      expect(to_native(power) == oracle::pow_mod(oracle::reduce_mod(a), e), "pow_mod");
    }

    // Both operands secret at once: a branch on either of them is reported.
    for (const u128 b : kOperands) {
      uint128 sb = to_core(b);
      make_secret(sb);
      uint128 product = core::mul_mod(sa, sb);
      uint128 difference = core::sub_mod(sa, sb);
      release(product);
      release(difference);
      expect(to_native(product) == oracle::mul_mod(a, b), "mul_mod");
      expect(to_native(difference) == oracle::sub_mod(a, b), "sub_mod");
      if (a + b >= a) {  // add_mod's operands must not overflow 128 bits
        uint128 sum = core::add_mod(sa, sb);
        release(sum);
        expect(to_native(sum) == oracle::add_mod(a, b), "add_mod");
      }
    }
  }
}

void check_polynomial_evaluation() {
  WordStream words{1};
  for (const std::size_t length : {0U, 1U, 2U, 5U}) {
    for (const std::uint64_t x :
         {std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{255}, ~std::uint64_t{0}}) {
      const u128 s = words.below_p();
      std::vector<u128> coefficients(length);
      for (u128& c : coefficients) c = words.below_p();

      uint128 secret_word = to_core(s);
      std::vector<uint128> row;
      for (const u128 c : coefficients) row.push_back(to_core(c));
      make_secret(secret_word);
      make_secret_range(std::span<uint128>(row));

      uint128 y = core::evaluate_polynomial(secret_word, row, x);
      release(y);
      expect(to_native(y) == oracle::evaluate_polynomial(s, coefficients, x),
             "evaluate_polynomial");
    }
  }
}

void check_share_writing() {
  for (const u128 index : {u128{1}, u128{12345}, kMax128}) {
    for (std::size_t i = 0; i + 4 <= kOperands.size(); ++i) {
      core::Share share{to_core(index), to_core(kOperands[i]), to_core(kOperands[i + 1]),
                        to_core(kOperands[i + 2]), to_core(kOperands[i + 3])};
      make_secret(share.a);
      make_secret(share.b);
      make_secret(share.c);
      make_secret(share.d);

      std::array<char, core::kMaxShareTextSize> buffer{};
      const std::size_t length = core::format_share(share, buffer.data());
      const core::SecretString text = core::format_share(share);
      const std::string_view written(buffer.data(), length);
      release_text(written);
      release_text(text);
      expect(written == std::string_view(text), "format_share: both forms agree");

      // Read back (defined input: reading may branch): the values must be the ones written.
      const auto parsed = core::parse_share(written);
      expect(parsed.ok(), "format_share: text reads back");
      if (!parsed.ok()) continue;
      const core::Share& back = parsed.value();
      expect(to_native(back.index) == index && to_native(back.a) == kOperands[i] &&
                 to_native(back.b) == kOperands[i + 1] && to_native(back.c) == kOperands[i + 2] &&
                 to_native(back.d) == kOperands[i + 3],
             "format_share: values read back");
    }
  }
}

// Interpolation with public indices and secret values, as combining does it once the texts are
// read: the weights come from the indices alone and must stay defined.
void check_interpolation() {
  WordStream words{2};
  std::vector<std::vector<u128>> index_sets = {
      {1, 2},                            // the smallest threshold
      {7, 2, 9, 4, 11},                  // small indices in any order
      {kTwo64 + 3, 5, kP - 1, kMax128},  // large and non-canonical indices
      {4, 4, 6},                         // equal indices: their weights are 0
      {0, 3, 8},                         // an index ≡ 0 gets weight 1, the others 0
  };
  // More shares than combining keeps in its fixed buffers.
  index_sets.emplace_back();
  for (u128 x = 1; x <= 20; ++x) index_sets.back().push_back(3 * x);
  for (const std::vector<u128>& indices : index_sets) {
    // Any values will do (combining trusts its input); values of P and more are allowed too.
    std::vector<std::array<u128, 4>> values(indices.size());
    for (auto& v : values)
      v = {words.below_p(), words.below_p(), kP + words.below_p() % 9, kMax128};

    std::vector<core::Share> shares;
    for (std::size_t i = 0; i < indices.size(); ++i) {
      shares.push_back({to_core(indices[i]), to_core(values[i][0]), to_core(values[i][1]),
                        to_core(values[i][2]), to_core(values[i][3])});
      make_secret(shares.back().a);
      make_secret(shares.back().b);
      make_secret(shares.back().c);
      make_secret(shares.back().d);
    }

    const std::vector<uint128> weights = core::lagrange_weights_at_zero(shares);
    for (const uint128& weight : weights) {
      // Reports an error if a share value found its way into a weight.
      (void)VALGRIND_CHECK_VALUE_IS_DEFINED(weight);
    }

    for (int word = 0; word < 4; ++word) {
      uint128 value = core::interpolate_at_zero(shares, word);
      release(value);
      std::vector<oracle::Point> points;
      for (std::size_t i = 0; i < indices.size(); ++i) {
        points.push_back({indices[i], values[i][static_cast<std::size_t>(word)]});
      }
      expect(to_native(value) == oracle::interpolate_at_zero(points), "interpolate_at_zero");
    }
  }
}

// The source of the split's coefficients: deterministic words, each handed over undefined.
WordStream g_draws{3};
std::size_t g_draw_count = 0;

std::uint64_t secret_draw() {
  std::uint64_t word = g_draws.next();
  ++g_draw_count;
  make_secret(word);
  return word;
}

// The whole split (coefficients drawn, four polynomials evaluated, texts written) with a secret
// key and secret coefficients. The texts are then released and combined back, which shows they
// hold the key; combining parses its input, so it runs on the released (defined) texts.
void check_split() {
  WordStream key_words{4};
  // Up to a threshold above what splitting keeps on the stack, and an index of three digits.
  const std::array<std::array<std::uint64_t, 2>, 5> shapes = {
      {{2, 2}, {3, 5}, {5, 12}, {2, 101}, {20, 23}}};
  for (const auto& [k, n] : shapes) {
    std::array<std::uint8_t, 32> key{};
    for (std::uint8_t& byte : key) byte = static_cast<std::uint8_t>(key_words.next());
    std::array<std::uint8_t, 32> secret_key = key;
    make_secret(secret_key);

    const std::size_t draws_before = g_draw_count;
    auto split = core::shamir_split(secret_key, k, n, secret_draw);
    expect(split.ok(), "shamir_split succeeds");
    if (!split.ok()) continue;
    const core::ShareList& list = split.value();
    expect(g_draw_count - draws_before == 8 * (k - 1), "shamir_split: 8 (k - 1) draws");
    expect(list.size() == n, "shamir_split: n shares");

    std::vector<std::string_view> texts;
    for (std::size_t i = 0; i < list.size(); ++i) {
      release_text(list[i]);
      texts.push_back(list[i]);
    }
    // The last k shares, so that an index of two or three digits takes part when there is one.
    const auto chosen = std::span<const std::string_view>(texts).last(static_cast<std::size_t>(k));
    auto combined = core::shamir_combine(chosen, k);
    expect(combined.ok(), "shamir_combine succeeds");
    if (!combined.ok()) continue;
    const auto bytes = combined.value().bytes();
    expect(std::equal(bytes.begin(), bytes.end(), key.begin()), "split then combine: the key");
  }
}

// The value bytes of a share text (everything after the index except the colons) marked secret.
// The index and the places of the colons are public.
void make_text_secret(std::string& text) {
  for (std::size_t i = text.find(':'); i < text.size(); ++i) {
    if (text[i] != ':') VALGRIND_MAKE_MEM_UNDEFINED(&text[i], 1);
  }
}

// The forms of a share text the reader accepts besides the writer's own, from the writer's text.
enum class TextForm { kCanonical, kUpperCase, kShort, kPlus, kShortPlus };
constexpr std::array kTextForms = {TextForm::kCanonical, TextForm::kUpperCase, TextForm::kShort,
                                   TextForm::kPlus, TextForm::kShortPlus};

std::string text_in_form(std::string_view canonical, TextForm form) {
  std::string text;
  const std::size_t values = canonical.find(':');
  if (form == TextForm::kPlus || form == TextForm::kShortPlus) text += '+';
  text.append(canonical.substr(0, values));
  for (std::size_t start = values + 1; start < canonical.size(); start += 33) {
    std::string_view digits = canonical.substr(start, 32);
    text += ':';
    if (form == TextForm::kPlus || form == TextForm::kShortPlus) text += '+';
    if (form == TextForm::kShort || form == TextForm::kShortPlus) {
      digits.remove_prefix(std::min(digits.find_first_not_of('0'), digits.size() - 1));
    }
    for (const char digit : digits) {
      const bool letter = digit >= 'a' && digit <= 'f';
      text += form == TextForm::kUpperCase && letter ? static_cast<char>(digit - 'a' + 'A') : digit;
    }
  }
  return text;
}

// Shares whose values have many lengths in their short form: small values, the extremes of 128
// bits and values without structure; indices of one to 39 digits.
std::vector<core::Share> shares_to_read() {
  WordStream words{5};
  const std::array<u128, 6> indices = {1, 7, 12345, kTwo64 + 1, kP, kMax128};
  std::vector<core::Share> shares;
  for (std::size_t i = 0; i < indices.size(); ++i) {
    const u128 a = kOperands[i];
    const u128 b = kOperands[i + 6];
    shares.push_back({to_core(indices[i]), to_core(a), to_core(b), to_core(words.below_p()),
                      to_core(words.below_p() >> (8 * i))});
  }
  return shares;
}

void expect_share(const core::Share& got, const core::Share& expected, const char* what) {
  expect(to_native(got.index) == to_native(expected.index) &&
             to_native(got.a) == to_native(expected.a) &&
             to_native(got.b) == to_native(expected.b) &&
             to_native(got.c) == to_native(expected.c) && to_native(got.d) == to_native(expected.d),
         what);
}

// parse_share on valid texts in every form, value bytes secret.
void check_share_reading() {
  for (const core::Share& share : shares_to_read()) {
    const core::SecretString canonical = core::format_share(share);
    for (const TextForm form : kTextForms) {
      std::string text = text_in_form(canonical, form);
      make_text_secret(text);
      auto parsed = core::parse_share(text);
      expect(parsed.ok(), "parse_share: a valid text reads");
      if (!parsed.ok()) continue;
      release(parsed.value());
      expect_share(parsed.value(), share, "parse_share: the values written");
    }
  }
}

// The whole combine (reading the texts, the weights, the sums, the secret's bytes) from texts
// with secret value bytes, in every form, inline and heap-sized.
void check_combine_from_texts() {
  WordStream key_words{6};
  for (const std::uint64_t k : {std::uint64_t{3}, std::uint64_t{20}}) {
    std::array<std::uint8_t, 32> key{};
    for (std::uint8_t& byte : key) byte = static_cast<std::uint8_t>(key_words.next());
    auto split = core::shamir_split(key, k, k + 2);
    expect(split.ok(), "shamir_split succeeds");
    if (!split.ok()) continue;
    for (const TextForm form : kTextForms) {
      std::vector<std::string> texts;
      for (std::size_t i = 2; i < split.value().size(); ++i) {
        texts.push_back(text_in_form(split.value()[i], form));
        make_text_secret(texts.back());
      }
      const std::vector<std::string_view> views(texts.begin(), texts.end());
      auto combined = core::shamir_combine(views, k);
      expect(combined.ok(), "shamir_combine succeeds on secret texts");
      if (!combined.ok()) continue;
      std::array<std::uint8_t, 32> bytes{};
      std::copy(combined.value().bytes().begin(), combined.value().bytes().end(), bytes.begin());
      release(bytes);
      expect(bytes == key, "shamir_combine on secret texts: the key");
    }
  }
}

int run_core() {
  section("field operations", check_field_operations);
  section("polynomial evaluation", check_polynomial_evaluation);
  section("share writing", check_share_writing);
  section("interpolation", check_interpolation);
  section("split", check_split);
  section("share reading", check_share_reading);
  section("combine from share texts", check_combine_from_texts);
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Leaky code that memcheck must catch

// The reference multiplication: branches on every bit of its second operand.
int run_branchy_mul() {
  section("double-and-add mul_mod", [] {
    for (const u128 a : kOperands) {
      for (const u128 b : {u128{3}, kP - 1, kTwo127 + 5}) {
        u128 sb = b;
        make_secret(sb);
        u128 product = oracle::mul_mod(a, sb);
        release(product);
        expect(product == to_native(core::mul_mod(to_core(a), to_core(b))), "oracle mul_mod");
      }
    }
  });
  return 0;
}

// Hexadecimal digits from a table indexed by the value's nibbles: no branch, but each load's
// address depends on the secret.
void table_hex(char* out, u128 v) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (int i = 0; i < 32; ++i) out[i] = kDigits[static_cast<std::size_t>(v >> (124 - 4 * i)) & 15U];
}

int run_table_hex() {
  section("table-indexed hex digits", [] {
    for (const u128 v : kOperands) {
      u128 sv = v;
      make_secret(sv);
      std::array<char, 32> digits{};
      table_hex(digits.data(), sv);
      release(digits);
      char expected[33];
      std::snprintf(expected, sizeof expected, "%016llx%016llx",
                    static_cast<unsigned long long>(v >> 64), static_cast<unsigned long long>(v));
      expect(std::string_view(digits.data(), digits.size()) == std::string_view(expected, 32),
             "table hex");
    }
  });
  return 0;
}

// A plain reader of hexadecimal values: cuts the text at its colons (a search that stops at the
// first colon, so it branches on every secret byte it passes), looks every digit up in a table
// by its byte and stops at the first byte that is not a digit.
bool plain_read_hex(std::string_view piece, u128& value) {
  static const std::array<signed char, 256> kDigitValues = [] {
    std::array<signed char, 256> table{};
    table.fill(-1);
    for (int d = 0; d < 10; ++d)
      table[static_cast<std::size_t>('0' + d)] = static_cast<signed char>(d);
    for (int d = 0; d < 6; ++d) {
      table[static_cast<std::size_t>('a' + d)] = static_cast<signed char>(10 + d);
      table[static_cast<std::size_t>('A' + d)] = static_cast<signed char>(10 + d);
    }
    return table;
  }();
  if (piece.size() >= 2 && piece.front() == '+') piece.remove_prefix(1);
  value = 0;
  for (const char byte : piece) {
    const int digit = kDigitValues[static_cast<unsigned char>(byte)];
    if (digit < 0) return false;
    value = (value << 4) | static_cast<u128>(digit);
  }
  return true;
}

int run_plain_reader() {
  section("plain share reader", [] {
    for (const core::Share& share : shares_to_read()) {
      const core::SecretString canonical = core::format_share(share);
      for (const TextForm form : kTextForms) {
        std::string text = text_in_form(canonical, form);
        make_text_secret(text);
        std::array<u128, 4> values{};
        std::size_t start = text.find(':') + 1;
        bool ok = true;
        for (u128& value : values) {
          const std::size_t end = std::min(text.find(':', start), text.size());
          ok = plain_read_hex(std::string_view(text).substr(start, end - start), value) && ok;
          start = end + 1;
        }
        release(values);
        expect(ok && values[0] == to_native(share.a) && values[1] == to_native(share.b) &&
                   values[2] == to_native(share.c) && values[3] == to_native(share.d),
               "plain reader");
      }
    }
  });
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (RUNNING_ON_VALGRIND == 0) {
    std::fprintf(stderr, "velkor_ct: run this under valgrind --tool=memcheck\n");
    return 2;
  }
  const std::string_view mode = argc == 2 ? argv[1] : "";
  if (mode == "core") {
    run_core();
  } else if (mode == "branchy-mul") {
    run_branchy_mul();
  } else if (mode == "table-hex") {
    run_table_hex();
  } else if (mode == "plain-reader") {
    run_plain_reader();
  } else {
    std::fprintf(stderr, "usage: velkor_ct core|branchy-mul|table-hex|plain-reader\n");
    return 64;
  }
  std::printf("%zu results checked, %zu wrong\n", g_checked, g_wrong);
  if (g_wrong != 0 || g_checked == 0) return 3;
  std::printf("results correct\n");
  return 0;
}
