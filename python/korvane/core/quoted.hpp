// The quoted form: how messages show a text that came from input.
#pragma once

#include <string>
#include <string_view>

namespace korvane {

// Returns `utf8_text` between double quotes, written character by character:
//   backslash -> \\      double quote -> \"
//   tab, carriage return, line feed, NUL -> \t \r \n \0
//   any other character that is not printable (general categories Cc, Cf, Cs,
//   Co, Cn, Zl, Zp, and Zs except U+0020) or that has Grapheme_Extend=Yes
//   -> \u{hex}, lowercase hexadecimal without leading zeros
//   every other character (the single quote included) -> unchanged.
//
// Any bytes are accepted. A byte that does not start a well-formed UTF-8
// sequence (a stray continuation byte, an overlong form, an encoded
// surrogate, a code point above U+10FFFF, a truncated sequence) is written as
// \x{hex}, two lowercase hexadecimal digits, and decoding resumes at the next
// byte. So every input byte shows, and an invalid byte never looks like the
// printable U+FFFD that a valid text may hold.
//
// Call it qualified (korvane::quoted): with a std::string argument,
// argument-dependent lookup would otherwise prefer std::quoted.
std::string quoted(std::string_view utf8_text);

// True when the quoted form writes `code_point` as \u{...} (the character
// table above; the ASCII escapes \\ \" \t \r \n \0 are not part of it).
bool quoted_form_escapes(char32_t code_point) noexcept;

// The Unicode version of the character tables, e.g. "17.0.0".
std::string_view quoted_form_unicode_version() noexcept;

}  // namespace korvane
