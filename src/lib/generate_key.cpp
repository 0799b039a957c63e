#include <cstdint>

#include "boundary/entry_guard.hpp"
#include "boundary/results.hpp"
#include "core/random/random_source.hpp"
#include "core/stack_scrub.hpp"
#include "core/wipe.hpp"
#include "lib/functions.hpp"

namespace velkor::lib {

PyObject* generate_key(PyObject* /*module*/, PyObject* /*unused*/) {
  return boundary::entry_guard<core::kKeyScrubDepth>([] {
    // A zeroed buffer on the stack, filled by one 32-byte request; it is wiped when it goes out
    // of scope, after the bytes object has taken its copy, and on every failure path.
    core::SecretArray<std::uint8_t, 32> key;
    core::fill_random(key.data(), key.size());
    return boundary::make_bytes(key.array());
  });
}

}  // namespace velkor::lib
