#include "provider_metadata.hpp"

#include <gtest/gtest.h>

#include "object_text.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using korvane::BundleProvider;
using korvane::JsonValue;
using korvane::ProtocolVersion;

using korvane::test_support::Members;

Members valid_members() {
  return {
      {"protocol", R"("korvane.python_bundle")"},
      {"protocol_version", R"({"major":2,"minor":0,"patch":0})"},
      {"machine_id", R"("demo")"},
      {"distribution", R"("korvane-demo")"},
      {"module", R"("korvane_demo.bundle")"},
      {"prepare_function", R"("prepare")"},
      {"execute_function", R"("execute_prepared")"},
      {"bundle_version", R"("1.4.2")"},
  };
}

// A valid provider text with `changes` applied (see object_text).
std::string provider_text(const Members& changes = {}) {
  return korvane::test_support::object_text(valid_members(), changes);
}

std::string version_text(std::string_view inner) { return "{" + std::string(inner) + "}"; }

// The message of a rejected provider text for entry point "demo".
std::string rejection(const std::string& text) {
  auto result = korvane::validate_provider_metadata("demo", text);
  if (result) return "<accepted>";
  return result.error();
}

std::string rejection(const Members& changes) { return rejection(provider_text(changes)); }

const std::string kEp = "entry point \"demo\"";

// --- Rule 1 and 2: the text and its top-level kind ----------------------------

TEST(ProviderMetadataText, InvalidJsonCarriesParseError) {
  EXPECT_EQ(rejection(""),
            "bundle entry point \"demo\" returned invalid JSON: "
            "EOF while parsing a value at line 1 column 0");
  EXPECT_EQ(rejection(provider_text() + " x")
                .rfind("bundle entry point \"demo\" returned invalid JSON: trailing characters at line 1", 0),
            0u);
}

TEST(ProviderMetadataText, NonObjectValues) {
  for (const char* text : {"[]", "\"korvane.python_bundle\"", "7", "null", "true"}) {
    EXPECT_EQ(rejection(text), "bundle provider must return a JSON object") << text;
  }
}

TEST(ProviderMetadataText, EntryPointNameIsQuoted) {
  auto result = korvane::validate_provider_metadata("de\"mo\n", "");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(),
            "bundle entry point \"de\\\"mo\\n\" returned invalid JSON: "
            "EOF while parsing a value at line 1 column 0");
}

// --- Rules 3 and 4: the protocol identifier -------------------------------------

TEST(ProviderMetadataProtocol, MissingOrNotAString) {
  const std::string message = kEp + " provider is missing string field \"protocol\"";
  EXPECT_EQ(rejection({{"protocol", std::nullopt}}), message);
  EXPECT_EQ(rejection({{"protocol", "1"}}), message);
  EXPECT_EQ(rejection({{"protocol", "null"}}), message);
}

