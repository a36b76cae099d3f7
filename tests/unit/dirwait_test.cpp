// Directory change waiting on real directories: time-outs, changes in the tree,
// the change filter, changes while the caller is busy, and failures.
#include "fileutil/dirwait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>

#include "log/log.h"
#include "testsupport.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

constexpr std::uint32_t kLong = 10000;  // a wait that a change ends early
constexpr std::uint32_t kQuiet = 150;   // a wait that must time out

const char kFirstOk[] = "ERROR\tFILE_DirWaitFirst WaitForSingleObject OK";
const char kNextOk[] = "ERROR\tFILE_DirWaitNext WaitForSingleObject OK";

std::string entry(int timeout) {
  return "DEBUG\tFILE_DirWaitfirst Entry TimeOut=[" + std::to_string(timeout) + "]";
}
std::string exit_line(int result) {
  return "DEBUG\tFILE_DirWaitFirst Exit RetVal=[" + std::to_string(result) + "]";
}

// Repeats an action every 20 ms on its own thread until destroyed.
class Repeat {
 public:
  explicit Repeat(std::function<void()> action)
      : thread_([this, action] {
          while (!stop_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            action();
          }
        }) {}
  ~Repeat() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class DirWait : public ::testing::Test {
 protected:
  void SetUp() override { open_log(1, 300); }
  void TearDown() override {
    FILE_DirWaitEnd();
    LOG_Close();
  }
  // The log lives outside the watched tree, so that its lines are no changes.
  void open_log(int min, int max) {
    LOG_Close();
    spec_ = (logdir_ / ("w" + std::to_string(++logs_) + ".log")).string() + "," +
            std::to_string(min) + "," + std::to_string(max);
    LOG_Open(1, 1, spec_.data());
    taken_ = 0;
  }
  // Lines written since the last call.
  Lines take() {
    const Lines all =
        zt::log_messages(zt::read_file(logdir_ / ("w" + std::to_string(logs_) + ".log")));
    Lines fresh(all.begin() + static_cast<long>(taken_), all.end());
    taken_ = all.size();
    return fresh;
  }
  std::string root() const { return root_.str(); }
  void touch(const std::string& name, const std::string& content = "x") {
    zt::write_file(root_ / name, content);
  }

  zt::TempDir root_;
  zt::TempDir logdir_;
  std::string spec_;
  int logs_ = 0;
  std::size_t taken_ = 0;
};

TEST_F(DirWait, TimeOutReturnsZeroWithoutOkLine) {
  EXPECT_EQ(FILE_DirWaitFirst(root().c_str(), 50, kChangeFileName | kChangeLastWrite), 0);
  EXPECT_EQ(take(), (Lines{entry(50), exit_line(0)}));
  EXPECT_EQ(FILE_DirWaitNext(50), 0);
  EXPECT_EQ(take(), Lines{});
}

TEST_F(DirWait, ChangeReturnsZeroWithOkLineWhenWindowHoldsErrorLevel) {
  struct Case {
    int min, max;
    Lines lines;
  } cases[] = {
      {1, 300, {entry(kLong), kFirstOk, exit_line(0)}},
      {6, 300, {entry(kLong), exit_line(0)}},
      {1, 5, {kFirstOk}},
  };
  for (const auto& c : cases) {
    open_log(c.min, c.max);
    {
      Repeat writer([&] { touch("cajain.txt"); });
      EXPECT_EQ(FILE_DirWaitFirst(root().c_str(), kLong, kChangeLastWrite), 0);
    }
    EXPECT_EQ(take(), c.lines) << c.min << ".." << c.max;
    FILE_DirWaitEnd();
  }
}

TEST_F(DirWait, ChangeWhileBusyEndsNextWaitAndIsReportedOnce) {
  EXPECT_EQ(FILE_DirWaitFirst(root().c_str(), 50, kChangeFileName | kChangeLastWrite), 0);
  take();
  for (int round = 0; round < 2; ++round) {
    // Changes made between two waits, while the caller handles requests.
    touch("cajain.txt", "round " + std::to_string(round));
    if (round == 1) touch("caja2in.txt");
    EXPECT_EQ(FILE_DirWaitNext(kLong), 0);
    EXPECT_EQ(take(), Lines{kNextOk}) << round;
    EXPECT_EQ(FILE_DirWaitNext(kQuiet), 0);
    EXPECT_EQ(take(), Lines{}) << round;
  }
}

TEST_F(DirWait, ChangesInNewSubdirectoriesEndTheWait) {
  ASSERT_EQ(FILE_DirWaitFirst(root().c_str(), 50, kChangeLastWrite), 0);
  take();

  fs::create_directory(root_ / "new");  // an empty new directory is no write...
  EXPECT_EQ(FILE_DirWaitNext(kQuiet), 0);
  EXPECT_EQ(take(), Lines{});
  touch("new/y.txt");  // ...but a write in it is
  EXPECT_EQ(FILE_DirWaitNext(kLong), 0);
  EXPECT_EQ(take(), Lines{kNextOk});

  // A tree made and filled between two waits, faster than its watches can follow.
  fs::create_directories(root_ / "n1" / "n2");
  touch("n1/n2/z.txt");
  EXPECT_EQ(FILE_DirWaitNext(kLong), 0);
  EXPECT_EQ(take(), Lines{kNextOk});
  touch("n1/n2/z.txt", "again");
  EXPECT_EQ(FILE_DirWaitNext(kLong), 0);
  EXPECT_EQ(take(), Lines{kNextOk});
}

TEST_F(DirWait, ChangesInExistingAndMovedSubdirectoriesEndTheWait) {
  if (zt::under_wine()) {
    GTEST_SKIP() << "Wine watches only the subdirectories created after the notification, "
                    "not those that existed or were moved in";
  }
  fs::create_directories(root_ / "a" / "b");
  zt::TempDir outside;
  fs::create_directories(outside / "c" / "d");
  zt::write_file(outside / "c" / "d" / "f.txt", "x");
  ASSERT_EQ(FILE_DirWaitFirst(root().c_str(), 50, kChangeLastWrite), 0);
  take();

  touch("a/b/x.txt");
  EXPECT_EQ(FILE_DirWaitNext(kLong), 0);
  EXPECT_EQ(take(), Lines{kNextOk});

  // Directories moved within the tree and into it keep being watched.
  fs::rename(root_ / "a", root_ / "moved");
  fs::rename(outside / "c", root_ / "c");
  FILE_DirWaitNext(kQuiet);
  take();
  for (const char* file : {"moved/b/x2.txt", "c/d/f2.txt"}) {
    touch(file);
    EXPECT_EQ(FILE_DirWaitNext(kLong), 0);
    EXPECT_EQ(take(), Lines{kNextOk}) << file;
  }
}

TEST_F(DirWait, FilterDecidesWhichChangesEndTheWait) {
  using Act = std::function<void(const fs::path&)>;
  const Act write = [](const fs::path& r) { zt::write_file(r / "a.txt", "new"); };
  const Act create_empty = [](const fs::path& r) { zt::write_file(r / "b.txt", ""); };
  const Act rename = [](const fs::path& r) { fs::rename(r / "a.txt", r / "c.txt"); };
  const Act remove = [](const fs::path& r) { fs::remove(r / "a.txt"); };
  const Act chmod = [](const fs::path& r) {
    fs::permissions(r / "a.txt", fs::perms::owner_read, fs::perm_options::replace);
  };
  const Act mkdir = [](const fs::path& r) { fs::create_directory(r / "d"); };
  struct Case {
    std::uint32_t filter;
    const char* what;
    Act act;
    bool wakes;
  } cases[] = {
      // Last-write: writes, and the close of a file opened for writing.
      {0x10, "write", write, true},
      {0x10, "create empty", create_empty, true},
      {0x10, "rename", rename, false},
      {0x10, "delete", remove, false},
      {0x10, "chmod", chmod, false},
      {0x10, "mkdir", mkdir, false},
      // File names: create, rename, delete of files, not directories.
      {0x01, "write", write, false},
      {0x01, "create empty", create_empty, true},
      {0x01, "rename", rename, true},
      {0x01, "delete", remove, true},
      {0x01, "chmod", chmod, false},
      {0x01, "mkdir", mkdir, false},
      {0x02, "mkdir", mkdir, true},
      {0x04, "chmod", chmod, true},
      {0x04, "write", write, false},
      {0x15, "chmod", chmod, true},
      {0x15, "rename", rename, true},
  };
  for (const auto& c : cases) {
    zt::TempDir dir;
    zt::write_file(dir / "a.txt", "old");
    ASSERT_EQ(FILE_DirWaitFirst(dir.str().c_str(), 50, c.filter), 0);
    take();
    c.act(dir.path());
    EXPECT_EQ(FILE_DirWaitNext(c.wakes ? kLong : kQuiet), 0);
    EXPECT_EQ(take(), c.wakes ? Lines{kNextOk} : Lines{}) << c.filter << " " << c.what;
    FILE_DirWaitEnd();
    std::error_code ec;
    fs::permissions(dir / "a.txt", fs::perms::owner_all, fs::perm_options::add, ec);
  }
}

TEST_F(DirWait, RootThatCannotBeWatchedFailsAndLaterWaitsFailAtOnce) {
  touch("file.txt");
  struct Case {
    std::string path;
    int posix_code, windows_code;
  } cases[] = {
      {(root_ / "missing").string(), ENOENT, 2},      // ERROR_FILE_NOT_FOUND
      {(root_ / "file.txt").string(), ENOTDIR, 267},  // ERROR_DIRECTORY
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FILE_DirWaitFirst(c.path.c_str(), kLong, kChangeLastWrite), -1);
    // The system's text goes into the line whole, its line end included, which
    // the log writes as data (\xNN) so that the line stays one line.
    std::string text;
    for (const char ch : zt::system_error_text(zt::kWindows ? c.windows_code : c.posix_code)) {
      const auto b = static_cast<unsigned char>(ch);
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", b);
      text += b < 0x20 || b == 0x7F ? std::string(hex) : std::string(1, ch);
    }
    const std::string expected =
        "T\t" + entry(kLong) + "\nT\tERROR\tFILE_DirWaitFirst FindFirstChangeNotification Error [" +
        text + "]\nT\t" + exit_line(-1) + "\n";
    EXPECT_EQ(take(), zt::log_messages(expected)) << c.path;
    // No notification: the next waits fail without waiting and without a line.
    EXPECT_EQ(FILE_DirWaitNext(kLong), -1);
    EXPECT_EQ(FILE_DirWaitNext(kLong), -1);
    EXPECT_EQ(take(), Lines{});
    EXPECT_FALSE(FILE_DirWaitEnd());
  }
}

