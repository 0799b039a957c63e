// combine_shares(shares, k) -> bytes: bind, convert shares and k in that order, combine, build
// the bytes. The rebuilt secret's buffer wipes itself once the bytes object holds its copy. A long
// combine checks for signals every so often, so that Ctrl-C ends it with KeyboardInterrupt.
#include <array>
#include <cstdint>
#include <string_view>

#include "boundary/argument_error.hpp"
#include "boundary/binder.hpp"
#include "boundary/converters.hpp"
#include "boundary/entry_guard.hpp"
#include "boundary/python_error.hpp"
#include "boundary/results.hpp"
#include "core/combine.hpp"
#include "core/stack_scrub.hpp"
#include "lib/functions.hpp"

namespace velkor::lib {

namespace {

constexpr std::array<std::string_view, 2> kParameters = {"shares", "k"};
constexpr boundary::ParameterSpec kSpec{
    .function_name = "combine_shares",
    .positional = kParameters,
    .required_positional = 2,
    .positional_only = 0,
    .keyword_only = {},
};
static_assert(kSpec.valid());

}  // namespace

PyObject* combine_shares(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  return boundary::entry_guard<core::kCombineScrubDepth>([args, kwargs] {
    const auto slots = boundary::bind<kSpec.slot_count()>(kSpec, args, kwargs);
    const boundary::ShareTexts shares = boundary::convert_argument(
        kParameters[0], [&slots] { return boundary::to_share_texts(slots[0].get()); });
    const std::uint64_t k = boundary::convert_argument(
        kParameters[1], [&slots] { return boundary::to_u64(slots[1].get()); });

    auto secret = core::shamir_combine(shares.texts(), k, boundary::check_signals);
    if (!secret.ok()) {
      throw boundary::PythonError(PyExc_ValueError, secret.error());
    }
    return boundary::make_bytes(secret.value().bytes());
  });
}

}  // namespace velkor::lib