TEST(ProviderMetadataProtocol, OnlyTheExactIdentifier) {
  const std::string prefix = kEp + " returned unsupported provider protocol ";
  EXPECT_EQ(rejection({{"protocol", R"("korvane.python_bundle ")"}}), prefix + "\"korvane.python_bundle \"");
  EXPECT_EQ(rejection({{"protocol", R"("Korvane.Python_Bundle")"}}), prefix + "\"Korvane.Python_Bundle\"");
  EXPECT_EQ(rejection({{"protocol", R"("")"}}), prefix + "\"\"");
  // Shown in quoted form.
  EXPECT_EQ(rejection({{"protocol", R"("a\"b\u0000\u200b")"}}), prefix + "\"a\\\"b\\0\\u{200b}\"");
}

TEST(ProviderMetadataProtocol, MissingProtocolHidesEverythingElse) {
  EXPECT_EQ(
      rejection({{"protocol", std::nullopt}, {"protocol_version", "3"}, {"module", std::nullopt}, {"extra", "1"}}),
      kEp + " provider is missing string field \"protocol\"");
}

// --- Rule 5 and the version object ---------------------------------------------

TEST(ProviderMetadataVersion, MissingOrNotAnObject) {
  EXPECT_EQ(rejection({{"protocol_version", std::nullopt}}),
            kEp + " provider is missing object field \"protocol_version\"");
  const std::string not_object = kEp + " provider has invalid protocol_version: expected an object";
  EXPECT_EQ(rejection({{"protocol_version", "null"}}), not_object);
  EXPECT_EQ(rejection({{"protocol_version", R"("2.0.0")"}}), not_object);
  EXPECT_EQ(rejection({{"protocol_version", "[2,0,0]"}}), not_object);
}

TEST(ProviderMetadataVersion, ForeignMemberIsReportedBeforeLookups) {
  const std::string prefix = kEp + " provider has invalid protocol_version: unsupported field ";
  EXPECT_EQ(rejection({{"protocol_version", version_text(R"("major":2,"minor":0,"patch":0,"build":1)")}}),
            prefix + "\"build\"");
  EXPECT_EQ(rejection({{"protocol_version", version_text(R"("build":1)")}}), prefix + "\"build\"");
  // Keys are walked in byte order, and compared exactly.
  EXPECT_EQ(rejection({{"protocol_version", version_text(R"("zz":1,"Major":2,"minor":0,"patch":0)")}}),
            prefix + "\"Major\"");
}

TEST(ProviderMetadataVersion, NotAnUnsignedInteger) {
  const std::string prefix = kEp + " provider has invalid protocol_version: ";
  const std::string major = prefix + "\"major\" must be an unsigned integer";
  EXPECT_EQ(rejection({{"protocol_version", "{}"}}), major);
  for (const char* value : {"2.0", "2e0", "-1", "-0", "\"2\"", "true", "null", "[2]", "{}", "18446744073709551616"}) {
    EXPECT_EQ(
        rejection({{"protocol_version", version_text(std::string("\"major\":") + value + R"(,"minor":0,"patch":0)")}}),
        major)
        << value;
  }
  // Checked in the order major, minor, patch.
  EXPECT_EQ(rejection({{"protocol_version", version_text(R"("major":2,"patch":-1)")}}),
            prefix + "\"minor\" must be an unsigned integer");
  EXPECT_EQ(rejection({{"protocol_version", version_text(R"("major":2,"minor":0)")}}),
            prefix + "\"patch\" must be an unsigned integer");
}

TEST(ProviderMetadataVersion, RangeOfSixteenBits) {
  const std::string prefix = kEp + " provider has invalid protocol_version: ";
  EXPECT_EQ(rejection({{"protocol_version", version_text(R"("major":65536,"minor":0,"patch":0)")}}),
            prefix + "\"major\" is out of range");
  EXPECT_EQ(rejection({{"protocol_version", version_text(R"("major":2,"minor":0,"patch":18446744073709551615)")}}),
            prefix + "\"patch\" is out of range");
  // 65535 is in range and then fails the value rule.
  EXPECT_EQ(rejection({{"protocol_version", version_text(R"("major":65535,"minor":0,"patch":0)")}}),
            kEp + " returned unsupported provider protocol version 65535.0.0");
}

TEST(ProviderMetadataVersion, OnlyTwoZeroZero) {
  const std::string prefix = kEp + " returned unsupported provider protocol version ";
  EXPECT_EQ(rejection({{"protocol_version", version_text(R"("major":2,"minor":1,"patch":0)")}}), prefix + "2.1.0");
  EXPECT_EQ(rejection({{"protocol_version", version_text(R"("major":3,"minor":0,"patch":0)")}}), prefix + "3.0.0");
  EXPECT_EQ(rejection({{"protocol_version", version_text(R"("major":1,"minor":0,"patch":0)")}}), prefix + "1.0.0");
  EXPECT_EQ(rejection({{"protocol_version", version_text(R"("major":2,"minor":0,"patch":7)")}}), prefix + "2.0.7");
  // A bad version hides a missing module.
  EXPECT_EQ(
      rejection({{"protocol_version", version_text(R"("major":2,"minor":1,"patch":0)")}, {"module", std::nullopt}}),
      prefix + "2.1.0");
}

TEST(ProviderMetadataVersion, ParseDirectly) {
  auto parsed = korvane::parse_json_text(R"({"patch":3,"minor":2,"major":1})");
  ASSERT_TRUE(parsed);
  auto version = korvane::parse_protocol_version(*parsed, "x");
  ASSERT_TRUE(version);
  EXPECT_EQ(*version, (ProtocolVersion{1, 2, 3}));
  auto bad = korvane::parse_protocol_version(JsonValue::null(), "ep\t");
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error(), "entry point \"ep\\t\" provider has invalid protocol_version: expected an object");
}

// --- Rule 7: the six text members -----------------------------------------------

TEST(ProviderMetadataTextMembers, AbsentWrongKindOrEmpty) {
  const std::string prefix = kEp + " provider is missing string field ";
  EXPECT_EQ(rejection({{"machine_id", R"("")"}}), prefix + "\"machine_id\"");
  EXPECT_EQ(rejection({{"machine_id", "5"}}), prefix + "\"machine_id\"");
  EXPECT_EQ(rejection({{"distribution", std::nullopt}}), prefix + "\"distribution\"");
  EXPECT_EQ(rejection({{"module", "null"}}), prefix + "\"module\"");
  EXPECT_EQ(rejection({{"prepare_function", "[]"}}), prefix + "\"prepare_function\"");
  EXPECT_EQ(rejection({{"execute_function", R"("")"}}), prefix + "\"execute_function\"");
  EXPECT_EQ(rejection({{"bundle_version", "1"}}), prefix + "\"bundle_version\"");
}

TEST(ProviderMetadataTextMembers, CheckedInFixedOrder) {
  const std::string prefix = kEp + " provider is missing string field ";
  // bundle_version sorts first but is checked last.
  EXPECT_EQ(rejection({{"bundle_version", std::nullopt}, {"module", std::nullopt}}), prefix + "\"module\"");
  EXPECT_EQ(rejection({{"execute_function", std::nullopt}, {"machine_id", std::nullopt}}), prefix + "\"machine_id\"");
  // Missing members hide unsupported ones.
  EXPECT_EQ(rejection({{"aaa", "1"}, {"bundle_version", std::nullopt}}), prefix + "\"bundle_version\"");
}

// --- Rule 8: no other members -----------------------------------------------------

TEST(ProviderMetadataMembers, FirstForeignKeyInByteOrder) {
  const std::string prefix = kEp + " provider contains unsupported metadata field ";
  EXPECT_EQ(rejection({{"zeta", "1"}, {"alpha", "2"}}), prefix + "\"alpha\"");
  EXPECT_EQ(rejection({{"entry_point", R"("demo")"}}), prefix + "\"entry_point\"");
  EXPECT_EQ(rejection({{"Module", R"("x")"}}), prefix + "\"Module\"");
  EXPECT_EQ(rejection({{"a\xe2\x80\x8b", "1"}}), prefix + "\"a\\u{200b}\"");
}

// --- Acceptance ---------------------------------------------------------------------

TEST(ProviderMetadataAccepted, AddsEntryPointAndKeepsEverythingElse) {
  auto result = korvane::validate_provider_metadata("demo-ep", provider_text());
  ASSERT_TRUE(result) << result.error();
  const std::string listing = korvane::write_bundle_listing({&*result, 1});
  EXPECT_EQ(listing, R"([{"bundle_version":"1.4.2","distribution":"korvane-demo","entry_point":"demo-ep",)"
                     R"("execute_function":"execute_prepared","machine_id":"demo",)"
                     R"("module":"korvane_demo.bundle","prepare_function":"prepare",)"
                     R"("protocol":"korvane.python_bundle",)"
                     R"("protocol_version":{"major":2,"minor":0,"patch":0}}])");
  auto written = korvane::parse_json_text(listing);
  ASSERT_TRUE(written);
  EXPECT_EQ((*written->as_array())[0].as_object()->size(), 9u);
}

TEST(ProviderMetadataAccepted, RepeatedKeyKeepsLastValue) {
  std::string text = provider_text();
  text.insert(1, R"("machine_id":"first",)");
  text.insert(text.size() - 1, R"(,"machine_id":"last")");
  auto result = korvane::validate_provider_metadata("demo", text);
  ASSERT_TRUE(result) << result.error();
  EXPECT_EQ(result->machine_id, "last");
  // An earlier invalid value of a repeated key does not count either.
  std::string fixed = provider_text({{"module", R"("")"}});
  fixed.insert(fixed.size() - 1, R"(,"module":"m")");
  EXPECT_TRUE(korvane::validate_provider_metadata("demo", fixed));
}

// --- Records ----------------------------------------------------------------------

TEST(BundleProviderRecord, ValidationFillsEveryField) {
  auto record = korvane::validate_provider_metadata("demo-ep", provider_text());
  ASSERT_TRUE(record) << record.error();
  EXPECT_EQ(record->protocol, "korvane.python_bundle");
  EXPECT_EQ(record->protocol_version, (ProtocolVersion{2, 0, 0}));
  EXPECT_EQ(record->entry_point, "demo-ep");
  EXPECT_EQ(record->machine_id, "demo");
  EXPECT_EQ(record->distribution, "korvane-demo");
  EXPECT_EQ(record->module, "korvane_demo.bundle");
  EXPECT_EQ(record->prepare_function, "prepare");
  EXPECT_EQ(record->execute_function, "execute_prepared");
  EXPECT_EQ(record->bundle_version, "1.4.2");
}

TEST(BundleProviderRecord, ListingEqualsTheProviderObjectWithEntryPoint) {
  // Spaced, reordered and escaped differently: the listing is the same.
  const std::string text =
      "{ \"protocol_version\" : {\"patch\":0,\"major\":2,\"minor\":0},\n"
      "  \"module\":\"m\\u00e9\\/x\", \"machine_id\":\"a\\\"b\\\\c\\u0001\",\n"
      "  \"protocol\":\"korvane.python_bundle\", \"distribution\":\"d\",\n"
      "  \"prepare_function\":\"p\", \"execute_function\":\"e\", \"bundle_version\":\"v\" }";
  auto record = korvane::validate_provider_metadata("ep\n", text);
  ASSERT_TRUE(record) << record.error();
  EXPECT_EQ(korvane::write_bundle_listing({&*record, 1}),
            R"([{"bundle_version":"v","distribution":"d","entry_point":"ep\n","execute_function":"e",)"
            R"("machine_id":"a\"b\\c\u0001","module":"m)"
            "\xc3\xa9"
            R"(/x","prepare_function":"p",)"
            R"("protocol":"korvane.python_bundle","protocol_version":{"major":2,"minor":0,"patch":0}}])");

  auto expected = korvane::parse_json_text(text);
  ASSERT_TRUE(expected);
  expected->as_object()->insert_or_assign("entry_point", JsonValue::string("ep\n"));
  auto written = korvane::parse_json_text(korvane::write_bundle_listing({&*record, 1}));
  ASSERT_TRUE(written);
  EXPECT_EQ((*written->as_array())[0], *expected);
}

