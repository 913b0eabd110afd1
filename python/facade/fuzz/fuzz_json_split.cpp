// libFuzzer target for the check of a large text on two threads: wherever
// the second thread starts, the parse accepts and rejects what one thread
// does, with the same tree, or the same description and position.
//
// The first input byte chooses the levels kept (1 to 4, or the members "a"
// and "b" of a top-level object kept three deep), the second where the
// second thread starts; the rest is the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "json/build.hpp"
#include "json/parse_indexed.hpp"
#include "json/split_check.hpp"
#include "json_bridge.hpp"

namespace {

using korvane::json_detail::KeptLevels;
using korvane::json_detail::SplitCheck;
using korvane::json_detail::SplitWait;

void check(std::string_view text, const KeptLevels& levels, const char* comma) {
  if (comma == nullptr) return;
  const auto alone = korvane::json_detail::parse_json_text_split(text, levels, nullptr, SplitWait::always);
  const auto split = korvane::json_detail::parse_json_text_split(text, levels, comma, SplitWait::always);
  if (alone.has_value() != split.has_value()) std::abort();
  if (alone.has_value() ? !(*alone == *split) : !(alone.error() == split.error())) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  constexpr std::string_view kNames[] = {"a", "b"};
  const std::size_t choice = data[0] % 5;
  const KeptLevels levels = choice == 4 ? KeptLevels(3, kNames) : KeptLevels(choice + 1);
  const std::string_view text(reinterpret_cast<const char*>(data + 2), size - 2);
  check(text, levels, SplitCheck::find_comma(text, text.size() * data[1] / 256));
  return 0;
}
