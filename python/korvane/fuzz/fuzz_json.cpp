// libFuzzer target for the JSON parser and writer: any bytes either parse or
// fail with a located error, and an accepted text written and parsed again
// gives the same tree and the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json_bridge.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto parsed = korvane::parse_json_text(text);
  if (!parsed.has_value()) {
    const auto& error = parsed.error();
    if (error.line == 0 || error.description.empty() || error.to_string().empty()) std::abort();
    return 0;
  }
  const std::string written = korvane::write_json_text(*parsed);
  auto again = korvane::parse_json_text(written);
  if (!again.has_value()) std::abort();
  if (!(*again == *parsed)) std::abort();
  if (korvane::write_json_text(*again) != written) std::abort();
  return 0;
}
