// POSIX file services: exclusive opens, raw reads and writes, atomic replace.
//
// Exclusive opens stand in for a deny-read-write sharing mode. A write lease is
// granted only while no other open file exists on the file, in any process, and
// while it is held other processes' opens wait until it is released (the lease
// break signal, SIGIO, is ignored by process_setup). Where no lease can be taken
// for another reason (another owner without CAP_LEASE, a file system without
// leases), an exclusive flock still keeps cooperating terminals out. A refusal
// reports EACCES, as a sharing conflict does on Windows.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace plat {

const char kPathSeparator = '/';

namespace {

// Open failures in the terms of the Windows runtime, whose texts the callers log.
int windows_errno(int e) {
  switch (e) {
    case EISDIR:
    case EPERM:
    case EROFS:
    case ETXTBSY:
    case EAGAIN:  // a lease held by another process (O_NONBLOCK)
    case ELOOP:   // a symbolic link (O_NOFOLLOW)
      return EACCES;
    case ENOTDIR:
      return ENOENT;
    case ENFILE:
      return EMFILE;
    default:
      return e;
  }
}

int fail_and_close(int fd, int e) {
  ::close(fd);
  errno = e;
  return -1;
}

// Takes the exclusive hold on a freshly opened descriptor; 0, or -1 + errno.
int take_exclusive(int fd, bool lease) {
  if (lease && ::fcntl(fd, F_SETLEASE, F_WRLCK) == 0) return 0;
  if (lease && (errno == EAGAIN || errno == EBUSY)) return -1;  // someone else holds it open
  // No lease possible here: fall back to an advisory lock.
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
  return -1;
}

// True for an empty file created (or last changed) less than a second ago.
bool empty_and_new(const struct stat& st) {
  if (st.st_size != 0) return false;
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const long long ms = (static_cast<long long>(now.tv_sec) - st.st_ctim.tv_sec) * 1000 +
                       (now.tv_nsec - st.st_ctim.tv_nsec) / 1000000;
  return ms > -1000 && ms < 1000;
}

// O_NONBLOCK: a lease held by another process refuses the open at once instead
// of waiting for it to be broken; for regular files it changes nothing else.
// Whoever can write in the shared directory chooses what a name there is: a
// symbolic link is never followed, and a file that has other names (hard links)
// is never written, so an answer cannot be made to land on a file elsewhere.
// newEmptyIsHeld: a new file exists a moment before its creator's open holds it,
// so an empty one created less than a second ago may be a file that a terminal
// is creating right now: it is refused as held, and its content follows at once.
// An empty file left for a second is taken as it is.
int open_exclusive(const char* path, int flags, bool lease, bool newEmptyIsHeld) {
  const int fd = ::open(path, flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0666);
  if (fd < 0) {
    errno = windows_errno(errno);
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) return fail_and_close(fd, windows_errno(errno));
  if (!S_ISREG(st.st_mode)) return fail_and_close(fd, EACCES);  // a directory, a pipe...
  if ((flags & O_CREAT) != 0 && st.st_nlink > 1) return fail_and_close(fd, EACCES);
  if (newEmptyIsHeld && empty_and_new(st)) return fail_and_close(fd, EACCES);
  if (take_exclusive(fd, lease) != 0) return fail_and_close(fd, EACCES);
  return fd;
}

// Writes all n bytes, going on after short writes and interruptions.
long write_all(int fd, const char* buf, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t w = ::write(fd, buf + done, n - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (w == 0) {
      errno = ENOSPC;
      return -1;
    }
    done += static_cast<std::size_t>(w);
  }
  return static_cast<long>(done);
}

}  // namespace

int file_open_exclusive_read(const char* path) {
  return open_exclusive(path, O_RDONLY, true, true);
}

int file_open_locked_read(const char* path) {
  return open_exclusive(path, O_RDONLY, false, false);
}

namespace {
// Emptied only once held: a file that another process holds stays untouched.
int open_for_writing(const char* path, bool lease) {
  const int fd = open_exclusive(path, O_RDWR | O_CREAT, lease, false);
  if (fd < 0) return -1;
  // A file that is already empty (a new one, usually) is not truncated: that would
  // change nothing, but ext4 then writes the file out to disk at its close (its
  // guard for programs that truncate and rewrite), on every answer.
  struct stat st {};
  if (::fstat(fd, &st) == 0 && st.st_size == 0) return fd;
  if (::ftruncate(fd, 0) != 0) {
    const int e = errno;
    file_close(fd);
    errno = windows_errno(e);
    return -1;
  }
  return fd;
}
}  // namespace

int file_open_exclusive_write(const char* path) {
  return open_for_writing(path, true);
}

int file_open_locked_write(const char* path) {
  return open_for_writing(path, false);
}

long file_read(int fd, char* buf, std::size_t n) {
  for (;;) {
    const ssize_t r = ::read(fd, buf, n);
    if (r >= 0 || errno != EINTR) return static_cast<long>(r);
  }
}

long file_write(int fd, const char* buf, std::size_t n) {
  return write_all(fd, buf, n);
}

int file_close(int fd) {
  // Release the lease first (no-op for an flock or a plain descriptor).
  const int saved = errno;
  ::fcntl(fd, F_SETLEASE, F_UNLCK);
  errno = saved;
  return ::close(fd) == 0 ? 0 : -1;
}

int file_access(const char* path, int mode) {
  return ::access(path, mode == 4 ? R_OK : F_OK) == 0 ? 0 : -1;
}

int file_unlink(const char* path) {
  if (::unlink(path) == 0) return 0;
  // In Windows terms: a file that may not be removed is an access failure.
  errno = errno == EBUSY ? EACCES : windows_errno(errno);
  return -1;
}

int file_replace_atomic(const char* path, const char* data, std::size_t n) {
  char tmp[4096];
  const int len = std::snprintf(tmp, sizeof tmp, "%s.%ld.tmp", path, static_cast<long>(::getpid()));
  if (len < 0 || static_cast<std::size_t>(len) >= sizeof tmp) {
    errno = ENAMETOOLONG;
    return -1;
  }
  // A file that may not be written is not replaced either.
  if (::access(path, F_OK) == 0 && ::access(path, W_OK) != 0) return -1;
  const int fd = ::open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) return -1;
  if (write_all(fd, data, n) < 0 || ::fsync(fd) != 0) {
    const int e = errno;
    ::close(fd);
    ::unlink(tmp);
    errno = e;
    return -1;
  }
  if (::close(fd) != 0 || ::rename(tmp, path) != 0) {
    const int e = errno;
    ::unlink(tmp);
    errno = e;
    return -1;
  }
  // Make the rename itself durable: flush the directory that holds the file.
  char dir[4096];
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) {
    std::strcpy(dir, ".");
  } else {
    const std::size_t dlen = slash == path ? 1 : static_cast<std::size_t>(slash - path);
    std::memcpy(dir, path, dlen);
    dir[dlen] = '\0';
  }
  const int dfd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return 0;
}

}  // namespace plat
