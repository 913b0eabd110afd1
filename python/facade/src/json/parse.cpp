// The strict parser: the grammar, the nesting limit, the duplicate-key rule,
// the number forms and the error descriptions with their positions.
#include "json/parse.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <utility>

#include "decimal.hpp"
#include "json/build.hpp"
#include "json/layout.hpp"
#include "json/memory.hpp"
#include "json/number.hpp"
#include "json/parse_indexed.hpp"
#include "json/scan.hpp"
#include "json/split_check.hpp"

namespace korvane {

using namespace json_detail;

namespace {

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

std::string_view describe(ParseErrorKind kind) noexcept { return kParseErrorDescriptions[static_cast<std::size_t>(kind)]; }

struct Failure {
  ParseErrorKind kind;
  std::size_t offset;  // byte at which the failure was found
  bool at_end;         // the text ended where more was due
};


class Parser {
 public:
  Parser(std::string_view text, const KeptLevels& levels)
      : begin_(text.data()),
        p_(text.data()),
        end_(text.data() + text.size()),
        levels_(levels),
        arena_(text.size()) {}

  bool parse_document(JsonValue& out) {
    if (!parse_value(out)) return false;
    skip_whitespace();
    if (p_ != end_) return fail_at(ParseErrorKind::trailing_characters, p_);
    return true;
  }

  const Failure& failure() const noexcept { return failure_; }
  bool took_over() const noexcept { return took_over_; }

  // Meet `split`'s second thread at `comma`; with `patient`, wait for it
  // there even when it lags.
  void split_at(const char* comma, SplitCheck& split, bool patient) noexcept {
    meet_ = comma;
    split_ = &split;
    patient_ = patient;
  }

  // The second thread's walk: from just after `comma`, inside containers
  // whose kinds it does not know, checking what follows and logging each
  // bracket that closes one of them, until the text ends, a check fails or
  // nothing more is wanted. After a comma, a string and a colon make the
  // container an object; its closing bracket must then be a brace, and the
  // parser holds the logged brackets to the ones it has open.
  void check_after(const char* comma, SplitCheck& split) {
    p_ = comma + 1;
    for (;;) {
      skip_whitespace();
      if (p_ == end_) return;
      bool object = false;
      if (*p_ == '"') {
        if (!check_string()) return;
        skip_whitespace();
        if (p_ != end_ && *p_ == ':') {
          ++p_;
          skip_whitespace();
          if (p_ == end_ || !parse_here<false>(nullptr)) return;
          object = true;
        }
      } else if (!parse_here<false>(nullptr)) {
        return;
      }
      if (!check_rest(object ? '}' : ']', split)) return;
      // At a closing bracket, after which comes a comma or another one.
      for (;;) {
        if (!split.log({static_cast<std::size_t>(p_ - begin_), *p_, kNestingBudget - lowest_budget_})) return;
        ++p_;
        skip_whitespace();
        if (p_ == end_ || *p_ == ',') break;
        if (*p_ != ']' && *p_ != '}') return;
      }
      if (p_ == end_) return;
      ++p_;
    }
  }

 private:
  bool fail_at(ParseErrorKind kind, const char* where) noexcept {
    failure_ = {kind, static_cast<std::size_t>(where - begin_), false};
    return false;
  }
  bool fail_at_end(ParseErrorKind kind) noexcept {
    failure_ = {kind, static_cast<std::size_t>(end_ - begin_), true};
    return false;
  }

  [[gnu::always_inline]] void skip_whitespace() noexcept { p_ = whitespace_end(p_, end_); }

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
        if constexpr (kKeep) {
          return parse_string(Access::raw(*out));
        } else {
          return check_string();
        }
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
          return parse_number_quickly(*out);
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
    lowest_budget_ = std::min(lowest_budget_, depth_budget_);
    // '[' + 2 is ']', '{' + 2 is '}'.
    closing_[static_cast<std::size_t>(kNestingBudget - depth_budget_)] = static_cast<char>(*bracket + 2);
    return true;
  }

