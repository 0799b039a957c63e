// Timings of the core beside the plain reference algorithms (tests/cpp/field_oracle.hpp):
// double-and-add multiplication, square-and-multiply inversion, and interpolation with one
// inversion per term and word. Every input is fixed (see below); setup stays outside the timed
// loops. After the runs a summary prints each core time, its reference time and their ratio
// (processor time per iteration, fastest repetition).
#include <benchmark/benchmark.h>

#if defined(__linux__)
#include <sys/auxv.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "core/combine.hpp"
#include "core/random/random_source.hpp"
#include "core/share_text.hpp"
#include "core/split.hpp"
#include "core/stack_scrub.hpp"
#include "field_oracle.hpp"

#if defined(__linux__)
#include "core/random/vdso_getrandom.hpp"
#endif

namespace {

using velkor::core::FieldElement;
using velkor::oracle::u128;
namespace core = velkor::core;
namespace oracle = velkor::oracle;

// Operands of the multiplication and inversion chains: the fractional bits of sqrt(2) and
// sqrt(3), cut to 127 bits, so the reference walks 127 bits of its second operand.
constexpr u128 kOperandA = (static_cast<u128>(0x6a09e667f3bcc908U) << 64) | 0xb2fb1366ea957d3eU;
constexpr u128 kOperandB = (static_cast<u128>(0x3b67ae8584caa73bU) << 64) | 0x2a3f8f4df8a7a27bU;

// The secret of the split and combine runs: bytes 0, 1, …, 31.
std::array<std::uint8_t, 32> fixed_secret() {
  std::array<std::uint8_t, 32> secret{};
  for (std::size_t i = 0; i < secret.size(); ++i) secret[i] = static_cast<std::uint8_t>(i);
  return secret;
}

// A cheap reproducible word source (splitmix64 from seed 0), so that the split timings measure
// evaluation and writing, not the operating system's generator.
std::uint64_t g_words = 0;
std::uint64_t cheap_words() {
  std::uint64_t z = (g_words += 0x9e3779b97f4a7c15U);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9U;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebU;
  return z ^ (z >> 31);
}

// Products per timed iteration of the multiplication chains, so that the loop's own cost (and
// the store that DoNotOptimize forces) is spread over many products.
constexpr int kChain = 64;

void MulMod(benchmark::State& state) {
  FieldElement a = oracle::from_native(kOperandA);
  const FieldElement b = oracle::from_native(kOperandB);
  for (auto _ : state) {
    for (int i = 0; i < kChain; ++i) a = core::mul_mod(a, b);  // each feeds the next: latency
    benchmark::DoNotOptimize(a);
  }
  state.counters["calls"] = kChain;
}

void MulModReference(benchmark::State& state) {
  u128 a = kOperandA;
  for (auto _ : state) {
    for (int i = 0; i < kChain; ++i) a = oracle::mul_mod(a, kOperandB);
    benchmark::DoNotOptimize(a);
  }
  state.counters["calls"] = kChain;
}

void InvMod(benchmark::State& state) {
  FieldElement a = oracle::from_native(kOperandA);
  for (auto _ : state) {
    a = core::inv_mod(a);
    benchmark::DoNotOptimize(a);
  }
}

void InvModReference(benchmark::State& state) {
  u128 a = kOperandA;
  for (auto _ : state) {
    a = oracle::inv_mod(a);
    benchmark::DoNotOptimize(a);
  }
}

// Share texts 1 … k of a split of the fixed secret with threshold k.
std::vector<std::string> fixed_shares(std::uint64_t k) {
  g_words = 0;
  const auto split = core::shamir_split(fixed_secret(), k, k, cheap_words);
  std::vector<std::string> texts;
  for (std::size_t i = 0; i < split.value().size(); ++i) texts.emplace_back(split.value()[i]);
  return texts;
}

// Parsing and interpolation from the share texts.
void Combine(benchmark::State& state) {
  const auto k = static_cast<std::uint64_t>(state.range(0));
  const std::vector<std::string> texts = fixed_shares(k);
  const std::vector<std::string_view> views(texts.begin(), texts.end());
  const auto check = core::shamir_combine(views, k);
  if (!check.ok() || check.value().bytes()[31] != 31) state.SkipWithError("wrong secret");
  for (auto _ : state) {
    auto result = core::shamir_combine(views, k);
    benchmark::DoNotOptimize(result.value().data());
  }
}

// The same texts parsed by the core reader, then interpolated term by term with the reference
// operations: for each word and share a product of k − 1 numerator and denominator factors and
// its own inversion.
void CombineReference(benchmark::State& state) {
  const auto k = static_cast<std::uint64_t>(state.range(0));
  const std::vector<std::string> texts = fixed_shares(k);
  for (auto _ : state) {
    std::vector<oracle::Point> points[4];
    for (const std::string& text : texts) {
      const core::Share share = core::parse_share(text).value();
      const u128 x = oracle::to_native(share.index);
      points[0].push_back({x, oracle::to_native(share.a)});
      points[1].push_back({x, oracle::to_native(share.b)});
      points[2].push_back({x, oracle::to_native(share.c)});
      points[3].push_back({x, oracle::to_native(share.d)});
    }
    std::array<std::uint8_t, 32> secret{};
    for (std::size_t w = 0; w < 4; ++w) {
      const auto word = static_cast<std::uint64_t>(oracle::interpolate_at_zero(points[w]));
      for (std::size_t b = 0; b < 8; ++b) {
        secret[8 * w + b] = static_cast<std::uint8_t>(word >> (56 - 8 * b));
      }
    }
    if (secret[31] != 31) state.SkipWithError("wrong secret");
    benchmark::DoNotOptimize(secret.data());
  }
}

// The text of share 2 of a split with threshold 3 in the forms the reader accepts: as written
// (canonical), with upper-case digits, with every value cut to its low 20 digits (a short form:
// another share, read the general way), and with a '+' in front of every field (33-digit
// pieces, so not the writer's shape either).
std::string share_text_form(std::int64_t form) {
  std::string text = fixed_shares(3)[1];
  const std::size_t values = text.find(':');
  switch (form) {
    case 1:
      for (std::size_t i = values; i < text.size(); ++i) {
        if (text[i] >= 'a' && text[i] <= 'f') text[i] = static_cast<char>(text[i] - 'a' + 'A');
      }
      break;
    case 2: {
      std::string shortened = text.substr(0, values);
      for (std::size_t start = values + 1; start < text.size(); start += 33) {
        shortened.append(":").append(text, start + 12, 20);
      }
      text = shortened;
      break;
    }
    case 3: {
      std::string signed_text = "+";
      signed_text.append(text, 0, values);
      for (std::size_t start = values + 1; start < text.size(); start += 33) {
        signed_text.append(":+").append(text, start, 32);
      }
      text = signed_text;
      break;
    }
    default:
      break;
  }
  return text;
}

// Reading one share text into a Share.
void ParseShare(benchmark::State& state) {
  static constexpr const char* kForms[] = {"canonical", "upper-case", "short", "plus signs"};
  const std::string text = share_text_form(state.range(0));
  state.SetLabel(kForms[state.range(0)]);
  core::Share share{};
  if (core::parse_share_into(text, share) != core::ShareTextError::kNone) {
    state.SkipWithError("text does not read");
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(core::parse_share_into(text, share));
    benchmark::DoNotOptimize(share);
  }
}

// The clearing of the stack (and registers) that every entry point does before it returns, at
// each of the depths the entry points use (bytes).
template <std::size_t Depth>
void ScrubStack(benchmark::State& state) {
  for (auto _ : state) core::scrub_stack<Depth>();
}

// Drawing (from the cheap source), evaluation at 1 … n and writing of the n texts.
void Split(benchmark::State& state) {
  const auto k = static_cast<std::uint64_t>(state.range(0));
  const auto n = static_cast<std::uint64_t>(state.range(1));
  const auto secret = fixed_secret();
  for (auto _ : state) {
    g_words = 0;
    auto result = core::shamir_split(secret, k, n, cheap_words);
    benchmark::DoNotOptimize(result.value()[0].data());
  }
}

// The same table and texts with the reference evaluation: the running power of x carried
// beside the sum, every product by double-and-add.
void SplitReference(benchmark::State& state) {
  const auto k = static_cast<std::uint64_t>(state.range(0));
  const auto n = static_cast<std::uint64_t>(state.range(1));
  const auto secret = fixed_secret();
  for (auto _ : state) {
    g_words = 0;
    std::vector<u128> rows[4];
    for (auto& row : rows) {
      for (std::uint64_t j = 1; j < k; ++j) {
        const std::uint64_t lo = cheap_words();
        const u128 v = (static_cast<u128>(cheap_words() & 0x7fffffffffffffffU) << 64) | lo;
        row.push_back(v == oracle::kP ? 0 : v);
      }
    }
    u128 words[4] = {};
    for (std::size_t i = 0; i < 32; ++i) words[i / 8] = (words[i / 8] << 8) | secret[i];
    std::vector<std::string> texts;
    texts.reserve(n);
    char buffer[core::kMaxShareTextSize];
    for (std::uint64_t x = 1; x <= n; ++x) {
      const core::Share share{
          x, oracle::from_native(oracle::evaluate_polynomial(words[0], rows[0], x)),
          oracle::from_native(oracle::evaluate_polynomial(words[1], rows[1], x)),
          oracle::from_native(oracle::evaluate_polynomial(words[2], rows[2], x)),
          oracle::from_native(oracle::evaluate_polynomial(words[3], rows[3], x))};
      texts.emplace_back(buffer, core::format_share(share, buffer));
    }
    benchmark::DoNotOptimize(texts.data());
  }
}

// One 8-byte request to the operating system's generator, as each coefficient half costs.
void RandomU64(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(core::random_u64());
}

#if defined(__linux__)
// The two ways a request reaches the kernel's generator on Linux, for 8 bytes (a random_u64)
// and 32 (a key): the getrandom system call itself (made directly, so that a C library which
// routes getrandom() through the vDSO does not change what is measured), and the vDSO
// getrandom with a state of its own.
void GetrandomSyscall(benchmark::State& state) {
  unsigned char buffer[32];
  const auto size = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    if (::syscall(SYS_getrandom, buffer, size, 0) != static_cast<long>(size)) {
      state.SkipWithError("getrandom failed");
    }
    benchmark::DoNotOptimize(buffer);
  }
}

