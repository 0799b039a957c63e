// Wiping: secure_wipe and its portable fallback, SecretArray's destructor and WipingAllocator.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#if defined(_WIN32)
#include <malloc.h>  // _aligned_malloc, _aligned_free
#endif

#include "core/wipe.hpp"
#include "core/wipe_internal.hpp"

namespace {

bool all_zero(const unsigned char* bytes, std::size_t size) {
  return std::all_of(bytes, bytes + size, [](unsigned char byte) { return byte == 0; });
}

// Makes memory look read by unknown code, so stores to an object about to die are not removed
// as dead before the code under test runs.
void escape(const void* pointer) {
#if defined(__GNUC__) || defined(__clang__)
  __asm__ __volatile__("" : : "r"(pointer) : "memory");
#else
  static const void* volatile sink = nullptr;
  sink = pointer;
#endif
}

// What the over-aligned deallocation functions below saw while a HeapWatch was alive.
struct HeapLog {
  bool active = false;
  std::size_t frees = 0;
  std::size_t wiped_frees = 0;
};

HeapLog heap_log;

class HeapWatch {
 public:
  HeapWatch() { heap_log = HeapLog{.active = true}; }
  HeapWatch(const HeapWatch&) = delete;
  HeapWatch& operator=(const HeapWatch&) = delete;
  ~HeapWatch() { heap_log.active = false; }

  [[nodiscard]] std::size_t frees() const { return heap_log.frees; }
  [[nodiscard]] std::size_t wiped_frees() const { return heap_log.wiped_frees; }
};

// Fresh blocks are filled with this, so an allocator that wipes nothing cannot pass by handing
// back memory that happened to be zero already.
constexpr unsigned char kFreshByte = 0xEE;

}  // namespace

// Replacements of the over-aligned allocation functions, which std::allocator uses for types
// aligned beyond __STDCPP_DEFAULT_NEW_ALIGNMENT__ (the tests' Block below). They keep each
// block's size in a header one alignment unit in front of it, so that a deallocation can look
// at the whole block before releasing it. They are complete allocators whether or not a
// HeapWatch is alive; other allocations of the program do not come here.
void* operator new(std::size_t size, std::align_val_t alignment) {
  const auto align = static_cast<std::size_t>(alignment);
  if (size > SIZE_MAX - 2 * align) {
    throw std::bad_alloc();
  }
  // Header plus the block, rounded up to a multiple of the alignment as aligned_alloc requires.
  const std::size_t total = (size + 2 * align - 1) / align * align;
#if defined(_WIN32)
  void* const raw = _aligned_malloc(total, align);
#else
  void* const raw = std::aligned_alloc(align, total);
#endif
  if (raw == nullptr) {
    throw std::bad_alloc();
  }
  std::memcpy(raw, &size, sizeof size);
  unsigned char* const block = static_cast<unsigned char*>(raw) + align;
  std::memset(block, kFreshByte, size);
  return block;
}

void operator delete(void* block, std::align_val_t alignment) noexcept {
  if (block == nullptr) {
    return;
  }
  unsigned char* const raw =
      static_cast<unsigned char*>(block) - static_cast<std::size_t>(alignment);
  std::size_t size = 0;
  std::memcpy(&size, raw, sizeof size);
  if (heap_log.active) {
    ++heap_log.frees;
    if (all_zero(static_cast<const unsigned char*>(block), size)) {
      ++heap_log.wiped_frees;
    }
  }
#if defined(_WIN32)
  _aligned_free(raw);
#else
  std::free(raw);
#endif
}

void operator delete(void* block, std::size_t /*size*/, std::align_val_t alignment) noexcept {
  ::operator delete(block, alignment);
}