  // At the comma where the second thread began, in a container whose
  // content is not kept: takes the second thread's word for the text up to
  // the bracket that closes the outermost such container, if it logged that
  // far without fault, its brackets are the ones open here and the levels it
  // went down stay within the limit. Then p_ is at that bracket and the
  // depth is that container's.
  [[gnu::noinline]] bool take_over() {
    const int level = kNestingBudget - depth_budget_;
    const auto needed = static_cast<std::size_t>(level - unkept_level_ + 1);
    // Lagging means: not yet a quarter of the way to the end.
    const auto ahead = static_cast<std::size_t>(end_ - p_);
    const std::size_t progress = patient_ ? 0 : static_cast<std::size_t>(p_ - begin_) + ahead / 4;
    const std::span<const ClosingBracket> logged = split_->wait_for(needed, progress);
    split_->cancel();
    if (logged.size() != needed || level + logged.back().deepest >= kNestingBudget) return false;
    for (std::size_t i = 0; i < needed; ++i)
      if (logged[i].bracket != closing_[static_cast<std::size_t>(level) - i]) return false;
    p_ = begin_ + logged.back().offset;
    depth_budget_ = kNestingBudget - unkept_level_;
    took_over_ = true;
    return true;
  }

  // The second thread's rest of a container, after one value or member:
  // through its closing bracket `closing`, at which p_ stops.
  bool check_rest(char closing, SplitCheck& split) {
    for (;;) {
      if (split.cancelled()) return false;
      split.progress(static_cast<std::size_t>(p_ - begin_));
      skip_whitespace();
      if (p_ == end_) return false;
      if (*p_ == closing) return true;
      if (*p_ != ',') return false;
      ++p_;
      skip_whitespace();
      if (p_ == end_) return false;
      if (closing == '}') {
        if (*p_ != '"' || !check_string()) return false;
        skip_whitespace();
        if (p_ == end_ || *p_ != ':') return false;
        ++p_;
        skip_whitespace();
        if (p_ == end_) return false;
      }
      if (!parse_here<false>(nullptr)) return false;
    }
  }

  // At an opening bracket, not yet entered: whether the content of the
  // container is kept. The top-level value is level 1; values below the
  // kept depth are only checked, and a container at that depth is stored
  // empty.
  bool keeps_content(const JsonValue* out) const noexcept {
    return out != nullptr && kNestingBudget - depth_budget_ + 1 < levels_.limit();
  }

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

  // At the opening bracket of a container whose content is not kept: checks
  // it, and stores it empty in `out` unless that is null. The outermost such
  // container is the one the second thread's word can close.
  bool parse_unkept(JsonValue* out, Tag tag) {
    if (out == nullptr) return check_container();
    unkept_level_ = kNestingBudget - depth_budget_ + 1;
    if (!check_container()) return false;
    const Block block = arena_.allocate(tag == Tag::array ? sizeof(JsonArray) : kObjectHeader);
    if (tag == Tag::array) {
      Access::start_array(block, 0);
    } else {
      Access::start_object(block, 0);
    }
    store_block(Access::raw(*out), tag, block, true);
    return true;
  }

