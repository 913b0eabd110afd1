#include "provider_metadata.hpp"

#include <algorithm>
#include <array>
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

std::string entry_point_prefix(std::string_view entry_point) { return "entry point " + korvane::quoted(entry_point); }

std::string message_invalid_json(std::string_view entry_point, const JsonParseError& error) {
  return "bundle entry point " + korvane::quoted(entry_point) + " returned invalid JSON: " + error.to_string();
}

std::string message_not_an_object() { return "bundle provider must return a JSON object"; }

std::string message_missing_protocol(std::string_view entry_point) {
  return entry_point_prefix(entry_point) + " provider is missing string field \"protocol\"";
}

std::string message_unsupported_protocol(std::string_view entry_point, std::string_view protocol) {
  return entry_point_prefix(entry_point) + " returned unsupported provider protocol " + korvane::quoted(protocol);
}

std::string message_missing_protocol_version(std::string_view entry_point) {
  return entry_point_prefix(entry_point) + " provider is missing object field \"protocol_version\"";
}

std::string message_version_not_object(std::string_view entry_point) {
  return entry_point_prefix(entry_point) + " provider has invalid protocol_version: expected an object";
}

std::string message_version_unsupported_field(std::string_view entry_point, std::string_view field) {
  return entry_point_prefix(entry_point) + " provider has invalid protocol_version: unsupported field " +
         korvane::quoted(field);
}

std::string message_version_not_unsigned(std::string_view entry_point, std::string_view field) {
  return entry_point_prefix(entry_point) + " provider has invalid protocol_version: " + korvane::quoted(field) +
         " must be an unsigned integer";
}

std::string message_version_out_of_range(std::string_view entry_point, std::string_view field) {
  return entry_point_prefix(entry_point) + " provider has invalid protocol_version: " + korvane::quoted(field) +
         " is out of range";
}

std::string message_unsupported_version(std::string_view entry_point, const ProtocolVersion& version) {
  return entry_point_prefix(entry_point) + " returned unsupported provider protocol version " +
         std::to_string(version.major) + "." + std::to_string(version.minor) + "." + std::to_string(version.patch);
}

std::string message_missing_string_field(std::string_view entry_point, std::string_view field) {
  return entry_point_prefix(entry_point) + " provider is missing string field " + korvane::quoted(field);
}

std::string message_unsupported_field(std::string_view entry_point, std::string_view field) {
  return entry_point_prefix(entry_point) + " provider contains unsupported metadata field " + korvane::quoted(field);
}

// ---------------------------------------------------------------------------

// How validation treats a member of the record.
enum class Rule : unsigned char {
  identifier,     // a string equal to the protocol identifier
  version,        // an object read by parse_protocol_version, then exactly 2.0.0
  set_by_module,  // never supplied by a provider; the entry point's name
  required_text,  // a non-empty string
};

struct ProviderMember {
  std::string_view name;
  std::string BundleProvider::* text;  // null for the version, the one member that is not a text
  Rule rule;
};

// The nine members, the one place that names them: in the record's field
// order, which is also the order in which validation checks them. A listing
// writes them in ascending byte order of their names, like every JSON object.
constexpr std::array<ProviderMember, 9> kMembers = {{
    {"protocol", &BundleProvider::protocol, Rule::identifier},
    {"protocol_version", nullptr, Rule::version},
    {"entry_point", &BundleProvider::entry_point, Rule::set_by_module},
    {"machine_id", &BundleProvider::machine_id, Rule::required_text},
    {"distribution", &BundleProvider::distribution, Rule::required_text},
    {"module", &BundleProvider::module, Rule::required_text},
    {"prepare_function", &BundleProvider::prepare_function, Rule::required_text},
    {"execute_function", &BundleProvider::execute_function, Rule::required_text},
    {"bundle_version", &BundleProvider::bundle_version, Rule::required_text},
}};

