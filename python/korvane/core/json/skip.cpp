// The walk that skips the values below the kept levels: nothing stored, but
// the same grammar, the same failures at the same places as the building
// walk of json/parse.cpp. A large execution result is mostly this walk, so its
// loops take the separators json.dumps writes at once and decide the usual
// short strings and numbers inline.
#include "json/parser.hpp"

#include <bit>
#include <cstddef>

#include "json/number.hpp"

namespace korvane::json_detail {

// At the opening bracket of a container at the last kept level: checks it,
// and stores it empty in `out`.
bool Parser::parse_unkept(JsonValue* out, Tag tag) {
  if (!skip_container()) return false;
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
//
// Aligned to a cache line, so that where its loop falls relative to the
// fetch blocks does not move with every change elsewhere in the program: it
// is most of the check of a large result, and its speed swung by a tenth
// with that place alone.
[[gnu::aligned(64)]] bool Parser::skip_container() {
  const int outside = depth_budget_;
  bool object;  // the innermost open container is an object
open:           // at '[' or '{'
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
  // A large result is read from memory once, front to back: asking for the
  // bytes some lines ahead keeps the loop from waiting on them (a 20 MB
  // result is checked about 1.4 times as fast; texts in the cache are not
  // slower). A prefetch past the end of the text is harmless.
  __builtin_prefetch(p_ + 768);
  if (*p_ == '[' || *p_ == '{') goto open;
  if (!skip_scalar()) return false;
after:  // after a value, in the container at the current level
  // The text ended after a value: after_item reports where.
  if (p_ == end_) [[unlikely]]
    goto separator;
  if (object) {
    // ", " before the next key, taken at once.
    if (end_ - p_ >= 3 && p_[0] == ',' && p_[1] == ' ' && p_[2] == '"') {
      p_ += 2;
      goto key;
    }
  } else if (take_element_comma()) {
    goto value;
  }
separator:  // after a value, where the separators json.dumps writes were not found
  if (const Next next = after_item(object ? '}' : ']'); next != Next::item) {
    if (next == Next::failed) return false;
    goto close;
  }
  if (!object) goto value;
key:  // in an object, at the first byte of a member
  if (*p_ != '"') return fail_at(ParseErrorKind::key_must_be_string, p_);
  if (!skip_string<true>()) return false;
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

// At the first byte of a value that is not a container, not kept: what
// parse_here<false> does, inlined into the skipping loop.
[[gnu::always_inline]] inline bool Parser::skip_scalar() {
  switch (*p_) {
    case '"':
      return skip_string();
    case 't':
      return parse_literal<false>("true", nullptr, 0);
    case 'f':
      return parse_literal<false>("false", nullptr, 0);
    case 'n':
      return parse_literal<false>("null", nullptr, 0);
    default:
      if (*p_ == '-' || is_digit(*p_)) return skip_number();
      return fail_at(ParseErrorKind::expected_value, p_);
  }
}

// At the opening quote of a string that is not kept (a member's key with
// kKey): checks it as parse_string does, the usual string without escapes
// inline. A string of up to fifteen bytes is decided from one load,
// without waiting for the position of its first special byte.
template <bool kKey>
[[gnu::always_inline]] bool Parser::skip_string() {
#if defined(__SSE2__)
  if (end_ - p_ > 16) [[likely]] {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p_ + 1));
    const auto quotes = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, _mm_set1_epi8('"'))));
    const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(chunk, _mm_set1_epi8(0x1F)), chunk);
    const auto others =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(chunk, _mm_set1_epi8('\\')), control)));
    // The bytes before the first quote hold no backslash or control byte.
    if (quotes != 0 && (others & ((quotes & (0U - quotes)) - 1)) == 0) {
      if constexpr (kKey) {
        step_past_key(std::countr_zero(quotes));
      } else {
        p_ += 2 + std::countr_zero(quotes);
      }
      return true;
    }
    return moved_to(skip_string_in_chunk(quotes | others));
  }
#endif
  const char* special = find_string_special(p_ + 1, end_);
  if (special != end_ && *special == '"') [[likely]] {
    p_ = special + 1;
    return true;
  }
  return moved_to(skip_string_rest(special));
}

#if defined(__SSE2__)
// Moves p_ past a key of `length` bytes (below sixteen) and its quotes.
// Member keys repeat from row to row, so the branch on the length is well
// predicted, and the reads that follow need not wait for the length to be
// counted. The branch pays only where it is predicted: on the values of
// the members, whose lengths vary, p_ moves by the count.
[[gnu::always_inline]] inline void Parser::step_past_key(int length) noexcept {
  switch (length) {
    case 0:
      return step_by<2>();
    case 1:
      return step_by<3>();
    case 2:
      return step_by<4>();
    case 3:
      return step_by<5>();
    case 4:
      return step_by<6>();
    case 5:
      return step_by<7>();
    case 6:
      return step_by<8>();
    case 7:
      return step_by<9>();
    case 8:
      return step_by<10>();
    case 9:
      return step_by<11>();
    case 10:
      return step_by<12>();
    case 11:
      return step_by<13>();
    case 12:
      return step_by<14>();
    case 13:
      return step_by<15>();
    case 14:
      return step_by<16>();
    case 15:
      return step_by<17>();
    default:
      p_ += length + 2;
  }
}