  // At the opening bracket of a container whose content is not kept: checks
  // it through its closing bracket in one loop, with closing_ as the stack
  // of open containers, and leaves p_ after that bracket. The checks, their
  // order and the failures are those of parse_array and parse_object; the
  // separators json.dumps writes (", " and ": ") are taken at once.
  bool check_container() {
    const int outside = depth_budget_;
    bool object;  // the innermost open container is an object
  open:  // at '[' or '{'
    if (!enter(p_)) return false;
    object = *p_ == '{';
    ++p_;
    skip_whitespace();
    if (object) {
      if (p_ == end_) return fail_at_end(ParseErrorKind::eof_object);
      if (*p_ == '}') goto close;
      goto key;
    }
    if (p_ == end_) return fail_at_end(ParseErrorKind::eof_list);
    if (*p_ == ']') goto close;
  value:  // at the first byte of a value
    if (*p_ == '[' || *p_ == '{') goto open;
    if (!check_scalar()) return false;
  after:  // after a value, in the container at the current level
    if (p_ == meet_) [[unlikely]] {
      meet_ = nullptr;
      if (take_over()) goto close;
    }
    if (object) {
      // ", " before the next key, taken at once.
      if (end_ - p_ >= 3 && p_[0] == ',' && p_[1] == ' ' && p_[2] == '"') {
        p_ += 2;
        goto key;
      }
    } else if (take_element_comma()) {
      goto value;
    }
    if (const Next next = after_item(object ? '}' : ']'); next != Next::item) {
      if (next == Next::failed) return false;
      goto close;
    }
    if (!object) goto value;
  key:  // in an object, at the first byte of a member
    if (*p_ != '"') return fail_at(ParseErrorKind::key_must_be_string, p_);
    if (!check_string<true>()) return false;
    // ": " before the value, taken at once.
    if (end_ - p_ >= 3 && p_[0] == ':' && p_[1] == ' ' && static_cast<unsigned char>(p_[2]) > ' ') {
      p_ += 2;
      goto value;
    }
    if (!take_colon()) return false;
    goto value;
  close:  // at the closing bracket of the container at the current level
    ++p_;
    if (++depth_budget_ == outside) return true;
    object = in_object();
    goto after;
  }

  // Whether the innermost open container is an object.
  bool in_object() const noexcept { return closing_[static_cast<std::size_t>(kNestingBudget - depth_budget_)] == '}'; }

  // At the first byte of a value that is not a container, not kept: what
  // parse_here<false> does, inlined into the check's loop.
  [[gnu::always_inline]] bool check_scalar() {
    switch (*p_) {
      case '"':
        return check_string();
      case 't':
        return parse_literal<false>("true", nullptr, 0);
      case 'f':
        return parse_literal<false>("false", nullptr, 0);
      case 'n':
        return parse_literal<false>("null", nullptr, 0);
      default:
        if (*p_ == '-' || is_digit(*p_)) return check_number();
        return fail_at(ParseErrorKind::expected_value, p_);
    }
  }

  // Stores the array in `out`, or only checks it when `out` is null.
  bool parse_array(JsonValue* out) {
    if (!keeps_content(out)) return parse_unkept(out, Tag::array);
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
          if (!parse_here<true>(&element)) return false;
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

  // Stores the object in `out`, or only checks it when `out` is null.
  bool parse_object(JsonValue* out) {
    if (!keeps_content(out)) return parse_unkept(out, Tag::object);
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
          if (!parse_here<true>(&value)) return false;
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

  // At the opening quote of a string that is not kept (a member's key with
  // kKey): checks it as parse_string does, the usual string without escapes
  // inline. A string of up to fifteen bytes is decided from one load,
  // without waiting for the position of its first special byte.
  template <bool kKey = false>
  [[gnu::always_inline]] bool check_string() {
#if defined(__SSE2__)
    if (end_ - p_ > 16) [[likely]] {
      const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p_ + 1));
      const auto quotes = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, _mm_set1_epi8('"'))));
      const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(chunk, _mm_set1_epi8(0x1F)), chunk);
      const auto others = static_cast<unsigned>(
          _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(chunk, _mm_set1_epi8('\\')), control)));
      // The bytes before the first quote hold no backslash or control byte.
      if (quotes != 0 && (others & ((quotes & (0U - quotes)) - 1)) == 0) {
        if constexpr (kKey) {
          step_past_key(std::countr_zero(quotes));
        } else {
          p_ += 2 + std::countr_zero(quotes);
        }
        return true;
      }
      return check_string_in_chunk(quotes | others);
    }
#endif
    const char* special = find_string_special(p_ + 1, end_);
    if (special != end_ && *special == '"') [[likely]] {
      p_ = special + 1;
      return true;
    }
    return check_string_rest(special);
  }

