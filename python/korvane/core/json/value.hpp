// The JSON value tree: the values that the parser builds and the writer
// writes. Pure C++: nothing here touches the interpreter.
//
// Shape of the tree:
//   - JsonValue is 16 bytes. Booleans, numbers and strings of up to 14 bytes
//     are stored inside the value; longer strings, arrays and objects are
//     single heap blocks owned by the value. This keeps a parsed tree within
//     a small multiple of its text size.
//   - Heap blocks live in reference-counted chunks (json/memory.hpp). The
//     parser carves the blocks of one text out of a few large chunks; a value
//     built by hand gets a chunk of its own. A value records where its block
//     sits in its chunk, and a chunk is freed when the last of its blocks is
//     released, so every value stays independent: a subtree moved out of a
//     parsed tree outlives the root, on any thread.
//   - JsonObject keeps each key once, in ascending unsigned-byte order (a
//     prefix before any longer key); inserting an existing key replaces its
//     value, so in a parsed text the last duplicate wins.
//   - A value owns its whole subtree. Destroying a tree never recurses more
//     than a fixed number of levels, however deep the tree was built.
//     Copying and comparing recurse once per level of nesting; parsed trees
//     are at most 127 levels deep.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

class JsonValue;
class JsonArray;
class JsonObject;

namespace json_detail {

// Every alternative stored in a JsonValue begins with this tag byte, so the
// tag can be read whichever alternative is active.
enum class Tag : std::uint8_t {
  null,
  boolean,
  unsigned_integer,
  signed_integer,
  floating,
  short_string,  // up to kShortCapacity bytes stored in place
  long_string,   // heap block: length followed by the bytes
  array,         // heap JsonArray: element count followed by the elements
  object,        // heap JsonObject
};

inline constexpr std::size_t kShortCapacity = 14;

struct Access;  // the parser's and the releaser's way into the tree types

// Text storage shared by string values and object keys. Trivial on purpose:
// the owners (JsonString, JsonValue) manage the heap block. A short text is
// padded with zero bytes; a long one keeps the block's offset in its chunk in
// bytes 4..7 and the block's address in bytes 8..15.
struct alignas(8) StringRep {
  Tag tag;
  unsigned char short_size;
  char short_bytes[kShortCapacity];
};
static_assert(sizeof(StringRep) == 16);

}  // namespace json_detail

// A number as it appeared in the text: an unsigned or signed 64-bit integer,
// or a double (any fraction or exponent, integers beyond both integer ranges,
// and -0).
class JsonNumber {
 public:
  enum class Kind : std::uint8_t { unsigned_integer, signed_integer, floating };

  static JsonNumber from_unsigned(std::uint64_t value) noexcept;
  static JsonNumber from_signed(std::int64_t value) noexcept;
  static JsonNumber from_double(double value) noexcept;

  Kind kind() const noexcept;
  // The value when kind() is unsigned_integer, otherwise 0.
  std::uint64_t as_unsigned() const noexcept;
  // The value when kind() is signed_integer, otherwise 0.
  std::int64_t as_signed() const noexcept;
  // The value converted to double, whatever the representation.
  double as_double() const noexcept;

  // Same representation and same value; doubles compare by their bits, so
  // -0.0 differs from 0.0 and a NaN equals the same NaN.
  friend bool operator==(const JsonNumber& a, const JsonNumber& b) noexcept;

 private:
  friend class JsonValue;
  JsonNumber() noexcept = default;

  json_detail::Tag tag_ = json_detail::Tag::unsigned_integer;
  union {
    std::uint64_t unsigned_;
    std::int64_t signed_;
    double double_;
  };
};
static_assert(sizeof(JsonNumber) == 16);

