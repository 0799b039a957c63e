// The Windows random source's piece, status and fallback logic, run against fake generators.
// The fakes only record which piece they were asked for; they never touch memory, so requests
// of several gigabytes cost nothing.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <utility>
#include <vector>

#include "core/random/random_source.hpp"
#include "core/random/windows_random.hpp"

namespace {

using velkor::core::windows_random::fill_in_pieces;

enum class Generator { kPreferred, kFallback };

struct Call {
  Generator generator;
  std::size_t offset;
  std::uint32_t length;

  bool operator==(const Call&) const = default;
};

void PrintTo(const Call& call, std::ostream* out) {
  *out << (call.generator == Generator::kPreferred ? "BCryptGenRandom" : "RtlGenRandom") << "(+"
       << call.offset << ", " << call.length << ")";
}

Call preferred(std::size_t offset, std::uint32_t length) {
  return {Generator::kPreferred, offset, length};
}
Call fallback(std::size_t offset, std::uint32_t length) {
  return {Generator::kFallback, offset, length};
}

// Scripted generators: the n-th call of each answers with the n-th scripted result, and calls
// beyond the script succeed.
struct FakeSystem {
  explicit FakeSystem(std::vector<std::uint32_t> statuses = {}, std::vector<bool> results = {})
      : preferred_statuses(std::move(statuses)), fallback_results(std::move(results)) {}

  std::vector<std::uint32_t> preferred_statuses;
  std::vector<bool> fallback_results;
  std::vector<Call> calls;
  std::size_t preferred_calls = 0;
  std::size_t fallback_calls = 0;

  std::uint32_t run(std::size_t size) {
    return fill_in_pieces(
        size,
        [this](std::size_t offset, std::uint32_t length) {
          calls.push_back(preferred(offset, length));
          const std::size_t n = preferred_calls++;
          return n < preferred_statuses.size() ? preferred_statuses[n] : std::uint32_t{0};
        },
        [this](std::size_t offset, std::uint32_t length) {
          calls.push_back(fallback(offset, length));
          const std::size_t n = fallback_calls++;
          return n < fallback_results.size() ? static_cast<bool>(fallback_results[n]) : true;
        });
  }
};

constexpr std::size_t kKeySize = 32;

// Every severity below error: success, informational and warning, with their edges.
class SuccessStatus : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(SuccessStatus, CountsAsFilledWithoutAskingTheFallback) {
  FakeSystem system({GetParam()}, {false});
  EXPECT_EQ(system.run(kKeySize), 0u);
  EXPECT_EQ(system.calls, std::vector<Call>{preferred(0, kKeySize)});
}

INSTANTIATE_TEST_SUITE_P(Severities, SuccessStatus,
                         ::testing::Values(0x00000000u, 0x00000103u, 0x3FFFFFFFu, 0x40000000u,
                                           0x40000001u, 0x7FFFFFFFu, 0x80000000u, 0x80000005u,
                                           0xBFFFFFFFu));

struct FailingStatusCase {
  std::uint32_t status;
  std::uint32_t code;
};

void PrintTo(const FailingStatusCase& c, std::ostream* out) {
  *out << "status 0x" << std::hex << c.status << " -> code " << std::dec << c.code;
}

class FailingStatus : public ::testing::TestWithParam<FailingStatusCase> {};

TEST_P(FailingStatus, FallbackSuccessCountsAsFilled) {
  FakeSystem system({GetParam().status}, {true});
  EXPECT_EQ(system.run(kKeySize), 0u);
  EXPECT_EQ(system.calls, (std::vector<Call>{preferred(0, kKeySize), fallback(0, kKeySize)}));
}

TEST_P(FailingStatus, BothFailingReportsTheStatusWithoutBit31) {
  FakeSystem system({GetParam().status}, {false});
  EXPECT_EQ(system.run(kKeySize), GetParam().code);
  EXPECT_EQ(system.calls, (std::vector<Call>{preferred(0, kKeySize), fallback(0, kKeySize)}));
}

INSTANTIATE_TEST_SUITE_P(ErrorSeverity, FailingStatus,
                         ::testing::Values(FailingStatusCase{0xC0000000u, 1073741824u},
                                           FailingStatusCase{0xC0000001u, 1073741825u},
                                           FailingStatusCase{0xC000000Du, 1073741837u},
                                           FailingStatusCase{0xFFFFFFFFu, 2147483647u}));

TEST(WindowsRandom, BothFailingGivesTheDocumentedMessage) {
  FakeSystem system({0xC0000001u}, {false});
  EXPECT_EQ(velkor::core::random_failure_message(system.run(kKeySize)),
            "Error: OS Error: 1073741825");
}

TEST(WindowsRandom, LengthZeroMakesNoCall) {
  FakeSystem system;
  EXPECT_EQ(system.run(0), 0u);
  EXPECT_TRUE(system.calls.empty());
}

struct PieceCase {
  std::uint64_t size;
  std::vector<Call> calls;
};

class PieceCutting : public ::testing::TestWithParam<PieceCase> {};

TEST_P(PieceCutting, PiecesAreConsecutiveAndAtMostTheLargest32BitCount) {
  const auto size = static_cast<std::size_t>(GetParam().size);
  if (size != GetParam().size) {
    GTEST_SKIP() << "size_t cannot hold this request size";
  }
  FakeSystem system;
  EXPECT_EQ(system.run(size), 0u);
  EXPECT_EQ(system.calls, GetParam().calls);
}

// The largest 32-bit count, written out here rather than taken from the code under test.
constexpr std::uint32_t kMaxPiece = 0xFFFFFFFFu;
constexpr std::size_t kMax = kMaxPiece;

INSTANTIATE_TEST_SUITE_P(
    Sizes, PieceCutting,
    ::testing::Values(
        PieceCase{1, {preferred(0, 1)}}, PieceCase{kMax - 1, {preferred(0, kMaxPiece - 1)}},
        PieceCase{kMax, {preferred(0, kMaxPiece)}},
        PieceCase{kMax + 1ull, {preferred(0, kMaxPiece), preferred(kMax, 1)}},
        PieceCase{2ull * kMax + 5,
                  {preferred(0, kMaxPiece), preferred(kMax, kMaxPiece), preferred(2 * kMax, 5)}}));

TEST(WindowsRandom, AfterAFallbackTheNextPieceStartsWithThePreferredGenerator) {
  if (SIZE_MAX <= kMax) {
    GTEST_SKIP() << "needs a request of more than one piece";
  }
  FakeSystem system({0xC0000001u, 0u, 0xC0000002u}, {true, true});
  EXPECT_EQ(system.run(2 * kMax + 5), 0u);
  EXPECT_EQ(system.calls, (std::vector<Call>{preferred(0, kMaxPiece), fallback(0, kMaxPiece),
                                             preferred(kMax, kMaxPiece), preferred(2 * kMax, 5),
                                             fallback(2 * kMax, 5)}));
}

TEST(WindowsRandom, FailureInAMiddlePieceStopsAtOnce) {
  if (SIZE_MAX <= kMax) {
    GTEST_SKIP() << "needs a request of more than one piece";
  }
  FakeSystem system({0u, 0xC0000001u}, {false});
  EXPECT_EQ(system.run(2 * kMax + 5), 1073741825u);
  EXPECT_EQ(system.calls, (std::vector<Call>{preferred(0, kMaxPiece), preferred(kMax, kMaxPiece),
                                             fallback(kMax, kMaxPiece)}));
}

}  // namespace