#if defined(__SSE2__)
  // Moves p_ past a key of `length` bytes (below sixteen) and its quotes.
  // Member keys repeat from row to row, so the branch on the length is well
  // predicted, and the reads that follow need not wait for the length to be
  // counted. The branch pays only where it is predicted: on the values of
  // the members, whose lengths vary, p_ moves by the count.
  [[gnu::always_inline]] void step_past_key(int length) noexcept {
    switch (length) {
      case 0: return step_by<2>();
      case 1: return step_by<3>();
      case 2: return step_by<4>();
      case 3: return step_by<5>();
      case 4: return step_by<6>();
      case 5: return step_by<7>();
      case 6: return step_by<8>();
      case 7: return step_by<9>();
      case 8: return step_by<10>();
      case 9: return step_by<11>();
      case 10: return step_by<12>();
      case 11: return step_by<13>();
      case 12: return step_by<14>();
      case 13: return step_by<15>();
      case 14: return step_by<16>();
      case 15: return step_by<17>();
      default: p_ += length + 2;
    }
  }

  // p_ += kStep, with the constant hidden from the optimiser so that it
  // cannot fold the cases of step_past_key back into one addition.
  template <std::ptrdiff_t kStep>
  [[gnu::always_inline]] void step_by() noexcept {
    std::ptrdiff_t step = kStep;
#if defined(__GNUC__)
    asm("" : "+r"(step));
#endif
    p_ += step;
  }

  // At the opening quote of a string that is not kept, with `specials` the
  // quotes, backslashes and control bytes among the sixteen bytes after it:
  // goes through them, and the escapes they start, before scanning on.
  [[gnu::noinline]] bool check_string_in_chunk(unsigned specials) {
    const char* const chunk = p_ + 1;
    while (specials != 0) {
      p_ = chunk + std::countr_zero(specials);
      if (*p_ == '"') {
        ++p_;
        return true;
      }
      if (*p_ != '\\') return fail_at(ParseErrorKind::control_character, p_);
      if (!parse_escape<false>()) return false;
      const auto past = p_ - chunk;
      if (past >= 16) return check_string_rest(find_string_special(p_, end_));
      specials &= ~0U << past;
    }
    return check_string_rest(find_string_special(std::max(p_, chunk + 16), end_));
  }
