// Directory change waiting on real directories: a change, a time-out and a
// failure are told apart; changes deep in the tree count; the filter decides.
#include "fileutil/dirwait.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "log/log.h"
#include "testsupport.h"

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kLong = 10000;  // a wait that a change ends early
constexpr std::uint32_t kQuiet = 150;   // a wait that must time out

class DirWaitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_ = (logdir_ / "w.log").string() + ",1,300";  // outside the watched tree
    LOG_Open(1, 1, log_.data());
  }
  void TearDown() override {
    FILE_DirWaitEnd();
    LOG_Close();
  }
  DirWait first(std::uint32_t filter = kChangeLastWrite) {
    return FILE_DirWaitFirst(root_.str().c_str(), 0, filter);
  }
  // Waits until nothing is left to report.
  static void settle() {
    for (int i = 0; i < 20 && FILE_DirWaitNext(kQuiet) != DirWait::TimedOut; ++i) {
    }
  }
  zt::TempDir root_, logdir_;
  std::string log_;
};

TEST_F(DirWaitTest, ChangeTimeOutAndFailureAreToldApart) {
  EXPECT_EQ(first(), DirWait::TimedOut);
  EXPECT_TRUE(FILE_DirWaitFollows());
  EXPECT_EQ(FILE_DirWaitNext(kQuiet), DirWait::TimedOut);
  zt::write_file(root_ / "a.txt", "x");
  EXPECT_EQ(FILE_DirWaitNext(kLong), DirWait::Changed);
  // A change made while nobody waits ends the next wait at once.
  zt::write_file(root_ / "b.txt", "x");
  EXPECT_EQ(FILE_DirWaitNext(kLong), DirWait::Changed);
  EXPECT_EQ(FILE_DirWaitFirst((root_ / "missing").string().c_str(), 0, kChangeLastWrite),
            DirWait::Failed);
  EXPECT_EQ(FILE_DirWaitNext(kQuiet), DirWait::Failed);  // nothing to wait on: fails at once
  const auto lines = zt::log_messages(zt::read_file(logdir_ / "w.log"));
  EXPECT_EQ(
      std::count(lines.begin(), lines.end(), "INFO\tFILE_DirWaitNext WaitForSingleObject OK"), 2);
  // The failure to watch names the system's reason.
  EXPECT_EQ(zt::count_with(lines, "ERROR\tFILE_DirWaitFirst FindFirstChangeNotification Error ["),
            1);
  EXPECT_EQ(zt::count_with(lines, "Error []"), 0);
}

TEST_F(DirWaitTest, SubdirectoriesAndTheFilter) {
  ASSERT_EQ(first(), DirWait::TimedOut);
  fs::create_directories(root_ / "d1" / "d2" / "d3");
  settle();  // the new directories' watches are set up
  zt::write_file(root_ / "d1" / "d2" / "d3" / "x.txt", "x");
  EXPECT_EQ(FILE_DirWaitNext(kLong), DirWait::Changed);
  // A removed directory takes its own watches away, not the others'.
  fs::remove_all(root_ / "d1" / "d2");
  settle();
  zt::write_file(root_ / "d1" / "w.txt", "x");
  EXPECT_EQ(FILE_DirWaitNext(kLong), DirWait::Changed);
  // With file names only, a write into an existing file does not count; a new name does.
  zt::write_file(root_ / "y.txt", "x");
  ASSERT_EQ(first(kChangeFileName), DirWait::TimedOut);
  zt::write_file(root_ / "y.txt", "more");
  EXPECT_EQ(FILE_DirWaitNext(kQuiet), DirWait::TimedOut);
  fs::rename(root_ / "y.txt", root_ / "z.txt");
  EXPECT_EQ(FILE_DirWaitNext(kLong), DirWait::Changed);
}

// A root that is a link: pointed elsewhere, only its name changes, and that ends
// the wait. Events lost to a full queue watch the tree anew, so that a directory
// made meanwhile is watched. The watch ended leaves no descriptor open.
TEST_F(DirWaitTest, RootLinkRepointedAndLostEvents) {
  if (zt::kWindows) GTEST_SKIP() << "links and the event queue are the Linux layer's";
  const long descriptors = zt::open_descriptors();
  fs::create_directory(root_ / "a");
  fs::create_directory(root_ / "b");
  fs::create_directory_symlink(root_ / "a", root_ / "root");
  const std::string root = (root_ / "root").string();
  ASSERT_EQ(FILE_DirWaitFirst(root.c_str(), 0, kChangeLastWrite), DirWait::TimedOut);
  fs::create_directory_symlink(root_ / "b", root_ / "next");
  fs::rename(root_ / "next", root_ / "root");
  EXPECT_EQ(FILE_DirWaitNext(kLong), DirWait::Changed);
  EXPECT_FALSE(FILE_DirWaitFollows());
  zt::write_file(root_ / "b" / "0", "");
  ASSERT_TRUE(FILE_DirWaitAgain(root.c_str(), kChangeLastWrite));
  // Two events each, more than the queue holds.
  const int renames =
      std::atoi(zt::read_file("/proc/sys/fs/inotify/max_queued_events").c_str()) / 2 + 500;
  for (int i = 0; i < renames; ++i) {
    fs::rename(root_ / "b" / std::to_string(i), root_ / "b" / std::to_string(i + 1));
  }
  fs::create_directory(root_ / "b" / "new");  // its creation is lost
  // Renames are no change under this filter: the events lost are, since any could be one.
  EXPECT_EQ(FILE_DirWaitNext(2000), DirWait::Changed);
  for (int i = 0; i < 1000 && FILE_DirWaitNext(0) != DirWait::TimedOut; ++i) {
  }
  zt::write_file(root_ / "b" / "new" / "x.txt", "x");
  EXPECT_EQ(FILE_DirWaitNext(kLong), DirWait::Changed);
  FILE_DirWaitEnd();
  EXPECT_EQ(zt::open_descriptors(), descriptors);
}

// A tree larger than the Linux layer watches: the directory left out is named
// once, at WARNING, and the wait goes on for the rest of the tree. Directories
// that go give their watches back: a new one is watched again.
TEST_F(DirWaitTest, TreeBeyondTheWatchLimitThenDirectoriesGone) {
  if (zt::kWindows) GTEST_SKIP() << "Windows watches the whole tree itself";
  for (int i = 0; i < 520; ++i) fs::create_directory(root_ / ("d" + std::to_string(i)));
  ASSERT_EQ(first(), DirWait::TimedOut);
  EXPECT_EQ(FILE_DirWaitNext(0), DirWait::TimedOut);
  EXPECT_EQ(zt::count_with(zt::log_messages(zt::read_file(logdir_ / "w.log")),
                           "WARNING\tFILE_DirWait limite de directorios vigilados alcanzado, "
                           "no se vigila [" +
                               root_.str() + "/d"),
            1);
  zt::write_file(root_ / "x.txt", "x");
  EXPECT_EQ(FILE_DirWaitNext(kLong), DirWait::Changed);
  for (int i = 0; i < 520; ++i) fs::remove(root_ / ("d" + std::to_string(i)));
  settle();
  fs::create_directory(root_ / "new");
  settle();
  zt::write_file(root_ / "new" / "x.txt", "x");
  EXPECT_EQ(FILE_DirWaitNext(kLong), DirWait::Changed);
}

}  // namespace