namespace {

using velkor::core::SecretArray;
using velkor::core::SecretVector;
using velkor::core::secure_wipe;

// ---------------------------------------------------------------------------------------------
// secure_wipe and the portable loop.

using WipeFunction = void (*)(void*, std::size_t) noexcept;

struct WipeImplementation {
  const char* name;
  WipeFunction wipe;
};

class Wipe
    : public ::testing::TestWithParam<std::tuple<WipeImplementation, std::size_t, std::size_t>> {};

TEST_P(Wipe, ZeroesExactlyTheRequestedBytes) {
  const auto& [implementation, offset, size] = GetParam();
  constexpr std::size_t kGuard = 16;
  constexpr unsigned char kByte = 0xA5;
  std::vector<unsigned char> buffer(offset + size + kGuard, kByte);

  implementation.wipe(buffer.data() + offset, size);

  EXPECT_TRUE(all_zero(buffer.data() + offset, size));
  EXPECT_TRUE(std::all_of(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(offset),
                          [](unsigned char byte) { return byte == kByte; }))
      << "wrote before the range";
  EXPECT_TRUE(std::all_of(buffer.end() - static_cast<std::ptrdiff_t>(kGuard), buffer.end(),
                          [](unsigned char byte) { return byte == kByte; }))
      << "wrote after the range";
}

// Unaligned starts and sizes around word and vector widths.
INSTANTIATE_TEST_SUITE_P(
    Ranges, Wipe,
    ::testing::Combine(::testing::Values(WipeImplementation{"secure_wipe", &secure_wipe},
                                         WipeImplementation{"volatile_wipe",
                                                            &velkor::core::detail::volatile_wipe}),
                       ::testing::Values(std::size_t{0}, std::size_t{1}, std::size_t{3}),
                       ::testing::Values(std::size_t{0}, std::size_t{1}, std::size_t{7},
                                         std::size_t{32}, std::size_t{33}, std::size_t{4099})),
    [](const auto& param_info) {
      return std::string(std::get<0>(param_info.param).name) + "_at" +
             std::to_string(std::get<1>(param_info.param)) + "_size" +
             std::to_string(std::get<2>(param_info.param));
    });

TEST(SecureWipe, SizeZeroAcceptsANullPointer) {
  secure_wipe(nullptr, 0);
  velkor::core::detail::volatile_wipe(nullptr, 0);
}

// ---------------------------------------------------------------------------------------------
// SecretArray. Its elements are destroyed after its destructor's body has run, so an element
// that looks at its own bytes in its destructor sees what the wipe left behind.

struct ProbeLog {
  int destroyed = 0;
  int destroyed_zero = 0;
};

ProbeLog probe_log;

struct Probe {
  std::array<unsigned char, 12> bytes{};

  ~Probe() {
    ++probe_log.destroyed;
    if (all_zero(bytes.data(), bytes.size())) {
      ++probe_log.destroyed_zero;
    }
  }
};

TEST(SecretArray, DestructorWipesEveryElement) {
  probe_log = ProbeLog{};
  {
    SecretArray<Probe, 3> probes;
    for (std::size_t i = 0; i < probes.size(); ++i) {
      probes[i].bytes.fill(0xFF);
    }
    escape(probes.data());
  }
  EXPECT_EQ(probe_log.destroyed, 3);
  EXPECT_EQ(probe_log.destroyed_zero, 3);
}

// The probes can tell the difference: an ordinary array is destroyed unwiped.
TEST(SecretArray, ControlOrdinaryArrayIsNotWiped) {
  probe_log = ProbeLog{};
  {
    std::array<Probe, 3> probes;
    for (auto& probe : probes) {
      probe.bytes.fill(0xFF);
    }
    escape(probes.data());
  }
  EXPECT_EQ(probe_log.destroyed, 3);
  EXPECT_EQ(probe_log.destroyed_zero, 0);
}

// ---------------------------------------------------------------------------------------------
// WipingAllocator, watched through the aligned allocation functions above.

struct alignas(64) Block {
  std::array<unsigned char, 64> bytes;
};
static_assert(alignof(Block) > __STDCPP_DEFAULT_NEW_ALIGNMENT__);

Block filled_block() {
  Block block{};
  block.bytes.fill(0xC3);
  return block;
}

TEST(WipingAllocator, EveryBlockIsWipedWhenReleased) {
  HeapWatch watch;
  {
    SecretVector<Block> blocks;
    blocks.reserve(1);
    // Growing past the capacity releases the smaller blocks one after the other.
    for (int i = 0; i < 5; ++i) {
      blocks.push_back(filled_block());
    }
    escape(blocks.data());
  }
  EXPECT_GE(watch.frees(), 2u);
  EXPECT_EQ(watch.wiped_frees(), watch.frees());
}

TEST(WipingAllocator, BlockIsWipedWhenAnExceptionUnwinds) {
  HeapWatch watch;
  try {
    SecretVector<Block> blocks(3, filled_block());
    escape(blocks.data());
    throw std::runtime_error("unwind");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(watch.frees(), 1u);
  EXPECT_EQ(watch.wiped_frees(), 1u);
}

// The watch can tell the difference: the standard allocator hands blocks back unchanged.
TEST(WipingAllocator, ControlStandardAllocatorLeavesTheBlock) {
  HeapWatch watch;
  {
    std::vector<Block> blocks(3, filled_block());
    escape(blocks.data());
  }
  EXPECT_EQ(watch.frees(), 1u);
  EXPECT_EQ(watch.wiped_frees(), 0u);
}

}  // namespace