TEST_F(DirWait, EndClosesTheNotification) {
  EXPECT_FALSE(FILE_DirWaitEnd());
  ASSERT_EQ(FILE_DirWaitFirst(root().c_str(), 50, kChangeLastWrite), 0);
  EXPECT_TRUE(FILE_DirWaitEnd());
  EXPECT_EQ(FILE_DirWaitNext(kLong), -1);
  EXPECT_FALSE(FILE_DirWaitEnd());
}

TEST_F(DirWait, SecondFirstReplacesTheNotification) {
  zt::TempDir other;
  ASSERT_EQ(FILE_DirWaitFirst(root().c_str(), 50, kChangeLastWrite), 0);
  ASSERT_EQ(FILE_DirWaitFirst(other.str().c_str(), 50, kChangeLastWrite), 0);
  take();
  touch("x.txt");
  EXPECT_EQ(FILE_DirWaitNext(kQuiet), 0);
  EXPECT_EQ(take(), Lines{});
  zt::write_file(other / "x.txt", "x");
  EXPECT_EQ(FILE_DirWaitNext(kLong), 0);
  EXPECT_EQ(take(), Lines{kNextOk});
}

TEST_F(DirWait, RemovedRootIsWatchedAgainOnceItIsBack) {
  if (zt::kWindows) {
    GTEST_SKIP() << "re-watching a root that was removed and made again is the Linux "
                    "layer's own; on Windows the notification holds the root open";
  }
  const fs::path watched = root_ / "r";
  fs::create_directory(watched);
  ASSERT_EQ(FILE_DirWaitFirst(watched.string().c_str(), 50, kChangeLastWrite), 0);
  take();
  fs::remove(watched);
  EXPECT_EQ(FILE_DirWaitNext(kLong), 0);  // losing the root is a change
  EXPECT_EQ(take(), Lines{kNextOk});
  EXPECT_EQ(FILE_DirWaitNext(kLong), -1);  // nothing to watch: the caller sleeps instead
  fs::create_directory(watched);
  EXPECT_EQ(FILE_DirWaitNext(kQuiet), 0);
  zt::write_file(watched / "x.txt", "x");
  EXPECT_EQ(FILE_DirWaitNext(kLong), 0);
  EXPECT_EQ(take(), Lines{kNextOk});
}

// A tree larger than the Linux layer watches: the directory left out is named
// once, at WARNING, and the wait goes on for the rest of the tree.
TEST_F(DirWait, TreeBeyondTheWatchLimitIsReportedOnce) {
  if (zt::kWindows) GTEST_SKIP() << "Windows watches the whole tree itself";
  for (int i = 0; i < 520; ++i) fs::create_directory(root_ / ("d" + std::to_string(i)));
  ASSERT_EQ(FILE_DirWaitFirst(root().c_str(), 0, kChangeLastWrite), 0);
  EXPECT_EQ(FILE_DirWaitNext(0), 0);
  int warnings = 0;
  for (const auto& l : take()) {
    warnings += l.rfind(
                    "WARNING\tFILE_DirWait limite de directorios vigilados alcanzado, no "
                    "se vigila [" +
                        root() + "/d",
                    0) == 0;
  }
  EXPECT_EQ(warnings, 1);
  touch("x.txt");
  EXPECT_EQ(FILE_DirWaitNext(kLong), 0);
  EXPECT_EQ(take(), Lines{kNextOk});
}

}  // namespace
