#include "common/text.h"

#include <gtest/gtest.h>

namespace {

TEST(Text, RefusesWhatDoesNotFitAndKeepsTheText) {
  zel::Text<5> t;
  EXPECT_TRUE(t.assign("abc"));
  EXPECT_FALSE(t.append("def"));
  EXPECT_STREQ(t.c_str(), "abc");
  EXPECT_TRUE(t.append("de"));
  EXPECT_STREQ(t.c_str(), "abcde");
  EXPECT_FALSE(t.append('x'));
  EXPECT_FALSE(t.assign("123456"));
  EXPECT_STREQ(t.c_str(), "abcde");
}

TEST(Text, FormatIsAllOrNothing) {
  zel::Text<8> t("keep");
  EXPECT_FALSE(t.format("%s", "far too long"));
  EXPECT_STREQ(t.c_str(), "keep");
  EXPECT_FALSE(t.appendf("%d", 12345));
  EXPECT_STREQ(t.c_str(), "keep");
  EXPECT_TRUE(t.appendf("%d", 1234));
  EXPECT_STREQ(t.c_str(), "keep1234");
  EXPECT_TRUE(t.format("%s:%d", "h", 80));
  EXPECT_STREQ(t.c_str(), "h:80");
}

TEST(Text, ClearZeroesTheWholeBuffer) {
  zel::Text<4> t("ABCD");
  t.clear();
  for (std::size_t i = 0; i <= 4; ++i) EXPECT_EQ(t.c_str()[i], '\0');
}

}  // namespace
