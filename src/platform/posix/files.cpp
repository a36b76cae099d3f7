// POSIX file services: exclusive opens, raw reads and writes, atomic replace.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"

namespace plat {

const char kPathSeparator = '/';

int file_access(const char* path, int mode) {
  return ::access(path, mode == 4 ? R_OK : F_OK) == 0 ? 0 : -1;
}

int file_unlink(const char* path) {
  return ::unlink(path) == 0 ? 0 : -1;
}

}  // namespace plat
