// The strict parser frozen in its plain form, before the check of unkept
// values took the separators json.dumps writes at once, decided short
// strings from one load and stepped over keys by their length: the
// reference that the differential fuzz target and the tests hold the live
// parser to. Never part of the module.
//
// It is independent of the live parser's grammar, numbers (every number
// goes through from_chars on its checked span) and error positions, but not
// of everything: it builds the same tree types, so it shares their layout
// (json/layout.hpp), their chunks and release (json/memory.hpp), the stack
// that values wait on until their block is built (json/build.hpp), the byte
// scan for string specials, digits and whitespace (json/scan.hpp), and the
// tree comparison (operator==). A fault
// in those shared pieces shows in both and is not caught by the
// differential; the unit tests of the tree and of the scan cover them.
#pragma once

#include <cstddef>
#include <string_view>

#include "json/parse.hpp"

namespace korvane::reference {

Expected<JsonValue, JsonParseError> parse_json_text_reference(std::string_view text);
Expected<JsonValue, JsonParseError> parse_json_text_reference(std::string_view text, std::size_t kept_depth);

}  // namespace korvane::reference
