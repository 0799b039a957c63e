// Fuzz target: split a fuzzer-chosen secret, then rebuild it from many subsets of the shares.
//
// Input (missing bytes read as 0):
//   bytes 0 … 31   the secret;
//   byte 32        n = 2 + byte mod 63 (2 … 64);
//   byte 33        k = 2 + byte mod (n − 1) (2 … n);
//   byte 34        how many extra random subsets to try (0 … 3);
//   bytes 35 … 42  seed of the generator that picks the subsets and their order;
//   bytes 43 …     the random words of the coefficients, 8 bytes each, little-endian; when they
//                  run out the words continue from a generator seeded by the input.
//
// Checks: the split succeeds with n texts and asks the word source exactly 8 (k − 1) times; every
// text reads back with index i + 1 and values below P, and format_share writes exactly the same
// text again; for a few shares the values equal the polynomials evaluated by the reference from
// the words that were drawn; and combining k shares gives back the secret for the first k, the
// last k in reverse order, a list of more than k texts, and the random subsets in random order.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/combine.hpp"
#include "core/share_text.hpp"
#include "core/split.hpp"
#include "reference.hpp"

using namespace velkor;
using namespace velkor::fuzz;

namespace {

std::uint64_t splitmix64(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9e3779b97f4a7c15U);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9U;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebU;
  return z ^ (z >> 31);
}

// The word source handed to shamir_split. A RandomWordSource is a plain function pointer, so its
// state lives here; it is reset before every split and records every word it hands out.
struct WordStream {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::size_t position = 0;
  std::uint64_t fallback = 0;
  std::vector<std::uint64_t> drawn;
};
WordStream stream;

std::uint64_t draw_word() {
  std::uint64_t word = 0;
  if (stream.position < stream.size) {
    for (std::size_t i = 0; i < 8; ++i) {
      const std::size_t at = stream.position + i;
      const std::uint64_t byte = at < stream.size ? stream.data[at] : 0;
      word |= byte << (8 * i);
    }
    stream.position += 8;
  } else {
    word = splitmix64(stream.fallback);
  }
  stream.drawn.push_back(word);
  return word;
}

