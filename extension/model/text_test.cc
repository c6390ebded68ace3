#include "extension/model/text.h"

#include <gtest/gtest.h>

namespace pellora::text {
namespace {

TEST(TextTest, IsAscii) {
  EXPECT_TRUE(isAscii(""));
  EXPECT_TRUE(isAscii("Report.pdf\r\n\x7F"));
  EXPECT_TRUE(isAscii(std::string_view("a\0b", 3)));
  EXPECT_FALSE(isAscii("caf\xC3\xA9"));
  EXPECT_FALSE(isAscii("\x80"));
}

TEST(TextTest, RepairReplacesEachMaximalSubpart) {
  struct Case {
    std::string_view in;
    std::optional<std::string> out;
  };
  const Case cases[] = {
      {"plain", std::nullopt},
      {"caf\xC3\xA9", std::nullopt},
      {"\xF0\x9F\x98\x80", std::nullopt},  // U+1F600
      {"a\xE2\x82"
       "b",
       "a\xEF\xBF\xBD"
       "b"},                                                     // truncated sequence: one U+FFFD
      {"\xF0\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // overlong lead: one per byte
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // encoded surrogate
      {"x\xFF", "x\xEF\xBF\xBD"},
      {"\xC3\xA9\xC3", "\xC3\xA9\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) EXPECT_EQ(repairedUtf8(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace pellora::text
