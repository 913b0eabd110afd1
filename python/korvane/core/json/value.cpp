// The JSON value tree: strings, numbers, values, objects, and releasing a
// tree of any depth.
#include "json/value.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>

#include "json/layout.hpp"
#include "json/memory.hpp"

namespace korvane {

using json_detail::Access;
using json_detail::Block;
using json_detail::Releaser;
using json_detail::StringRep;
using json_detail::Tag;
using namespace json_detail;

namespace {

// Levels freed by plain recursion before switching to an explicit stack.
constexpr int kReleaseRecursionBudget = 64;

}  // namespace

// ---------------------------------------------------------------------------
// Strings

JsonString::JsonString() noexcept : rep_{Tag::short_string, 0, {}} {}
JsonString::JsonString(std::string_view text) : rep_(make_rep(text)) {}
JsonString::JsonString(const JsonString& other) : rep_(make_rep(other.view())) {}
JsonString& JsonString::operator=(const JsonString& other) {
  if (this != &other) {
    StringRep copy = make_rep(other.view());
    free_rep(rep_);
    rep_ = copy;
  }
  return *this;
}

void JsonString::release_long() noexcept { free_rep(rep_); }

std::string_view JsonString::view() const noexcept { return rep_view(rep_); }

// ---------------------------------------------------------------------------
// Numbers

JsonNumber JsonNumber::from_unsigned(std::uint64_t value) noexcept {
  JsonNumber n;
  n.tag_ = Tag::unsigned_integer;
  n.unsigned_ = value;
  return n;
}

JsonNumber JsonNumber::from_signed(std::int64_t value) noexcept {
  JsonNumber n;
  n.tag_ = Tag::signed_integer;
  n.signed_ = value;
  return n;
}

JsonNumber JsonNumber::from_double(double value) noexcept {
  JsonNumber n;
  n.tag_ = Tag::floating;
  n.double_ = value;
  return n;
}

JsonNumber::Kind JsonNumber::kind() const noexcept {
  switch (tag_) {
    case Tag::signed_integer:
      return Kind::signed_integer;
    case Tag::floating:
      return Kind::floating;
    default:
      return Kind::unsigned_integer;
  }
}

std::uint64_t JsonNumber::as_unsigned() const noexcept { return tag_ == Tag::unsigned_integer ? unsigned_ : 0; }

std::int64_t JsonNumber::as_signed() const noexcept { return tag_ == Tag::signed_integer ? signed_ : 0; }

double JsonNumber::as_double() const noexcept {
  switch (tag_) {
    case Tag::signed_integer:
      return static_cast<double>(signed_);
    case Tag::floating:
      return double_;
    default:
      return static_cast<double>(unsigned_);
  }
}

bool operator==(const JsonNumber& a, const JsonNumber& b) noexcept {
  if (a.tag_ != b.tag_) return false;
  switch (a.tag_) {
    case Tag::signed_integer:
      return a.signed_ == b.signed_;
    case Tag::floating:
      return std::bit_cast<std::uint64_t>(a.double_) == std::bit_cast<std::uint64_t>(b.double_);
    default:
      return a.unsigned_ == b.unsigned_;
  }
}

// ---------------------------------------------------------------------------
// Releasing

namespace json_detail {

void Access::release(JsonValue& value, int budget, Releaser& releaser) noexcept {
  switch (value.tag()) {
    case Tag::long_string:
      releaser.release(long_block(value.rep_.string), long_offset(value.rep_.string));
      break;
    case Tag::array: {
      auto* array = static_cast<JsonArray*>(pointer(value));
      if (!value.rep_.pointer.flat)
        for (JsonValue& element : *array) release_child(element, budget, releaser);
      releaser.release(array, offset(value));
      break;
    }
    case Tag::object: {
      auto* object = static_cast<JsonObject*>(pointer(value));
      if (!value.rep_.pointer.flat) {
        for (JsonMember* m = object->members_; m != object->members_ + object->size_; ++m) {
          if (m->key.rep_.tag == Tag::long_string) releaser.release(long_block(m->key.rep_), long_offset(m->key.rep_));
          release_child(m->value, budget, releaser);
        }
      }
      // The members were released one by one above; only a separate member
      // array (of an object built by hand) is left.
      if (!object->trailing() && object->members_ != nullptr) ::operator delete(object->members_);
      releaser.release(object, offset(value));
      break;
    }
    default:
      break;
  }
}

void Access::release_child(JsonValue& child, int budget, Releaser& releaser) noexcept {
  if (child.tag() < Tag::long_string) return;
  if (!is_container(child.tag()) || budget > 0) {
    release(child, budget - 1, releaser);
    return;
  }
  // Deep end of the tree: continue with a heap stack of containers still
  // to be released. On allocation failure the subtree is leaked rather than
  // risking the native stack.
  std::vector<JsonValue> pending;
  try {
    pending.reserve(64);
  } catch (...) {
    return;
  }
  pending.push_back(std::move(child));
  while (!pending.empty()) {
    JsonValue current = std::move(pending.back());
    pending.pop_back();
    auto detach = [&](JsonValue& nested) {
      if (!is_container(nested.tag())) {
        release(nested, 0, releaser);
        nested.rep_.head.tag = Tag::null;
        return;
      }
      try {
        pending.push_back(std::move(nested));
      } catch (...) {
        nested.rep_.head.tag = Tag::null;  // leaked, see above
      }
    };
    if (auto* array = current.as_array()) {
      for (JsonValue& element : *array) detach(element);
    } else if (auto* object = current.as_object()) {
      for (JsonMember* m = object->members_; m != object->members_ + object->size_; ++m) detach(m->value);
    }
    // `current` now holds no nested payload; releasing it is shallow.
    release(current, 0, releaser);
    current.rep_.head.tag = Tag::null;
  }
}

}  // namespace json_detail

// ---------------------------------------------------------------------------
// Values

JsonValue::JsonValue() noexcept = default;

JsonValue::JsonValue(const JsonValue& other) {
  switch (other.tag()) {
    case Tag::short_string:
    case Tag::long_string:
      rep_.string = make_rep(rep_view(other.rep_.string));
      break;
    case Tag::array: {
      const JsonArray& elements = *other.as_array();
      *this = Access::make_array(elements.begin(), elements.size(), false);
      break;
    }
    case Tag::object:
      *this = Access::make_object(*other.as_object());
      break;
    default:
      rep_ = other.rep_;
      break;
  }
}

JsonValue& JsonValue::operator=(const JsonValue& other) {
  if (this != &other) *this = JsonValue(other);
  return *this;
}

void JsonValue::release_payload() noexcept {
  Releaser releaser;
  Access::release(*this, kReleaseRecursionBudget, releaser);
  rep_.head.tag = Tag::null;
}

JsonValue JsonValue::boolean(bool value) noexcept {
  JsonValue v;
  v.rep_.boolean = {Tag::boolean, value};
  return v;
}

JsonValue JsonValue::number(JsonNumber value) noexcept {
  JsonValue v;
  v.rep_.number = value;
  return v;
}

JsonValue JsonValue::string(std::string_view text) {
  JsonValue v;
  v.rep_.string = make_rep(text);
  return v;
}

JsonValue JsonValue::array(std::vector<JsonValue> elements) {
  return Access::make_array(elements.begin(), elements.size(), true);
}

JsonValue JsonValue::object(JsonObject members) { return Access::make_object(std::move(members)); }

JsonValue::Kind JsonValue::kind() const noexcept {
  switch (tag()) {
    case Tag::null:
      return Kind::null;
    case Tag::boolean:
      return Kind::boolean;
    case Tag::unsigned_integer:
    case Tag::signed_integer:
    case Tag::floating:
      return Kind::number;
    case Tag::short_string:
    case Tag::long_string:
      return Kind::string;
    case Tag::array:
      return Kind::array;
    case Tag::object:
      return Kind::object;
  }
  return Kind::null;
}

bool JsonValue::as_bool() const noexcept { return tag() == Tag::boolean && rep_.boolean.value; }

const JsonNumber* JsonValue::as_number() const noexcept { return is_number() ? &rep_.number : nullptr; }

std::optional<std::string_view> JsonValue::as_string() const noexcept {
  if (!is_string()) return std::nullopt;
  return rep_view(rep_.string);
}

const JsonArray* JsonValue::as_array() const noexcept {
  return tag() == Tag::array ? static_cast<const JsonArray*>(rep_.pointer.pointer) : nullptr;
}

JsonArray* JsonValue::as_array() noexcept {
  if (tag() != Tag::array) return nullptr;
  rep_.pointer.flat = false;  // the caller may put values with blocks in
  return static_cast<JsonArray*>(rep_.pointer.pointer);
}

bool operator==(const JsonArray& a, const JsonArray& b) noexcept {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

const JsonObject* JsonValue::as_object() const noexcept {
  return tag() == Tag::object ? static_cast<const JsonObject*>(rep_.pointer.pointer) : nullptr;
}

JsonObject* JsonValue::as_object() noexcept {
  if (tag() != Tag::object) return nullptr;
  rep_.pointer.flat = false;  // the caller may put values with blocks in
  return static_cast<JsonObject*>(rep_.pointer.pointer);
}

bool operator==(const JsonValue& a, const JsonValue& b) noexcept {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case JsonValue::Kind::null:
      return true;
    case JsonValue::Kind::boolean:
      return a.as_bool() == b.as_bool();
    case JsonValue::Kind::number:
      return *a.as_number() == *b.as_number();
    case JsonValue::Kind::string:
      return *a.as_string() == *b.as_string();
    case JsonValue::Kind::array:
      return *a.as_array() == *b.as_array();
    case JsonValue::Kind::object:
      return *a.as_object() == *b.as_object();
  }
  return false;
}

// ---------------------------------------------------------------------------
// Objects

namespace {

JsonMember* allocate_members(std::size_t count) {
  return static_cast<JsonMember*>(::operator new(count * sizeof(JsonMember)));
}

const JsonMember* lower_bound_key(const JsonMember* first, const JsonMember* last, std::string_view key) noexcept {
  return std::lower_bound(first, last, key, [](const JsonMember& m, std::string_view k) { return m.key.view() < k; });
}

}  // namespace

JsonObject::JsonObject(const JsonObject& other) {
  if (other.size_ == 0) return;
  members_ = allocate_members(other.size_);
  try {
    std::uninitialized_copy(other.begin(), other.end(), members_);
  } catch (...) {
    ::operator delete(members_);
    throw;
  }
  size_ = capacity_ = other.size_;
}

JsonObject::JsonObject(JsonObject&& other) noexcept { *this = std::move(other); }

JsonObject& JsonObject::operator=(const JsonObject& other) {
  if (this != &other) *this = JsonObject(other);
  return *this;
}

JsonObject& JsonObject::operator=(JsonObject&& other) noexcept {
  if (this == &other) return *this;
  this->~JsonObject();
  members_ = nullptr;
  size_ = capacity_ = 0;
  if (other.trailing()) {
    // The members live in the other object's block: they have to move out.
    if (other.size_ != 0) {
      members_ = allocate_members(other.size_);
      std::uninitialized_move(other.begin(), other.end(), members_);
      std::destroy_n(other.members_, other.size_);
      size_ = capacity_ = other.size_;
    }
  } else {
    members_ = other.members_;
    size_ = other.size_;
    capacity_ = other.capacity_;
  }
  other.members_ = nullptr;
  other.size_ = other.capacity_ = 0;
  return *this;
}

JsonObject::~JsonObject() {
  std::destroy_n(members_, size_);
  if (!trailing() && members_ != nullptr) ::operator delete(members_);
}

void JsonObject::insert_or_assign(std::string_view key, JsonValue value) {
  const auto index = static_cast<std::size_t>(lower_bound_key(begin(), end(), key) - begin());
  if (index != size_ && members_[index].key.view() == key) {
    members_[index].value = std::move(value);
    return;
  }
  JsonMember added{JsonString(key), std::move(value)};
  if (size_ >= capacity_) {  // full, or the members fill the object's own block
    if (size_ == std::numeric_limits<std::uint32_t>::max()) throw std::length_error("JSON object too large");
    const std::uint32_t capacity = static_cast<std::uint32_t>(std::min<std::size_t>(
        std::max<std::size_t>(4, std::size_t{size_} * 2), std::numeric_limits<std::uint32_t>::max()));
    JsonMember* grown = allocate_members(capacity);
    std::uninitialized_move(members_, members_ + index, grown);
    new (grown + index) JsonMember(std::move(added));
    std::uninitialized_move(members_ + index, members_ + size_, grown + index + 1);
    std::destroy_n(members_, size_);
    if (!trailing() && members_ != nullptr) ::operator delete(members_);
    members_ = grown;
    capacity_ = capacity;
  } else if (index == size_) {
    new (members_ + size_) JsonMember(std::move(added));
  } else {
    new (members_ + size_) JsonMember(std::move(members_[size_ - 1]));
    std::move_backward(members_ + index, members_ + size_ - 1, members_ + size_);
    members_[index] = std::move(added);
  }
  ++size_;
}

const JsonValue* JsonObject::find(std::string_view key) const noexcept {
  const JsonMember* at = lower_bound_key(begin(), end(), key);
  if (at == end() || at->key.view() != key) return nullptr;
  return &at->value;
}

JsonValue* JsonObject::find(std::string_view key) noexcept {
  return const_cast<JsonValue*>(std::as_const(*this).find(key));
}

bool operator==(const JsonObject& a, const JsonObject& b) noexcept {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](const JsonMember& x, const JsonMember& y) { return x.key == y.key && x.value == y.value; });
}

std::optional<std::string> get_string_member(const JsonObject& object, std::string_view key) {
  const JsonValue* value = object.find(key);
  if (value == nullptr) return std::nullopt;
  if (auto text = value->as_string()) return std::string(*text);
  return std::nullopt;
}

}  // namespace korvane
