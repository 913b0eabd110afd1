// The provider protocol "korvane.python_bundle" 2.0.0: the metadata that a
// machine bundle's provider returns, its validation, and the typed record the
// module keeps for each accepted bundle. Pure C++ over JSON values.
#pragma once

#include <cstdint>
#include <span>
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

// The message of discovery for a second entry point whose metadata names a
// machine_id already accepted.
std::string duplicate_machine_id_message(std::string_view machine_id);

// Parses one provider's JSON text, checks it against the protocol rule by
// rule (the first failing rule decides the message) and returns the record of
// the accepted bundle, its `entry_point` set to `entry_point_name`. The
// message is meant to be raised as RuntimeError.
Expected<BundleProvider, std::string> validate_provider_metadata(std::string_view entry_point_name,
                                                                 std::string_view provider_text);

// Reads a `protocol_version` value: an object with exactly `major`, `minor`
// and `patch`, each an unsigned integer up to 65535. Does not check the
// triple's value. `entry_point_name` fills the messages.
Expected<ProtocolVersion, std::string> parse_protocol_version(const JsonValue& value,
                                                              std::string_view entry_point_name);

// The bundle listing: a compact JSON array holding, per record and in the
// given order, one object with the nine members in ascending byte order of
// their names and `protocol_version` as {"major":..,"minor":..,"patch":..}.
// For a record that validate_provider_metadata made, the object equals the
// provider's own object with `entry_point` added.
std::string write_bundle_listing(std::span<const BundleProvider> providers);

// The first record whose machine identifier equals `machine_id` byte for
// byte, or nullptr.
const BundleProvider* find_provider(const std::vector<BundleProvider>& providers, std::string_view machine_id) noexcept;

}  // namespace korvane
