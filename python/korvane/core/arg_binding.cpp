#include "arg_binding.hpp"

#include <vector>

namespace korvane {

namespace {

std::string function_label(const ArgumentSignature& signature) {
  std::string label;
  label.reserve(signature.class_name.size() + signature.function_name.size() + 3);
  label.append(signature.class_name).append(".").append(signature.function_name).append("()");
  return label;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string join_names(const std::vector<std::string_view>& names) {
  std::string joined;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        joined += " and ";
      } else {
        joined += i + 1 == names.size() ? ", and " : ", ";
      }
    }
    joined.append("'").append(names[i]).append("'");
  }
  return joined;
}

}  // namespace

Expected<BoundArguments, std::string> bind_arguments(const ArgumentSignature& signature, std::size_t positional_count,
                                                     std::span<const std::string_view> keyword_names) {
  const std::size_t count = signature.parameters.size();
  if (positional_count > count) {
    std::string message = function_label(signature) + " takes ";
    if (signature.required == count) {
      message += std::to_string(count);
    } else {
      message += "from " + std::to_string(signature.required) + " to " + std::to_string(count);
    }
    message += " positional arguments but " + std::to_string(positional_count) +
               (positional_count == 1 ? " was given" : " were given");
    return unexpected(std::move(message));
  }

  BoundArguments bound;
  for (std::size_t i = 0; i < positional_count; ++i) {
    bound.slots[i] = {BoundArguments::Source::positional, i};
  }
  for (std::size_t k = 0; k < keyword_names.size(); ++k) {
    std::size_t parameter = 0;
    while (parameter < count && signature.parameters[parameter] != keyword_names[k]) ++parameter;
    if (parameter == count) {
      return unexpected(function_label(signature) + " got an unexpected keyword argument '" +
                        std::string(keyword_names[k]) + "'");
    }
    if (bound.slots[parameter].source != BoundArguments::Source::absent) {
      return unexpected(function_label(signature) + " got multiple values for argument '" +
                        std::string(signature.parameters[parameter]) + "'");
    }
    bound.slots[parameter] = {BoundArguments::Source::keyword, k};
  }

  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (bound.slots[i].source == BoundArguments::Source::absent) missing.push_back(signature.parameters[i]);
  }
  if (!missing.empty()) {
    return unexpected(function_label(signature) + " missing " + std::to_string(missing.size()) +
                      " required positional " + (missing.size() == 1 ? "argument: " : "arguments: ") +
                      join_names(missing));
  }
  return bound;
}

std::string argument_cast_message(std::string_view parameter, std::string_view cast_message) {
  std::string message = "argument '";
  message.append(parameter).append("': ").append(cast_message);
  return message;
}

}  // namespace korvane
