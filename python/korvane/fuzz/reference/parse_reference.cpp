// A frozen copy of the strict parser in its plain form: the reference that
// the differential fuzz target and the tests hold the live parser to (see
// the header for what it shares with the live code). Never linked into the
// module.
#include "reference/parse_reference.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <utility>

#include "json/build.hpp"
#include "json/layout.hpp"
#include "json/memory.hpp"
#include "json/scan.hpp"

namespace korvane::reference {

using namespace json_detail;

namespace {

constexpr int kNestingBudget = 128;

// Every way a text can fail to parse; the descriptions are in the table below.
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

std::string_view describe(ParseErrorKind kind) noexcept {
  return kParseErrorDescriptions[static_cast<std::size_t>(kind)];
}

struct Failure {
  ParseErrorKind kind;
  std::size_t offset;  // byte at which the failure was found
  bool at_end;         // the text ended where more was due
};

void append_utf8(std::string& out, std::uint32_t code_point) {
  char bytes[4];
  std::size_t n;
  if (code_point < 0x80) {
    bytes[0] = static_cast<char>(code_point);
    n = 1;
  } else if (code_point < 0x800) {
    bytes[0] = static_cast<char>(0xC0 | (code_point >> 6));
    bytes[1] = static_cast<char>(0x80 | (code_point & 0x3F));
    n = 2;
  } else if (code_point < 0x10000) {
    bytes[0] = static_cast<char>(0xE0 | (code_point >> 12));
    bytes[1] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | (code_point & 0x3F));
    n = 3;
  } else {
    bytes[0] = static_cast<char>(0xF0 | (code_point >> 18));
    bytes[1] = static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    bytes[3] = static_cast<char>(0x80 | (code_point & 0x3F));
    n = 4;
  }
  out.append(bytes, n);
}

// Decimal exponent of the leading digit of a grammatically valid number, used
// only to tell overflow from underflow; saturates far beyond any double.
std::int64_t leading_digit_exponent(const char* first, const char* last) noexcept {
  const char* p = first;
  if (*p == '-') ++p;
  std::int64_t position = 0;  // exponent of the next digit read, relative to the point
  const char* int_start = p;
  while (p < last && is_digit(*p)) ++p;
  position = p - int_start - 1;
  std::int64_t leading = std::numeric_limits<std::int64_t>::min();
  for (const char* q = int_start; q < p; ++q, --position) {
    if (*q != '0') {
      leading = position;
      break;
    }
  }
  if (p < last && *p == '.') {
    ++p;
    std::int64_t frac_position = -1;
    for (; p < last && is_digit(*p); ++p, --frac_position) {
      if (*p != '0' && leading == std::numeric_limits<std::int64_t>::min()) leading = frac_position;
    }
  }
  std::int64_t exponent = 0;
  if (p < last && (*p == 'e' || *p == 'E')) {
    ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    while (p < last && *p == '0') ++p;
    constexpr std::int64_t cap = std::int64_t{1} << 40;
    if (last - p > 12) {
      exponent = cap;
    } else {
      std::from_chars(p, last, exponent);
    }
    if (negative) exponent = -exponent;
  }
  if (leading == std::numeric_limits<std::int64_t>::min()) return std::numeric_limits<std::int64_t>::min();
  return leading + exponent;
}

bool key_less(const JsonMember& a, const JsonMember& b) noexcept {
  return rep_less(Access::rep(a.key), Access::rep(b.key));
}

bool key_equal(const JsonMember& a, const JsonMember& b) noexcept {
  return rep_equal(Access::rep(a.key), Access::rep(b.key));
}

// Sorts [first, last) stably by key and keeps the last member of each run of
// equal keys; returns the end of the kept members.
JsonMember* order_members(JsonMember* first, JsonMember* last) {
  const std::size_t count = static_cast<std::size_t>(last - first);
  bool repeated = false;  // some key occurs more than once
  if (count <= 24) {
    // Insertion sort, stable; on members already in order it is one
    // comparison each. A repeated key always ends next to its equal, and the
    // insertion stops right there, which is where repeats are noticed.
    // Members are shifted as raw bytes: they hold no pointers into
    // themselves, and each ends up in exactly one place.
    static_assert(offsetof(JsonMember, key) == 0);
    for (std::size_t i = 1; i < count; ++i) {
      const StringRep& key = Access::rep(first[i].key);
      if (!rep_less(key, Access::rep(first[i - 1].key))) {
        repeated = repeated || rep_equal(key, Access::rep(first[i - 1].key));
        continue;
      }
      alignas(JsonMember) unsigned char moving[sizeof(JsonMember)];
      std::memcpy(moving, static_cast<void*>(first + i), sizeof moving);
      StringRep moving_key;
      std::memcpy(&moving_key, moving, sizeof moving_key);
      std::size_t j = i;
      do {
        std::memcpy(static_cast<void*>(first + j), static_cast<const void*>(first + j - 1), sizeof(JsonMember));
        --j;
      } while (j > 0 && rep_less(moving_key, Access::rep(first[j - 1].key)));
      std::memcpy(static_cast<void*>(first + j), moving, sizeof moving);
      repeated = repeated || (j > 0 && rep_equal(moving_key, Access::rep(first[j - 1].key)));
    }
  } else {
    bool ascending = true;
    for (std::size_t i = 1; i < count && ascending; ++i) ascending = key_less(first[i - 1], first[i]);
    if (ascending) return last;
    std::stable_sort(first, last, key_less);
    repeated = true;
  }
  if (!repeated) return last;
  JsonMember* kept = first;
  for (JsonMember* m = first; m != last; ++m) {
    if (m + 1 != last && key_equal(m[1], *m)) continue;
    if (kept != m) *kept = std::move(*m);
    ++kept;
  }
  return kept;
}

class Parser {
 public:
  Parser(std::string_view text, int kept_depth)
      : begin_(text.data()),
        p_(text.data()),
        end_(text.data() + text.size()),
        kept_depth_(kept_depth),
        arena_(text.size()) {}

