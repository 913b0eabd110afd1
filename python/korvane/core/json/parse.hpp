// Strict parsing of JSON text into the value tree.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "expected.hpp"
#include "json/value.hpp"

namespace korvane {

struct JsonParseError {
  std::string description;
  std::size_t line = 0;
  std::size_t column = 0;

  // "{description} at line {line} column {column}"
  std::string to_string() const;
  friend bool operator==(const JsonParseError&, const JsonParseError&) = default;
};

// Strict RFC 8259 parsing; at most 127 arrays or objects open at once.
// Bytes of 0x80 and above inside strings are taken as they are: the text is
// expected to be UTF-8 (it comes from a Python str) and is not re-validated.
Expected<JsonValue, JsonParseError> parse_json_text(std::string_view text);

// The same parse (the same texts accepted, the same error at the same place)
// keeping only the values of the first `kept_depth` levels: the top-level
// value is level 1, its elements or member values level 2, and so on. An
// array or object at level `kept_depth` keeps its kind but is empty; what it
// held is only checked. The result equals the full tree cut off there. For
// readers that look at the top of a large text only. A `kept_depth` of 0
// counts as 1; 128 or more keeps everything.
Expected<JsonValue, JsonParseError> parse_json_text(std::string_view text, std::size_t kept_depth);

// The same parse keeping two levels, except in the values of the top-level
// object's members named in `deep_members`, which are kept down to level
// `kept_depth` (2 when less). For readers of a few named members of a large
// text: the other members keep their kind, and a container among them is
// stored empty.
Expected<JsonValue, JsonParseError> parse_json_text(std::string_view text, std::size_t kept_depth,
                                                    std::span<const std::string_view> deep_members);

}  // namespace korvane
