// libFuzzer target holding the module's parser to the frozen one-pass
// reference: for any bytes, the same accept or reject, the same error
// (description, line, column) and the same tree, for the full parse and for
// the shallow parse at several kept depths. The indexed parser on its own
// (each vector path) must accept exactly what the reference accepts, with the
// same tree, apart from texts that are not UTF-8, which it hands on.
//
// The first input byte chooses the kept depth (1 to 4, or everything); the
// rest is the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "json/parse_indexed.hpp"
#include "json_bridge.hpp"
#include "reference/parse_reference.hpp"

namespace {

using korvane::json_detail::IndexedParse;
using korvane::json_detail::IndexPath;

bool valid_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unsigned lead = *p;
    if (lead < 0x80) {
      ++p;
      continue;
    }
    std::size_t length = 0;
    unsigned low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) < length || p[1] < low || p[1] > high) return false;
    for (std::size_t i = 2; i < length; ++i)
      if ((p[i] & 0xC0) != 0x80) return false;
    p += length;
  }
  return true;
}

void check(std::string_view text, std::size_t kept_depth) {
  const auto expected = korvane::reference::parse_json_text_reference(text, kept_depth);
  const auto actual = korvane::parse_json_text(text, kept_depth);
  if (expected.has_value() != actual.has_value()) std::abort();
  if (expected.has_value()) {
    if (!(*expected == *actual)) std::abort();
  } else if (!(expected.error() == actual.error())) {
    std::abort();
  }
  for (const IndexPath path : {IndexPath::sse2, IndexPath::avx2}) {
    if (path == IndexPath::avx2 && !korvane::json_detail::avx2_available()) continue;
    const IndexedParse indexed = korvane::json_detail::parse_json_text_indexed(text, kept_depth, path);
    switch (indexed.outcome) {
      case IndexedParse::accepted:
        if (!expected.has_value() || !(indexed.value == *expected)) std::abort();
        break;
      case IndexedParse::rejected:
        if (expected.has_value()) std::abort();
        break;
      case IndexedParse::declined:
        if (valid_utf8(text)) std::abort();
        break;
    }
  }
}

// Keeping the members "a" and "b" of a top-level object deeper than the
// rest: the indexed parser keeps the one-pass parser's tree.
void check_named(std::string_view text, std::size_t kept_depth) {
  constexpr std::string_view kNames[] = {"a", "b"};
  const korvane::json_detail::KeptLevels levels(kept_depth, kNames);
  const auto expected = korvane::json_detail::parse_json_text_one_pass(text, levels);
  for (const IndexPath path : {IndexPath::sse2, IndexPath::avx2}) {
    if (path == IndexPath::avx2 && !korvane::json_detail::avx2_available()) continue;
    const IndexedParse indexed = korvane::json_detail::parse_json_text_indexed(text, levels, path);
    if (indexed.outcome == IndexedParse::accepted && !(expected.has_value() && indexed.value == *expected)) std::abort();
    if (indexed.outcome == IndexedParse::rejected && expected.has_value()) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t choice = data[0] % 5;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  check(text, choice == 4 ? 1000 : choice + 1);
  // The full parse of every text, whatever the choice.
  if (choice != 4) check(text, 1000);
  check_named(text, choice + 2);
  return 0;
}
