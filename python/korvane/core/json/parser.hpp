// The one-pass parser: one walk over the text that builds the kept levels
// of the tree (json/parse.cpp) and skips what lies below them, checking it
// (json/skip.cpp), with the same checks, the same failures and the same
// positions either way. This header holds the grammar both walks share: the
// failure kinds, whitespace, literals, separators, escapes and the nesting
// limit.
//
// Internal to the JSON code; tests, fuzz targets and benchmarks call
// parse_json_text(text, levels) below to choose the kept levels directly.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "json/build.hpp"
#include "json/layout.hpp"
#include "json/memory.hpp"
#include "json/parse.hpp"
#include "json/scan.hpp"

namespace korvane::json_detail {

// The parse keeping the values above `levels`, as the public overloads run it.
Expected<JsonValue, JsonParseError> parse_json_text(std::string_view text, const KeptLevels& levels);

// Every way a text can fail to parse; describe() gives the descriptions.
enum class ParseErrorKind : std::uint8_t {
  eof_value,
  eof_string,
  eof_list,
  eof_object,
  expected_value,
  expected_ident,
  expected_comma_or_bracket,
  expected_comma_or_brace,
  expected_colon,
  key_must_be_string,
  trailing_comma,
  trailing_characters,
  recursion_limit,
  control_character,
  invalid_escape,
  lone_leading_surrogate,
  unexpected_end_of_hex_escape,
  invalid_number,
  number_out_of_range,
};

std::string_view describe(ParseErrorKind kind) noexcept;

struct Failure {
  ParseErrorKind kind;
  std::size_t offset;  // byte at which the failure was found
  bool at_end;         // the text ended where more was due
};

class Parser {
 public:
  Parser(std::string_view text, const KeptLevels& levels)
      : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()), levels_(levels), arena_(text.size()) {}

  // The whole text: one value and nothing but whitespace after it.
  bool parse_document(JsonValue& out);

  const Failure& failure() const noexcept { return failure_; }

 private:
  // --- the building walk (json/parse.cpp) ---
  bool parse_value(JsonValue& out);
  bool parse_here(JsonValue& out);
  bool parse_array(JsonValue* out);
  bool parse_object(JsonValue* out);
  bool parse_string(void* out);
  bool parse_number_quickly(JsonValue& out);
  bool parse_number(JsonValue& out);
  struct NumberSpan {
    const char* last;  // null when the grammar check failed
    bool fraction;
    bool exponent;
  };
  NumberSpan scan_number() noexcept;
  const char* skip_digits(const char* p) noexcept;

  // --- the walk that skips values below the kept levels (json/skip.cpp) ---
  bool parse_unkept(JsonValue* out, Tag tag);
  bool skip_container();
  bool skip_scalar();
  template <bool kKey = false>
  bool skip_string();
  void step_past_key(int length) noexcept;
  template <std::ptrdiff_t kStep>
  void step_by() noexcept;
  // The slow paths of the check, out of its loop: each returns the position
  // after the value, or null after recording the failure.
  const char* skip_string_in_chunk(unsigned specials);
  const char* skip_string_rest(const char* special);
  bool skip_number();
  const char* skip_exponent(const char* mark, std::ptrdiff_t leading);
  const char* skip_number_rest();
  // p_ = position, unless it is null. With the position returned and stored
  // by the caller, the check's loop knows p_ along every path, the slow ones
  // too, and keeps it in a register where the paths meet: where a call left
  // it in memory alone, clang reloaded it there on every value, right after
  // the fast paths had stored it (a store and a load on the chain from one
  // value to the next; about 1 % of the check).
  [[gnu::always_inline]] bool moved_to(const char* position) noexcept {
    if (position == nullptr) return false;
    p_ = position;
    return true;
  }

  // --- the grammar both walks share ---
  bool fail_at(ParseErrorKind kind, const char* where) noexcept {
    failure_ = {kind, static_cast<std::size_t>(where - begin_), false};
    return false;
  }
  const char* failed_at(ParseErrorKind kind, const char* where) noexcept {
    fail_at(kind, where);
    return nullptr;
  }
  bool fail_at_end(ParseErrorKind kind) noexcept {
    failure_ = {kind, static_cast<std::size_t>(end_ - begin_), true};
    return false;
  }

  [[gnu::always_inline]] void skip_whitespace() noexcept { p_ = whitespace_end(p_, end_); }

  // At the first letter of `word`; stores the value's first rep word
  // `stored` when kept.
  template <bool kKeep>
  bool parse_literal(std::string_view word, JsonValue* out, std::uint64_t stored) noexcept {
    for (std::size_t i = 1; i < word.size(); ++i) {
      if (p_ + i == end_) return fail_at_end(ParseErrorKind::eof_value);
      if (p_[i] != word[i]) return fail_at(ParseErrorKind::expected_ident, p_ + i);
    }
    p_ += word.size();
    if constexpr (kKeep) store_words(Access::raw(*out), stored, 0);
    return true;
  }

  // At an opening bracket: one level deeper, within the limit.
  bool enter(const char* bracket) noexcept {
    if (--depth_budget_ == 0) return fail_at(ParseErrorKind::recursion_limit, bracket);
    // '[' + 2 is ']', '{' + 2 is '}'.
    closing_[static_cast<std::size_t>(kNestingBudget - depth_budget_)] = static_cast<char>(*bracket + 2);
    return true;
  }

  // Whether the innermost open container is an object.
  bool in_object() const noexcept { return closing_[static_cast<std::size_t>(kNestingBudget - depth_budget_)] == '}'; }

