// split_secret(secret, k, n) -> list[str]: bind, convert secret, k and n in that order, split,
// build the list. Every conversion happens before the core looks at any value, so a conversion
// error wins over a wrong secret length. A long split checks for signals every so often, so that
// Ctrl-C ends it with KeyboardInterrupt.
#include <array>
#include <cstdint>
#include <string_view>

#include "boundary/argument_error.hpp"
#include "boundary/binder.hpp"
#include "boundary/converters.hpp"
#include "boundary/entry_guard.hpp"
#include "boundary/python_error.hpp"
#include "boundary/results.hpp"
#include "core/split.hpp"
#include "core/stack_scrub.hpp"
#include "lib/functions.hpp"

namespace velkor::lib {

namespace {

constexpr std::array<std::string_view, 3> kParameters = {"secret", "k", "n"};
constexpr boundary::ParameterSpec kSpec{
    .function_name = "split_secret",
    .positional = kParameters,
    .required_positional = 3,
    .positional_only = 0,
    .keyword_only = {},
};
static_assert(kSpec.valid());

}  // namespace

PyObject* split_secret(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  return boundary::entry_guard<core::kSplitScrubDepth>([args, kwargs] {
    const auto slots = boundary::bind<kSpec.slot_count()>(kSpec, args, kwargs);
    const auto secret = boundary::convert_argument(
        kParameters[0], [&slots] { return boundary::to_bytes_view(slots[0].get()); });
    const std::uint64_t k = boundary::convert_argument(
        kParameters[1], [&slots] { return boundary::to_u64(slots[1].get()); });
    const std::uint64_t n = boundary::convert_argument(
        kParameters[2], [&slots] { return boundary::to_u64(slots[2].get()); });

    auto shares = core::shamir_split(secret, k, n, core::random_u64, boundary::check_signals);
    if (!shares.ok()) {
      throw boundary::PythonError(PyExc_ValueError, shares.error());
    }
    return boundary::make_str_list(shares.value());
  });
}

}  // namespace velkor::lib
