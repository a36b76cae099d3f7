#include "log/log.h"

#include <gtest/gtest.h>

#include <regex>

#include "testsupport.h"

namespace {

class LogTest : public ::testing::Test {
 protected:
  void TearDown() override { LOG_Close(); }
  std::string open(const std::string& suffix) {
    spec_ = (dir_ / "svc.log").string() + suffix;
    LOG_Open(1, 1, spec_.data());
    return (dir_ / "svc.log").string();
  }
  std::vector<std::string> lines() { return zt::log_messages(zt::read_file(dir_ / "svc.log")); }
  zt::TempDir dir_;
  std::string spec_;
};

TEST(LogLevelName, Grid) {
  struct Case {
    int level;
    const char* name;
  } cases[] = {{0, "PANIC"},  {4, "ERROR"},  {5, "ERROR"},    {10, "ERROR"},   {15, "ERROR"},
               {17, "ERROR"}, {20, "ERROR"}, {24, "WARNING"}, {37, "WARNING"}, {40, "WARNING"},
               {44, "INFO"},  {57, "INFO"},  {60, "INFO"},    {64, "DEBUG"},   {77, "DEBUG"},
               {80, "DEBUG"}, {1, ""},       {3, ""},         {6, ""},         {18, ""},
               {81, ""},      {-4, ""},      {300, ""},       {23, ""}};
  for (const auto& c : cases) {
    char out[8] = "garbage";
    EXPECT_STREQ(LOG_LevelName(c.level, out), c.name) << c.level;
  }
}

TEST_F(LogTest, WindowFromSpec) {
  struct Case {
    const char* suffix;
    std::vector<int> written;  // of the levels 0, 1, 2, 5, 64, 80, 81
  } cases[] = {
      {"", {0, 1}},
      {",1,300", {0, 1, 2, 5, 64, 80, 81}},
      {",64,80", {0, 64, 80}},
      {",5", {0, 1}},
      {",1,2,3", {0, 1, 2}},
      {",x,y", {0}},
      {",10,5", {0}},
  };
  for (const auto& c : cases) {
    const std::string file = open(c.suffix);
    for (int level : {0, 1, 2, 5, 64, 80, 81}) LOG_Print(level, "L%d", level);
    LOG_Close();
    std::vector<std::string> expected;
    for (int level : c.written) {
      char name[8];
      expected.push_back(std::string(LOG_LevelName(level, name)) + "\tL" + std::to_string(level));
    }
    EXPECT_EQ(lines(), expected) << c.suffix;
    std::filesystem::remove(file);
  }
}

TEST_F(LogTest, LineFormat) {
  const std::string file = open(",1,300");
  LOG_Print(64, "ZEL_TranGetField Entry");
  LOG_Print(1, "two tabs");
  LOG_Print(57, "");
  LOG_Print(57, "value=[%s] n=%d", "x%sy", 5);
  LOG_Close();
  const std::string raw = zt::read_file(file);
  // A text file: the platform's line end on disk.
  const std::regex line(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\t[A-Z]*\t[^\r\n]*)" +
                        std::string(zt::kLineEnd));
  std::string rest = raw;
  std::smatch m;
  int count = 0;
  while (std::regex_search(rest, m, line, std::regex_constants::match_continuous)) {
    rest = m.suffix();
    ++count;
  }
  EXPECT_EQ(count, 4);
  EXPECT_EQ(rest, "");
  EXPECT_EQ(lines(), (std::vector<std::string>{"DEBUG\tZEL_TranGetField Entry", "\ttwo tabs",
                                               "INFO\t", "INFO\tvalue=[x%sy] n=5"}));
}

TEST_F(LogTest, NothingBeforeOpenOrAfterClose) {
  LOG_Print(0, "dropped before open");
  const std::string file = open(",1,300");
  LOG_Print(17, "kept");
  LOG_Close();
  LOG_Print(0, "dropped after close");
  EXPECT_EQ(lines(), std::vector<std::string>{"ERROR\tkept"});
}

TEST_F(LogTest, SecondOpenRetargets) {
  std::string first = (dir_ / "a.log").string() + ",1,300";
  std::string second = (dir_ / "b.log").string() + ",17,17";
  LOG_Open(1, 1, first.data());
  LOG_Print(17, "to a");
  LOG_Open(1, 1, second.data());
  LOG_Print(17, "to b");
  LOG_Print(57, "filtered");
  LOG_Close();
  EXPECT_EQ(zt::log_messages(zt::read_file(dir_ / "a.log")),
            std::vector<std::string>{"ERROR\tto a"});
  EXPECT_EQ(zt::log_messages(zt::read_file(dir_ / "b.log")),
            std::vector<std::string>{"ERROR\tto b"});
}

TEST_F(LogTest, UnopenableFileFallsBackToStandardOutput) {
  std::string spec = (dir_ / "missing" / "x.log").string() + ",1,300";
  LOG_Open(1, 1, spec.data());
  testing::internal::CaptureStdout();
  LOG_Print(57, "on stdout");
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(zt::log_messages(out), std::vector<std::string>{"INFO\ton stdout"});
}

}  // namespace
