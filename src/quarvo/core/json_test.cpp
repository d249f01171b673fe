#include "quarvo/core/json.hpp"

#include <gtest/gtest.h>

namespace quarvo {
namespace {

TEST(ParseJson, ReadsOneValueExactlyAndRefusesAnythingElse) {
  auto doc = parse_json(R"( {"a": {"b": [1, -2.5e3, true, null]}, "s": "x\"\u00e9\ud83d\ude00\n",
                             "big": 18446744073709551615, "a": {"c": "last wins"}} )");
  ASSERT_TRUE(doc);
  EXPECT_EQ(doc->at("s")->string(), "x\"\u00e9\U0001F600\n");
  EXPECT_EQ(doc->at("big")->unsigned_integer(), 18446744073709551615u);
  EXPECT_EQ(doc->at("a", "c")->string(), "last wins");
  EXPECT_EQ(doc->at("a", "b"), nullptr);
  EXPECT_EQ(doc->at("s", "x"), nullptr);  // not an object
  const std::string deep(65, '[');
  const std::vector<std::string> bad = {
      "",    "{",        "[1,]",        "{\"a\" 1}", "01",    "1.",
      "tru", "\"\x01\"", "\"\\ud800\"", "\"\xff\"",  "{} {}", deep + std::string(65, ']')};
  for (const std::string& text : bad) EXPECT_FALSE(parse_json(text)) << text;
  EXPECT_TRUE(parse_json(std::string(64, '[') + std::string(64, ']')));
}

}  // namespace
}  // namespace quarvo
