// The random source: the failure message, random_u64's byte order and request size, and
// fill_random against the real operating-system generator (on Windows also the two system
// generators behind it, each called directly). On Linux with glibc the tests also run
// fill_random against a scripted getrandom (see below) to reach the retry, short-read and
// failure paths that the kernel does not produce on demand, and the fallback from the vDSO path.
#include <gtest/gtest.h>

#if defined(__linux__)
#include <pthread.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "core/internal_failure.hpp"
#include "core/random/random_source.hpp"
#include "core/random/random_source_internal.hpp"

#if defined(__linux__)
#include "core/random/random_source_linux.hpp"
#include "core/split.hpp"
#endif

#if defined(_WIN32)
#include "core/random/windows_api.hpp"
// windows.h first: bcrypt.h uses its types.
#include <bcrypt.h>

// The fallback generator, declared under its exported name as the random source does.
extern "C" BOOLEAN NTAPI SystemFunction036(PVOID buffer, ULONG length);
#endif

#if defined(__linux__) && defined(__GLIBC__)
#define VELKOR_TEST_SCRIPTED_GETRANDOM 1
#endif

namespace {

using velkor::core::fill_random;
using velkor::core::InternalFailure;
using velkor::core::random_failure_message;
using velkor::core::random_u64;

// ---------------------------------------------------------------------------------------------
// Failure codes and messages.

struct MessageCase {
  std::uint32_t code;
  const char* message;
};

class FailureMessage : public ::testing::TestWithParam<MessageCase> {};

TEST_P(FailureMessage, IsThePrefixAndThePlainDecimalCode) {
  EXPECT_EQ(random_failure_message(GetParam().code), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Codes, FailureMessage,
                         ::testing::Values(MessageCase{1, "Error: OS Error: 1"},
                                           MessageCase{10, "Error: OS Error: 10"},
                                           MessageCase{1073741825, "Error: OS Error: 1073741825"},
                                           MessageCase{2147483647, "Error: OS Error: 2147483647"}));

struct ErrnoCase {
  int error;
  std::uint32_t code;
};

class ErrnoFailureCode : public ::testing::TestWithParam<ErrnoCase> {};

TEST_P(ErrnoFailureCode, IsNonZeroAndBelow2To31) {
  EXPECT_EQ(velkor::core::detail::errno_failure_code(GetParam().error), GetParam().code);
}

// An error number that is missing (0) or impossible (negative) still gives a non-zero code.
INSTANTIATE_TEST_SUITE_P(Errors, ErrnoFailureCode,
                         ::testing::Values(ErrnoCase{EINVAL, static_cast<std::uint32_t>(EINVAL)},
                                           ErrnoCase{ENOSYS, static_cast<std::uint32_t>(ENOSYS)},
                                           ErrnoCase{2147483647, 2147483647u},
                                           ErrnoCase{0, static_cast<std::uint32_t>(EIO)},
                                           ErrnoCase{-1, static_cast<std::uint32_t>(EIO)},
                                           ErrnoCase{-2147483647 - 1,
                                                     static_cast<std::uint32_t>(EIO)}));

// ---------------------------------------------------------------------------------------------
// The real generator.

TEST(FillRandom, SizeZeroSucceedsWithoutTouchingTheBuffer) {
  fill_random(nullptr, 0);
  unsigned char byte = 0x5A;
  fill_random(&byte, 0);
  EXPECT_EQ(byte, 0x5A);
}

// Every byte of the request must receive generator output, and no byte outside it may change.
// After 64 fills each requested byte has taken both values of every bit: a byte that is never
// written, or written with a constant, stays fixed in every bit (the chance that a random byte
// keeps one bit fixed for 64 fills is 8 * 2^-63). Requests of 8 bytes or more also differ from
// the one before (a repeat has the chance 2^-64). `fill(data, size)` makes one request.
template <class Fill>
void expect_every_byte_filled(std::size_t size, Fill fill) {
  constexpr std::size_t kGuard = 16;
  constexpr unsigned char kGuardByte = 0xA5;
  constexpr int kRounds = 64;

  std::vector<unsigned char> buffer(size + 2 * kGuard, kGuardByte);
  std::vector<unsigned char> previous;
  std::vector<unsigned char> any_set(size, 0x00);
  std::vector<unsigned char> all_set(size, 0xFF);
  for (int round = 0; round < kRounds; ++round) {
    fill(buffer.data() + kGuard, size);
    const std::vector<unsigned char> request(
        buffer.begin() + kGuard, buffer.begin() + kGuard + static_cast<std::ptrdiff_t>(size));
    if (size >= 8 && round > 0) {
      ASSERT_NE(request, previous) << "two requests in a row gave the same bytes";
    }
    for (std::size_t i = 0; i < size; ++i) {
      any_set[i] = static_cast<unsigned char>(any_set[i] | request[i]);
      all_set[i] = static_cast<unsigned char>(all_set[i] & request[i]);
    }
    previous = request;
  }
  for (std::size_t i = 0; i < size; ++i) {
    ASSERT_EQ(any_set[i], 0xFF) << "byte " << i << " has a bit that is never set";
    ASSERT_EQ(all_set[i], 0x00) << "byte " << i << " has a bit that is never clear";
  }
  for (std::size_t i = 0; i < kGuard; ++i) {
    ASSERT_EQ(buffer[i], kGuardByte) << "written before the buffer";
    ASSERT_EQ(buffer[kGuard + size + i], kGuardByte) << "written after the buffer";
  }
}

class FillRandomCoverage : public ::testing::TestWithParam<std::size_t> {};

TEST_P(FillRandomCoverage, EveryRequestedByteVariesAndNothingElseIsWritten) {
  expect_every_byte_filled(GetParam(), fill_random);
}

// Odd sizes and the edges of getentropy's 256-byte pieces.
INSTANTIATE_TEST_SUITE_P(Sizes, FillRandomCoverage,
                         ::testing::Values(0, 1, 7, 8, 31, 32, 33, 255, 256, 257, 513, 4095, 4096,
                                           65537));

#if defined(_WIN32)
// The Windows random source's two generators, called as it calls them. fill_random goes
// through the first, so the sizes above run against it; here it also has to report success
// itself (STATUS_SUCCESS, so the fallback is never asked), and the fallback has to fill as well.
enum class WindowsGenerator { kBCryptGenRandom, kRtlGenRandom };

class RealWindowsGenerator
    : public ::testing::TestWithParam<std::tuple<WindowsGenerator, std::size_t>> {};

TEST_P(RealWindowsGenerator, SucceedsAndFillsEveryRequestedByte) {
  const auto [generator, size] = GetParam();
  expect_every_byte_filled(size, [generator](unsigned char* data, std::size_t length) {
    const auto count = static_cast<ULONG>(length);
    if (generator == WindowsGenerator::kBCryptGenRandom) {
      EXPECT_EQ(BCryptGenRandom(nullptr, data, count, BCRYPT_USE_SYSTEM_PREFERRED_RNG), 0);
    } else {
      EXPECT_NE(SystemFunction036(data, count), FALSE);
    }
  });
}

INSTANTIATE_TEST_SUITE_P(Sizes, RealWindowsGenerator,
                         ::testing::Combine(::testing::Values(WindowsGenerator::kBCryptGenRandom,
                                                              WindowsGenerator::kRtlGenRandom),
                                            ::testing::Values(1, 8, 32, 4096)));
#endif

TEST(FillRandom, LargeOddBufferIsFilledThroughout) {
  constexpr std::size_t kSize = (std::size_t{1} << 22) + 3;  // 4 MiB and 3 bytes
  std::vector<unsigned char> first(kSize, 0);
  std::vector<unsigned char> second(kSize, 0);
  fill_random(first.data(), kSize);
  fill_random(second.data(), kSize);

  EXPECT_NE(first, second);
  // A uniform byte is zero with probability 1/256: 16384 expected, standard deviation 128. A
  // buffer only partly filled has far more zeros; the bounds are more than 20 deviations wide.
  const auto zeros = static_cast<std::size_t>(std::count(first.begin(), first.end(), 0));
  EXPECT_GT(zeros, 13000u);
  EXPECT_LT(zeros, 20000u);
  // The tail, where a piece-cutting mistake would show first.
  const std::vector<unsigned char> tail(first.end() - 64, first.end());
  EXPECT_NE(tail, std::vector<unsigned char>(64, 0));
}

TEST(RandomU64, EveryBitVaries) {
  std::uint64_t any_set = 0;
  std::uint64_t all_set = ~std::uint64_t{0};
  for (int round = 0; round < 64; ++round) {
    const std::uint64_t value = random_u64();
    any_set |= value;
    all_set &= value;
  }
  EXPECT_EQ(any_set, ~std::uint64_t{0});
  EXPECT_EQ(all_set, 0u);
}

#if defined(VELKOR_TEST_SCRIPTED_GETRANDOM)

// ---------------------------------------------------------------------------------------------
// A scripted getrandom.
//
// fill_random calls the C library's getrandom by symbol. This executable defines that symbol
// itself, and the linker resolves the core's call to it instead of the C library's. Outside a
// ScriptedGetrandom scope the definition passes every call on to the kernel unchanged, so all
// other tests of the executable get real random bytes; inside one, calls are recorded and
// answered from a script.

enum class Answer {
  kBytes,       // write `count` bytes of the running sequence 1, 2, 3, ... and return count
  kError,       // set errno to `error` and return -1
  kZero,        // return 0 without writing
  kOverreport,  // return one more than the length asked for, without writing
};

struct Reply {
  Answer answer;
  std::size_t count = 0;
  int error = 0;
};

Reply bytes(std::size_t count) {
  return {Answer::kBytes, count, 0};
}
Reply error(int number) {
  return {Answer::kError, 0, number};
}

struct Request {
  std::ptrdiff_t offset;  // from the buffer given to fill_random
  std::size_t length;
  unsigned int flags;
  // getrandom() is a cancellation point: every request the module makes must find cancellation
  // disabled, so that a pending one cannot act while the interpreter lock is held.
  bool cancellation_held_off = true;

  bool operator==(const Request&) const = default;
};

void PrintTo(const Request& request, std::ostream* out) {
  *out << "getrandom(+" << request.offset << ", " << request.length << ", " << request.flags << ")"
       << (request.cancellation_held_off ? "" : " with cancellation enabled");
}

struct Script {
  bool active = false;
  const unsigned char* base = nullptr;
  std::deque<Reply> replies;
  std::vector<Request> requests;
  unsigned char next_byte = 1;
};

Script script;

// Installs a script for its lifetime. `base` is the buffer the test hands to fill_random;
// requests are recorded relative to it.
class ScriptedGetrandom {
 public:
  ScriptedGetrandom(const void* base, std::deque<Reply> replies) {
    script = Script{};
    script.active = true;
    script.base = static_cast<const unsigned char*>(base);
    script.replies = std::move(replies);
  }
  ScriptedGetrandom(const ScriptedGetrandom&) = delete;
  ScriptedGetrandom& operator=(const ScriptedGetrandom&) = delete;
  ~ScriptedGetrandom() { script.active = false; }

  [[nodiscard]] const std::vector<Request>& requests() const { return script.requests; }
  [[nodiscard]] std::size_t unused_replies() const { return script.replies.size(); }
};

}  // namespace

extern "C" ssize_t getrandom(void* buffer, size_t length, unsigned int flags) {
  if (!script.active || script.replies.empty()) {
    return static_cast<ssize_t>(::syscall(SYS_getrandom, buffer, length, flags));
  }
  auto* const out = static_cast<unsigned char*>(buffer);
  // Subtracted as integers: the random_u64 test has no buffer of its own to compare with.
  const auto offset = static_cast<std::ptrdiff_t>(reinterpret_cast<std::uintptr_t>(out) -
                                                  reinterpret_cast<std::uintptr_t>(script.base));
  int state = 0;
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &state);
  pthread_setcancelstate(state, nullptr);
  script.requests.push_back({offset, length, flags, state == PTHREAD_CANCEL_DISABLE});
  const Reply reply = script.replies.front();
  script.replies.pop_front();
  switch (reply.answer) {
    case Answer::kBytes: {
      const std::size_t count = std::min(reply.count, length);
      for (std::size_t i = 0; i < count; ++i) {
        out[i] = script.next_byte++;
      }
      return static_cast<ssize_t>(count);
    }
    case Answer::kError:
      errno = reply.error;
      return -1;
    case Answer::kZero:
      return 0;
    case Answer::kOverreport:
      return static_cast<ssize_t>(length + 1);
  }
  return -1;
}