// Owned UTF-8 text in the compact representation; the type of object keys.
// Reads as a std::string_view (implicit conversion, view(), str()).
class JsonString {
 public:
  JsonString() noexcept;
  explicit JsonString(std::string_view text);
  JsonString(const JsonString& other);
  JsonString(JsonString&& other) noexcept : rep_(other.rep_) { other.reset(); }
  JsonString& operator=(const JsonString& other);
  JsonString& operator=(JsonString&& other) noexcept {
    if (this != &other) {
      release();
      rep_ = other.rep_;
      other.reset();
    }
    return *this;
  }
  ~JsonString() { release(); }

  std::string_view view() const noexcept;
  operator std::string_view() const noexcept { return view(); }
  std::string str() const { return std::string(view()); }
  const char* data() const noexcept { return view().data(); }
  std::size_t size() const noexcept { return view().size(); }
  bool empty() const noexcept { return size() == 0; }

  friend bool operator==(const JsonString& a, const JsonString& b) noexcept { return a.view() == b.view(); }
  friend bool operator==(const JsonString& a, std::string_view b) noexcept { return a.view() == b; }
  // Unsigned byte order, a prefix before any longer text.
  friend std::strong_ordering operator<=>(const JsonString& a, const JsonString& b) noexcept {
    return a.view() <=> b.view();
  }
  friend std::strong_ordering operator<=>(const JsonString& a, std::string_view b) noexcept { return a.view() <=> b; }

 private:
  friend class JsonValue;
  friend struct json_detail::Access;
  void reset() noexcept { rep_ = json_detail::StringRep{json_detail::Tag::short_string, 0, {}}; }
  void release() noexcept {
    if (rep_.tag == json_detail::Tag::long_string) release_long();
  }
  void release_long() noexcept;

  json_detail::StringRep rep_;
};
static_assert(sizeof(JsonString) == 16);

class JsonValue {
 public:
  enum class Kind : std::uint8_t { null, boolean, number, string, array, object };

  JsonValue() noexcept;  // null
  JsonValue(const JsonValue& other);
  JsonValue(JsonValue&& other) noexcept : rep_(other.rep_) { other.rep_.head.tag = json_detail::Tag::null; }
  JsonValue& operator=(const JsonValue& other);
  JsonValue& operator=(JsonValue&& other) noexcept {
    if (this != &other) {
      release();
      rep_ = other.rep_;
      other.rep_.head.tag = json_detail::Tag::null;
    }
    return *this;
  }
  ~JsonValue() { release(); }

  static JsonValue null() noexcept { return JsonValue(); }
  static JsonValue boolean(bool value) noexcept;
  static JsonValue number(JsonNumber value) noexcept;
  static JsonValue string(std::string_view text);
  static JsonValue array(std::vector<JsonValue> elements);
  static JsonValue object(JsonObject members);

  Kind kind() const noexcept;
  bool is_null() const noexcept { return kind() == Kind::null; }
  bool is_bool() const noexcept { return kind() == Kind::boolean; }
  bool is_number() const noexcept { return kind() == Kind::number; }
  bool is_string() const noexcept { return kind() == Kind::string; }
  bool is_array() const noexcept { return kind() == Kind::array; }
  bool is_object() const noexcept { return kind() == Kind::object; }

  // Each accessor gives the content when the value is of its kind, and
  // nullptr / nullopt / false otherwise.
  bool as_bool() const noexcept;
  const JsonNumber* as_number() const noexcept;
  // A view of the owned text, valid while this value lives unchanged.
  // Used like a pointer: `if (auto text = v.as_string()) use(*text);`
  std::optional<std::string_view> as_string() const noexcept;
  const JsonArray* as_array() const noexcept;
  JsonArray* as_array() noexcept;
  const JsonObject* as_object() const noexcept;
  JsonObject* as_object() noexcept;

  // Same kind and equal content (numbers as JsonNumber's operator==).
  friend bool operator==(const JsonValue& a, const JsonValue& b) noexcept;

