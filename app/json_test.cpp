#include "app/json.h"

#include <gtest/gtest.h>

namespace {

TEST(Json, LinesRoundTripThroughTheFlatReader) {
  const std::string line = JsonLine()
                               .add("event", "result")
                               .add("ok", false)
                               .add("state", int64_t{8})
                               .add("message", "Verify failed\n\"quoted\" \\ tab\t")
                               .add("port", "caf\xC3\xA9")
                               .add("serial", std::string("\x01\xFF", 2))
                               .text();
  EXPECT_EQ(line,
            "{\"event\":\"result\",\"ok\":false,\"state\":8,\"message\":\"Verify "
            "failed\\n\\\"quoted\\\" \\\\ tab\\t\",\"port\":\"caf\xC3\xA9\",\"serial\":"
            "\"\\u0001\\u00ff\"}");
  std::map<std::string, std::string> fields;
  ASSERT_TRUE(parseFlatJsonObject(line, &fields));
  EXPECT_EQ(fields["ok"], "false");
  EXPECT_EQ(fields["state"], "8");
  EXPECT_EQ(fields["message"], "Verify failed\n\"quoted\" \\ tab\t");
  EXPECT_EQ(fields["port"], "caf\xC3\xA9");
  EXPECT_EQ(fields["serial"], std::string("\x01\xFF", 2));
}

// What a file's model or a device's version holds reaches the line as valid
// UTF-8: well-formed sequences as they are, every other byte as \u00XX.
TEST(Json, StringsAreAlwaysValidUtf8) {
  const std::pair<std::string, std::string> cases[] = {
      {"\xC2\x80 \xDF\xBF", "\xC2\x80 \xDF\xBF"},
      {"\xE0\xA0\x80 \xED\x9F\xBF \xEF\xBF\xBF", "\xE0\xA0\x80 \xED\x9F\xBF \xEF\xBF\xBF"},
      {"\xF0\x90\x80\x80 \xF4\x8F\xBF\xBF", "\xF0\x90\x80\x80 \xF4\x8F\xBF\xBF"},
      {"\xC0\xAF", "\\u00c0\\u00af"},                          // overlong '/'
      {"\xE0\x80\x80", "\\u00e0\\u0080\\u0080"},                // overlong NUL
      {"\xF0\x8F\xBF\xBF", "\\u00f0\\u008f\\u00bf\\u00bf"},      // overlong U+FFFF
      {"\xED\xA0\x80", "\\u00ed\\u00a0\\u0080"},                // a surrogate
      {"\xF4\x90\x80\x80", "\\u00f4\\u0090\\u0080\\u0080"},      // above U+10FFFF
      {"\xF5\x80\x80\x80", "\\u00f5\\u0080\\u0080\\u0080"},
      {"a\xE2\x82", "a\\u00e2\\u0082"},                        // cut short at the end
      {"\xE2\x82x\xE2\x82\xAC", "\\u00e2\\u0082x\xE2\x82\xAC"},  // cut short, then whole
  };
  for (const auto& [text, body] : cases) {
    EXPECT_EQ(jsonString(text), "\"" + body + "\"") << text;
    std::map<std::string, std::string> fields;
    ASSERT_TRUE(parseFlatJsonObject(JsonLine().add("v", text).text(), &fields));
    EXPECT_EQ(fields["v"], text);  // the bytes come back as they were
  }
}

TEST(Json, ReaderRefusesWhatIsNotAFlatObject) {
  std::map<std::string, std::string> fields;
  EXPECT_TRUE(parseFlatJsonObject("{}", &fields));
  for (const char* bad : {"", "parseV2FileHeader", "{\"a\":1", "{\"a\" 1}", "{\"a\":\"x}",
                          "{\"a\":1} trailing", "{\"a\":\"\\u12\"}", "{\"a\":\"\\u0100\"}"})
    EXPECT_FALSE(parseFlatJsonObject(bad, &fields)) << bad;
}

}  // namespace
