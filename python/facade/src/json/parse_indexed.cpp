// The second pass of the indexed parser: it walks the token positions of
// the first pass, building the tree (or, below the kept depth, only checking
// the text), with the grammar, the nesting limit, the duplicate-key rule and
// the number forms of the one-pass parser. It does not locate errors: any
// text it rejects is handed to the one-pass parser, which fails on it with
// the exact description and position.
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <system_error>

#include "json/build.hpp"
#include "json/index.hpp"
#include "json/layout.hpp"
#include "json/memory.hpp"
#include "json/number.hpp"
#include "json/parse.hpp"
#include "json/scan.hpp"

namespace korvane::json_detail {

namespace {

// Blocks of 64 bytes indexed at a time: 16 KiB of text, whose positions
// (at most 64 KiB) stay in the cache until the second pass reads them. The
// fuzz build makes them tiny, to reach the window edges with short inputs.
#ifndef KORVANE_JSON_WINDOW_BLOCKS
#define KORVANE_JSON_WINDOW_BLOCKS 256
#endif
constexpr std::size_t kWindowBlocks = KORVANE_JSON_WINDOW_BLOCKS;

// Bytes that may follow a number or a literal: where the first pass ended
// the token. Any other byte would have been taken into the same token.
constexpr std::array<bool, 256> kTokenEnd = [] {
  std::array<bool, 256> table{};
  for (const char c : {' ', '\t', '\n', '\r', ',', ':', '[', ']', '{', '}', '"'}) table[static_cast<unsigned char>(c)] = true;
  return table;
}();

inline void store_number(void* rep, Tag tag, std::uint64_t bits) noexcept {
  store_words(rep, static_cast<std::uint64_t>(tag), bits);
}

class IndexedParser {
 public:
  IndexedParser(std::string_view text, TokenIndex& index, const KeptLevels& levels)
      : begin_(text.data()),
        end_(text.data() + text.size()),
        index_(index),
        ended_{static_cast<std::uint32_t>(text.size()), TokenIndex::kRefill},
        levels_(levels),
        arena_(text.size()) {}

  bool parse_document(JsonValue& out) {
    const char* p = next();
    if (p == end_) return false;
    if (!parse_value<true>(p, &out)) return false;
    return next() == end_ && outcome_ == IndexOutcome::built;
  }

  // Why the last parse_document failed, as far as the first pass knows.
  IndexOutcome first_pass_outcome() const noexcept { return outcome_; }

 private:
  // The next token, or end_ once there are none (or the first pass found
  // the text wanting: then end_ again on every call).
  const char* next() {
    std::uint32_t at = *token_++;
    if (at == TokenIndex::kRefill) [[unlikely]] at = refill();
    return begin_ + at;
  }

  // The first pass's next window; its first position.
  [[gnu::noinline]] std::uint32_t refill() {
    for (;;) {
      if (outcome_ == IndexOutcome::built) outcome_ = index_.fill(kWindowBlocks);
      if (outcome_ != IndexOutcome::built) {
        token_ = ended_ + 1;
        return ended_[0];
      }
      token_ = index_.positions();
      // A window may hold no token at all (inside a long string, say).
      if (const std::uint32_t at = *token_++; at != TokenIndex::kRefill) return at;
    }
  }

  template <bool kKeep>
  bool parse_value(const char* p, JsonValue* out) {
    switch (*p) {
      case '{':
        return parse_object(p, out);
      case '[':
        return parse_array(p, out);
      case '"':
        return parse_string(p, kKeep ? Access::raw(*out) : nullptr);
      case 't':
        return parse_literal<kKeep>(p, "true", out, static_cast<std::uint64_t>(Tag::boolean) | (1U << 8));
      case 'f':
        return parse_literal<kKeep>(p, "false", out, static_cast<std::uint64_t>(Tag::boolean));
      case 'n':
        return parse_literal<kKeep>(p, "null", out, static_cast<std::uint64_t>(Tag::null));
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
        return parse_number(p, kKeep ? Access::raw(*out) : nullptr);
      default:
        return false;
    }
  }