TEST(BundleProviderRecord, ListingKeepsRecordOrder) {
  EXPECT_EQ(korvane::write_bundle_listing({}), "[]");
  std::vector<BundleProvider> providers;
  for (const char* id : {"zeta", "Alpha"}) {
    auto record =
        korvane::validate_provider_metadata("ep", provider_text({{"machine_id", std::string("\"") + id + "\""}}));
    ASSERT_TRUE(record) << record.error();
    providers.push_back(std::move(*record));
  }
  const std::string listing = korvane::write_bundle_listing(providers);
  EXPECT_LT(listing.find("\"zeta\""), listing.find("\"Alpha\""));
  const std::size_t between = listing.find("},{");
  ASSERT_NE(between, std::string::npos);
  EXPECT_EQ(between, listing.rfind("},{"));  // exactly two objects
}

TEST(BundleProviderRecord, FindProviderByExactBytes) {
  std::vector<BundleProvider> providers(3);
  providers[0].machine_id = "alpha";
  providers[1].machine_id = "beta";
  providers[2].machine_id = "beta";
  providers[2].module = "second";
  EXPECT_EQ(korvane::find_provider(providers, "beta"), &providers[1]);
  EXPECT_EQ(korvane::find_provider(providers, "Beta"), nullptr);
  EXPECT_EQ(korvane::find_provider(providers, "bet"), nullptr);
  EXPECT_EQ(korvane::find_provider(providers, "alpha "), nullptr);
  EXPECT_EQ(korvane::find_provider({}, "alpha"), nullptr);
}

