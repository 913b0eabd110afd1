#include "decimal.hpp"

#include <charconv>

namespace korvane {

std::string decimal(std::uint64_t value) {
  char digits[20];  // 18446744073709551615 has 20 digits
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  return std::string(digits, result.ptr);
}

}  // namespace korvane
