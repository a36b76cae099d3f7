#include "mounts.h"

#ifdef _WIN32

namespace zt {

// No tmpfs on Windows: every test that needs one skips with this reason.
TmpfsMount::TmpfsMount(const fs::path& dir, std::size_t) : dir_(dir) {
  reason_ = "no tmpfs on Windows: disk-full and read-only-disk tests run on Linux only";
}
TmpfsMount::~TmpfsMount() = default;
bool TmpfsMount::remount_readonly() {
  return false;
}
void TmpfsMount::fill() {}
void TmpfsMount::empty() {}

}  // namespace zt

#else

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zt {

TmpfsMount::TmpfsMount(const fs::path& dir, std::size_t bytes) : dir_(dir) {
  const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
  if (mount("zeltest", dir.c_str(), "tmpfs", 0, options.c_str()) == 0) {
    mounted_ = true;
  } else {
    reason_ = std::string("cannot mount a tmpfs here: ") + std::strerror(errno);
  }
}

TmpfsMount::~TmpfsMount() {
  if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
}

bool TmpfsMount::remount_readonly() {
  return mounted_ && mount("zeltest", dir_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
}

void TmpfsMount::fill() {
  const int fd = open((dir_ / ".filler").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  char block[4096];
  std::memset(block, 'f', sizeof block);
  while (write(fd, block, sizeof block) > 0) {
  }
  while (write(fd, block, 1) > 0) {
  }
  close(fd);
}

void TmpfsMount::empty() {
  std::error_code ec;
  fs::remove(dir_ / ".filler", ec);
}

}  // namespace zt

#endif