  bool parse_document(JsonValue& out) {
    if (!parse_value(out)) return false;
    skip_whitespace();
    if (p_ != end_) return fail_at(ParseErrorKind::trailing_characters, p_);
    return true;
  }

  const Failure& failure() const noexcept { return failure_; }

 private:
  bool fail_at(ParseErrorKind kind, const char* where) noexcept {
    failure_ = {kind, static_cast<std::size_t>(where - begin_), false};
    return false;
  }
  bool fail_at_end(ParseErrorKind kind) noexcept {
    failure_ = {kind, static_cast<std::size_t>(end_ - begin_), true};
    return false;
  }

  void skip_whitespace() noexcept {
    const char* p = p_;
    while (p < end_) {
      const auto c = static_cast<unsigned char>(*p);
      if (c > ' ' || (c != ' ' && c != '\n' && c != '\r' && c != '\t')) break;
      ++p;
    }
    p_ = p;
  }

  bool parse_value(JsonValue& out) {
    skip_whitespace();
    if (p_ == end_) return fail_at_end(ParseErrorKind::eof_value);
    return parse_here<true>(&out);
  }

  // At the first byte of a value (not whitespace, not the end). With kKeep
  // the value is stored in *out; without, it is only checked, with the same
  // checks, and nothing is stored (out is null).
  template <bool kKeep>
  bool parse_here(JsonValue* out) {
    switch (*p_) {
      case '{':
        return parse_object(out);
      case '[':
        return parse_array(out);
      case '"':
        return parse_string(kKeep ? Access::raw(*out) : nullptr);
      case 't':
        return parse_literal<kKeep>("true", out, static_cast<std::uint64_t>(Tag::boolean) | (1U << 8));
      case 'f':
        return parse_literal<kKeep>("false", out, static_cast<std::uint64_t>(Tag::boolean));
      case 'n':
        return parse_literal<kKeep>("null", out, static_cast<std::uint64_t>(Tag::null));
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
        if constexpr (kKeep) {
          return parse_number(*out);
        } else {
          return check_number();
        }
      default:
        return fail_at(ParseErrorKind::expected_value, p_);
    }
  }

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

  bool enter(const char* bracket) noexcept {
    if (--depth_budget_ == 0) return fail_at(ParseErrorKind::recursion_limit, bracket);
    return true;
  }

  // Inside enter(): whether the content of the container just entered is
  // kept. The top-level value is level 1; values below the kept depth are
  // only checked, and a container at that depth is stored empty.
  bool keeps_content(const JsonValue* out) const noexcept {
    return out != nullptr && kNestingBudget - depth_budget_ < kept_depth_;
  }

