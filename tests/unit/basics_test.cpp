// The small building blocks every file and message goes through: fixed-capacity
// texts, the Windows text format, the log window, and a failed read.
#include <gtest/gtest.h>

#include "faultyfiles.h"
#include "fileutil/textfile.h"
#include "log/log.h"
#include "platform/platform.h"
#include "testsupport.h"

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
  EXPECT_TRUE(t.format("%s", ""));
  EXPECT_STREQ(t.c_str(), "");
  EXPECT_EQ(buf[5], '!');
}

// CR LF on disk, LF in memory, also when a pair is split between reads.
TEST(TextFormat, CrLfBothWaysAcrossChunks) {
  const std::string disk = "a\r\nb\rc\r\n\r";
  for (std::size_t cut = 0; cut <= disk.size(); ++cut) {
    for (std::size_t cut2 = cut; cut2 <= disk.size(); ++cut2) {
      zel::CrLfReader reader;
      char out[32];
      std::size_t n = reader.translate(disk.data(), cut, out);
      n += reader.translate(disk.data() + cut, cut2 - cut, out + n);
      n += reader.translate(disk.data() + cut2, disk.size() - cut2, out + n);
      n += reader.finish(out + n);
      EXPECT_EQ(std::string(out, n), "a\nb\rc\n\r") << cut << " " << cut2;
    }
  }
  char enc[16];
  EXPECT_EQ(std::string(enc, zel::crlf_encode("a\nb\n", enc)), "a\r\nb\r\n");
}

// The log's setting names its file and its window of levels.
TEST(Log, WindowFromTheSetting) {
  zt::TempDir dir;
  std::string setting = (dir / "w.log").string() + ",24,44";
  const long descriptors = zt::open_descriptors();
  LOG_Open(1, 1, setting.data());
  LOG_Print(4, "%s", "error");
  LOG_Print(24, "%s", "warning");
  LOG_Print(64, "%s", "debug");
  const std::string longLine(3000, 'w');  // written in several pieces, none lost
  LOG_Print(24, "%s", longLine.c_str());
  LOG_Close();
  EXPECT_EQ(zt::open_descriptors(), descriptors);  // the file closed with the log
  EXPECT_EQ(zt::log_messages(zt::read_file(dir / "w.log")),
            (std::vector<std::string>{"WARNING\twarning", "WARNING\t" + longLine}));
}

// A read that fails (here: of a directory) is an outcome, never a read tried forever.
// A file that cannot be replaced by a new one (its folder takes no new entry) is
// rewritten where it stands, cut to its new length.
TEST(TextFile, FailedReadAndRewriteInPlace) {
  zt::TempDir dir;
  char buf[8];
  bool whole = false;
  EXPECT_LE(FILE_ReadRaw(plat::system_files(), dir.str().c_str(), buf, sizeof buf, &whole), 0);
  const std::string path = (dir / "n.txt").string();
  zt::write_file(path, "12345\r\n");
  zt::g_faults = zt::Faults{};
  zt::g_faults.path = "n.txt.tmp";
  zt::g_faults.status = plat::Status::Denied;
  EXPECT_EQ(FILE_ReplaceText(zt::faulty_files(), path.c_str(), "7\n"), plat::Status::Ok);
  zt::g_faults = zt::Faults{};
  EXPECT_EQ(zt::read_file(path), "7\r\n");
  zt::g_faults.writesLeft = 0;  // the new file's write fails: the old one is rewritten
  EXPECT_EQ(FILE_ReplaceText(zt::faulty_files(), path.c_str(), "8\n"), plat::Status::Ok);
  zt::g_faults = zt::Faults{};
  EXPECT_EQ(zt::read_file(path), "8\r\n");
  EXPECT_FALSE(zt::exists(path + ".tmp"));
  for (const auto replace : {FILE_ReplaceText, FILE_ReplaceTextQuick}) {  // at most 1024
    EXPECT_EQ(replace(plat::system_files(), path.c_str(), std::string(1025, 'x')),
              plat::Status::Invalid);
    EXPECT_EQ(replace(plat::system_files(), path.c_str(), std::string(1024, 'x')),
              plat::Status::Ok);
  }
}

}  // namespace
