// Matching the positional and keyword arguments of a call to the parameters
// of a method, with the interpreter's own wording for every mismatch. Pure:
// the glue hands over the count of positional arguments and the keyword names
// as text, and gets back where each parameter's value comes from.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "expected.hpp"

namespace korvane {

// A static description of one entry point's parameters. All parameters are
// positional-or-keyword; the first `required` of them must be given.
struct ArgumentSignature {
  std::string_view class_name;
  std::string_view function_name;
  std::span<const std::string_view> parameters;
  std::size_t required;
};

inline constexpr std::size_t kMaxParameters = 8;

// Where each parameter's value comes from: a positional index, a keyword
// index (into the caller's keyword names), or nowhere (not given).
struct BoundArguments {
  enum class Source : unsigned char { absent, positional, keyword };
  struct Slot {
    Source source = Source::absent;
    std::size_t index = 0;
  };
  std::array<Slot, kMaxParameters> slots{};
};

// Binds a call; on failure returns the TypeError message. Checks the count of
// positional arguments first, then each keyword in the caller's order, then the
// required parameters.
Expected<BoundArguments, std::string> bind_arguments(const ArgumentSignature& signature, std::size_t positional_count,
                                                     std::span<const std::string_view> keyword_names);

// "argument '{parameter}': {cast message}" for a conversion failure.
std::string argument_cast_message(std::string_view parameter, std::string_view cast_message);

}  // namespace korvane