 private:
  struct Head {
    json_detail::Tag tag;
  };
  struct BoolRep {
    json_detail::Tag tag;
    bool value;
  };
  struct alignas(8) PointerRep {
    json_detail::Tag tag;
    // Set by the parser on an array or object none of whose elements, keys
    // or member values hold a block, so releasing it need not look inside;
    // cleared by any mutable access to the contents.
    bool flat;
    std::uint32_t offset;  // of the block in its chunk
    void* pointer;
  };
  union Rep {
    Head head;
    BoolRep boolean;
    JsonNumber number;
    json_detail::StringRep string;
    PointerRep pointer;
    Rep() noexcept : head{json_detail::Tag::null} {}
  };

  friend struct json_detail::Access;
  json_detail::Tag tag() const noexcept { return rep_.head.tag; }
  // Frees the payload (numbers and short strings have none) and leaves null.
  void release() noexcept {
    if (tag() >= json_detail::Tag::long_string) release_payload();
  }
  void release_payload() noexcept;

  Rep rep_;
};
static_assert(sizeof(JsonValue) == 16);

// The elements of an array value: one heap block holding this header and the
// elements right after it. Reached only through JsonValue::as_array().
class JsonArray {
 public:
  using const_iterator = const JsonValue*;
  using iterator = JsonValue*;

  JsonArray(const JsonArray&) = delete;
  JsonArray& operator=(const JsonArray&) = delete;

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  const JsonValue* data() const noexcept {
    return reinterpret_cast<const JsonValue*>(reinterpret_cast<const char*>(this) + sizeof(JsonArray));
  }
  JsonValue* data() noexcept { return reinterpret_cast<JsonValue*>(reinterpret_cast<char*>(this) + sizeof(JsonArray)); }
  const_iterator begin() const noexcept { return data(); }
  const_iterator end() const noexcept { return data() + size_; }
  iterator begin() noexcept { return data(); }
  iterator end() noexcept { return data() + size_; }
  const JsonValue& operator[](std::size_t index) const noexcept { return data()[index]; }
  JsonValue& operator[](std::size_t index) noexcept { return data()[index]; }
  const JsonValue& front() const noexcept { return data()[0]; }
  const JsonValue& back() const noexcept { return data()[size_ - 1]; }

  friend bool operator==(const JsonArray& a, const JsonArray& b) noexcept;

 private:
  friend struct json_detail::Access;
  JsonArray() noexcept = default;
  ~JsonArray() = default;

  std::size_t size_ = 0;
};
static_assert(sizeof(JsonArray) % alignof(JsonValue) == 0);

struct JsonMember {
  JsonString key;
  JsonValue value;
};

// Members unique, ascending by unsigned key bytes (a prefix first).
// A parsed object and its members are one heap block.
class JsonObject {
 public:
  using const_iterator = const JsonMember*;

  JsonObject() noexcept = default;
  JsonObject(const JsonObject& other);
  JsonObject(JsonObject&& other) noexcept;
  JsonObject& operator=(const JsonObject& other);
  JsonObject& operator=(JsonObject&& other) noexcept;
  ~JsonObject();

  // Replaces the value of an existing key, or inserts the member in order.
  void insert_or_assign(std::string_view key, JsonValue value);
  // Logarithmic lookup; nullptr when absent.
  const JsonValue* find(std::string_view key) const noexcept;
  JsonValue* find(std::string_view key) noexcept;

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  const_iterator begin() const noexcept { return members_; }
  const_iterator end() const noexcept { return members_ + size_; }

  friend bool operator==(const JsonObject& a, const JsonObject& b) noexcept;

 private:
  friend class JsonValue;
  friend struct json_detail::Access;

  // The members are the tail of this object's own block (a parsed object):
  // marked by a capacity of 0 with members present, as no separately
  // allocated member array has capacity 0.
  bool trailing() const noexcept { return capacity_ == 0 && members_ != nullptr; }

  JsonMember* members_ = nullptr;
  std::uint32_t size_ = 0;
  std::uint32_t capacity_ = 0;
};
static_assert(sizeof(JsonObject) == 16);

// A copy of the member's text when it exists and is a string.
std::optional<std::string> get_string_member(const JsonObject& object, std::string_view key);

}  // namespace korvane
