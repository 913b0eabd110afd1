// Unsigned integers as decimal text, for the numbers that messages and run
// identifiers show. Pure.
#pragma once

#include <cstdint>
#include <string>

namespace korvane {

// The shortest decimal digits of `value`, with no sign and no leading zeros.
std::string decimal(std::uint64_t value);

}  // namespace korvane
