// libFuzzer target for the quoted form: any bytes give a text between double
// quotes with no raw control character, no bare quote and no lone backslash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "quoted.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = korvane::quoted(std::string_view(reinterpret_cast<const char*>(data), size));
  if (text.size() < 2 || text.front() != '"' || text.back() != '"') std::abort();
  for (std::size_t i = 1; i + 1 < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte == 0x7f || byte == '"') std::abort();
    if (byte == '\\') {
      if (i + 2 >= text.size()) std::abort();  // an escape never ends the text
      ++i;                                     // the escaped character
    }
  }
  return 0;
}
