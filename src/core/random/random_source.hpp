// The core's only access to randomness: the operating system's cryptographic generator, asked
// afresh for every request. No seed, no pool, no buffering.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace velkor::core {

// Fills `size` bytes at `buffer` from the operating system's generator. Returns only when all
// of them are filled; if the generator fails it ends the call with the internal failure
// "Error: OS Error: <code>" (see internal_failure.hpp). A size of 0 makes no system call.
void fill_random(void* buffer, std::size_t size);

// fill_random for a caller that holds thread cancellation off already (core/cancellation.hpp):
// the same requests and failures, without changing the thread's cancellation state. Where the
// generator's call is not a cancellation point (macOS, the BSDs, Windows) the two are the same.
void fill_random_held_off(void* buffer, std::size_t size);

// One 8-byte request to the generator, read little-endian (the first byte delivered is the least
// significant). It leaves the thread's cancellation state alone: its caller holds cancellation
// off (shamir_split does, around the whole coefficient table), so that the 8 · (k − 1) requests
// of a split pay for that once.
[[nodiscard]] std::uint64_t random_u64();

// The message of a generator failure with the given non-zero failure code (below 2^31).
[[nodiscard]] std::string random_failure_message(std::uint32_t code);

}  // namespace velkor::core