void VdsoGetrandom(benchmark::State& state) {
  const auto vdso =
      core::open_vdso_getrandom(reinterpret_cast<const void*>(::getauxval(AT_SYSINFO_EHDR)));
  if (!vdso) {
    state.SkipWithError("no vDSO getrandom");
    return;
  }
  unsigned char buffer[32];
  const auto size = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    if ((*vdso)(buffer, size) != static_cast<ssize_t>(size)) state.SkipWithError("vDSO failed");
    benchmark::DoNotOptimize(buffer);
  }
}
#endif

BENCHMARK(MulMod);
BENCHMARK(MulModReference);
BENCHMARK(InvMod);
BENCHMARK(InvModReference);
BENCHMARK(Combine)->Arg(2)->Arg(3)->Arg(10)->Arg(50)->Arg(255);
BENCHMARK(CombineReference)->Arg(2)->Arg(3)->Arg(10)->Arg(50)->Arg(255);
BENCHMARK(Split)->Args({2, 3})->Args({3, 5})->Args({10, 20})->Args({255, 255});
BENCHMARK(SplitReference)->Args({2, 3})->Args({3, 5})->Args({10, 20})->Args({255, 255});
BENCHMARK(RandomU64);
#if defined(__linux__)
BENCHMARK(GetrandomSyscall)->Arg(8)->Arg(32);
BENCHMARK(VdsoGetrandom)->Arg(8)->Arg(32);
#endif
BENCHMARK(ParseShare)->DenseRange(0, 3);
// The depths of generate_key, split_secret and combine_shares when they succeed, and of every
// call that fails (core/stack_scrub.hpp).
BENCHMARK_TEMPLATE(ScrubStack, 4096);
BENCHMARK_TEMPLATE(ScrubStack, 8192);
BENCHMARK_TEMPLATE(ScrubStack, 12288);
BENCHMARK_TEMPLATE(ScrubStack, 16384);
static_assert(velkor::core::kKeyScrubDepth == 4096 && velkor::core::kSplitScrubDepth == 8192 &&
              velkor::core::kCombineScrubDepth == 12288 && velkor::core::kStackScrubDepth == 16384);

