// libFuzzer target holding the module's parser to the frozen one-pass
// reference: for any bytes, the same accept or reject, the same error
// (description, line, column) and the same tree, for the full parse and for
// the shallow parse at several kept depths.
//
// The first input byte chooses the kept depth (1 to 4, or everything); the
// rest is the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "json_bridge.hpp"
#include "reference/parse_reference.hpp"

namespace {

void check(std::string_view text, std::size_t kept_depth) {
  const auto expected = korvane::reference::parse_json_text_reference(text, kept_depth);
  const auto actual = korvane::parse_json_text(text, kept_depth);
  if (expected.has_value() != actual.has_value()) std::abort();
  if (expected.has_value()) {
    if (!(*expected == *actual)) std::abort();
  } else if (!(expected.error() == actual.error())) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t choice = data[0] % 5;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  check(text, choice == 4 ? 1000 : choice + 1);
  // The full parse of every text, whatever the choice.
  if (choice != 4) check(text, 1000);
  return 0;
}
