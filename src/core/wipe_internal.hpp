// Internal pieces of the wipe, visible to the core's tests.
#pragma once

#include <cstddef>

namespace velkor::core::detail {

// The portable wipe: one volatile store per byte, then a compiler barrier that makes the memory
// look read by code the optimiser cannot see. secure_wipe uses it on platforms without a
// dedicated primitive; it is compiled everywhere so that it is tested everywhere.
void volatile_wipe(void* data, std::size_t size) noexcept;

}  // namespace velkor::core::detail
