// The provider protocol "korvane.python_bundle" 2.0.0: the metadata that a
// machine bundle's provider returns, its validation, and the typed record the
// module keeps for each accepted bundle. Pure C++ over JSON values.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "expected.hpp"
#include "json_bridge.hpp"

namespace korvane {

inline constexpr std::string_view kProviderProtocol = "korvane.python_bundle";

struct ProtocolVersion {
  std::uint16_t major = 0;
  std::uint16_t minor = 0;
  std::uint16_t patch = 0;

  friend bool operator==(const ProtocolVersion&, const ProtocolVersion&) = default;
};

// The version this module speaks; providers must declare exactly this one.
inline constexpr ProtocolVersion kSupportedProtocolVersion{2, 0, 0};

// An accepted provider metadata object with the member `entry_point` added.
// Its keys are held (and written) in ascending byte order.
using BundleMetadata = JsonValue;

// The typed record of one installed bundle. Owns its texts.
struct BundleProvider {
  std::string protocol;
  ProtocolVersion protocol_version;
  std::string entry_point;
  std::string machine_id;
  std::string distribution;
  std::string module;
  std::string prepare_function;
  std::string execute_function;
  std::string bundle_version;

  friend bool operator==(const BundleProvider&, const BundleProvider&) = default;
};

// Parses one provider's JSON text and checks it against the protocol, rule
// by rule; the first failing rule decides the message. On success returns the
// object with `entry_point` set to `entry_point_name`. The message is meant to
// be raised as RuntimeError.
Expected<BundleMetadata, std::string> validate_provider_metadata(std::string_view entry_point_name,
                                                                 std::string_view provider_text);

// Reads a `protocol_version` value: an object with exactly `major`, `minor`
// and `patch`, each an unsigned integer up to 65535. Does not check the
// triple's value. `entry_point_name` fills the messages.
Expected<ProtocolVersion, std::string> parse_protocol_version(const JsonValue& value,
                                                              std::string_view entry_point_name);

// Builds the record from an object that validate_provider_metadata accepted;
// consumes it. For such objects it cannot fail. Given anything else it does
// not fail either: a member that is missing or of the wrong kind is read as
// an empty text, an unreadable version as 0.0.0.
BundleProvider bundle_provider_from_metadata(BundleMetadata&& metadata);

// The record as a JSON object of nine members; for a record made from a
// BundleMetadata object the result equals that object.
JsonValue bundle_provider_to_json(const BundleProvider& provider);

// The first record whose machine identifier equals `machine_id` byte for
// byte, or nullptr.
const BundleProvider* find_provider(const std::vector<BundleProvider>& providers,
                                    std::string_view machine_id) noexcept;

}  // namespace korvane
