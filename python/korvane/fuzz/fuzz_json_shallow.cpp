// libFuzzer target for the parse that keeps only the first levels of a text:
// for any bytes and any kept depth it accepts exactly what the full parse
// accepts, fails with the identical error (description, line, column), and on
// success gives the full tree cut off at that depth.
//
// The first input byte chooses the kept depth (0 to 5, or everything) and,
// from 128 up, the parse that keeps only the members "a" and "b" of a
// top-level object that deep; the rest is the text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>
#include <vector>

#include "json_bridge.hpp"

namespace {

using korvane::JsonObject;
using korvane::JsonValue;

// `value` (at `level`, the top being 1) with every array or object at level
// `kept_depth` emptied.
JsonValue truncate(const JsonValue& value, std::size_t kept_depth, std::size_t level) {
  if (const auto* elements = value.as_array()) {
    std::vector<JsonValue> kept;
    if (level < kept_depth)
      for (const JsonValue& element : *elements) kept.push_back(truncate(element, kept_depth, level + 1));
    return JsonValue::array(std::move(kept));
  }
  if (const auto* members = value.as_object()) {
    JsonObject kept;
    if (level < kept_depth)
      for (const auto& member : *members)
        kept.insert_or_assign(member.key.view(), truncate(member.value, kept_depth, level + 1));
    return JsonValue::object(std::move(kept));
  }
  return value;
}

// The tree that parse_json_text(text, kept_depth, names) gives, cut from
// the full one.
JsonValue truncate_named(const JsonValue& value, std::size_t kept_depth, std::span<const std::string_view> names) {
  const auto* members = value.as_object();
  if (members == nullptr) return truncate(value, 2, 1);
  JsonObject kept;
  for (const auto& member : *members) {
    const bool named = std::find(names.begin(), names.end(), member.key.view()) != names.end();
    kept.insert_or_assign(member.key.view(),
                          truncate(member.value, named ? std::max<std::size_t>(kept_depth, 2) : 2, 2));
  }
  return JsonValue::object(std::move(kept));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t choice = data[0] % 7;
  const bool by_member = data[0] >= 128;
  constexpr std::string_view kNames[] = {"a", "b"};
  const std::size_t kept_depth = choice == 6 ? 1000 : choice;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

  auto full = korvane::parse_json_text(text);
  auto shallow = by_member ? korvane::parse_json_text(text, kept_depth, std::span(kNames))
                           : korvane::parse_json_text(text, kept_depth);
  if (full.has_value() != shallow.has_value()) std::abort();
  if (!full.has_value()) {
    if (!(full.error() == shallow.error())) std::abort();
    return 0;
  }
  // A kept depth of 0 counts as 1.
  const JsonValue cut = by_member ? truncate_named(*full, kept_depth, std::span(kNames))
                                  : truncate(*full, kept_depth == 0 ? 1 : kept_depth, 1);
  if (!(cut == *shallow)) std::abort();
  return 0;
}