// Console output as usual, plus the time per iteration of every run, for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
      // Processor time of this process (all runs are single-threaded), and with
      // --benchmark_repetitions the fastest repetition: on a shared machine wall time and the
      // slower repetitions also measure the neighbours.
      // Per call where an iteration makes several ("calls" counter).
      const auto calls = run.counters.find("calls");
      const double per_iteration = calls == run.counters.end() ? 1.0 : calls->second.value;
      const double ns =
          run.cpu_accumulated_time * 1e9 / (static_cast<double>(run.iterations) * per_iteration);
      const std::string& args = run.run_name.args;
      const std::string name = run.run_name.function_name + (args.empty() ? "" : "/" + args);
      const auto [it, inserted] = times_.emplace(name, ns);
      if (!inserted) it->second = std::min(it->second, ns);
    }
  }

  // Each core run beside the reference run of the same arguments ("XReference/args").
  void PrintSummary() const {
    std::printf("\n%-22s %14s %16s %10s\n", "operation", "core ns", "reference ns", "ratio");
    for (const auto& [name, ns] : times_) {
      const std::size_t slash = name.find('/');
      const std::string base = name.substr(0, slash);
      const std::string args = slash == std::string::npos ? "" : name.substr(slash);
      const auto reference = times_.find(base + "Reference" + args);
      if (reference == times_.end()) {
        if (base.find("Reference") == std::string::npos) {
          std::printf("%-22s %14.1f\n", name.c_str(), ns);
        }
        continue;
      }
      std::printf("%-22s %14.1f %16.1f %10.1f\n", name.c_str(), ns, reference->second,
                  reference->second / ns);
    }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintSummary();
  benchmark::Shutdown();
  return 0;
}
