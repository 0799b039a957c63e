// Clearing the stack below the caller. A function's frame is not cleared when it returns: the
// values the core spilled there (the words of a key, the weighted sums of a combine, drawn
// coefficients, share values) stay in the thread's stack memory until other calls happen to
// overwrite them. The entry points clear that memory before they hand control back.
#pragma once

#include <cstddef>

namespace velkor::core {

// How many bytes below its caller scrub_stack clears. Measured on x86-64 (GCC 12, -O3) by
// painting the stack below an entry point: the deepest entry point reaches 4.8 KiB below its
// frame (a split whose draw fails, unwinding and writing the PanicException report), a combine
// 4.0 KiB, a split 1.7 KiB, whatever k and n; the core alone reaches 6.6 KiB on its first calls
// (lazy binding of library symbols, the first exception), 10.5 KiB when built with
// AddressSanitizer; on aarch64 the core's first exception reaches 9.1 KiB (its unwinder keeps
// larger register contexts). 16 KiB leaves more than twice the x86-64 figures and fits the
// smallest thread stack Python allows (32 KiB).
inline constexpr std::size_t kStackScrubDepth = 16 * 1024;

// Overwrites the kStackScrubDepth bytes of stack right below the caller's frame with zeros,
// with stores the optimiser cannot remove (secure_wipe), then, on x86-64, zeroes the registers
// a call may leave changed (values left there reach the stack with the next lazy symbol binding
// or signal). It is never inlined, so its frame starts where the frames of the caller's earlier
// callees started: call it from the function that made the calls to be cleared up after, once
// they have returned or unwound.
void scrub_stack() noexcept;

}  // namespace velkor::core
