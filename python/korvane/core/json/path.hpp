// Where in a JSON text a byte lies, as the path of members and elements that
// lead to it: for readers of a parse error in a large text, which its line
// and column alone do not place.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace korvane {

// The path to the value that holds the byte at `offset` of `text`, in the
// form a Python reader writes it: members by name after a dot (outputs.mean),
// elements by index in brackets (rows[3]), and a name that is not an
// identifier as a quoted index (["odd key"]). Empty at the top level. The
// text is read as JSON up to `offset`, as far as it is JSON: the path is that
// of the innermost container open there, and of its member or element being
// read. Keys are shown as the text writes them, escapes and all.
std::string json_path_at(std::string_view text, std::size_t offset);

// The same path at the place a parse error of `text` names by its line and
// column (the column counts the bytes of that line up to and including the
// byte; 0 when the text ends before the line's first byte): the one reading
// of a parse error's place, for a text of one line (what json.dumps writes)
// and of many (a document) alike.
std::string json_path_at(std::string_view text, std::size_t line, std::size_t column);

}  // namespace korvane
