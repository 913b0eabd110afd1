// The public JSONTestSuite parsing corpus: every y_ file parses, every n_
// file fails, i_ outcomes are printed. Files that are not valid UTF-8 cannot
// reach the parser (its input comes from Python str) and are left out.
//
// The corpus directory comes from KORVANE_JSON_CONFORMANCE_DIR, or else the
// location beside the checkout fixed when the build was configured.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "json_bridge.hpp"

#ifndef KORVANE_JSON_CONFORMANCE_DEFAULT_DIR
#define KORVANE_JSON_CONFORMANCE_DEFAULT_DIR ""
#endif

namespace korvane {
namespace {

namespace fs = std::filesystem;

bool is_valid_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto byte = static_cast<unsigned char>(text[i]);
    std::size_t length;
    std::uint32_t code_point;
    if (byte < 0x80) {
      ++i;
      continue;
    } else if ((byte & 0xE0) == 0xC0) {
      length = 2;
      code_point = byte & 0x1Fu;
    } else if ((byte & 0xF0) == 0xE0) {
      length = 3;
      code_point = byte & 0x0Fu;
    } else if ((byte & 0xF8) == 0xF0) {
      length = 4;
      code_point = byte & 0x07u;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code_point = (code_point << 6) | (next & 0x3Fu);
    }
    const std::uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code_point < minimum[length] || code_point > 0x10FFFF || (code_point >= 0xD800 && code_point <= 0xDFFF))
      return false;
    i += length;
  }
  return true;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

fs::path corpus_dir() {
  if (const char* configured = std::getenv("KORVANE_JSON_CONFORMANCE_DIR"); configured && *configured)
    return configured;
  return KORVANE_JSON_CONFORMANCE_DEFAULT_DIR;
}

TEST(JsonConformance, JsonTestSuiteParsingCorpus) {
  const fs::path dir = corpus_dir();
  std::error_code ec;
  if (dir.empty() || !fs::is_directory(dir, ec)) GTEST_SKIP() << "corpus not found at '" << dir << "'";

  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(dir))
    if (entry.path().extension() == ".json") files.push_back(entry.path());
  std::sort(files.begin(), files.end());

  int y_passed = 0, y_total = 0, n_passed = 0, n_total = 0, i_accepted = 0, i_rejected = 0;
  int out_of_scope = 0;
  std::ostringstream implementation_defined;
  for (const auto& path : files) {
    const std::string name = path.filename().string();
    const std::string text = read_file(path);
    if (!is_valid_utf8(text)) {
      ++out_of_scope;
      continue;
    }
    auto parsed = parse_json_text(text);
    if (name.starts_with("y_")) {
      ++y_total;
      EXPECT_TRUE(parsed.has_value()) << name << ": " << parsed.error().to_string();
      if (!parsed.has_value()) continue;
      ++y_passed;
    } else if (name.starts_with("n_")) {
      ++n_total;
      EXPECT_FALSE(parsed.has_value()) << name << " was accepted";
      if (!parsed.has_value()) ++n_passed;
    } else if (name.starts_with("i_")) {
      implementation_defined << "  " << name << ": " << (parsed.has_value() ? "accepted" : parsed.error().to_string())
                             << "\n";
      (parsed.has_value() ? i_accepted : i_rejected)++;
    }
    if (parsed.has_value()) {
      // Writing and parsing again gives the same tree.
      const std::string written = write_json_text(*parsed);
      auto again = parse_json_text(written);
      ASSERT_TRUE(again.has_value()) << name << " rewritten as " << written;
      EXPECT_EQ(*again, *parsed) << name;
      EXPECT_EQ(write_json_text(*again), written) << name;
    }
  }
  std::cout << "JSONTestSuite: y_ " << y_passed << "/" << y_total << " accepted, n_ " << n_passed << "/" << n_total
            << " rejected, i_ " << i_accepted << " accepted and " << i_rejected << " rejected, " << out_of_scope
            << " files not valid UTF-8 left out\n"
            << implementation_defined.str();
  EXPECT_GT(y_total, 0);
  EXPECT_GT(n_total, 0);
}

}  // namespace
}  // namespace korvane
