// The indexed parser: a vector first pass that finds the tokens
// (json/index.hpp) and a second pass that walks them. It accepts exactly
// the texts that the one-pass parser of parse.cpp accepts, with the same
// tree; it does not locate errors, so a text it rejects goes to the one-pass
// parser for the exact description and position.
//
// Internal to the JSON code; tests, fuzz targets and benchmarks call these
// directly to hold the two parsers to each other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "json/build.hpp"
#include "json/index.hpp"
#include "json/parse.hpp"

namespace korvane::json_detail {

// Which parser parse_json_text runs first. With the indexed parser, the
// one-pass parser still runs on every text the indexed one does not accept.
inline constexpr bool kIndexedParserIsDefault = false;

struct IndexedParse {
  enum Outcome : std::uint8_t {
    accepted,  // value holds the tree
    rejected,  // the text is not JSON
    declined,  // not valid UTF-8: only the one-pass parser judges it
  };
  Outcome outcome;
  JsonValue value;
};

IndexedParse parse_json_text_indexed(std::string_view text, std::size_t kept_depth, IndexPath path);
IndexedParse parse_json_text_indexed(std::string_view text, const KeptLevels& levels, IndexPath path);

// The one-pass parser alone.
Expected<JsonValue, JsonParseError> parse_json_text_one_pass(std::string_view text, std::size_t kept_depth);
Expected<JsonValue, JsonParseError> parse_json_text_one_pass(std::string_view text, const KeptLevels& levels);

// The one-pass parser with a second thread that checks the text after
// `comma` (none when null), whatever the text's size: see json/split_check.hpp.
// The parser meeting that comma waits for the second thread unless it lags,
// or always. `took_over`, when given, tells whether its word was taken.
enum class SplitWait : std::uint8_t { unless_lagging, always };
Expected<JsonValue, JsonParseError> parse_json_text_split(std::string_view text, const KeptLevels& levels,
                                                          const char* comma, SplitWait wait,
                                                          bool* took_over = nullptr);

// The default parser, as parse_json_text runs it.
Expected<JsonValue, JsonParseError> parse_json_text(std::string_view text, const KeptLevels& levels);

}  // namespace korvane::json_detail
