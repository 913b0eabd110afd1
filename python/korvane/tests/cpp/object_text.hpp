// Builds the JSON text of an object from members given as raw JSON, for tests
// that vary one member of an otherwise valid document.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvane::test_support {

// Members as raw JSON values; std::nullopt leaves a member out.
using Members = std::vector<std::pair<std::string, std::optional<std::string>>>;

// `base` with `changes` applied: a change of an existing member replaces (or,
// with nullopt, removes) it; other changes are appended. Written in order.
inline std::string object_text(Members base, const Members& changes) {
  for (const auto& change : changes) {
    bool found = false;
    for (auto& member : base) {
      if (member.first == change.first) {
        member.second = change.second;
        found = true;
      }
    }
    if (!found) base.push_back(change);
  }
  std::string text = "{";
  for (const auto& [key, value] : base) {
    if (!value) continue;
    if (text.size() > 1) text += ",";
    text += "\"" + key + "\":" + *value;
  }
  return text + "}";
}

}  // namespace korvane::test_support