  bool ends_token(const char* p) const noexcept {
    return p == end_ || kTokenEnd[static_cast<unsigned char>(*p)];
  }

  template <bool kKeep>
  bool parse_literal(const char* p, std::string_view word, JsonValue* out, std::uint64_t stored) noexcept {
    if (static_cast<std::size_t>(end_ - p) < word.size() || std::memcmp(p, word.data(), word.size()) != 0) return false;
    if (!ends_token(p + word.size())) return false;
    if constexpr (kKeep) store_words(Access::raw(*out), stored, 0);
    return true;
  }

  bool enter() noexcept { return --depth_budget_ != 0; }

  bool keeps_content(const JsonValue* out) const noexcept {
    return out != nullptr && kNestingBudget - depth_budget_ < levels_.limit();
  }

  // At '['.
  bool parse_array(const char*, JsonValue* out) {
    if (!enter()) return false;
    const bool keep = keeps_content(out);
    const std::size_t start = elements_.size();
    bool flat = true;  // no element holds a block
    const char* p = next();
    if (p == end_) return false;
    if (*p != ']') {
      for (;;) {
        const char first = *p;
        if (!keep) {
          if (!parse_value<false>(p, nullptr)) return false;
        } else if (first == '[' || first == '{') {
          // Nested elements go on the same stack, so this one is pushed after.
          JsonValue element;
          if (!(first == '[' ? parse_array(p, &element) : parse_object(p, &element))) return false;
          elements_.push(std::move(element));
          flat = false;
        } else {
          JsonValue& element = elements_.push_default();
          if (!parse_value<true>(p, &element)) return false;
          if (first == '"') flat = flat && Access::tag(element) == Tag::short_string;
        }
        p = next();
        if (p == end_) return false;
        if (*p == ']') break;
        if (*p != ',') return false;
        p = next();
        if (p == end_) return false;
      }
    }
    ++depth_budget_;
    if (out == nullptr) return true;
    const std::size_t count = elements_.size() - start;  // 0 when not kept
    const Block block = arena_.allocate(sizeof(JsonArray) + count * sizeof(JsonValue));
    JsonArray* array = Access::start_array(block, count);
    elements_.relocate_from(start, array->data());
    store_block(Access::raw(*out), Tag::array, block, flat);
    return true;
  }

