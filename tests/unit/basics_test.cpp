// The small building blocks every file and message goes through: fixed-capacity
// texts, numbers, path joining and the Windows text format.
#include <gtest/gtest.h>

#include <climits>

#include "common/number.h"
#include "fileutil/path.h"
#include "fileutil/textfile.h"
#include "platform/platform.h"

namespace {

TEST(Text, NothingIsWrittenPastTheCapacityAndRefusalsChangeNothing) {
  char buf[6] = {'a', 'b', 'c', 'd', 'e', '!'};  // capacity 4, then the terminator, then a guard
  zel::TextRef t(buf, 4);
  t.clear();
  EXPECT_EQ(buf[5], '!');
  EXPECT_TRUE(t.assign("abcd"));
  EXPECT_FALSE(t.append('e'));
  EXPECT_FALSE(t.assign("abcde"));
  EXPECT_FALSE(t.format("%d", 12345));
  EXPECT_STREQ(t.c_str(), "abcd");
  EXPECT_TRUE(t.format("%d", 12));
  EXPECT_TRUE(t.appendf("%s", "34"));
  EXPECT_FALSE(t.appendf("%s", "5"));
  EXPECT_STREQ(t.c_str(), "1234");
  EXPECT_EQ(buf[5], '!');
}

// Numbers read like the Windows runtime's atoi on every platform: beyond the int
// range they saturate, never wrap around to a small value.
TEST(Number, AtoiRulesThatSaturate) {
  const struct {
    const char* text;
    int value;
  } cases[] = {{"4294967296", INT_MAX},
               {"4294967297", INT_MAX},
               {"-4294967296", INT_MIN},
               {"2147483647", INT_MAX},
               {"-2147483648", INT_MIN},
               {" \t+12x", 12},
               {"-0", 0},
               {"x1", 0},
               {"", 0}};
  for (const auto& c : cases) EXPECT_EQ(zel::to_int(c.text), c.value) << c.text;
}

TEST(Path, JoinsWithOneSeparatorAndRefusesRatherThanCuts) {
  const std::string sep(1, plat::kPathSeparator);
  zel::Text<16> p;
  EXPECT_TRUE(FILE_MakePath(p, {"root", "a.txt"}));
  EXPECT_EQ(p.view(), "root" + sep + "a.txt");
  p.clear();
  EXPECT_TRUE(FILE_MakePath(p, {("root" + sep).c_str(), "a.txt"}));
  EXPECT_EQ(p.view(), "root" + sep + "a.txt");
  p.assign("x");
  EXPECT_FALSE(FILE_MakePath(p, {"rootdirectory", "a.txt"}));
  EXPECT_EQ(p.view(), "x");
}

// CR LF on disk, LF in memory, also when a pair is split between two reads.
TEST(TextFormat, CrLfBothWaysAcrossChunks) {
  const std::string disk = "a\r\nb\rc\r\n\r";
  for (std::size_t cut = 0; cut <= disk.size(); ++cut) {
    zel::CrLfReader reader;
    char out[32];
    std::size_t n = reader.translate(disk.data(), cut, out);
    n += reader.translate(disk.data() + cut, disk.size() - cut, out + n);
    n += reader.finish(out + n);
    EXPECT_EQ(std::string(out, n), "a\nb\rc\n\r") << cut;
  }
  char enc[16];
  EXPECT_EQ(std::string(enc, zel::crlf_encode("a\nb\n", enc)), "a\r\nb\r\n");
}

}  // namespace
