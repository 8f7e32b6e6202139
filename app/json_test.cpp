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

TEST(Json, ReaderRefusesWhatIsNotAFlatObject) {
  std::map<std::string, std::string> fields;
  EXPECT_TRUE(parseFlatJsonObject("{}", &fields));
  for (const char* bad : {"", "parseV2FileHeader", "{\"a\":1", "{\"a\" 1}", "{\"a\":\"x}",
                          "{\"a\":1} trailing", "{\"a\":\"\\u12\"}", "{\"a\":\"\\u0100\"}"})
    EXPECT_FALSE(parseFlatJsonObject(bad, &fields)) << bad;
}

}  // namespace
