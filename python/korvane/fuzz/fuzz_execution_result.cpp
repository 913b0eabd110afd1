// libFuzzer target for the execution-result rules: any parsed text is either
// accepted or rejected with a message, and the verdict does not depend on how
// the text was written.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "execution_result.hpp"
#include "json_bridge.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto parsed = korvane::parse_json_text(text);
  if (!parsed.has_value()) return 0;
  auto verdict = korvane::validate_execution_result(*parsed);
  if (!verdict.has_value() && verdict.error().empty()) std::abort();

  auto reparsed = korvane::parse_json_text(korvane::write_json_text(*parsed));
  if (!reparsed.has_value()) std::abort();
  auto again = korvane::validate_execution_result(*reparsed);
  if (again.has_value() != verdict.has_value()) std::abort();
  if (!again.has_value() && again.error() != verdict.error()) std::abort();
  return 0;
}