// --- Near misses: the protocol name and the member names against look-alikes ----------

// A key or string content with `"`, `\` and tab escaped, as JSON and the quoted
// form both write them.
std::string escaped_content(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '\t') {
      out += "\\t";
    } else {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
  }
  return out;
}

// Look-alikes of one name: other letter case, surrounding blanks, a hyphen or
// nothing for an underscore, one letter less and one more.
std::vector<std::string> look_alikes(const std::string& name) {
  std::vector<std::string> out;
  std::string capital = name;
  capital[0] = static_cast<char>(capital[0] - 'a' + 'A');
  out.push_back(capital);
  std::string upper = name;
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  out.push_back(upper);
  out.push_back(" " + name);
  out.push_back(name + " ");
  out.push_back(name + "\t");
  if (name.find('_') != std::string::npos) {
    std::string hyphen = name;
    std::string joined;
    for (char& c : hyphen) {
      if (c == '_') c = '-';
    }
    for (const char c : name) {
      if (c != '_') joined += c;
    }
    out.push_back(hyphen);
    out.push_back(joined);
  }
  out.push_back(name.substr(0, name.size() - 1));
  out.push_back(name + "s");
  return out;
}

TEST(ProviderMetadataNearMiss, ProtocolIdentifier) {
  std::vector<std::string> protocols = look_alikes("korvane.python_bundle");
  protocols.insert(protocols.end(), {"korvane.machine_bundles", "korvane.python_bundle.", "korvane-python_bundle",
                                     "korvane_python_bundle", "python_bundle", "korvane", "korvane.python",
                                     "korvane.python_bundle2", "korvane.python_bundle 2.0.0", "korvane.pyth0n_bundle"});
  for (const std::string& protocol : protocols) {
    const std::string text = "\"" + escaped_content(protocol) + "\"";
    EXPECT_EQ(rejection({{"protocol", text}}), kEp + " returned unsupported provider protocol " + text) << protocol;
  }
}

