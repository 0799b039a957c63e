// Fuzz target: reading share text from arbitrary bytes.
//
// For every input: parse_share must not crash; its outcome must equal that of the reference
// reader (same five values, or the same message, and the message one of the four known forms);
// parse_share_into and share_text_error_message must agree with it; and a text that reads must
// be written back by format_share (both overloads) as exactly the canonical text of the
// reference writer, which reads back to the same share.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/share_text.hpp"
#include "reference.hpp"

using namespace velkor;
using namespace velkor::fuzz;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  self_test_reference();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto shown = [&] { return "input \"" + printable(text) + "\""; };

  const core::Outcome<core::Share> outcome = core::parse_share(text);
  const ReadResult expected = read_share(text);

  core::Share into{};
  const core::ShareTextError error = core::parse_share_into(text, into);
  check((error == core::ShareTextError::kNone) == outcome.ok(),
        [&] { return shown() + ": parse_share_into and parse_share disagree on success"; });

  if (!outcome.ok()) {
    const std::string message(outcome.error());
    check(is_share_text_message(message, text),
          [&] { return shown() + ": unknown message \"" + printable(message) + "\""; });
    check(!expected.ok, [&] {
      return shown() + ": rejected (\"" + printable(message) +
             "\") but the reference reads it as " + write_share(expected.fields);
    });
    check(message == expected.message, [&] {
      return shown() + ": message \"" + printable(message) + "\", reference \"" +
             printable(expected.message) + "\"";
    });
    check(std::string_view(core::share_text_error_message(error, text)) == message, [&] {
      return shown() + ": share_text_error_message differs from parse_share's message";
    });
    return 0;
  }

  const Fields got = fields_of(outcome.value());
  check(expected.ok, [&] {
    return shown() + ": accepted as " + write_share(got) + " but the reference says \"" +
           printable(expected.message) + "\"";
  });
  check(got == expected.fields, [&] {
    return shown() + ": read as " + write_share(got) + ", reference " +
           write_share(expected.fields);
  });
  check(fields_of(into) == got, [&] { return shown() + ": parse_share_into read other values"; });

  const std::string canonical = write_share(got);
  const core::SecretString written = core::format_share(outcome.value());
  const std::string_view written_view(written.data(), written.size());
  check(written_view == canonical, [&] {
    return shown() + ": format_share wrote \"" + printable(written_view) + "\", expected \"" +
           canonical + "\"";
  });
  char buffer[core::kMaxShareTextSize];
  const std::size_t length = core::format_share(outcome.value(), buffer);
  check(length <= core::kMaxShareTextSize && std::string_view(buffer, length) == canonical,
        [&] { return shown() + ": format_share into a buffer differs from the canonical text"; });

  const core::Outcome<core::Share> again = core::parse_share(written_view);
  check(again.ok() && fields_of(again.value()) == got,
        [&] { return shown() + ": the written text does not read back to the same share"; });
  return 0;
}
