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

// One 8-byte request to fill_random, read little-endian (the first byte delivered is the least
// significant).
[[nodiscard]] std::uint64_t random_u64();

// The message of a generator failure with the given non-zero failure code (below 2^31).
[[nodiscard]] std::string random_failure_message(std::uint32_t code);

}  // namespace velkor::core