  // Stores the array in `out`, or only checks it when `out` is null.
  bool parse_array(JsonValue* out) {
    if (!enter(p_)) return false;
    const bool keep = keeps_content(out);
    ++p_;
    skip_whitespace();
    if (p_ == end_) return fail_at_end(ParseErrorKind::eof_list);
    const std::size_t start = elements_.size();
    bool flat = true;  // no element holds a block
    if (*p_ != ']') {
      for (;;) {
        const char first = *p_;
        if (!keep) {
          if (!parse_here<false>(nullptr)) return false;
        } else if (first == '[' || first == '{') {
          // Nested elements go on the same stack, so this one is pushed after.
          JsonValue element;
          if (!(first == '[' ? parse_array(&element) : parse_object(&element))) return false;
          elements_.push(std::move(element));
          flat = false;
        } else {
          JsonValue& element = elements_.push_default();
          if (!parse_here<true>(&element)) return false;
          if (first == '"') flat = flat && Access::tag(element) == Tag::short_string;
        }
        // The common separator, "," or ", " before the next element, taken at once.
        if (end_ - p_ >= 3 && p_[0] == ',') {
          const char* next = p_ + 1 + (p_[1] == ' ');
          if (static_cast<unsigned char>(*next) > ' ' && *next != ']') {
            p_ = next;
            continue;
          }
        }
        skip_whitespace();
        if (p_ == end_) return fail_at_end(ParseErrorKind::eof_list);
        if (*p_ == ']') break;
        if (*p_ != ',') return fail_at(ParseErrorKind::expected_comma_or_bracket, p_);
        ++p_;
        skip_whitespace();
        if (p_ == end_) return fail_at_end(ParseErrorKind::eof_value);
        if (*p_ == ']') return fail_at(ParseErrorKind::trailing_comma, p_);
      }
    }
    ++p_;
    ++depth_budget_;
    if (out == nullptr) return true;
    const std::size_t count = elements_.size() - start;  // 0 when not kept
    const Block block = arena_.allocate(sizeof(JsonArray) + count * sizeof(JsonValue));
    JsonArray* array = Access::start_array(block, count);
    elements_.relocate_from(start, array->data());
    store_block(Access::raw(*out), Tag::array, block, flat);
    return true;
  }

