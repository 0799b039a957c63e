// Fuzz target: combining arbitrary lists of share texts with an arbitrary k.
//
// Input: two bytes choosing k, one separator byte, then the share texts, each ended by the
// separator or by the end of the input (so "" is the empty list and a lone separator is a list
// of one empty text). k is chosen relative to the number of texts so that 0, 1, every count up
// to the list length, values just above it and values near 2^64 are all easy to reach:
//   top two bits of byte 0 = 0: k = the remaining 14 bits;
//                            1: k = those bits modulo (count + 1), never above the count;
//                            2: k = count + 1 + those bits modulo 4, always above it;
//                            3: k = 2^64 − 1 − those bits.
//
// Checks: shamir_combine does not crash; it returns 32 bytes or a message of a known form; its
// outcome is exactly that of the reference (too few texts, then the first of texts 0 … k − 1
// that does not read, then textbook Lagrange interpolation at 0 with the low 64 bits of each
// word written big-endian); and the texts after position k make no difference: the same call
// with them dropped, replaced by malformed texts or by valid but different shares gives the
// same outcome.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/combine.hpp"
#include "core/share_text.hpp"
#include "reference.hpp"

using namespace velkor;
using namespace velkor::fuzz;

namespace {

const std::string kCombinePrefix = "Shamir combine failed: ";

struct Result {
  bool ok = false;
  std::string message;
  std::array<std::uint8_t, 32> bytes{};

  bool operator==(const Result&) const = default;
};

std::string describe(const Result& result) {
  if (!result.ok) return "error \"" + printable(result.message) + "\"";
  std::string text = "bytes ";
  for (const std::uint8_t byte : result.bytes) {
    static const char* const kDigits = "0123456789abcdef";
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

Result run(const std::vector<std::string>& texts, std::uint64_t k) {
  const std::vector<std::string_view> views(texts.begin(), texts.end());
  const core::Outcome<core::RecoveredSecret> outcome = core::shamir_combine(views, k);
  Result result;
  result.ok = outcome.ok();
  if (outcome.ok()) {
    for (std::size_t i = 0; i < 32; ++i) result.bytes[i] = outcome.value().data()[i];
  } else {
    result.message = outcome.error();
  }
  return result;
}

Result expected(const std::vector<std::string>& texts, std::uint64_t k) {
  Result result;
  if (texts.size() < k) {
    result.message = kCombinePrefix + "Need at least " + std::to_string(k) + " shares";
    return result;
  }
  std::vector<Fields> shares;
  for (std::size_t i = 0; i < k; ++i) {
    const ReadResult read = read_share(texts[i]);
    if (!read.ok) {
      result.message = kCombinePrefix + read.message;
      return result;
    }
    shares.push_back(read.fields);
  }
  const std::array<u128, 4> words = ref_interpolate(shares);
  for (std::size_t j = 0; j < 4; ++j) {
    const auto low = static_cast<std::uint64_t>(words[j]);
    for (std::size_t b = 0; b < 8; ++b)
      result.bytes[8 * j + b] = static_cast<std::uint8_t>(low >> (56 - 8 * b));
  }
  result.ok = true;
  return result;
}

// True when `message` is one that shamir_combine may give for these texts and this k.
bool known_message(const std::string& message, const std::vector<std::string>& texts,
                   std::uint64_t k) {
  if (message == kCombinePrefix + "Need at least " + std::to_string(k) + " shares") return true;
  if (message.compare(0, kCombinePrefix.size(), kCombinePrefix) != 0) return false;
  const std::string inner = message.substr(kCombinePrefix.size());
  for (std::size_t i = 0; i < k && i < texts.size(); ++i) {
    if (is_share_text_message(inner, texts[i])) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  self_test_reference();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const unsigned mode = data[0] >> 6;
  const std::uint64_t low = (static_cast<std::uint64_t>(data[0] & 0x3f) << 8) | data[1];
  const char separator = static_cast<char>(data[2]);

  std::vector<std::string> texts;
  std::string current;
  for (std::size_t i = 3; i < size; ++i) {
    const char ch = static_cast<char>(data[i]);
    if (ch == separator) {
      texts.push_back(current);
      current.clear();
    } else {
      current += ch;
    }
  }
  if (!current.empty()) texts.push_back(current);
  const std::uint64_t count = texts.size();

  std::uint64_t k = 0;
  switch (mode) {
    case 0:
      k = low;
      break;
    case 1:
      k = low % (count + 1);
      break;
    case 2:
      k = count + 1 + low % 4;
      break;
    default:
      k = ~std::uint64_t{0} - low;
      break;
  }

  const auto shown = [&] {
    std::string text = "k = " + std::to_string(k) + ", texts:";
    for (const std::string& item : texts) text += " \"" + printable(item) + "\"";
    return text;
  };

  const Result got = run(texts, k);
  if (!got.ok) {
    check(known_message(got.message, texts, k),
          [&] { return shown() + ": unknown message \"" + printable(got.message) + "\""; });
  }
  const Result want = expected(texts, k);
  check(got == want,
        [&] { return shown() + ": got " + describe(got) + ", reference " + describe(want); });

  if (k < count) {
    // Texts k … count − 1 must not matter.
    std::vector<std::string> cut(texts.begin(), texts.begin() + static_cast<std::ptrdiff_t>(k));
    check(run(cut, k) == got,
          [&] { return shown() + ": dropping the texts after position k changes the outcome"; });

    std::vector<std::string> malformed = cut;
    std::vector<std::string> decoys = cut;
    for (std::size_t i = k; i < count; ++i) {
      static const char* const kJunk[] = {"", "not a share", ":", "1:0:0:0:0:"};
      malformed.push_back(i % 5 == 4 ? texts[i] + "\n" : kJunk[i % 4]);
      decoys.push_back(std::to_string(i + 2) + ":1:" + std::to_string(i) + ":fff:0");
    }
    check(run(malformed, k) == got,
          [&] { return shown() + ": malformed texts after position k change the outcome"; });
    check(run(decoys, k) == got,
          [&] { return shown() + ": other shares after position k change the outcome"; });
  }
  return 0;
}
