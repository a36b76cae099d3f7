// A small tmpfs mounted on a directory, for tests of a full or read-only disk.
// Mounting needs the superuser (CAP_SYS_ADMIN); when it is not permitted, ok()
// is false and reason() says why, so that the test can skip.
#pragma once

#include <cstddef>
#include <string>

#include "testsupport.h"

namespace zt {

class TmpfsMount {
 public:
  TmpfsMount(const fs::path& dir, std::size_t bytes);
  ~TmpfsMount();  // unmounts (lazily, should a process still use it)
  TmpfsMount(const TmpfsMount&) = delete;
  TmpfsMount& operator=(const TmpfsMount&) = delete;

  bool ok() const { return mounted_; }
  const std::string& reason() const { return reason_; }
  bool remount_readonly();
  // Fills the free space with a filler file until the disk is full; empty() frees it.
  void fill();
  void empty();

 private:
  fs::path dir_;
  bool mounted_ = false;
  std::string reason_;
};

}  // namespace zt