  // Stores the object in `out`, or only checks it when `out` is null.
  bool parse_object(JsonValue* out) {
    if (!enter(p_)) return false;
    const bool keep = keeps_content(out);
    ++p_;
    skip_whitespace();
    if (p_ == end_) return fail_at_end(ParseErrorKind::eof_object);
    const std::size_t start = members_.size();
    bool flat = true;  // no key or value holds a block
    if (*p_ != '}') {
      for (;;) {
        if (*p_ != '"') return fail_at(ParseErrorKind::key_must_be_string, p_);
        const std::size_t index = members_.size();
        if (!keep) {
          if (!parse_string(nullptr)) return false;
        } else {
          if (!parse_string(Access::raw(members_.push_default().key))) return false;
          flat = flat && Access::rep(members_[index].key).tag == Tag::short_string;
        }
        skip_whitespace();
        if (p_ == end_) return fail_at_end(ParseErrorKind::eof_object);
        if (*p_ != ':') return fail_at(ParseErrorKind::expected_colon, p_);
        ++p_;
        skip_whitespace();
        if (p_ == end_) return fail_at_end(ParseErrorKind::eof_value);
        const char first = *p_;
        if (!keep) {
          if (!parse_here<false>(nullptr)) return false;
        } else if (first == '[' || first == '{') {
          // Nested members go on the same stack: the value is placed after.
          JsonValue value;
          if (!(first == '[' ? parse_array(&value) : parse_object(&value))) return false;
          members_[index].value = std::move(value);
          flat = false;
        } else {
          JsonValue& value = members_[index].value;
          if (!parse_here<true>(&value)) return false;
          if (first == '"') flat = flat && Access::tag(value) == Tag::short_string;
        }
        skip_whitespace();
        if (p_ == end_) return fail_at_end(ParseErrorKind::eof_object);
        if (*p_ == '}') break;
        if (*p_ != ',') return fail_at(ParseErrorKind::expected_comma_or_brace, p_);
        ++p_;
        skip_whitespace();
        if (p_ == end_) return fail_at_end(ParseErrorKind::eof_value);
        if (*p_ == '}') return fail_at(ParseErrorKind::trailing_comma, p_);
      }
    }
    ++p_;
    ++depth_budget_;
    if (out == nullptr) return true;
    const std::size_t count = members_.size() - start;  // 0 when not kept
    if (count > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("JSON object too large");
    const Block block = arena_.allocate(kObjectHeader + count * sizeof(JsonMember));
    JsonObject* object = Access::start_object(block, count);
    JsonMember* const first = Access::members(*object);
    members_.relocate_from(start, first);
    store_block(Access::raw(*out), Tag::object, block, flat);
    JsonMember* const kept = order_members(first, first + count);
    // Past the kept members are emptied ones and earlier repeats of a key.
    std::destroy(kept, first + count);
    Access::set_size(*object, static_cast<std::size_t>(kept - first));
    return true;
  }

  // At the opening quote. Bytes of 0x80 and above are copied unchecked.
  // Writes the rep of the text to `out`, unless `out` is null.
  bool parse_string(void* out) {
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

  // At a backslash; appends the escaped character to scratch_.
  bool parse_escape() {
    if (p_ + 1 == end_) return fail_at_end(ParseErrorKind::eof_string);
    const char letter = p_[1];
    char plain;
    switch (letter) {
      case '"':
        plain = '"';
        break;
      case '\\':
        plain = '\\';
        break;
      case '/':
        plain = '/';
        break;
      case 'b':
        plain = '\b';
        break;
      case 'f':
        plain = '\f';
        break;
      case 'n':
        plain = '\n';
        break;
      case 'r':
        plain = '\r';
        break;
      case 't':
        plain = '\t';
        break;
      case 'u': {
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
        append_utf8(scratch_, unit);
        return true;
      }
      default:
        return fail_at(ParseErrorKind::invalid_escape, p_ + 1);
    }
    scratch_.push_back(plain);
    p_ += 2;
    return true;
  }

  bool parse_hex4(std::uint32_t& unit) noexcept {
    for (int i = 0; i < 4; ++i, ++p_) {
      if (p_ == end_) return fail_at_end(ParseErrorKind::eof_string);
      const int digit = hex_value(*p_);
      if (digit < 0) return fail_at(ParseErrorKind::invalid_escape, p_);
      unit = (unit << 4) | static_cast<std::uint32_t>(digit);
    }
    return true;
  }

  // At the first of one or more digits: the end of the digits, or nullptr
  // after recording the failure.
  const char* skip_digits(const char* p) noexcept {
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

  static void store_number(JsonValue& out, Tag tag, std::uint64_t bits) noexcept {
    store_words(Access::raw(out), static_cast<std::uint64_t>(tag), bits);
  }

  struct NumberSpan {
    const char* last;  // null when the grammar check failed
    bool fraction;
    bool exponent;
  };

  // At '-' or a digit: checks the number's grammar, leaving p_ where it is.
  NumberSpan scan_number() noexcept {
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

  // At '-' or a digit of a number that is not kept. Only a number with an
  // exponent or more than 308 integer digits can exceed the largest double
  // (about 1.8e308); only such a number is converted, to find "number out of
  // range" exactly as a kept one would.
  bool check_number() {
    const NumberSpan span = scan_number();
    if (span.last == nullptr) return false;
    if (span.exponent || span.last - p_ > 308) {
      JsonValue ignored;
      return parse_number(ignored);
    }
    p_ = span.last;
    return true;
  }

  // At '-' or a digit. The grammar is checked here; from_chars then converts
  // exactly the span that was checked.
  [[gnu::noinline]] bool parse_number(JsonValue& out) {
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

  const char* begin_;
  const char* p_;
  const char* end_;
  int depth_budget_ = kNestingBudget;
  int kept_depth_;  // levels of values kept, see keeps_content
  Failure failure_{};
  // Declared first among the owners of blocks, so destroyed last.
  Arena arena_;
  RelocatingStack<JsonValue> elements_;  // elements of the arrays being parsed
  RelocatingStack<JsonMember> members_;  // members of the objects being parsed
  std::string scratch_;                  // a string with escapes, being decoded
};

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

Expected<JsonValue, JsonParseError> parse_json_text_reference(std::string_view text) {
  return parse_json_text_reference(text, kNestingBudget);
}

Expected<JsonValue, JsonParseError> parse_json_text_reference(std::string_view text, std::size_t kept_depth) {
  // No container lies deeper than kNestingBudget - 1, so that many levels or
  // more keep everything.
  Parser parser(text, static_cast<int>(std::clamp<std::size_t>(kept_depth, 1, kNestingBudget)));
  JsonValue root;
  if (!parser.parse_document(root)) return unexpected(locate(text, parser.failure()));
  return root;
}

}  // namespace korvane::reference
