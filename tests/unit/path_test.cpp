#include "fileutil/path.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

namespace {

// Writes the expected path with '\' standing for the platform's separator.
std::string sep(std::string s) {
  for (auto& c : s) {
    if (c == '\\') c = plat::kPathSeparator;
  }
  return s;
}

TEST(MakePath, JoiningRules) {
  struct Case {
    const char* start;
    std::initializer_list<const char*> pieces;
    const char* expected;
  } cases[] = {
      {"", {"C:\\data", "x.txt"}, "C:\\data\\x.txt"},
      {"", {"C:\\data\\", "x.txt"}, "C:\\data\\x.txt"},
      {"", {"x.txt"}, "x.txt"},
      {"pre", {"fix"}, "prefix"},
      {"", {"a", "", "b"}, "a\\b"},
      {"", {"", "x.txt"}, "\\x.txt"},
      {"keep", {nullptr, "x.txt"}, "keep"},
      {"", {"a", "\\b"}, "a\\\\b"},
      {"", {"a", "b", nullptr, "c"}, "a\\b"},
  };
  for (const auto& c : cases) {
    zel::Text<256> dest(sep(c.start));
    std::vector<std::string> own;
    for (const char* p : c.pieces) own.push_back(p == nullptr ? "" : sep(p));
    std::vector<const char*> pieces;
    std::size_t k = 0;
    for (const char* p : c.pieces) {
      pieces.push_back(p == nullptr ? nullptr : own[k].c_str());
      ++k;
    }
    const bool ok = FILE_MakePath(dest, pieces.data(), pieces.size());
    EXPECT_TRUE(ok);
    EXPECT_EQ(dest.view(), sep(c.expected)) << c.expected;
  }
}

TEST(MakePath, RefusesWhatDoesNotFit) {
  zel::Text<10> dest("ab");
  EXPECT_FALSE(FILE_MakePath(dest, {"root", "file.txt"}));
  EXPECT_STREQ(dest.c_str(), "ab");
  EXPECT_TRUE(FILE_MakePath(dest, {"root", "f.t"}));
  EXPECT_EQ(dest.view(), sep("abroot\\f.t"));
}

}  // namespace
