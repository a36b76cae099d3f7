// Windows file services: C runtime opens with sharing modes, raw reads and writes,
// atomic replace. Files are opened in binary mode: the line-end translation is
// done by the callers, alike on every platform.
#define WIN32_LEAN_AND_MEAN
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <climits>

#include "common/text.h"
#include "platform/platform.h"

namespace plat {
namespace {

unsigned int clamp_count(std::size_t n) {
  return n > INT_MAX ? static_cast<unsigned int>(INT_MAX) : static_cast<unsigned int>(n);
}

// errno for the last Win32 error of a file call.
int errno_of_last_error() {
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_DISK_FULL:
      return ENOSPC;
    default:
      return EIO;
  }
}

int write_all(int fd, const char* data, std::size_t n) {
  while (n > 0) {
    const long done = file_write(fd, data, n);
    if (done <= 0) return -1;
    data += done;
    n -= static_cast<std::size_t>(done);
  }
  return 0;
}

}  // namespace

const char kPathSeparator = '\\';

int file_open_exclusive_read(const char* path) {
  return _sopen(path, _O_RDONLY | _O_BINARY, _SH_DENYRW);
}

int file_open_exclusive_write(const char* path) {
  return _sopen(path, _O_RDWR | _O_CREAT | _O_TRUNC | _O_BINARY, _SH_DENYRW, _S_IREAD | _S_IWRITE);
}

// Terminals and the service share one kind of hold on Windows: the sharing mode.
int file_open_locked_read(const char* path) {
  return file_open_exclusive_read(path);
}

int file_open_locked_write(const char* path) {
  return file_open_exclusive_write(path);
}

long file_read(int fd, char* buf, std::size_t n) {
  return _read(fd, buf, clamp_count(n));
}

long file_write(int fd, const char* buf, std::size_t n) {
  return _write(fd, buf, clamp_count(n));
}

int file_close(int fd) {
  return _close(fd);
}

int file_access(const char* path, int mode) {
  return _access(path, mode == 4 ? 4 : 0);
}

int file_unlink(const char* path) {
  return _unlink(path);
}

int file_replace_atomic(const char* path, const char* data, std::size_t n) {
  zel::Text<1023> temp;
  if (!temp.format("%s.tmp", path)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  // A file that may not be written is not replaced either (a rename would).
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    errno = EACCES;
    return -1;
  }
  const int fd = file_open_exclusive_write(temp.c_str());
  if (fd < 0) return -1;
  const bool written = write_all(fd, data, n) == 0 && _commit(fd) == 0;
  const int saved = errno;
  const bool closed = file_close(fd) == 0;
  if (!written || !closed) {
    _unlink(temp.c_str());
    errno = written ? EIO : saved;
    return -1;
  }
  if (!MoveFileExA(temp.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const int code = errno_of_last_error();
    _unlink(temp.c_str());
    errno = code;
    return -1;
  }
  return 0;
}

}  // namespace plat
