#include "client/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "client/config.h"
#include "fileutil/textfile.h"
#include "log/log.h"
#include "platform/platform.h"
#include "testsupport.h"

namespace {

using Lines = std::vector<std::string>;

const std::string kReadEntry = "DEBUG\tZELClient_ReadFileInput Entry";
const std::string kReadExit = "DEBUG\tZELClient_ReadFileInput Exit";
const std::string kWriteEntry = "DEBUG\tZELClient_WriteFileOutput Entry";
const std::string kWriteExit = "DEBUG\tZELClient_WriteFileOutput Exit";
const std::string kEaccesLine =
    "ERROR\tZELClient_WriteFileOutput errno=[13] error=[Given path is a directory, or file is "
    "read-only, but an open-for-writing operation was attempted]";

// A process that holds a file open (read-only) until it is killed.
class Holder {
 public:
  Holder(const zt::fs::path& file, const zt::fs::path& ready)
#ifdef _WIN32
      : child_({zt::bin("zel_win_helper"), "hold", "r", file.string(), "60000", ready.string()}) {
#else
      : child_(
            {"/bin/sh", "-c",
             "exec 3<'" + file.string() + "' && : > '" + ready.string() + "' && exec sleep 60"}) {
#endif
    held_ = zt::wait_until([&] { return zt::exists(ready); });
  }
  bool held() const {
    return held_;
  }

 private:
  zt::Child child_;
  bool held_ = false;
};

class TerminalFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::process_setup();
    open_log(",1,300");
    g_config.fixedLayout = 0;
  }
  void TearDown() override {
    LOG_Close();
    g_config.fixedLayout = 0;
  }
  void open_log(const std::string& window) {
    LOG_Close();
    std::filesystem::remove(log_);
    spec_ = log_.string() + window;
    LOG_Open(1, 1, spec_.data());
  }
  Lines take_lines() {
    LOG_Close();
    Lines lines = zt::log_messages(zt::read_file(log_));
    open_log(",1,300");
    return lines;
  }
  zt::TempDir dir_;
  zt::fs::path log_ = dir_ / "t.log";
  std::string spec_;
};

TEST_F(TerminalFiles, ReadTranslatesAndReadsWhole) {
  const std::string s600(600, 'a');
  const std::string s1024(1024, 'b');
  // 1100 bytes on disk, of which 76 CR LF pairs: 1024 characters in memory.
  std::string pairs;
  for (int i = 0; i < 76; ++i) pairs += "\r\n";
  const std::string tail(1100 - 152, 'e');
  struct Case {
    std::string disk;
    std::string memory;
  } cases[] = {
      {"|G01=1|\r\n|G99=2|\r\n", "|G01=1|\n|G99=2|\n"},
      {s600, s600},
      {s1024, s1024},
      // A CR LF split between the first and second 511-byte chunks.
      {std::string(510, 'c') + "\r\nd", std::string(510, 'c') + "\nd"},
      {"a\rb\r", "a\rb\r"},              // lone CRs stay
      {"a\r\r\nb", "a\r\nb"},            // only the pair is translated
      {std::string("ab\0cd", 5), "ab"},  // a zero byte ends the text
      {pairs + tail, std::string(76, '\n') + tail},
  };
  for (const auto& c : cases) {
    zt::write_file(dir_ / "cin.txt", c.disk);
    g_request.assign("previous");
    ASSERT_EQ(ZELClient_ReadFileInput((dir_ / "cin.txt").string().c_str()), 0) << c.disk.size();
    EXPECT_EQ(g_request.view(), c.memory) << c.disk.size();
  }
  EXPECT_EQ(take_lines().back(), kReadExit);
}

