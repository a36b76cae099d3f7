// The platform's file services on real files: exclusive opens, binary reads and
// writes, existence tests, deletes and the atomic replace.
#include <gtest/gtest.h>

#include <cerrno>

#include "platform/platform.h"
#include "testsupport.h"

namespace {

#ifdef _WIN32

TEST(PlatformFiles, ExclusiveOpenRefusesEveryOtherOpenWithEacces) {
  zt::TempDir dir;
  const std::string path = (dir / "cajain.txt").string();
  zt::write_file(path, "x");
  // The terminals' locked opens are the same sharing-mode opens on Windows.
  int (*const opens[])(const char*) = {plat::file_open_exclusive_read,
                                       plat::file_open_exclusive_write, plat::file_open_locked_read,
                                       plat::file_open_locked_write};
  for (auto* hold : opens) {
    const int held = hold(path.c_str());
    ASSERT_GE(held, 0);
    for (auto* other : opens) {
      errno = 0;
      EXPECT_EQ(other(path.c_str()), -1);
      EXPECT_EQ(errno, EACCES);
    }
    EXPECT_EQ(plat::file_close(held), 0);
  }
  const int fd = plat::file_open_exclusive_read(path.c_str());
  EXPECT_GE(fd, 0);
  EXPECT_EQ(plat::file_close(fd), 0);
}

TEST(PlatformFiles, BytesGoThroughUntranslated) {
  zt::TempDir dir;
  const std::string path = (dir / "cajaout.txt").string();
  const std::string bytes = "|F01=1|\n|F02=\r\n2|\x1a|";
  int fd = plat::file_open_exclusive_write(path.c_str());
  ASSERT_GE(fd, 0);
  EXPECT_EQ(plat::file_write(fd, bytes.data(), bytes.size()), static_cast<long>(bytes.size()));
  EXPECT_EQ(plat::file_close(fd), 0);
  EXPECT_EQ(zt::read_file(path), bytes);

  fd = plat::file_open_exclusive_read(path.c_str());
  ASSERT_GE(fd, 0);
  char buf[8];
  std::string got;
  for (long n; (n = plat::file_read(fd, buf, sizeof buf)) > 0;) got.append(buf, n);
  EXPECT_EQ(plat::file_close(fd), 0);
  EXPECT_EQ(got, bytes);

  // Opening for writing empties the file.
  fd = plat::file_open_exclusive_write(path.c_str());
  ASSERT_GE(fd, 0);
  EXPECT_EQ(plat::file_close(fd), 0);
  EXPECT_EQ(zt::read_file(path), "");
}

TEST(PlatformFiles, MissingFilesAndDirectories) {
  zt::TempDir dir;
  const std::string missing = (dir / "missing.txt").string();
  errno = 0;
  EXPECT_EQ(plat::file_open_exclusive_read(missing.c_str()), -1);
  EXPECT_EQ(errno, ENOENT);
  errno = 0;
  EXPECT_EQ(plat::file_open_exclusive_write((dir / "no" / "x.txt").string().c_str()), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(plat::file_access(missing.c_str(), 0), -1);
  EXPECT_EQ(plat::file_unlink(missing.c_str()), -1);
  zt::write_file(missing, "x");
  EXPECT_EQ(plat::file_access(missing.c_str(), 0), 0);
  EXPECT_EQ(plat::file_access(missing.c_str(), 4), 0);
  EXPECT_EQ(plat::file_unlink(missing.c_str()), 0);
  EXPECT_FALSE(zt::exists(missing));
}

TEST(PlatformFiles, ReplaceAtomicKeepsOldContentWhenItCannot) {
  zt::TempDir dir;
  const std::string path = (dir / "nroaut.txt").string();
  ASSERT_EQ(plat::file_replace_atomic(path.c_str(), "1\n", 2), 0);
  ASSERT_EQ(plat::file_replace_atomic(path.c_str(), "22\n", 3), 0);
  EXPECT_EQ(zt::read_file(path), "22\n");
  const int held = plat::file_open_exclusive_read(path.c_str());
  ASSERT_GE(held, 0);
  errno = 0;
  EXPECT_EQ(plat::file_replace_atomic(path.c_str(), "333\n", 4), -1);
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(plat::file_close(held), 0);
  EXPECT_EQ(zt::read_file(path), "22\n");
  // No temporary file is left behind either way.
  std::size_t files = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.path()))
    files += e.is_regular_file();
  EXPECT_EQ(files, 1u);
}

#else

TEST(PlatformFiles, WindowsOnlyForNow) {
  GTEST_SKIP() << "these cases run on Windows; the POSIX exclusive opens and atomic replace "
                  "are tested with the file layer that implements them";
}

#endif

}  // namespace
