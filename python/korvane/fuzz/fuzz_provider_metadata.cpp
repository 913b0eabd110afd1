// libFuzzer target for the provider-metadata rules: any entry-point name and
// provider text is either accepted or rejected with a message, and an
// accepted bundle's record lists as the provider's own object with
// `entry_point` added.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "json_bridge.hpp"
#include "provider_metadata.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The first byte says how much of the rest is the entry-point name.
  if (size == 0) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::size_t name_size = data[0] < rest.size() ? data[0] : rest.size();
  const std::string_view name = rest.substr(0, name_size);
  const std::string_view text = rest.substr(name_size);

  auto record = korvane::validate_provider_metadata(name, text);
  if (!record.has_value()) {
    if (record.error().empty()) std::abort();
    return 0;
  }
  if (record->entry_point != name) std::abort();
  auto expected = korvane::parse_json_text(text);
  if (!expected.has_value() || expected->as_object() == nullptr) std::abort();
  expected->as_object()->insert_or_assign("entry_point", korvane::JsonValue::string(name));
  auto listed = korvane::parse_json_text(korvane::write_bundle_listing({&*record, 1}));
  if (!listed.has_value() || listed->as_array() == nullptr || listed->as_array()->size() != 1) std::abort();
  if (!((*listed->as_array())[0] == *expected)) std::abort();
  return 0;
}
