#include "json/path.hpp"

#include <charconv>
#include <iterator>
#include <vector>

namespace korvane {

namespace {

struct Level {
  bool object;
  std::string_view key;  // of the member being read, in an object
  std::size_t index;     // of the element being read, in an array
};

bool is_identifier(std::string_view key) {
  if (key.empty()) return false;
  for (std::size_t i = 0; i < key.size(); ++i) {
    const char c = key[i];
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    if (!letter && !(i > 0 && c >= '0' && c <= '9')) return false;
  }
  return true;
}

}  // namespace

std::string json_path_at(std::string_view text, std::size_t offset) {
  std::vector<Level> levels;
  bool key_due = false;  // in an object, before a member's colon
  const std::size_t end = offset < text.size() ? offset : text.size();
  for (std::size_t p = 0; p < end; ++p) {
    const char c = text[p];
    if (c == '"') {
      const std::size_t first = p + 1;
      std::size_t q = first;
      while (q < text.size() && text[q] != '"') q += text[q] == '\\' ? std::size_t{2} : std::size_t{1};
      if (q >= end) break;  // the byte lies inside this string
      if (key_due) levels.back().key = text.substr(first, q - first);
      p = q;
    } else if (c == '[' || c == '{') {
      levels.push_back({c == '{', {}, 0});
      key_due = c == '{';
    } else if (c == ']' || c == '}') {
      if (!levels.empty()) levels.pop_back();
      key_due = false;
    } else if (c == ',') {
      if (!levels.empty()) {
        if (levels.back().object) {
          key_due = true;
        } else {
          ++levels.back().index;
        }
      }
    } else if (c == ':') {
      key_due = false;
    }
  }
  // Between two members (at a key, or where one is due), the path is the
  // object's own.
  if (key_due && !levels.empty()) levels.back().key = {};
  std::string path;
  for (const Level& level : levels) {
    if (level.object) {
      if (level.key.data() == nullptr) break;  // before the first key
      if (is_identifier(level.key)) {
        if (!path.empty()) path += '.';
        path += level.key;
      } else {
        path.append("[\"").append(level.key).append("\"]");
      }
    } else {
      char digits[20];
      path += '[';
      path.append(digits, std::to_chars(std::begin(digits), std::end(digits), level.index).ptr);
      path += ']';
    }
  }
  return path;
}

std::string json_path_at(std::string_view text, std::size_t line, std::size_t column) {
  std::size_t line_start = 0;
  for (std::size_t n = 1; n < line && line_start < text.size(); ++n) {
    const std::size_t newline = text.find('\n', line_start);
    line_start = newline == std::string_view::npos ? text.size() : newline + 1;
  }
  return json_path_at(text, column > 0 ? line_start + column - 1 : line_start);
}

}  // namespace korvane