std::string hex_bytes(std::span<const std::uint8_t> bytes) {
  std::string text;
  for (const std::uint8_t byte : bytes) {
    static const char* const kDigits = "0123456789abcdef";
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  self_test_reference();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto byte_at = [&](std::size_t i) -> std::uint8_t { return i < size ? data[i] : 0; };
  std::array<std::uint8_t, 32> secret{};
  for (std::size_t i = 0; i < 32; ++i) secret[i] = byte_at(i);
  const std::uint64_t n = 2 + byte_at(32) % 63U;
  const std::uint64_t k = 2 + byte_at(33) % (n - 1);
  const unsigned extra_subsets = byte_at(34) % 4U;
  std::uint64_t picker = 0;
  for (std::size_t i = 0; i < 8; ++i)
    picker |= static_cast<std::uint64_t>(byte_at(35 + i)) << (8 * i);

  stream = WordStream{};
  if (size > 43) {
    stream.data = data + 43;
    stream.size = size - 43;
  }
  stream.fallback = picker ^ (static_cast<std::uint64_t>(size) << 32) ^ (n << 8) ^ k;

  const auto shown = [&] {
    return "secret " + hex_bytes(secret) + ", k = " + std::to_string(k) +
           ", n = " + std::to_string(n);
  };

  const core::Outcome<core::ShareList> split = core::shamir_split(secret, k, n, draw_word);
  check(split.ok(), [&] { return shown() + ": split failed: " + std::string(split.error()); });
  const core::ShareList& list = split.value();
  check(list.size() == n, [&] { return shown() + ": " + std::to_string(list.size()) + " shares"; });
  check(stream.drawn.size() == 8 * (k - 1),
        [&] { return shown() + ": " + std::to_string(stream.drawn.size()) + " words drawn"; });

  // The coefficients as the core must have formed them: word rows 0 … 3, within a row x^1 first,
  // each from a low word and then a high word with its top bit cleared, P taken as 0.
  const auto coefficient = [&](std::size_t word, std::size_t power) {
    const std::size_t at = 2 * (word * (k - 1) + (power - 1));
    const u128 value =
        (static_cast<u128>(stream.drawn[at + 1] & 0x7fffffffffffffffU) << 64) | stream.drawn[at];
    return value == kP ? u128{0} : value;
  };
  const std::size_t spot = static_cast<std::size_t>(picker % n);

  for (std::size_t i = 0; i < n; ++i) {
    const std::string_view text = list[i];
    const auto where = [&] {
      return shown() + ", share " + std::to_string(i + 1) + " \"" + printable(text) + "\"";
    };
    const core::Outcome<core::Share> parsed = core::parse_share(text);
    check(parsed.ok(), [&] { return where() + ": does not read: " + std::string(parsed.error()); });
    const Fields fields = fields_of(parsed.value());
    check(fields[0] == i + 1, [&] { return where() + ": wrong index"; });
    for (std::size_t j = 1; j < 5; ++j) {
      check(fields[j] < kP, [&] { return where() + ": a value is not below P"; });
    }
    const core::SecretString written = core::format_share(parsed.value());
    check(std::string_view(written.data(), written.size()) == text, [&] {
      return where() + ": format_share writes \"" + printable({written.data(), written.size()}) +
             "\"";
    });
    check(text.size() == std::to_string(i + 1).size() + 132,
          [&] { return where() + ": wrong length"; });

    if (i == 0 || i == n - 1 || i == spot) {
      for (std::size_t word = 0; word < 4; ++word) {
        u128 value = 0;
        for (std::size_t b = 0; b < 8; ++b) value = (value << 8) | secret[8 * word + b];
        u128 power = 1;
        for (std::size_t j = 1; j < k; ++j) {
          power = ref_mul(power, i + 1);
          value = ref_add(value, ref_mul(coefficient(word, j), power));
        }
        check(fields[word + 1] == value, [&] {
          return where() + ": word " + std::to_string(word) + " is " + hex(fields[word + 1]) +
                 ", expected " + hex(value);
        });
      }
    }
  }

  const auto rebuilds = [&](const std::vector<std::size_t>& order, const char* label) {
    std::vector<std::string_view> texts;
    for (const std::size_t i : order) texts.push_back(list[i]);
    const auto what = [&] {
      std::string text = shown() + ", " + label + " (";
      for (const std::size_t i : order) text += " " + std::to_string(i + 1);
      return text + " )";
    };
    const core::Outcome<core::RecoveredSecret> combined = core::shamir_combine(texts, k);
    check(combined.ok(),
          [&] { return what() + ": combine failed: " + std::string(combined.error()); });
    const auto bytes = combined.value().bytes();
    check(std::equal(bytes.begin(), bytes.end(), secret.begin()),
          [&] { return what() + ": rebuilt " + hex_bytes(bytes); });
  };

  std::vector<std::size_t> all(n);
  std::iota(all.begin(), all.end(), std::size_t{0});
  rebuilds({all.begin(), all.begin() + static_cast<std::ptrdiff_t>(k)}, "first k");
  rebuilds({all.rbegin(), all.rbegin() + static_cast<std::ptrdiff_t>(k)}, "last k reversed");
  rebuilds(all, "all n with k");
  for (unsigned round = 0; round < extra_subsets; ++round) {
    // Fisher–Yates: the first k positions after the shuffle are a random subset in random order.
    std::vector<std::size_t> order = all;
    for (std::size_t i = 0; i < k; ++i) {
      const std::size_t j = i + static_cast<std::size_t>(splitmix64(picker) % (n - i));
      std::swap(order[i], order[j]);
    }
    order.resize(k);
    rebuilds(order, "random subset");
  }
  return 0;
}
