// Result builders: turn the core's plain results into the Python objects the module functions
// return. A failure of the interpreter to create the object is the internal failure
// "Python API call failed".
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "boundary/owned_ref.hpp"

namespace velkor::boundary {

// A new bytes object holding a copy of `data`. The caller still owns (and wipes) its buffer.
[[nodiscard]] OwnedRef make_bytes(std::span<const std::uint8_t> data);

}  // namespace velkor::boundary
