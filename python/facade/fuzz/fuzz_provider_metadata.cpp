// libFuzzer target for the provider-metadata rules: any entry-point name and
// provider text is either accepted or rejected with a message, and accepted
// metadata becomes a record that writes back as the same object.
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

  auto metadata = korvane::validate_provider_metadata(name, text);
  if (!metadata.has_value()) {
    if (metadata.error().empty()) std::abort();
    return 0;
  }
  const korvane::JsonValue copy = *metadata;
  const korvane::BundleProvider record = korvane::bundle_provider_from_metadata(std::move(*metadata));
  if (record.entry_point != name) std::abort();
  if (!(korvane::bundle_provider_to_json(record) == copy)) std::abort();
  return 0;
}