// Whether a provider may supply the member `key` (compared exactly).
bool is_provider_member(std::string_view key) {
  return std::any_of(kMembers.begin(), kMembers.end(), [key](const ProviderMember& member) {
    return member.name == key && member.rule != Rule::set_by_module;
  });
}

constexpr std::array<std::string_view, 3> kVersionMembers = {"major", "minor", "patch"};

JsonValue version_to_json(const ProtocolVersion& version) {
  const std::uint16_t parts[] = {version.major, version.minor, version.patch};
  JsonObject members;
  for (std::size_t i = 0; i < kVersionMembers.size(); ++i) {
    members.insert_or_assign(kVersionMembers[i], JsonValue::number(JsonNumber::from_unsigned(parts[i])));
  }
  return JsonValue::object(std::move(members));
}

JsonValue provider_to_json(const BundleProvider& provider) {
  JsonObject members;
  for (const ProviderMember& member : kMembers) {
    members.insert_or_assign(member.name, member.text != nullptr ? JsonValue::string(provider.*member.text)
                                                                 : version_to_json(provider.protocol_version));
  }
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

Expected<BundleProvider, std::string> validate_provider_metadata(std::string_view entry_point_name,
                                                                 std::string_view provider_text) {
  Expected<JsonValue, JsonParseError> parsed = parse_json_text(provider_text);
  if (!parsed) {
    return unexpected(message_invalid_json(entry_point_name, parsed.error()));
  }
  const JsonObject* object = parsed->as_object();
  if (object == nullptr) {
    return unexpected(message_not_an_object());
  }

  // The members in checking order; each accepted value goes straight into the
  // record, the strings copied out of the parsed tree.
  BundleProvider provider;
  for (const ProviderMember& member : kMembers) {
    const JsonValue* value = object->find(member.name);
    switch (member.rule) {
      case Rule::identifier: {
        const std::optional<std::string_view> text = value != nullptr ? value->as_string() : std::nullopt;
        if (!text) {
          return unexpected(message_missing_protocol(entry_point_name));
        }
        if (*text != kProviderProtocol) {
          return unexpected(message_unsupported_protocol(entry_point_name, *text));
        }
        provider.*member.text = *text;
        break;
      }
      case Rule::version: {
        if (value == nullptr) {
          return unexpected(message_missing_protocol_version(entry_point_name));
        }
        Expected<ProtocolVersion, std::string> version = parse_protocol_version(*value, entry_point_name);
        if (!version) {
          return unexpected(std::move(version).error());
        }
        if (*version != kSupportedProtocolVersion) {
          return unexpected(message_unsupported_version(entry_point_name, *version));
        }
        provider.protocol_version = *version;
        break;
      }
      case Rule::set_by_module:
        provider.*member.text = entry_point_name;
        break;
      case Rule::required_text: {
        const std::optional<std::string_view> text = value != nullptr ? value->as_string() : std::nullopt;
        if (!text || text->empty()) {
          return unexpected(message_missing_string_field(entry_point_name, member.name));
        }
        provider.*member.text = *text;
        break;
      }
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
  return provider;
}

std::string write_bundle_listing(std::span<const BundleProvider> providers) {
  std::vector<JsonValue> objects;
  objects.reserve(providers.size());
  for (const BundleProvider& provider : providers) objects.push_back(provider_to_json(provider));
  std::string text;
  write_json_text(JsonValue::array(std::move(objects)), text);
  return text;
}

const BundleProvider* find_provider(const std::vector<BundleProvider>& providers,
                                    std::string_view machine_id) noexcept {
  const auto it = std::find_if(providers.begin(), providers.end(),
                               [&](const BundleProvider& p) { return p.machine_id == machine_id; });
  return it != providers.end() ? &*it : nullptr;
}

std::string duplicate_machine_id_message(std::string_view machine_id) {
  return "multiple bundle entry points advertise machine_id " + quoted(machine_id);
}

}  // namespace korvane