#endif

  // At the first byte after the opening quote that is a quote, a backslash
  // or a control byte (or the end), in a string that is not kept.
  [[gnu::noinline]] bool check_string_rest(const char* special) {
    for (;;) {
      if (special == end_) return fail_at_end(ParseErrorKind::eof_string);
      p_ = special;
      if (*p_ == '"') break;
      if (*p_ != '\\') return fail_at(ParseErrorKind::control_character, p_);
      if (!parse_escape<false>()) return false;
      special = find_string_special(p_, end_);
    }
    ++p_;
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
    if (unit >= 0xDC00 && unit <= 0xDFFF)
      return fail_at(ParseErrorKind::lone_leading_surrogate, p_ - 1);
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (p_ == end_) return fail_at_end(ParseErrorKind::eof_string);
      if (*p_ != '\\') return fail_at(ParseErrorKind::unexpected_end_of_hex_escape, p_);
      if (p_ + 1 == end_) return fail_at_end(ParseErrorKind::eof_string);
      if (p_[1] != 'u') return fail_at(ParseErrorKind::unexpected_end_of_hex_escape, p_ + 1);
      p_ += 2;
      std::uint32_t trail = 0;
      if (!parse_hex4(trail)) return false;
      if (trail < 0xDC00 || trail > 0xDFFF)
        return fail_at(ParseErrorKind::lone_leading_surrogate, p_ - 1);
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

  // At '-' or a digit. The usual forms are read in one pass over the text,
  // checking the JSON grammar as the digits go into the mantissa: no leading
  // zero, a digit after a '.', and digits after an exponent mark. Integers
  // are taken from the mantissa, doubles from decimal_to_double or, where
  // it does not decide, from from_chars on exactly the span read. Anything
  // else goes to parse_number, which checks every byte and reports the error.
  bool parse_number_quickly(JsonValue& out) {
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

  // At '-' or a digit of a number that is not kept. Inline, as it sits on
  // the check's path: a call costs about a quarter of the check of a text
  // full of short numbers.
  [[gnu::always_inline]] bool check_number() {
    // The usual forms first: an integer without a leading zero (one digit
    // taken at once), or one of them with a fraction, and no exponent mark
    // after.
    const char* p = p_ + (*p_ == '-');
    if (p != end_ && is_digit(*p)) {
      if (*p++ != '0' && p != end_ && is_digit(*p)) p = digits_end(p + 1, end_);
      if (p != end_ && *p == '.' && p + 1 != end_ && is_digit(p[1])) p = digits_end(p + 2, end_);
      // A digit here follows a leading zero.
      if ((p == end_ || (*p != 'e' && *p != 'E' && *p != '.' && !is_digit(*p))) && p - p_ <= 308) {
        p_ = p;
        return true;
      }
    }
    return check_number_rest();
  }

  // check_number for every other form and every fault. Only a number with
  // an exponent or more than 308 integer digits can exceed the largest
  // double (about 1.8e308); only such a number is converted, to find "number
  // out of range" exactly as a kept one would.
  [[gnu::noinline]] bool check_number_rest() {
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
  int lowest_budget_ = kNestingBudget;  // the least depth_budget_ so far
  KeptLevels levels_;  // levels of values kept, see keeps_content
  // For the meeting with a second thread: the closing bracket of each open
  // container by level, and the level of the outermost open one whose
  // content is not kept.
  std::array<char, kNestingBudget> closing_;  // written on entering a level, read only below it
  int unkept_level_ = 0;
  const char* meet_ = nullptr;  // the comma after which the second thread began
  SplitCheck* split_ = nullptr;
  bool patient_ = false;
  bool took_over_ = false;
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

std::string JsonParseError::to_string() const {
  return description + " at line " + decimal(line) + " column " + decimal(column);
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
  if constexpr (kIndexedParserIsDefault) {
    IndexedParse parse = parse_json_text_indexed(text, levels, IndexPath::best);
    if (parse.outcome == IndexedParse::accepted) return std::move(parse.value);
  }
  return parse_json_text_one_pass(text, levels);
}

Expected<JsonValue, JsonParseError> json_detail::parse_json_text_one_pass(std::string_view text, std::size_t kept_depth) {
  return parse_json_text_one_pass(text, KeptLevels(kept_depth));
}

Expected<JsonValue, JsonParseError> json_detail::parse_json_text_one_pass(std::string_view text, const KeptLevels& levels) {
  // Only a parse that keeps less than everything has parts to hand over.
  const bool split = text.size() >= SplitCheck::kMinimumText && levels.limit() < kNestingBudget;
  const char* comma = split ? SplitCheck::find_comma(text, text.size() / 2 + SplitCheck::kHeadStart) : nullptr;
  return parse_json_text_split(text, levels, comma, SplitWait::unless_lagging);
}

Expected<JsonValue, JsonParseError> json_detail::parse_json_text_split(std::string_view text, const KeptLevels& levels,
                                                                       const char* comma, SplitWait wait,
                                                                       bool* took_over) {
  Parser parser(text, levels);
  // Declared after the parser, so the second thread is stopped first.
  std::optional<SplitCheck> split;
  if (comma != nullptr) {
    try {
      split.emplace([text, comma](SplitCheck& check) {
        Parser fragment(text, KeptLevels(1));
        fragment.check_after(comma, check);
      });
      parser.split_at(comma, *split, wait == SplitWait::always);
    } catch (const std::system_error&) {
      // No thread to be had: one reads it all.
    }
  }
  JsonValue root;
  const bool parsed = parser.parse_document(root);
  if (took_over != nullptr) *took_over = parser.took_over();
  if (!parsed) return unexpected(locate(text, parser.failure()));
  return root;
}

}  // namespace korvane