  // At '{'.
  bool parse_object(const char*, JsonValue* out) {
    if (!enter()) return false;
    const bool keep = keeps_content(out);
    const std::size_t start = members_.size();
    bool flat = true;  // no key or value holds a block
    const char* p = next();
    if (p == end_) return false;
    if (*p != '}') {
      for (;;) {
        if (*p != '"') return false;
        const std::size_t index = members_.size();
        if (!keep) {
          if (!parse_string(p, nullptr)) return false;
        } else {
          if (!parse_string(p, Access::raw(members_.push_default().key))) return false;
          flat = flat && Access::rep(members_[index].key).tag == Tag::short_string;
          levels_.enter_member(kNestingBudget - depth_budget_, [&] { return members_[index].key.view(); });
        }
        p = next();
        if (p == end_ || *p != ':') return false;
        p = next();
        if (p == end_) return false;
        const char first = *p;
        if (!keep) {
          if (!parse_value<false>(p, nullptr)) return false;
        } else if (first == '[' || first == '{') {
          // Nested members go on the same stack: the value is placed after.
          JsonValue value;
          if (!(first == '[' ? parse_array(p, &value) : parse_object(p, &value))) return false;
          members_[index].value = std::move(value);
          flat = false;
        } else {
          JsonValue& value = members_[index].value;
          if (!parse_value<true>(p, &value)) return false;
          if (first == '"') flat = flat && Access::tag(value) == Tag::short_string;
        }
        p = next();
        if (p == end_) return false;
        if (*p == '}') break;
        if (*p != ',') return false;
        p = next();
        if (p == end_) return false;
      }
    }
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

  // At the opening quote. The first pass found that the string closes and
  // holds no control byte, and its tokens are the escapes in the string and
  // the closing quote; escapes are decoded and checked here. Writes the rep
  // of the text to `out`, unless `out` is null.
  bool parse_string(const char* p, void* out) {
    const char* run = p + 1;
    const char* token = next();
    // The first pass vouches that every string closes, but only at the end
    // of the text: a window may end first in a text found wanting.
    if (token == end_) return false;
    if (*token == '"') {
      if (out != nullptr) store_text(out, arena_, run, static_cast<std::size_t>(token - run), end_);
      return true;
    }
    scratch_.clear();
    do {
      scratch_.append(run, static_cast<std::size_t>(token - run));
      if ((run = decode_escape(token)) == nullptr) return false;
      // The second escape of a surrogate pair was decoded with the first.
      do {
        token = next();
      } while (token < run);
      if (token == end_) return false;
    } while (*token != '"');
    scratch_.append(run, static_cast<std::size_t>(token - run));
    if (out != nullptr) store_text(out, arena_, scratch_.data(), scratch_.size(), scratch_.data() + scratch_.size());
    return true;
  }

  // At a backslash: appends the escaped character to scratch_ and returns
  // the byte after the escape, or null for a bad escape.
  const char* decode_escape(const char* p) {
    if (end_ - p < 2) return nullptr;
    if (const char plain = unescaped(p[1])) {
      scratch_.push_back(plain);
      return p + 2;
    }
    if (p[1] != 'u') return nullptr;
    std::uint32_t unit = 0;
    if ((p = hex4(p + 2, unit)) == nullptr) return nullptr;
    if (unit >= 0xDC00 && unit <= 0xDFFF) return nullptr;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (end_ - p < 2 || p[0] != '\\' || p[1] != 'u') return nullptr;
      std::uint32_t trail = 0;
      if ((p = hex4(p + 2, trail)) == nullptr) return nullptr;
      if (trail < 0xDC00 || trail > 0xDFFF) return nullptr;
      unit = 0x10000 + ((unit - 0xD800) << 10) + (trail - 0xDC00);
    }
    append_utf8(scratch_, unit);
    return p;
  }

  const char* hex4(const char* p, std::uint32_t& unit) const noexcept {
    if (end_ - p < 4) return nullptr;
    for (int i = 0; i < 4; ++i, ++p) {
      const int digit = hex_value(*p);
      if (digit < 0) return nullptr;
      unit = (unit << 4) | static_cast<std::uint32_t>(digit);
    }
    return p;
  }

  // At '-' or a digit. Stores into `out` unless it is null: the number is
  // then only checked, for the grammar and the range.
  bool parse_number(const char* p, void* out) {
    return out != nullptr ? read_number<true>(p, out) : read_number<false>(p, nullptr);
  }

  // The digits from p on: read into `mantissa` when kept, else only skipped.
  // The integer part (kLeading) is mostly short.
  template <bool kKeep, bool kLeading>
  const char* take_digits(const char* p, std::uint64_t& mantissa) const noexcept {
    if constexpr (!kKeep) {
      return digits_end(p, end_);
    } else if constexpr (kLeading) {
      return read_leading_digits(p, end_, mantissa);
    } else {
      return read_digits(p, end_, mantissa);
    }
  }

