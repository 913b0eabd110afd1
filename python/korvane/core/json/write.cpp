// The compact writer: keys in order, no whitespace, the shortest text of
// each double that reads back as a double.
#include "json/write.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>
#include <vector>

#include "json/memory.hpp"
#include "json/scan.hpp"

namespace korvane {

using namespace json_detail;

namespace {

// For each byte: 0 when copied as it is, otherwise the letter after the
// backslash ('u' for the \u00XX form).
constexpr std::array<char, 256> kEscapes = [] {
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[static_cast<std::size_t>(c)] = 'u';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}();

// The writer's output: 64 KiB pieces (from the thread's chunk cache) filled
// through a cursor, joined into the caller's string at the end with one
// allocation of the exact size. Growing one string instead would copy the
// text again at every doubling and touch (zero) memory it never uses.
class Pieces {
 public:
  struct Room {
    char* cursor;
    char* limit;
  };

  Pieces() = default;
  Pieces(const Pieces&) = delete;
  Pieces& operator=(const Pieces&) = delete;
  ~Pieces() {
    for (const Piece& piece : pieces_) give_back(piece);
  }

  // Ends the current piece at `cursor` and starts one with room for `need`.
  Room next(char* cursor, std::size_t need) {
    if (!pieces_.empty()) pieces_.back().size = static_cast<std::size_t>(cursor - pieces_.back().data);
    pieces_.reserve(pieces_.size() + 1);
    Piece piece{nullptr, 0, std::max(need, kFullChunk)};
    piece.data = new_chunk(piece.capacity);
    pieces_.push_back(piece);
    return {piece.data, piece.data + piece.capacity};
  }

  void finish(char* cursor, std::string& out) {
    if (pieces_.empty()) return;
    pieces_.back().size = static_cast<std::size_t>(cursor - pieces_.back().data);
    std::size_t total = out.size();
    for (const Piece& piece : pieces_) total += piece.size;
    out.reserve(total);
    for (const Piece& piece : pieces_) out.append(piece.data, piece.size);
  }

 private:
  struct Piece {
    char* data;
    std::size_t size;
    std::size_t capacity;
  };

  static void give_back(const Piece& piece) noexcept { free_chunk(piece.data, piece.capacity); }

  std::vector<Piece> pieces_;
};

// The longest text of one number: to_chars of a double needs at most 24
// bytes, an integer at most 20; the writer may add ".0".
constexpr std::size_t kNumberRoom = 32;

// Writes through a cursor into the current piece; every write first makes
// sure of room for its whole item, so the copies themselves are unchecked.
class Writer {
 public:
  explicit Writer(Pieces& pieces) : pieces_(pieces) {}

  void ensure(std::size_t need) {
    if (static_cast<std::size_t>(room_.limit - room_.cursor) < need) room_ = pieces_.next(room_.cursor, need);
  }
  void put_unchecked(char c) noexcept { *room_.cursor++ = c; }
  void put_unchecked(const char* bytes, std::size_t n) noexcept {
    std::memcpy(room_.cursor, bytes, n);
    room_.cursor += n;
  }
  void put(char c) {
    ensure(1);
    put_unchecked(c);
  }
  // Bytes of any length, split across pieces when needed.
  void put(const char* bytes, std::size_t n) {
    while (static_cast<std::size_t>(room_.limit - room_.cursor) < n) {
      const auto fits = static_cast<std::size_t>(room_.limit - room_.cursor);
      put_unchecked(bytes, fits);
      bytes += fits;
      n -= fits;
      room_ = pieces_.next(room_.cursor, std::min(n, kFullChunk));
    }
    put_unchecked(bytes, n);
  }

  void string(std::string_view text) {
    const char* p = text.data();
    const char* const end = p + text.size();
    ensure(text.size() + 2);  // enough unless there are escapes
    put_unchecked('"');
    for (;;) {
      const char* special = find_string_special(p, end);
      put(p, static_cast<std::size_t>(special - p));
      if (special == end) break;
      const auto byte = static_cast<unsigned char>(*special);
      const char letter = kEscapes[byte];
      ensure(6);
      if (letter == 'u') {
        constexpr char hex[] = "0123456789abcdef";
        const char escape[6] = {'\\', 'u', '0', '0', hex[byte >> 4], hex[byte & 0xF]};
        put_unchecked(escape, sizeof escape);
      } else {
        const char escape[2] = {'\\', letter};
        put_unchecked(escape, sizeof escape);
      }
      p = special + 1;
    }
    put('"');
  }

