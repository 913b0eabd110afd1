// The building walk of the one-pass parser: the kept levels of the tree,
// numbers converted, strings decoded, object members put in key order. What
// lies below the kept levels goes to the skipping walk of json/skip.cpp.
#include "json/parser.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <utility>

#include "json/number.hpp"

namespace korvane {

using namespace json_detail;

// Indexed by ParseErrorKind.
constexpr std::array<std::string_view, 19> kParseErrorDescriptions = {
    "EOF while parsing a value",
    "EOF while parsing a string",
    "EOF while parsing a list",
    "EOF while parsing an object",
    "expected value",
    "expected ident",
    "expected `,` or `]`",
    "expected `,` or `}`",
    "expected `:`",
    "key must be a string",
    "trailing comma",
    "trailing characters",
    "recursion limit exceeded",
    "control character (\\u0000-\\u001F) found while parsing a string",
    "invalid escape",
    "lone leading surrogate in hex escape",
    "unexpected end of hex escape",
    "invalid number",
    "number out of range",
};

std::string_view json_detail::describe(ParseErrorKind kind) noexcept {
  return kParseErrorDescriptions[static_cast<std::size_t>(kind)];
}

namespace json_detail {

namespace {

void store_number(JsonValue& out, Tag tag, std::uint64_t bits) noexcept {
  store_words(Access::raw(out), static_cast<std::uint64_t>(tag), bits);
}

}  // namespace

bool Parser::parse_document(JsonValue& out) {
  if (!parse_value(out)) return false;
  skip_whitespace();
  if (p_ != end_) return fail_at(ParseErrorKind::trailing_characters, p_);
  return true;
}

bool Parser::parse_value(JsonValue& out) {
  skip_whitespace();
  if (p_ == end_) return fail_at_end(ParseErrorKind::eof_value);
  return parse_here(out);
}

// At the first byte of a value (not whitespace, not the end); the value is
// stored in `out`.
bool Parser::parse_here(JsonValue& out) {
  switch (*p_) {
    case '{':
      return parse_object(&out);
    case '[':
      return parse_array(&out);
    case '"':
      return parse_string(Access::raw(out));
    case 't':
      return parse_literal<true>("true", &out, static_cast<std::uint64_t>(Tag::boolean) | (1U << 8));
    case 'f':
      return parse_literal<true>("false", &out, static_cast<std::uint64_t>(Tag::boolean));
    case 'n':
      return parse_literal<true>("null", &out, static_cast<std::uint64_t>(Tag::null));
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
      return parse_number_quickly(out);
    default:
      return fail_at(ParseErrorKind::expected_value, p_);
  }
}

// Stores the array in `out`; below the kept levels it is stored empty.
bool Parser::parse_array(JsonValue* out) {
  if (!keeps_content()) return parse_unkept(out, Tag::array);
  if (!enter(p_)) return false;
  ++p_;
  skip_whitespace();
  if (p_ == end_) return fail_at_end(ParseErrorKind::eof_list);
  const std::size_t start = elements_.size();
  bool flat = true;  // no element holds a block
  if (*p_ != ']') {
    for (;;) {
      const char first = *p_;
      if (first == '[' || first == '{') {
        // Nested elements go on the same stack, so this one is pushed after.
        JsonValue element;
        if (!(first == '[' ? parse_array(&element) : parse_object(&element))) return false;
        elements_.push(std::move(element));
        flat = false;
      } else {
        JsonValue& element = elements_.push_default();
        if (!parse_here(element)) return false;
        if (first == '"') flat = flat && Access::tag(element) == Tag::short_string;
      }
      if (take_element_comma()) continue;
      const Next next = after_item(']');
      if (next == Next::failed) return false;
      if (next == Next::close) break;
    }
  }
  ++p_;
  ++depth_budget_;
  const std::size_t count = elements_.size() - start;
  const Block block = arena_.allocate(sizeof(JsonArray) + count * sizeof(JsonValue));
  JsonArray* array = Access::start_array(block, count);
  elements_.relocate_from(start, array->data());
  store_block(Access::raw(*out), Tag::array, block, flat);
  return true;
}

// Stores the object in `out`; below the kept levels it is stored empty.
bool Parser::parse_object(JsonValue* out) {
  if (!keeps_content()) return parse_unkept(out, Tag::object);
  if (!enter(p_)) return false;
  ++p_;
  skip_whitespace();
  if (p_ == end_) return fail_at_end(ParseErrorKind::eof_object);
  const std::size_t start = members_.size();
  bool flat = true;  // no key or value holds a block
  if (*p_ != '}') {
    for (;;) {
      if (*p_ != '"') return fail_at(ParseErrorKind::key_must_be_string, p_);
      const std::size_t index = members_.size();
      if (!parse_string(Access::raw(members_.push_default().key))) return false;
      flat = flat && Access::rep(members_[index].key).tag == Tag::short_string;
      levels_.enter_member(kNestingBudget - depth_budget_, [&] { return members_[index].key.view(); });
      if (!take_colon()) return false;
      const char first = *p_;
      if (first == '[' || first == '{') {
        // Nested members go on the same stack: the value is placed after.
        JsonValue value;
        if (!(first == '[' ? parse_array(&value) : parse_object(&value))) return false;
        members_[index].value = std::move(value);
        flat = false;
      } else {
        JsonValue& value = members_[index].value;
        if (!parse_here(value)) return false;
        if (first == '"') flat = flat && Access::tag(value) == Tag::short_string;
      }
      const Next next = after_item('}');
      if (next == Next::failed) return false;
      if (next == Next::close) break;
    }
  }
  ++p_;
  ++depth_budget_;
  const std::size_t count = members_.size() - start;
  if (count > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("JSON object too large");
  const Block block = arena_.allocate(kObjectHeader + count * sizeof(JsonMember));
  JsonObject* object = Access::start_object(block, count);
  JsonMember* const first = Access::members(*object);
  members_.relocate_from(start, first);
  store_block(Access::raw(*out), Tag::object, block, flat);
  JsonMember* const kept = order_members(first, first + count, orders_.get(), members_.room(count / 2));
  // Past the kept members are emptied ones and earlier repeats of a key.
  std::destroy(kept, first + count);
  Access::set_size(*object, static_cast<std::size_t>(kept - first));
  return true;
}

// At the opening quote. Bytes of 0x80 and above are copied unchecked.
// Writes the rep of the text to `out`, unless `out` is null.
bool Parser::parse_string(void* out) {
  ++p_;
  const char* run = p_;
  const char* special = find_string_special(p_, end_);
  if (special == end_) return fail_at_end(ParseErrorKind::eof_string);
  if (*special == '"') {
    if (out != nullptr) store_text(out, arena_, run, static_cast<std::size_t>(special - run), end_);
    p_ = special + 1;
    return true;
  }
  scratch_.clear();
  for (;;) {
    scratch_.append(run, static_cast<std::size_t>(special - run));
    p_ = special;
    if (*p_ == '"') break;
    if (*p_ != '\\') return fail_at(ParseErrorKind::control_character, p_);
    if (!parse_escape()) return false;
    run = p_;
    special = find_string_special(p_, end_);
    if (special == end_) return fail_at_end(ParseErrorKind::eof_string);
  }
  ++p_;
  if (out != nullptr) store_text(out, arena_, scratch_.data(), scratch_.size(), scratch_.data() + scratch_.size());
  return true;
}

// At the first of one or more digits: the end of the digits, or nullptr
// after recording the failure.
const char* Parser::skip_digits(const char* p) noexcept {
  if (p == end_) {
    fail_at_end(ParseErrorKind::invalid_number);
    return nullptr;
  }
  if (!is_digit(*p)) {
    fail_at(ParseErrorKind::invalid_number, p);
    return nullptr;
  }
  return digits_end(p + 1, end_);
}

// At '-' or a digit. The usual forms are read in one pass over the text,
// checking the JSON grammar as the digits go into the mantissa: no leading
// zero, a digit after a '.', and digits after an exponent mark. Integers
// are taken from the mantissa, doubles from decimal_to_double or, where
// it does not decide, from from_chars on exactly the span read. Anything
// else goes to parse_number, which checks every byte and reports the error.
bool Parser::parse_number_quickly(JsonValue& out) {
  const char* const first = p_;
  const bool negative = *first == '-';
  const char* p = first + (negative ? 1 : 0);
  if (p == end_ || !is_digit(*p)) return parse_number(out);
  const char* const integer_start = p;
  std::uint64_t mantissa = 0;
  p = read_leading_digits(p, end_, mantissa);
  // Digits from the first that is not a leading zero: a mantissa of more
  // than kMantissaDigits of them has wrapped (possibly to 0).
  std::int64_t significant = p - integer_start;
  if (*integer_start == '0') {
    if (significant > 1) return parse_number(out);
    significant = 0;
  }
  if (p == end_ || (*p != '.' && *p != 'e' && *p != 'E')) {
    if (significant > kMantissaDigits) return parse_number(out);
    if (!negative) {
      store_number(out, Tag::unsigned_integer, mantissa);
    } else if (mantissa != 0 && mantissa <= std::uint64_t{1} << 63) {  // -0 is a double
      store_number(out, Tag::signed_integer, 0 - mantissa);
    } else {
      return parse_number(out);
    }
    p_ = p;
    return true;
  }
  std::int64_t scale = 0;  // the value is mantissa * 10^scale
  if (*p == '.') {
    const char* const fraction_start = ++p;
    if (significant == 0) {  // only zeros so far: leading ones
      while (p != end_ && *p == '0') ++p;
    }
    const char* const significant_start = p;
    p = read_digits(p, end_, mantissa);
    if (p == fraction_start) return parse_number(out);
    significant += p - significant_start;
    scale = fraction_start - p;
  }
  if (p != end_ && (*p == 'e' || *p == 'E')) {
    ++p;
    bool exponent_negative = false;
    if (p != end_ && (*p == '+' || *p == '-')) exponent_negative = *p++ == '-';
    if (p == end_ || !is_digit(*p)) return parse_number(out);
    std::int64_t exponent10 = 0;
    while (p != end_ && is_digit(*p)) {
      if (exponent10 < kExponentLimit) exponent10 = exponent10 * 10 + (*p - '0');
      ++p;
    }
    scale += exponent_negative ? -exponent10 : exponent10;
  }
  double value = 0;
  if (significant > kMantissaDigits || !decimal_to_double(mantissa, scale, negative, value)) {
    const auto result = std::from_chars(first, p, value);
    if (result.ec != std::errc() || result.ptr != p) return parse_number(out);
  }
  store_number(out, Tag::floating, std::bit_cast<std::uint64_t>(value));
  p_ = p;
  return true;
}

// At '-' or a digit: checks the number's grammar, leaving p_ where it is.
Parser::NumberSpan Parser::scan_number() noexcept {
  NumberSpan span{nullptr, false, false};
  const char* p = p_;
  if (*p == '-') ++p;
  if (p == end_) {
    fail_at_end(ParseErrorKind::invalid_number);
    return span;
  }
  if (*p == '0') {
    ++p;
    if (p < end_ && is_digit(*p)) {
      fail_at(ParseErrorKind::invalid_number, p);
      return span;
    }
  } else if ((p = skip_digits(p)) == nullptr) {
    return span;
  }
  if (p < end_ && *p == '.') {
    span.fraction = true;
    if ((p = skip_digits(p + 1)) == nullptr) return span;
  }
  if (p < end_ && (*p == 'e' || *p == 'E')) {
    ++p;
    span.exponent = true;
    if (p < end_ && (*p == '+' || *p == '-')) ++p;
    if ((p = skip_digits(p)) == nullptr) return span;
  }
  span.last = p;
  return span;
}

// At '-' or a digit. The grammar is checked here; from_chars then converts
// exactly the span that was checked.
bool Parser::parse_number(JsonValue& out) {
  const char* const first = p_;
  const bool negative = *first == '-';
  const NumberSpan span = scan_number();
  if (span.last == nullptr) return false;
  const char* const last = span.last;
  p_ = last;

  if (!span.fraction && !span.exponent) {
    if (negative) {
      if (last - first == 2 && first[1] == '0') {
        store_number(out, Tag::floating, std::bit_cast<std::uint64_t>(-0.0));
        return true;
      }
      std::int64_t value = 0;
      if (std::from_chars(first, last, value).ec == std::errc()) {
        store_number(out, Tag::signed_integer, static_cast<std::uint64_t>(value));
        return true;
      }
    } else {
      std::uint64_t value = 0;
      if (std::from_chars(first, last, value).ec == std::errc()) {
        store_number(out, Tag::unsigned_integer, value);
        return true;
      }
    }
  }
  double value = 0;
  const auto result = std::from_chars(first, last, value);
  if (result.ec == std::errc::result_out_of_range) {
    // from_chars reports both overflow and underflow; underflow is zero.
    if (leading_digit_exponent(first, last) >= 0) return fail_at(ParseErrorKind::number_out_of_range, last - 1);
    value = negative ? -0.0 : 0.0;
  } else if (result.ec != std::errc() || result.ptr != last) {
    return fail_at(ParseErrorKind::invalid_number, first);  // not reached for a checked span
  }
  store_number(out, Tag::floating, std::bit_cast<std::uint64_t>(value));
  return true;
}

}  // namespace json_detail

namespace {

JsonParseError locate(std::string_view text, const Failure& failure) {
  const std::string_view before = text.substr(0, failure.offset);
  const std::size_t newlines = static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  const std::size_t last_newline = before.rfind('\n');
  const std::size_t line_start = last_newline == std::string_view::npos ? 0 : last_newline + 1;
  std::size_t column = failure.offset - line_start;
  if (!failure.at_end) ++column;
  return JsonParseError{std::string(describe(failure.kind)), newlines + 1, column};
}

}  // namespace

std::string JsonParseError::to_string() const {
  std::string text = description;
  char digits[20];  // 18446744073709551615 has 20 digits
  text += " at line ";
  text.append(digits, std::to_chars(std::begin(digits), std::end(digits), line).ptr);
  text += " column ";
  text.append(digits, std::to_chars(std::begin(digits), std::end(digits), column).ptr);
  return text;
}

Expected<JsonValue, JsonParseError> parse_json_text(std::string_view text) {
  return parse_json_text(text, kNestingBudget);
}

Expected<JsonValue, JsonParseError> parse_json_text(std::string_view text, std::size_t kept_depth) {
  return json_detail::parse_json_text(text, KeptLevels(kept_depth));
}

Expected<JsonValue, JsonParseError> parse_json_text(std::string_view text, std::size_t kept_depth,
                                                    std::span<const std::string_view> deep_members) {
  return json_detail::parse_json_text(text, KeptLevels(kept_depth, deep_members));
}

Expected<JsonValue, JsonParseError> json_detail::parse_json_text(std::string_view text, const KeptLevels& levels) {
  Parser parser(text, levels);
  JsonValue root;
  if (!parser.parse_document(root)) return unexpected(locate(text, parser.failure()));
  return root;
}

}  // namespace korvane