  // Checks the grammar while reading the digits into the mantissa, once; the
  // integer forms and the doubles that decimal_to_double decides are
  // converted from it, every other double by from_chars on the checked span.
  // An unkept number is converted, by from_chars, only when it may be too
  // large for a double.
  template <bool kKeep>
  bool read_number(const char* p, void* rep) {
    const char* const first = p;
    const bool negative = *p == '-';
    if (negative) ++p;
    if (p == end_ || !is_digit(*p)) return false;
    std::uint64_t mantissa = 0;
    const char* const integer_start = p;
    const bool zero_integer = *p == '0';
    p = zero_integer ? p + 1 : take_digits<kKeep, true>(p, mantissa);
    // Digits from the first that is not a leading zero: a mantissa of more
    // than kMantissaDigits of them has wrapped (possibly to 0).
    std::int64_t significant = zero_integer ? 0 : p - integer_start;
    std::int64_t scale = 0;  // the value is mantissa * 10^scale
    bool integer = true;
    if (p != end_ && *p == '.') {
      integer = false;
      const char* const fraction_start = ++p;
      if (significant == 0) {  // only zeros so far: leading ones
        while (p != end_ && *p == '0') ++p;
      }
      const char* const significant_start = p;
      p = take_digits<kKeep, false>(p, mantissa);
      if (p == fraction_start) return false;
      significant += p - significant_start;
      scale = fraction_start - p;
    }
    if (p != end_ && (*p == 'e' || *p == 'E')) {
      integer = false;
      ++p;
      bool exponent_negative = false;
      if (p != end_ && (*p == '+' || *p == '-')) exponent_negative = *p++ == '-';
      const char* const exponent_start = p;
      std::int64_t exponent10 = 0;
      while (p != end_ && is_digit(*p)) {
        if (exponent10 < kExponentLimit) exponent10 = exponent10 * 10 + (*p - '0');
        ++p;
      }
      if (p == exponent_start) return false;
      scale += exponent_negative ? -exponent10 : exponent10;
    }
    if (!ends_token(p)) return false;
    const char* const last = p;
    // An unkept number is only checked for overflow: none below 10^308 (its
    // leading digit stands for 10^(scale + significant - 1)).
    if (!kKeep && (significant == 0 || scale + significant <= 308)) return true;
    const bool exact = kKeep && significant <= kMantissaDigits;

    if (kKeep && integer) {
      if (exact) {
        if (!negative) {
          store_number(rep, Tag::unsigned_integer, mantissa);
          return true;
        }
        if (mantissa == 0) {  // -0 is a double
          store_number(rep, Tag::floating, std::bit_cast<std::uint64_t>(-0.0));
          return true;
        }
        if (mantissa <= std::uint64_t{1} << 63) {
          store_number(rep, Tag::signed_integer, 0 - mantissa);
          return true;
        }
      } else if (!negative && significant == 20) {
        std::uint64_t value = 0;
        if (std::from_chars(first, last, value).ec == std::errc()) {
          store_number(rep, Tag::unsigned_integer, value);
          return true;
        }
      }
    }
    double value = 0;
    if (!exact || !decimal_to_double(mantissa, scale, negative, value)) {
      const auto result = std::from_chars(first, last, value);
      if (result.ec == std::errc::result_out_of_range) {
        // from_chars reports both overflow and underflow; underflow is zero.
        if (leading_digit_exponent(first, last) >= 0) return false;
        value = negative ? -0.0 : 0.0;
      } else if (result.ec != std::errc() || result.ptr != last) {
        return false;
      }
    }
    if constexpr (kKeep) store_number(rep, Tag::floating, std::bit_cast<std::uint64_t>(value));
    return true;
  }

  const char* begin_;
  const char* end_;
  TokenIndex& index_;
  // The positions once the first pass ended without success: the end, then
  // a refill that ends there again.
  const std::uint32_t ended_[2];
  // Before the first token: a refill.
  const std::uint32_t* token_ = &TokenIndex::kRefill;
  IndexOutcome outcome_ = IndexOutcome::built;
  int depth_budget_ = kNestingBudget;
  KeptLevels levels_;
  // Declared first among the owners of blocks, so destroyed last.
  Arena arena_;
  RelocatingStack<JsonValue> elements_;
  RelocatingStack<JsonMember> members_;
  std::string scratch_;
};

}  // namespace

IndexedParse parse_json_text_indexed(std::string_view text, std::size_t kept_depth, IndexPath path) {
  return parse_json_text_indexed(text, KeptLevels(kept_depth), path);
}

IndexedParse parse_json_text_indexed(std::string_view text, const KeptLevels& levels, IndexPath path) {
  TokenIndex index;
  index.start(text, path);
  IndexedParser parser(text, index, levels);
  IndexedParse parse{IndexedParse::accepted, JsonValue()};
  if (parser.parse_document(parse.value)) return parse;
  const bool declined = parser.first_pass_outcome() == IndexOutcome::declined;
  return {declined ? IndexedParse::declined : IndexedParse::rejected, JsonValue()};
}

}  // namespace korvane::json_detail
