// The path to a byte of a JSON text, as the module's notes show it.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "json/parse.hpp"
#include "json/path.hpp"

namespace korvane {
namespace {

TEST(JsonPath, NamesTheMembersAndElementsAroundAByte) {
  struct Case {
    std::string_view text;
    std::string_view at;  // the path is asked for at the first occurrence of this
    std::string_view path;
  };
  const Case cases[] = {
      {R"({"outputs": {"mean": NaN}})", "NaN", "outputs.mean"},
      {R"({"rows": [{"x": 1}, {"x": 2}, {"x": [1, Infinity]}]})", "Infinity", "rows[2].x[1]"},
      {R"({"a": "b,c]}", "d": NaN})", "NaN", "d"},
      {R"({"a\"b": {"odd key": NaN}})", "NaN", R"(["a\"b"]["odd key"])"},
      {R"([1, 2, NaN])", "NaN", "[2]"},
      {R"(NaN)", "NaN", ""},
      {R"({"a": 1, 2})", "2", ""},                    // where a key is due: the object's own path
      {R"({"s": {"t": 1 "u": 2}})", "\"u\"", "s.t"},  // after the value of t
      {R"({"k": [1, 2,]})", "]", "k[2]"},
      {R"({"done": {"x": 1}, "next": NaN})", "NaN", "next"},
  };
  for (const Case& c : cases) {
    const std::size_t offset = c.text.find(c.at);
    ASSERT_NE(offset, std::string_view::npos) << c.text;
    EXPECT_EQ(json_path_at(c.text, offset), c.path) << c.text;
  }
  // Past the end, the path of what is open there.
  EXPECT_EQ(json_path_at(R"({"a": [1, )", 100), "a[1]");
}

TEST(JsonPath, PlacesAParseErrorByItsLineAndColumn) {
  const std::string_view text = "{\"a\": 1,\n \"b\": [NaN]}";
  const auto error = parse_json_text(text).error();
  EXPECT_EQ(json_path_at(text, error.line, error.column), "b[0]");
  EXPECT_EQ(json_path_at(text, 1, 7), "a");
  EXPECT_EQ(json_path_at("{\"a\": [\n", 2, 0), "a[0]");  // the text ends before line 2
}

}  // namespace
}  // namespace korvane
