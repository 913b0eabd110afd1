#include "provider_metadata.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <iterator>
#include <limits>
#include <optional>
#include <utility>

#include "quoted.hpp"

namespace korvane {
namespace {

// ---------------------------------------------------------------------------
// Every message of the provider protocol. Entry point names, protocol texts
// and field names are shown in quoted form; version numbers in decimal.
// ---------------------------------------------------------------------------

std::string decimal(std::uint16_t value) {
  char digits[8];
  const auto result = std::to_chars(std::begin(digits), std::end(digits), value);
  return std::string(digits, result.ptr);
}

std::string entry_point_prefix(std::string_view entry_point) {
  return "entry point " + korvane::quoted(entry_point);
}

std::string message_invalid_json(std::string_view entry_point, const JsonParseError& error) {
  return "bundle entry point " + korvane::quoted(entry_point) + " returned invalid JSON: " +
         error.to_string();
}

std::string message_not_an_object() { return "bundle provider must return a JSON object"; }

std::string message_missing_protocol(std::string_view entry_point) {
  return entry_point_prefix(entry_point) + " provider is missing string field \"protocol\"";
}

std::string message_unsupported_protocol(std::string_view entry_point, std::string_view protocol) {
  return entry_point_prefix(entry_point) + " returned unsupported provider protocol " +
         korvane::quoted(protocol);
}

std::string message_missing_protocol_version(std::string_view entry_point) {
  return entry_point_prefix(entry_point) +
         " provider is missing object field \"protocol_version\"";
}

std::string message_version_not_object(std::string_view entry_point) {
  return entry_point_prefix(entry_point) +
         " provider has invalid protocol_version: expected an object";
}

std::string message_version_unsupported_field(std::string_view entry_point,
                                              std::string_view field) {
  return entry_point_prefix(entry_point) +
         " provider has invalid protocol_version: unsupported field " + korvane::quoted(field);
}

std::string message_version_not_unsigned(std::string_view entry_point, std::string_view field) {
  return entry_point_prefix(entry_point) + " provider has invalid protocol_version: " +
         korvane::quoted(field) + " must be an unsigned integer";
}

std::string message_version_out_of_range(std::string_view entry_point, std::string_view field) {
  return entry_point_prefix(entry_point) + " provider has invalid protocol_version: " +
         korvane::quoted(field) + " is out of range";
}

std::string message_unsupported_version(std::string_view entry_point,
                                        const ProtocolVersion& version) {
  return entry_point_prefix(entry_point) + " returned unsupported provider protocol version " +
         decimal(version.major) + "." + decimal(version.minor) + "." + decimal(version.patch);
}

std::string message_missing_string_field(std::string_view entry_point, std::string_view field) {
  return entry_point_prefix(entry_point) + " provider is missing string field " +
         korvane::quoted(field);
}

std::string message_unsupported_field(std::string_view entry_point, std::string_view field) {
  return entry_point_prefix(entry_point) + " provider contains unsupported metadata field " +
         korvane::quoted(field);
}

// ---------------------------------------------------------------------------

constexpr std::string_view kProtocol = "protocol";
constexpr std::string_view kProtocolVersion = "protocol_version";
constexpr std::string_view kEntryPoint = "entry_point";

// The text members after the version, in the order they are checked.
constexpr std::array<std::string_view, 6> kTextMembers = {
    "machine_id", "distribution", "module", "prepare_function", "execute_function",
    "bundle_version",
};

bool is_provider_member(std::string_view key) {
  return key == kProtocol || key == kProtocolVersion ||
         std::find(kTextMembers.begin(), kTextMembers.end(), key) != kTextMembers.end();
}

constexpr std::array<std::string_view, 3> kVersionMembers = {"major", "minor", "patch"};

std::string string_member_or_empty(const JsonObject& object, std::string_view key) {
  std::optional<std::string> text = get_string_member(object, key);
  return text ? std::move(*text) : std::string();
}

JsonValue version_to_json(const ProtocolVersion& version) {
  JsonObject members;
  members.insert_or_assign("major", JsonValue::number(JsonNumber::from_unsigned(version.major)));
  members.insert_or_assign("minor", JsonValue::number(JsonNumber::from_unsigned(version.minor)));
  members.insert_or_assign("patch", JsonValue::number(JsonNumber::from_unsigned(version.patch)));
  return JsonValue::object(std::move(members));
}

}  // namespace

Expected<ProtocolVersion, std::string> parse_protocol_version(const JsonValue& value,
                                                              std::string_view entry_point_name) {
  const JsonObject* object = value.as_object();
  if (object == nullptr) {
    return unexpected(message_version_not_object(entry_point_name));
  }
  // Members are walked in key order, before any lookup: an object holding
  // only a foreign member is told about that member, not about `major`.
  for (const JsonMember& member : *object) {
    const std::string_view key = member.key;
    if (std::find(kVersionMembers.begin(), kVersionMembers.end(), key) == kVersionMembers.end()) {
      return unexpected(message_version_unsupported_field(entry_point_name, key));
    }
  }
  std::array<std::uint16_t, 3> parts{};
  for (std::size_t i = 0; i < kVersionMembers.size(); ++i) {
    const std::string_view name = kVersionMembers[i];
    const JsonValue* part = object->find(name);
    const JsonNumber* number = part != nullptr ? part->as_number() : nullptr;
    // Only the unsigned-integer form counts: negative integers, fractions,
    // exponents and integers beyond 64 bits are other representations.
    if (number == nullptr || number->kind() != JsonNumber::Kind::unsigned_integer) {
      return unexpected(message_version_not_unsigned(entry_point_name, name));
    }
    const std::uint64_t raw = number->as_unsigned();
    if (raw > std::numeric_limits<std::uint16_t>::max()) {
      return unexpected(message_version_out_of_range(entry_point_name, name));
    }
    parts[i] = static_cast<std::uint16_t>(raw);
  }
  return ProtocolVersion{parts[0], parts[1], parts[2]};
}

Expected<BundleMetadata, std::string> validate_provider_metadata(std::string_view entry_point_name,
                                                                 std::string_view provider_text) {
  Expected<JsonValue, JsonParseError> parsed = parse_json_text(provider_text);
  if (!parsed) {
    return unexpected(message_invalid_json(entry_point_name, parsed.error()));
  }
  JsonValue metadata = std::move(parsed).value();
  JsonObject* object = metadata.as_object();
  if (object == nullptr) {
    return unexpected(message_not_an_object());
  }

  const JsonValue* protocol = object->find(kProtocol);
  const std::optional<std::string_view> protocol_text =
      protocol != nullptr ? protocol->as_string() : std::nullopt;
  if (!protocol_text) {
    return unexpected(message_missing_protocol(entry_point_name));
  }
  if (*protocol_text != kProviderProtocol) {
    return unexpected(message_unsupported_protocol(entry_point_name, *protocol_text));
  }

  const JsonValue* version_value = object->find(kProtocolVersion);
  if (version_value == nullptr) {
    return unexpected(message_missing_protocol_version(entry_point_name));
  }
  Expected<ProtocolVersion, std::string> version =
      parse_protocol_version(*version_value, entry_point_name);
  if (!version) {
    return unexpected(std::move(version).error());
  }
  if (*version != kSupportedProtocolVersion) {
    return unexpected(message_unsupported_version(entry_point_name, *version));
  }

  for (const std::string_view name : kTextMembers) {
    const JsonValue* member = object->find(name);
    const std::optional<std::string_view> text =
        member != nullptr ? member->as_string() : std::nullopt;
    if (!text || text->empty()) {
      return unexpected(message_missing_string_field(entry_point_name, name));
    }
  }

  // Everything required is present; now the first foreign key in byte order.
  // `entry_point` is among them: only the module sets it.
  for (const JsonMember& member : *object) {
    const std::string_view key = member.key;
    if (!is_provider_member(key)) {
      return unexpected(message_unsupported_field(entry_point_name, key));
    }
  }

  object->insert_or_assign(kEntryPoint, JsonValue::string(entry_point_name));
  return metadata;
}

BundleProvider bundle_provider_from_metadata(BundleMetadata&& metadata) {
  const BundleMetadata consumed = std::move(metadata);
  BundleProvider provider;
  const JsonObject* object = consumed.as_object();
  if (object == nullptr) {
    return provider;
  }
  provider.protocol = string_member_or_empty(*object, kProtocol);
  if (const JsonValue* version = object->find(kProtocolVersion)) {
    Expected<ProtocolVersion, std::string> parsed = parse_protocol_version(*version, {});
    if (parsed) {
      provider.protocol_version = *parsed;
    }
  }
  provider.entry_point = string_member_or_empty(*object, kEntryPoint);
  provider.machine_id = string_member_or_empty(*object, "machine_id");
  provider.distribution = string_member_or_empty(*object, "distribution");
  provider.module = string_member_or_empty(*object, "module");
  provider.prepare_function = string_member_or_empty(*object, "prepare_function");
  provider.execute_function = string_member_or_empty(*object, "execute_function");
  provider.bundle_version = string_member_or_empty(*object, "bundle_version");
  return provider;
}

JsonValue bundle_provider_to_json(const BundleProvider& provider) {
  JsonObject members;
  members.insert_or_assign(kProtocol, JsonValue::string(provider.protocol));
  members.insert_or_assign(kProtocolVersion, version_to_json(provider.protocol_version));
  members.insert_or_assign(kEntryPoint, JsonValue::string(provider.entry_point));
  members.insert_or_assign("machine_id", JsonValue::string(provider.machine_id));
  members.insert_or_assign("distribution", JsonValue::string(provider.distribution));
  members.insert_or_assign("module", JsonValue::string(provider.module));
  members.insert_or_assign("prepare_function", JsonValue::string(provider.prepare_function));
  members.insert_or_assign("execute_function", JsonValue::string(provider.execute_function));
  members.insert_or_assign("bundle_version", JsonValue::string(provider.bundle_version));
  return JsonValue::object(std::move(members));
}

const BundleProvider* find_provider(const std::vector<BundleProvider>& providers,
                                    std::string_view machine_id) noexcept {
  const auto it = std::find_if(providers.begin(), providers.end(),
                               [&](const BundleProvider& p) { return p.machine_id == machine_id; });
  return it != providers.end() ? &*it : nullptr;
}

}  // namespace korvane