namespace {

TEST(ScriptedFillRandom, SizeZeroMakesNoCall) {
  unsigned char byte = 0;
  ScriptedGetrandom scripted(&byte, {bytes(1)});
  fill_random(&byte, 0);
  EXPECT_TRUE(scripted.requests().empty());
}

TEST(ScriptedFillRandom, ShortReadsAndInterruptionsAreCompletedInOrder) {
  std::vector<unsigned char> buffer(10, 0);
  ScriptedGetrandom scripted(
      buffer.data(), {bytes(3), error(EINTR), bytes(4), error(EINTR), error(EINTR), bytes(3)});
  fill_random(buffer.data(), buffer.size());

  EXPECT_EQ(buffer, (std::vector<unsigned char>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  EXPECT_EQ(
      scripted.requests(),
      (std::vector<Request>{{0, 10, 0}, {3, 7, 0}, {3, 7, 0}, {7, 3, 0}, {7, 3, 0}, {7, 3, 0}}));
  EXPECT_EQ(scripted.unused_replies(), 0u);
}

struct FailureCase {
  const char* name;
  std::deque<Reply> replies;
  std::size_t calls;  // getrandom calls made before fill_random gives up
  const char* message;
};

void PrintTo(const FailureCase& c, std::ostream* out) {
  *out << c.name;
}

class ScriptedFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(ScriptedFailure, EndsTheCallWithTheErrorNumberAsCode) {
  std::vector<unsigned char> buffer(16, 0);
  ScriptedGetrandom scripted(buffer.data(), GetParam().replies);
  try {
    fill_random(buffer.data(), buffer.size());
    ADD_FAILURE() << "fill_random returned although getrandom failed";
  } catch (const InternalFailure& failure) {
    EXPECT_EQ(failure.message(), GetParam().message);
  }
  EXPECT_EQ(scripted.requests().size(), GetParam().calls);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ScriptedFailure,
    ::testing::Values(
        FailureCase{"Eio", {error(EIO)}, 1, "Error: OS Error: 5"},
        FailureCase{"Enosys", {error(ENOSYS)}, 1, "Error: OS Error: 38"},
        // Only EINTR is retried: with flags 0 EAGAIN is not an answer getrandom gives.
        FailureCase{"EagainIsNotRetried", {error(EAGAIN)}, 1, "Error: OS Error: 11"},
        FailureCase{"AfterAShortRead", {bytes(5), error(EFAULT)}, 2, "Error: OS Error: 14"},
        FailureCase{"AfterAnInterruption", {error(EINTR), error(EPERM)}, 2, "Error: OS Error: 1"},
        FailureCase{"ErrnoZero", {error(0)}, 1, "Error: OS Error: 5"},
        FailureCase{"ErrnoNegative", {error(-7)}, 1, "Error: OS Error: 5"},
        FailureCase{"ZeroBytes", {{Answer::kZero}}, 1, "Error: OS Error: 5"},
        FailureCase{"MoreThanAsked", {bytes(4), {Answer::kOverreport}}, 2, "Error: OS Error: 5"}),
    [](const ::testing::TestParamInfo<FailureCase>& param_info) {
      return std::string(param_info.param.name);
    });

TEST(ScriptedRandomU64, IsOneEightByteRequestReadLittleEndian) {
  std::uint64_t value = 0;
  {
    ScriptedGetrandom scripted(nullptr, {bytes(8)});
    value = random_u64();
    ASSERT_EQ(scripted.requests().size(), 1u);
    EXPECT_EQ(scripted.requests()[0].length, 8u);
    EXPECT_EQ(scripted.requests()[0].flags, 0u);
  }
  // Bytes delivered 01 02 ... 08: the first one is the least significant.
  EXPECT_EQ(value, 0x0807060504030201u);
}

TEST(ScriptedSplit, DrawsEightRequestsPerDegreeWithCancellationHeldOffThenRestoresIt) {
  // random_u64 leaves cancellation to its caller: the split holds it off around the whole table,
  // and gives the thread its state back afterwards.
  const std::vector<std::uint8_t> secret(32, 7);
  std::deque<Reply> replies(16, bytes(8));
  ScriptedGetrandom scripted(nullptr, std::move(replies));
  const auto shares = velkor::core::shamir_split(secret, 3, 5);
  ASSERT_TRUE(shares.ok());
  ASSERT_EQ(scripted.requests().size(), 16u);
  for (const Request& request : scripted.requests()) {
    EXPECT_EQ(request.length, 8u);
    EXPECT_TRUE(request.cancellation_held_off);
  }
  int state = 0;
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &state);
  pthread_setcancelstate(state, nullptr);
  EXPECT_EQ(state, PTHREAD_CANCEL_ENABLE);
}

// ---------------------------------------------------------------------------------------------
// The vDSO path. A fake vDSO answers the request, and what it leaves undone must reach the
// scripted getrandom, failures included, exactly as on the getrandom() path.

ssize_t g_vdso_answer = 0;

ssize_t fake_vdso(void* buffer, std::size_t length, unsigned int, void*, std::size_t) {
  if (g_vdso_answer > 0 && static_cast<std::size_t>(g_vdso_answer) <= length) {
    std::memset(buffer, 0xEE, static_cast<std::size_t>(g_vdso_answer));
  }
  return g_vdso_answer;
}

struct VdsoCase {
  const char* name;
  ssize_t vdso_answer;
  std::deque<Reply> replies;
  std::vector<Request> requests;
  const char* message;  // null when fill_random returns
};

void PrintTo(const VdsoCase& c, std::ostream* out) {
  *out << c.name;
}

class VdsoFallback : public ::testing::TestWithParam<VdsoCase> {};

TEST_P(VdsoFallback, WhatTheVdsoLeavesGoesThroughGetrandom) {
  const VdsoCase& c = GetParam();
  g_vdso_answer = c.vdso_answer;
  const velkor::core::VdsoGetrandom vdso{&fake_vdso, nullptr, 0};
  std::vector<unsigned char> buffer(10, 0);
  ScriptedGetrandom scripted(buffer.data(), c.replies);
  try {
    velkor::core::linux_random::fill_random_from(&vdso, buffer.data(), buffer.size());
    EXPECT_EQ(c.message, nullptr) << "fill_random returned";
    // The vDSO's bytes first, then the script's running sequence 1, 2, ...
    const std::size_t kept =
        c.vdso_answer > 0 && c.vdso_answer <= 10 ? static_cast<std::size_t>(c.vdso_answer) : 0;
    for (std::size_t i = 0; i < buffer.size(); ++i) {
      EXPECT_EQ(buffer[i], i < kept ? 0xEE : i - kept + 1) << "byte " << i;
    }
  } catch (const InternalFailure& failure) {
    EXPECT_NE(c.message, nullptr);
    EXPECT_EQ(failure.message(), c.message ? c.message : "");
  }
  EXPECT_EQ(scripted.requests(), c.requests);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, VdsoFallback,
    ::testing::Values(
        VdsoCase{"Full", 10, {}, {}, nullptr},
        VdsoCase{"Short", 3, {bytes(7)}, {{3, 7, 0}}, nullptr},
        VdsoCase{"Fails", -EINVAL, {bytes(10)}, {{0, 10, 0}}, nullptr},
        VdsoCase{"Nothing", 0, {bytes(10)}, {{0, 10, 0}}, nullptr},
        VdsoCase{"MoreThanAsked", 11, {bytes(10)}, {{0, 10, 0}}, nullptr},
        VdsoCase{
            "FailsAndGetrandomFails", -EINVAL, {error(EIO)}, {{0, 10, 0}}, "Error: OS Error: 5"}),
    [](const ::testing::TestParamInfo<VdsoCase>& param_info) {
      return std::string(param_info.param.name);
    });

// This program defines getrandom itself (above), ahead of the C library: the process's path
// must be getrandom(), so that the definition sees every request.
TEST(LinuxPath, GetrandomInterposedByTheProgramIsHonoured) {
  EXPECT_EQ(velkor::core::linux_random::process_vdso_getrandom(), nullptr);
  // The C library's own getrandom is found apart from this program's and is the real one.
  const std::uintptr_t own = velkor::core::linux_random::c_library_getrandom();
  ASSERT_NE(own, 0u);
  EXPECT_NE(own, reinterpret_cast<std::uintptr_t>(&getrandom));
  unsigned char buffer[8] = {};
  EXPECT_EQ(reinterpret_cast<decltype(&getrandom)>(own)(buffer, sizeof buffer, 0), 8);
}

struct VersionCase {
  const char* version;
  bool uses_vdso;
};

TEST(GlibcVersion, From241TheCLibraryCallsTheVdsoItself) {
  // Unreadable versions count as a C library that does: the plain path is the safe one.
  for (const VersionCase& c :
       {VersionCase{"2.36", false}, VersionCase{"2.40", false}, VersionCase{"2.9", false},
        VersionCase{"2.41", true}, VersionCase{"2.41.9000", true}, VersionCase{"2.100", true},
        VersionCase{"3.0", true}, VersionCase{"", true}, VersionCase{"2", true},
        VersionCase{"2.", true}, VersionCase{"2.4x", true}, VersionCase{"x.41", true}}) {
    EXPECT_EQ(velkor::core::linux_random::c_library_uses_vdso(c.version), c.uses_vdso) << c.version;
  }
}

#endif  // VELKOR_TEST_SCRIPTED_GETRANDOM

}  // namespace