TEST_F(TerminalFiles, ReadRefusesMissingHeldAndOverlongFiles) {
  const auto path = dir_ / "cin.txt";
  g_request.assign("previous");
  take_lines();
  EXPECT_EQ(ZELClient_ReadFileInput(path.string().c_str()), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(take_lines(), (Lines{kReadEntry, kReadExit}));  // a failed open is not logged here

  zt::write_file(path, "|G01=1|G99=000020|");
  {
    Holder terminal(path, dir_ / "ready");
    ASSERT_TRUE(terminal.held());
    EXPECT_EQ(ZELClient_ReadFileInput(path.string().c_str()), -1);
    EXPECT_EQ(errno, EACCES);  // held: the loop tries it again soon
    EXPECT_STREQ(g_request.c_str(), "previous");
    EXPECT_EQ(zt::read_file(path), "|G01=1|G99=000020|");  // left untouched
  }
  EXPECT_EQ(ZELClient_ReadFileInput(path.string().c_str()), 0);  // once released, it reads
  EXPECT_STREQ(g_request.c_str(), "|G01=1|G99=000020|");

  // Over 1024 characters: refused whole, never cut, and the file stays.
  g_request.assign("previous");
  zt::write_file(path, std::string(1025, 'x'));
  take_lines();
  EXPECT_EQ(ZELClient_ReadFileInput(path.string().c_str()), -1);
  EXPECT_EQ(errno, EFBIG);  // not held: nothing to try again before it changes
  EXPECT_STREQ(g_request.c_str(), "previous");
  EXPECT_EQ(take_lines(), (Lines{kReadEntry,
                                 "ERROR\tZELClient_ReadFileInput archivo [" + path.string() +
                                     "] mayor a 1024 caracteres, no se lee",
                                 kReadExit}));
  EXPECT_EQ(zt::read_file(path).size(), 1025u);

  // A directory is not a request.
  EXPECT_EQ(ZELClient_ReadFileInput(dir_.str().c_str()), -1);
}

TEST_F(TerminalFiles, NewEmptyFileCountsAsHeldForASecond) {
#ifdef _WIN32
  GTEST_SKIP() << "a Windows sharing mode holds a new file from its creation on";
#endif
  // A terminal's new file exists a moment before the terminal holds it open.
  const auto path = dir_ / "cin.txt";
  zt::write_file(path, "");
  g_request.assign("previous");
  EXPECT_EQ(ZELClient_ReadFileInput(path.string().c_str()), -1);
  EXPECT_EQ(errno, EACCES);
  EXPECT_STREQ(g_request.c_str(), "previous");
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(ZELClient_ReadFileInput(path.string().c_str()), 0);  // left empty: taken as it is
  EXPECT_STREQ(g_request.c_str(), "");
}

TEST_F(TerminalFiles, WriteFailuresGiveTheExactLines) {
  const auto missing = dir_ / "nodir" / "cout.txt";
  take_lines();
  EXPECT_EQ(ZELClient_WriteFileOutput(missing.string().c_str(), "|F01=1|"), -1);
  EXPECT_EQ(
      take_lines(),
      (Lines{kWriteEntry,
             "\tZELClient_WriteFileOutput abriendo archivo [" + missing.string() + "] de output",
             "ERROR\tZELClient_WriteFileOutput errno=[2] error=[File or path not found.]",
             kWriteExit}));

  // A path that is a directory.
  EXPECT_EQ(ZELClient_WriteFileOutput(dir_.str().c_str(), "|F01=1|"), -1);
  EXPECT_TRUE(zt::contains_in_order(take_lines(), {kEaccesLine}));

  // With the bare -l window (1..1) only the level-1 line is written.
  open_log("");
  EXPECT_EQ(ZELClient_WriteFileOutput(missing.string().c_str(), "|F01=1|"), -1);
  EXPECT_EQ(take_lines(), (Lines{"\tZELClient_WriteFileOutput abriendo archivo [" +
                                 missing.string() + "] de output"}));
}

TEST_F(TerminalFiles, WriteRefusedWhileATerminalHoldsTheAnswer) {
  const auto path = dir_ / "cout.txt";
  zt::write_file(path, "|F01=old|\r\n");
  Holder terminal(path, dir_ / "ready");
  ASSERT_TRUE(terminal.held());
  g_request.assign("request");
  take_lines();
  EXPECT_EQ(ZELClient_WriteFileOutput(path.string().c_str(), "|F01=new|"), -1);
  EXPECT_EQ(take_lines(),
            (Lines{kWriteEntry,
                   "\tZELClient_WriteFileOutput abriendo archivo [" + path.string() + "] de output",
                   kEaccesLine, kWriteExit}));
  EXPECT_EQ(zt::read_file(path), "|F01=old|\r\n");  // neither emptied nor rewritten
  EXPECT_STREQ(g_request.c_str(), "request");
}

TEST_F(TerminalFiles, WriteEmptiesAndRewrites) {
  const auto path = dir_ / "cout.txt";
  zt::write_file(path, std::string(300, 'L'));
  g_request.assign("the request");
  ASSERT_EQ(ZELClient_WriteFileOutput(path.string().c_str(), "|F01=1|\n|F99=2|"), 0);
  EXPECT_EQ(zt::read_file(path), "|F01=1|\r\n|F99=2|");
  EXPECT_STREQ(g_request.c_str(), "|F01=1|\n|F99=2|");
  EXPECT_EQ(take_lines(), (Lines{kWriteEntry, kWriteExit}));

  // An empty file, left as it is until the answer goes in.
  zt::write_file(path, "");
  ASSERT_EQ(ZELClient_WriteFileOutput(path.string().c_str(), "|F01=3|"), 0);
  EXPECT_EQ(zt::read_file(path), "|F01=3|");

  // The answer may be the request buffer itself.
  g_request.assign("|F01=self|");
  ASSERT_EQ(ZELClient_WriteFileOutput(path.string().c_str(), g_request.c_str()), 0);
  EXPECT_EQ(zt::read_file(path), "|F01=self|");
}

TEST_F(TerminalFiles, NewAnswerFileFollowsTheUmask) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows files have no permission bits for a umask to take away";
#else
  // A new file is readable and writable by everyone the umask allows.
  const auto path = dir_ / "cout.txt";
  const mode_t mask = umask(022);
  umask(mask);
  ASSERT_EQ(ZELClient_WriteFileOutput(path.string().c_str(), "|F01=1|"), 0);
  struct stat st {};
  ASSERT_EQ(stat(path.string().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u & ~mask);
#endif
}

TEST_F(TerminalFiles, FixedLayoutAndLimits) {
  const auto path = dir_ / "cout.txt";
  g_config.fixedLayout = 1;
  ASSERT_EQ(ZELClient_WriteFileOutput(path.string().c_str(), "|F01=7|F99=000021|"), 0);
  const std::string disk = zt::read_file(path);
  EXPECT_EQ(disk.rfind("|F01=0000000007|F04=", 0), 0u);
  EXPECT_EQ(disk.substr(disk.size() - 14), "|F99=000021|\r\n");
  EXPECT_EQ(g_request.size(), 252u);  // the laid-out text, with its bare line feed
  EXPECT_EQ(g_request.view().back(), '\n');

  // An answer that the layout would take past 1024 characters: refused, nothing written.
  const std::string big = "|F10=" + std::string(800, 'x') + "|";
  take_lines();
  EXPECT_EQ(ZELClient_WriteFileOutput(path.string().c_str(), big.c_str()), -1);
  EXPECT_EQ(zt::read_file(path), "");
  EXPECT_TRUE(zt::contains_in_order(
      take_lines(), {"ERROR\tZELClient_WriteFileOutput respuesta mayor a 1024 caracteres, no se "
                     "escribe en [" +
                         path.string() + "]",
                     kWriteExit}));

  // Without the layout: 1024 characters are written, 1025 refused.
  g_config.fixedLayout = 0;
  EXPECT_EQ(ZELClient_WriteFileOutput(path.string().c_str(), std::string(1024, 'y').c_str()), 0);
  EXPECT_EQ(zt::read_file(path).size(), 1024u);
  g_request.assign("kept");
  EXPECT_EQ(ZELClient_WriteFileOutput(path.string().c_str(), std::string(1025, 'y').c_str()), -1);
  EXPECT_EQ(zt::read_file(path), "");
  EXPECT_STREQ(g_request.c_str(), "kept");
}

// While the service holds a file, another process cannot open it.
TEST_F(TerminalFiles, ExclusiveWhileHeld) {
  const auto path = dir_ / "cin.txt";
  zt::write_file(path, "x");
  for (int writing = 0; writing < 2; ++writing) {
    const int fd = writing ? plat::file_open_exclusive_write(path.string().c_str())
                           : plat::file_open_exclusive_read(path.string().c_str());
    ASSERT_GE(fd, 0);
#ifdef _WIN32
    // A sharing mode refuses every other open, of this process as of another.
    errno = 0;
    const int other = _open(path.string().c_str(), _O_RDONLY);
    EXPECT_TRUE(other < 0 && errno == EACCES) << writing;
    if (other >= 0) _close(other);
#else
    const pid_t pid = fork();
    if (pid == 0) {
      const int other = open(path.string().c_str(), O_RDONLY | O_NONBLOCK);
      _exit(other < 0 && errno == EWOULDBLOCK ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << writing;
#endif
    EXPECT_EQ(plat::file_close(fd), 0);
  }
  // Released: an ordinary open works again, and a second exclusive open too.
  const int fd = plat::file_open_exclusive_write(path.string().c_str());
  EXPECT_GE(fd, 0);
  plat::file_close(fd);
}

// Where no lease can be taken (here: a process that neither owns the file nor
// has CAP_LEASE), an exclusive flock still keeps cooperating terminals out;
// a terminal that takes no lock is not seen.
TEST_F(TerminalFiles, FallsBackToFlockWithoutALease) {
#ifdef _WIN32
  GTEST_SKIP() << "leases and flock are the Linux layer's; Windows opens with sharing modes";
#else
  if (geteuid() != 0) GTEST_SKIP() << "needs to act as another user";
  const auto path = dir_ / "cin.txt";
  zt::write_file(path, "held");
  chmod(path.string().c_str(), 0666);
  // 0 opened, 1 refused with EACCES, anything else a failure of the test itself.
  const auto open_as_other_user = [&](bool writing) {
    const pid_t pid = fork();
    if (pid == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
      const int fd = writing ? plat::file_open_exclusive_write(path.string().c_str())
                             : plat::file_open_exclusive_read(path.string().c_str());
      if (fd >= 0) _exit(plat::file_close(fd) == 0 ? 0 : 4);
      _exit(errno == EACCES ? 1 : 3);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  EXPECT_EQ(open_as_other_user(false), 0);
  {
    const auto ready = dir_ / "locked";
    zt::Child locker({"/bin/sh", "-c",
                      "exec 3<'" + path.string() + "' && flock -x 3 && : > '" + ready.string() +
                          "' && exec sleep 60"});
    ASSERT_TRUE(zt::wait_until([&] { return zt::exists(ready); }));
    EXPECT_EQ(open_as_other_user(false), 1);
    EXPECT_EQ(open_as_other_user(true), 1);
    EXPECT_EQ(zt::read_file(path), "held");  // not emptied
  }
  Holder unlocked(path, dir_ / "ready");
  ASSERT_TRUE(unlocked.held());
  EXPECT_EQ(open_as_other_user(false), 0);
#endif
}

TEST(TextFormat, ReaderJoinsPairsAcrossChunks) {
  struct Case {
    std::vector<std::string> chunks;
    std::string expected;
  } cases[] = {
      {{"a\r\nb"}, "a\nb"},   {{"a\r", "\nb"}, "a\nb"},
      {{"a\r", "b"}, "a\rb"}, {{"a\r", "\r", "\n"}, "a\r\n"},
      {{"a\r"}, "a\r"},       {{"\r", "", "\n"}, "\n"},
      {{"\n\n"}, "\n\n"},
  };
  for (const auto& c : cases) {
    zel::CrLfReader reader;
    std::string out;
    char buf[16];
    for (const auto& chunk : c.chunks) {
      out.append(buf, reader.translate(chunk.data(), chunk.size(), buf));
    }
    out.append(buf, reader.finish(buf));
    EXPECT_EQ(out, c.expected);
  }
  char buf[16];
  EXPECT_EQ(std::string(buf, zel::crlf_encode("a\nb\r\n", buf)), "a\r\nb\r\r\n");
}

TEST(TextFormat, SmallFiles) {
  zt::TempDir dir;
  const auto path = (dir / "anio.txt").string();
  ASSERT_EQ(FILE_ReplaceText(path.c_str(), "2031\n"), 0);
  EXPECT_EQ(zt::read_file(path), "2031\r\n");
  ASSERT_EQ(FILE_AppendText(path.c_str(), "x\n"), 0);
  EXPECT_EQ(zt::read_file(path), "2031\r\nx\r\n");
  zel::Text<14> line;
  EXPECT_TRUE(FILE_ReadFirstLine(path.c_str(), line));
  EXPECT_STREQ(line.c_str(), "2031");
  zt::write_file(path, std::string(20, '7') + "\r\n");
  EXPECT_TRUE(FILE_ReadFirstLine(path.c_str(), line));
  EXPECT_EQ(line.view(), std::string(14, '7'));
  EXPECT_FALSE(FILE_ReadFirstLine((dir / "none").string().c_str(), line));
  EXPECT_STREQ(line.c_str(), "");
  // The replace leaves no temporary file behind.
  int files = 0;
  for (const auto& entry : zt::fs::directory_iterator(dir.path())) files += entry.exists();
  EXPECT_EQ(files, 1);
}

}  // namespace
