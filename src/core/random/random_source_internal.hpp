// Internal helpers shared by the platform layers of the random source.
#pragma once

#include <cstdint>

namespace velkor::core::detail {

// The failure code reported for a failed system call, given the errno it left behind. A
// positive error number is its own code (every int is below 2^31). A call that failed without
// leaving an error number (0, or a negative value no C library uses) still has to be reported
// with a non-zero code; it gets EIO, the generic input/output error.
[[nodiscard]] std::uint32_t errno_failure_code(int error) noexcept;

}  // namespace velkor::core::detail