  void number(const JsonNumber& number) {
    ensure(kNumberRoom);
    char* const first = room_.cursor;
    char* const limit = first + kNumberRoom;
    switch (number.kind()) {
      case JsonNumber::Kind::unsigned_integer:
        room_.cursor = std::to_chars(first, limit, number.as_unsigned()).ptr;
        break;
      case JsonNumber::Kind::signed_integer:
        room_.cursor = std::to_chars(first, limit, number.as_signed()).ptr;
        break;
      case JsonNumber::Kind::floating: {
        const double value = number.as_double();
        if (!std::isfinite(value)) {
          put_unchecked("null", 4);
          break;
        }
        char* end = std::to_chars(first, limit - 2, value).ptr;
        // Shortest digits may read as an integer ("100", "-0"): make the text
        // read back as a double.
        if (std::find_if(first, end, [](char c) { return c == '.' || c == 'e'; }) == end) {
          *end++ = '.';
          *end++ = '0';
        }
        room_.cursor = end;
        break;
      }
    }
  }

  void scalar(const JsonValue& value) {
    switch (value.kind()) {
      case JsonValue::Kind::null:
        ensure(4);
        put_unchecked("null", 4);
        break;
      case JsonValue::Kind::boolean:
        ensure(5);
        if (value.as_bool()) {
          put_unchecked("true", 4);
        } else {
          put_unchecked("false", 5);
        }
        break;
      case JsonValue::Kind::number:
        number(*value.as_number());
        break;
      case JsonValue::Kind::string:
        string(*value.as_string());
        break;
      default:
        break;
    }
  }

  char* cursor() const noexcept { return room_.cursor; }

 private:
  Pieces& pieces_;
  Pieces::Room room_{nullptr, nullptr};
};

// One open array or object of the writer's explicit stack.
struct WriteFrame {
  const JsonValue* element = nullptr;  // next element, for arrays
  const JsonValue* elements_end = nullptr;
  JsonObject::const_iterator member{};  // next member, for objects
  JsonObject::const_iterator members_end{};
  bool is_object = false;
  bool first = true;
};

}  // namespace

void write_json_text(const JsonValue& root, std::string& text) {
  Pieces pieces;
  Writer out(pieces);
  // An explicit stack keeps hand-built trees of any depth off the native stack.
  std::vector<WriteFrame> stack;
  const JsonValue* next = &root;
  for (;;) {
    if (next != nullptr) {
      if (const auto* elements = next->as_array()) {
        out.put('[');
        WriteFrame frame;
        frame.element = elements->begin();
        frame.elements_end = elements->end();
        stack.push_back(frame);
      } else if (const auto* object = next->as_object()) {
        out.put('{');
        WriteFrame frame;
        frame.member = object->begin();
        frame.members_end = object->end();
        frame.is_object = true;
        stack.push_back(frame);
      } else {
        out.scalar(*next);
      }
      next = nullptr;
    }
    if (stack.empty()) break;
    WriteFrame& top = stack.back();
    if (top.is_object) {
      if (top.member == top.members_end) {
        out.put('}');
        stack.pop_back();
        continue;
      }
      if (!top.first) out.put(',');
      top.first = false;
      out.string(top.member->key.view());
      out.put(':');
      next = &top.member->value;
      ++top.member;
    } else {
      if (top.element == top.elements_end) {
        out.put(']');
        stack.pop_back();
        continue;
      }
      if (!top.first) out.put(',');
      top.first = false;
      next = top.element;
      ++top.element;
    }
  }
  pieces.finish(out.cursor(), text);
}

std::string write_json_text(const JsonValue& value) {
  std::string out;
  out.reserve(128);
  write_json_text(value, out);
  return out;
}

}  // namespace korvane
