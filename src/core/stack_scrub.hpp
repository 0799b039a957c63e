// Clearing the stack below the caller. A function's frame is not cleared when it returns: the
// values the core spilled there (the words of a key, the weighted sums of a combine, drawn
// coefficients, share values) stay in the thread's stack memory until other calls happen to
// overwrite them. The entry points clear that memory before they hand control back.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velkor::core {

// How many bytes below its caller scrub_stack clears. Measured on x86-64 (GCC 12, -O3) by
// painting the stack below an entry point: a call that ends in an exception (an error result,
// an internal failure, MemoryError) reaches 2.4–4.8 KiB below its frame (a split whose draw
// fails is the deepest, unwinding and writing the PanicException report); the core alone
// reaches 6.6 KiB on its first exception (the unwinder finds and reads the unwind tables),
// 9.1 KiB on aarch64 and 10.5 KiB when built with AddressSanitizer. A call that returns its
// result reaches much less, and the same depth whatever k and n: generate_key 0.7 KiB on its
// first call (0.15 KiB after), a split 1.7 KiB, a combine 4.0 KiB.
//
// So a call that fails clears kStackScrubDepth, more than twice the x86-64 figures; a call that
// succeeds clears the depth of its entry point below, which leaves its measured reach three to six
// times over and costs a fraction of the full depth (about 9 ns a KiB) on the paths that run in
// loops.
inline constexpr std::size_t kStackScrubDepth = 16 * 1024;
inline constexpr std::size_t kKeyScrubDepth = 4 * 1024;
inline constexpr std::size_t kSplitScrubDepth = 8 * 1024;
inline constexpr std::size_t kCombineScrubDepth = 12 * 1024;

// Overwrites the Depth bytes of stack right below the caller's frame with zeros, with stores
// the optimiser cannot remove (secure_wipe), then, on x86-64, zeroes the registers a call may
// leave changed (values left there reach the stack with the next lazy symbol binding or
// signal). It is never inlined, so its frame starts where the frames of the caller's earlier
// callees started: call it from the function that made the calls to be cleared up after, once
// they have returned or unwound. Defined for the four depths above.
//
// It never writes outside the calling thread's usable stack: when less than Depth is left below
// the caller, it clears down to the end margin above the lowest address of the thread's stack
// (read once per thread: the lowest address the stack may grow to, and its top), where the dead
// frames of the caller's callees end too, and takes no more stack than it clears. The margin is
// left for a signal that lands meanwhile: the kernel's least signal frame, as the auxiliary
// vector reports it, and 8 KiB for the handler. On Linux the main thread's stack is told by where
// the caller's frame lies (not by the thread's id), and the lowest address it may grow to follows
// RLIMIT_STACK as it is at the call: it is asked for when the region reaches below the part of
// the stack already mapped, which a region above it needs no limit for.
//
// A stack the thread switched to (swapcontext, a fiber, a coroutine library's own stack) is not
// the one the bounds were read for, and its own bounds cannot be known: when the caller's frame
// lies outside the thread's stack, nothing is cleared there (only the registers), and what the
// core spilled on such a stack stays until that memory is reused. The wipes of the core's own
// buffers, done when they go out of scope, happen wherever the call runs. A stack carved out of
// the thread's own stack cannot be told apart from it.
template <std::size_t Depth>
void scrub_stack() noexcept;

#if defined(__linux__)
// One line of /proc/self/maps, "start-end perms offset device inode [pathname]", as the scrub
// reads it to find the main thread's stack: the range, whether it is readable, writable or
// executable, and whether its pathname field is exactly "[stack]", the kernel's label for that
// stack (a file whose name ends in it is not). False for a line not of that form.
struct StackMapsLine {
  std::uintptr_t start = 0;
  std::uintptr_t end = 0;
  bool accessible = false;
  bool stack = false;
};
bool parse_stack_maps_line(const char* line, std::size_t length, StackMapsLine& mapping) noexcept;
#endif

}  // namespace velkor::core