// p_ += kStep, with the constant hidden from the optimiser so that it
// cannot fold the cases of step_past_key back into one addition.
template <std::ptrdiff_t kStep>
[[gnu::always_inline]] void Parser::step_by() noexcept {
  std::ptrdiff_t step = kStep;
#if defined(__GNUC__)
  asm("" : "+r"(step));
#endif
  p_ += step;
}

// At the opening quote of a string that is not kept, with `specials` the
// quotes, backslashes and control bytes among the sixteen bytes after it:
// goes through them, and the escapes they start, before scanning on.
[[gnu::noinline]] const char* Parser::skip_string_in_chunk(unsigned specials) {
  const char* const chunk = p_ + 1;
  while (specials != 0) {
    p_ = chunk + std::countr_zero(specials);
    if (*p_ == '"') return ++p_;
    if (*p_ != '\\') return failed_at(ParseErrorKind::control_character, p_);
    if (!parse_escape<false>()) return nullptr;
    const auto past = p_ - chunk;
    if (past >= 16) return skip_string_rest(find_string_special(p_, end_));
    specials &= ~0U << past;
  }
  return skip_string_rest(find_string_special(std::max(p_, chunk + 16), end_));
}
#endif

// At the first byte after the opening quote that is a quote, a backslash
// or a control byte (or the end), in a string that is not kept.
[[gnu::noinline]] const char* Parser::skip_string_rest(const char* special) {
  for (;;) {
    if (special == end_) {
      fail_at_end(ParseErrorKind::eof_string);
      return nullptr;
    }
    p_ = special;
    if (*p_ == '"') return ++p_;
    if (*p_ != '\\') return failed_at(ParseErrorKind::control_character, p_);
    if (!parse_escape<false>()) return nullptr;
    special = find_string_special(p_, end_);
  }
}

// At '-' or a digit of a number that is not kept. Inline, as it sits on
// the skipping path: a call costs about a quarter of the time to skip a
// text full of short numbers.
[[gnu::always_inline]] inline bool Parser::skip_number() {
  // The usual forms first: an integer without a leading zero (one digit
  // taken at once), or one of them with a fraction, and no exponent mark
  // after.
  const char* p = p_ + (*p_ == '-');
  if (p != end_ && is_digit(*p)) {
    const char* const integer = p;
    if (*p++ != '0' && p != end_ && is_digit(*p)) p = digits_end(p + 1, end_);
    const std::ptrdiff_t integer_digits = p - integer;
    if (p != end_ && *p == '.' && p + 1 != end_ && is_digit(p[1])) p = digits_end(p + 2, end_);
    // A digit here follows a leading zero.
    if ((p == end_ || (*p != 'e' && *p != 'E' && *p != '.' && !is_digit(*p))) && p - p_ <= 308) {
      p_ = p;
      return true;
    }
    // json.dumps writes a double below 1e-4 or from 1e16 on as 5.7e+17.
    if (p != end_ && (*p == 'e' || *p == 'E') && *integer != '0') return moved_to(skip_exponent(p, integer_digits - 1));
  }
  return moved_to(skip_number_rest());
}

// At the exponent mark of a number whose leading digit is not zero and
// stands for 10^leading before the exponent (all before the mark checked):
// the usual short exponent that keeps the number below 10^308, where no
// double overflows. Anything else goes to skip_number_rest.
[[gnu::noinline]] const char* Parser::skip_exponent(const char* mark, std::ptrdiff_t leading) {
  const char* p = mark + 1;
  bool negative = false;
  if (p != end_ && (*p == '+' || *p == '-')) negative = *p++ == '-';
  const char* const last = digits_end(p, end_);
  if (last == p || last - p > 4) return skip_number_rest();
  std::ptrdiff_t exponent = 0;
  for (; p != last; ++p) exponent = exponent * 10 + (*p - '0');
  if (leading + (negative ? -exponent : exponent) >= 308) return skip_number_rest();
  return last;
}

// skip_number for every other form and every fault. Only a number with
// an exponent or more than 308 integer digits can exceed the largest
// double (about 1.8e308), and only one whose leading digit stands for
// 10^308 or more: below that none does, from 10^309 on every one does. Just
// the numbers in between are converted, to find "number out of range"
// exactly as a kept one would.
[[gnu::noinline]] const char* Parser::skip_number_rest() {
  const NumberSpan span = scan_number();
  if (span.last == nullptr) return nullptr;
  if (span.exponent || span.last - p_ > 308) {
    const std::int64_t leading = leading_digit_exponent(p_, span.last);
    if (leading == 308) {
      JsonValue ignored;
      return parse_number(ignored) ? span.last : nullptr;
    }
    if (leading > 308) return failed_at(ParseErrorKind::number_out_of_range, span.last - 1);
  }
  return span.last;
}

}  // namespace korvane::json_detail