  // At an opening bracket, not yet entered: whether the content of the
  // container is kept. The top-level value is level 1; values below the
  // kept depth are only checked, and a container at that depth is stored
  // empty.
  bool keeps_content() const noexcept { return kNestingBudget - depth_budget_ + 1 < levels_.limit(); }

  // After an element: the separator json.dumps writes, "," or ", ", before
  // a byte that can start the next element, taken at once.
  [[gnu::always_inline]] bool take_element_comma() noexcept {
    if (end_ - p_ < 3 || p_[0] != ',') return false;
    const char* next = p_ + 1 + (p_[1] == ' ');
    if (static_cast<unsigned char>(*next) <= ' ' || *next == ']') return false;
    p_ = next;
    return true;
  }

  // After an element or a member, where no shortcut was taken: at `item`,
  // p_ is at the next one; at `close`, at the container's `closing` bracket.
  enum class Next : std::uint8_t { item, close, failed };
  [[gnu::always_inline]] Next after_item(char closing) noexcept {
    const bool object = closing == '}';
    skip_whitespace();
    if (p_ == end_) {
      fail_at_end(object ? ParseErrorKind::eof_object : ParseErrorKind::eof_list);
      return Next::failed;
    }
    if (*p_ == closing) return Next::close;
    if (*p_ != ',') {
      fail_at(object ? ParseErrorKind::expected_comma_or_brace : ParseErrorKind::expected_comma_or_bracket, p_);
      return Next::failed;
    }
    ++p_;
    skip_whitespace();
    if (p_ == end_) {
      fail_at_end(ParseErrorKind::eof_value);
      return Next::failed;
    }
    if (*p_ == closing) {
      fail_at(ParseErrorKind::trailing_comma, p_);
      return Next::failed;
    }
    return Next::item;
  }

  // After a member's key: the colon, with any whitespace around it; p_ ends
  // at the value.
  [[gnu::always_inline]] bool take_colon() noexcept {
    skip_whitespace();
    if (p_ == end_) return fail_at_end(ParseErrorKind::eof_object);
    if (*p_ != ':') return fail_at(ParseErrorKind::expected_colon, p_);
    ++p_;
    skip_whitespace();
    if (p_ == end_) return fail_at_end(ParseErrorKind::eof_value);
    return true;
  }

  // At a backslash; with kDecode, appends the escaped character to scratch_.
  template <bool kDecode = true>
  bool parse_escape() {
    if (p_ + 1 == end_) return fail_at_end(ParseErrorKind::eof_string);
    const char letter = p_[1];
    if (const char plain = unescaped(letter)) {
      if constexpr (kDecode) scratch_.push_back(plain);
      p_ += 2;
      return true;
    }
    if (letter != 'u') return fail_at(ParseErrorKind::invalid_escape, p_ + 1);
    p_ += 2;
    std::uint32_t unit = 0;
    if (!parse_hex4(unit)) return false;
    if (unit >= 0xDC00 && unit <= 0xDFFF) return fail_at(ParseErrorKind::lone_leading_surrogate, p_ - 1);
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (p_ == end_) return fail_at_end(ParseErrorKind::eof_string);
      if (*p_ != '\\') return fail_at(ParseErrorKind::unexpected_end_of_hex_escape, p_);
      if (p_ + 1 == end_) return fail_at_end(ParseErrorKind::eof_string);
      if (p_[1] != 'u') return fail_at(ParseErrorKind::unexpected_end_of_hex_escape, p_ + 1);
      p_ += 2;
      std::uint32_t trail = 0;
      if (!parse_hex4(trail)) return false;
      if (trail < 0xDC00 || trail > 0xDFFF) return fail_at(ParseErrorKind::lone_leading_surrogate, p_ - 1);
      unit = 0x10000 + ((unit - 0xD800) << 10) + (trail - 0xDC00);
    }
    if constexpr (kDecode) append_utf8(scratch_, unit);
    return true;
  }

  bool parse_hex4(std::uint32_t& unit) noexcept {
    // Four digits at once when they are there; otherwise the first byte that
    // is not one is found below.
    if (end_ - p_ >= 4) {
      const int digits[4] = {hex_value(p_[0]), hex_value(p_[1]), hex_value(p_[2]), hex_value(p_[3])};
      if ((digits[0] | digits[1] | digits[2] | digits[3]) >= 0) {
        unit = (unit << 16) | static_cast<std::uint32_t>(digits[0] << 12 | digits[1] << 8 | digits[2] << 4 | digits[3]);
        p_ += 4;
        return true;
      }
    }
    for (int i = 0; i < 4; ++i, ++p_) {
      if (p_ == end_) return fail_at_end(ParseErrorKind::eof_string);
      const int digit = hex_value(*p_);
      if (digit < 0) return fail_at(ParseErrorKind::invalid_escape, p_);
      unit = (unit << 4) | static_cast<std::uint32_t>(digit);
    }
    return true;
  }

  const char* begin_;
  const char* p_;
  const char* end_;
  int depth_budget_ = kNestingBudget;
  KeptLevels levels_;  // levels of values kept, see keeps_content
  // The closing bracket of each open container by level: the walk that
  // skips unkept values keeps no stack of its own.
  std::array<char, kNestingBudget> closing_;  // written on entering a level, read only below it
  Failure failure_{};
  MemberOrdersLease orders_;  // the remembered orders of object members, when free
  // Declared first among the owners of blocks, so destroyed last.
  Arena arena_;
  RelocatingStack<JsonValue> elements_;  // elements of the arrays being parsed
  RelocatingStack<JsonMember> members_;  // members of the objects being parsed
  ByteBuffer scratch_;                   // a string with escapes, being decoded
};

}  // namespace korvane::json_detail