TEST(ProviderMetadataNearMiss, VersionMemberNames) {
  const std::string prefix = kEp + " provider has invalid protocol_version: unsupported field ";
  const std::vector<std::pair<std::string, std::string>> members = {{"major", "2"}, {"minor", "0"}, {"patch", "0"}};
  for (const auto& [name, value] : members) {
    std::vector<std::string> names = look_alikes(name);
    names.insert(names.end(), {"version", "micro", "build", "protocol_version"});
    for (const std::string& alike : names) {
      std::string inner;
      for (const auto& [other, other_value] : members) {
        if (!inner.empty()) inner += ",";
        inner += "\"" + (other == name ? escaped_content(alike) : other) + "\":" + other_value;
      }
      EXPECT_EQ(rejection({{"protocol_version", version_text(inner)}}), prefix + "\"" + escaped_content(alike) + "\"")
          << name << " written " << alike;
    }
  }
}

// Each provider member renamed to a look-alike is missing under its own name;
// with the right name present too, the look-alike is an unsupported member.
TEST(ProviderMetadataNearMiss, ProviderMemberNames) {
  for (const auto& [name, value] : valid_members()) {
    const std::string missing = name == "protocol_version"
                                    ? kEp + " provider is missing object field \"protocol_version\""
                                    : kEp + " provider is missing string field \"" + name + "\"";
    std::vector<std::string> names = look_alikes(name);
    names.push_back("entry_point");
    for (const std::string& alike : names) {
      const std::string key = escaped_content(alike);
      EXPECT_EQ(rejection({{name, std::nullopt}, {key, value}}), missing) << name << " written " << alike;
      EXPECT_EQ(rejection({{key, value}}), kEp + " provider contains unsupported metadata field \"" + key + "\"")
          << name << " and " << alike;
    }
  }
}

}  // namespace
