// POSIX file operations: exclusive opens, raw reads and writes, rename and sync.
//
// Exclusive opens stand in for a deny-read-write sharing mode. A write lease is
// granted only while no other open file exists on the file, in any process, and
// while it is held other processes' opens wait until it is released (the lease
// break signal, SIGIO, is ignored by process_setup). Where no lease can be taken
// for another reason (another owner without CAP_LEASE, a file system without
// leases), an exclusive flock still keeps cooperating terminals out.
#include <fcntl.h>
#include <pwd.h>
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

Status status_of(int e) {
  switch (e) {
    case ENOENT:
    case ENOTDIR:
      return Status::NotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
    case ELOOP:  // a symbolic link (O_NOFOLLOW)
      return Status::Denied;
    case EAGAIN:  // a lease held by another process (O_NONBLOCK)
    case EBUSY:
      return Status::Busy;
    case EEXIST:
      return Status::Exists;
    case EINVAL:
      return Status::Invalid;
    case EMFILE:
    case ENFILE:
      return Status::TooMany;
    case EBADF:
      return Status::BadHandle;
    case ENOSPC:
    case EDQUOT:
      return Status::NoSpace;
    default:
      return Status::Failed;
  }
}

Status last_status() {
  return status_of(errno);
}

Status fail_and_close(int fd, Status s) {
  ::close(fd);
  return s;
}

// Takes the exclusive hold on a freshly opened descriptor.
bool take_exclusive(int fd, bool lease) {
  if (lease && ::fcntl(fd, F_SETLEASE, F_WRLCK) == 0) return true;
  if (lease && (errno == EAGAIN || errno == EBUSY)) return false;  // someone else holds it open
  // No lease possible here: fall back to an advisory lock.
  return ::flock(fd, LOCK_EX | LOCK_NB) == 0;
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
// A new file exists a moment before its creator's open holds it, so an empty one
// created less than a second ago may be a file that a terminal is creating right
// now: the service's read refuses it as held, and its content follows at once.
Status open_held(const char* path, OpenMode mode, FileHandle* out) {
  const bool write = mode == OpenMode::ExclusiveWrite || mode == OpenMode::LockedWrite;
  const bool lease = mode == OpenMode::ExclusiveRead || mode == OpenMode::ExclusiveWrite;
  const int flags = write ? O_RDWR | O_CREAT : O_RDONLY;
  const int fd = ::open(path, flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0666);
  if (fd < 0) return last_status();
  struct stat st {};
  if (::fstat(fd, &st) != 0) return fail_and_close(fd, last_status());
  if (!S_ISREG(st.st_mode)) return fail_and_close(fd, Status::Denied);  // a directory, a pipe...
  if (write && st.st_nlink > 1) return fail_and_close(fd, Status::Denied);
  if (mode == OpenMode::ExclusiveRead && empty_and_new(st)) return fail_and_close(fd, Status::Busy);
  if (!take_exclusive(fd, lease)) return fail_and_close(fd, Status::Busy);
  // Emptied only once held, so a file that another process holds stays untouched.
  // A file that is already empty (a new one, usually) is not truncated: that would
  // change nothing, but ext4 then writes the file out to disk at its close (its
  // guard for programs that truncate and rewrite), on every answer.
  if (write && st.st_size != 0 && ::ftruncate(fd, 0) != 0) return fail_and_close(fd, last_status());
  *out = fd;
  return Status::Ok;
}

Status open_file(const char* path, OpenMode mode, FileHandle* out) {
  *out = kNoFile;
  int flags = O_CLOEXEC | O_NOCTTY;
  switch (mode) {
    case OpenMode::Read:
      flags |= O_RDONLY;
      break;
    case OpenMode::ReadRegular:
      flags |= O_RDONLY | O_NONBLOCK | O_NOFOLLOW;
      break;
    case OpenMode::Create:
    case OpenMode::CreatePublic:
      flags |= O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW;
      break;
    case OpenMode::CreateNew:
      flags |= O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
      break;
    case OpenMode::Append:
      flags |= O_WRONLY | O_CREAT | O_APPEND;
      break;
    case OpenMode::Rewrite:
      flags |= O_RDWR | O_NOFOLLOW;
      break;
    case OpenMode::Lock:
      flags |= O_RDWR | O_CREAT | O_NOFOLLOW;
      break;
    default:
      return open_held(path, mode, out);
  }
  const mode_t permissions = mode == OpenMode::CreatePublic ? 0644
                             : mode == OpenMode::CreateNew  ? 0660
                                                            : 0600;
  const int fd = ::open(path, flags, permissions);
  if (fd < 0) return last_status();
  struct stat st {};
  if (mode == OpenMode::ReadRegular && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    return fail_and_close(fd, Status::Denied);
  }
  if (mode == OpenMode::Lock && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    return fail_and_close(fd, errno == EWOULDBLOCK ? Status::Busy : last_status());
  }
  *out = fd;
  return Status::Ok;
}

Status read_file(FileHandle f, char* buf, std::size_t n, std::size_t* got) {
  *got = 0;
  for (;;) {
    const ssize_t r = ::read(f, buf, n);
    if (r >= 0) {
      *got = static_cast<std::size_t>(r);
      return Status::Ok;
    }
    if (errno != EINTR) return last_status();
  }
}

// Writes all n bytes, going on after short writes and interruptions.
Status write_file(FileHandle f, const char* buf, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t w = ::write(f, buf + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return last_status();
    if (w == 0) return Status::NoSpace;
    done += static_cast<std::size_t>(w);
  }
  return Status::Ok;
}

Status write_at(FileHandle f, std::uint64_t offset, const char* buf, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t w = ::pwrite(f, buf + done, n - done, static_cast<off_t>(offset + done));
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return last_status();
    if (w == 0) return Status::NoSpace;
    done += static_cast<std::size_t>(w);
  }
  return Status::Ok;
}

Status size_of(FileHandle f, std::uint64_t* out) {
  struct stat st {};
  if (::fstat(f, &st) != 0) return last_status();
  *out = static_cast<std::uint64_t>(st.st_size);
  return Status::Ok;
}

Status truncate_file(FileHandle f, std::uint64_t size) {
  return ::ftruncate(f, static_cast<off_t>(size)) == 0 ? Status::Ok : last_status();
}

Status sync_file(FileHandle f) {
  return ::fsync(f) == 0 ? Status::Ok : last_status();
}

Status close_file(FileHandle f) {
  // The close releases a lease with the file: the service never shares its
  // descriptors (close-on-exec, no fork), so no separate release is needed.
  return ::close(f) == 0 ? Status::Ok : last_status();
}

Status access_status(const char* path, int mode) {
  return ::access(path, mode) == 0 ? Status::Ok : last_status();
}

Status exists(const char* path) {
  return access_status(path, F_OK);
}

Status readable(const char* path) {
  return access_status(path, R_OK);
}

Status writable(const char* path) {
  if (::access(path, F_OK) != 0) return Status::Ok;
  return access_status(path, W_OK);
}

Status remove_file(const char* path) {
  return ::unlink(path) == 0 ? Status::Ok : last_status();
}

Status rename_file(const char* from, const char* to) {
  return ::rename(from, to) == 0 ? Status::Ok : last_status();
}

// Flushes the directory that holds path, so that a rename in it is on the disk.
Status sync_dir(const char* path) {
  char dir[4096];
  const char* slash = std::strrchr(path, '/');
  std::size_t len = slash == nullptr ? 0
                    : slash == path  ? 1
                                     : static_cast<std::size_t>(slash - path);
  if (len >= sizeof dir) return Status::Invalid;
  if (len == 0) {
    dir[len++] = '.';
  } else {
    std::memcpy(dir, path, len);
  }
  dir[len] = '\0';
  const int fd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return last_status();
  const Status s = ::fsync(fd) == 0 ? Status::Ok : last_status();
  ::close(fd);
  return s;
}

constexpr FileOps kSystemFiles = {open_file,   read_file,   write_file, size_of,  truncate_file,
                                  sync_file,   close_file,  exists,     readable, writable,
                                  remove_file, rename_file, sync_dir,   write_at};

}  // namespace

const FileOps& system_files() {
  return kSystemFiles;
}

bool read_only_dir(const char* path) {
  return ::access(path, W_OK) != 0 && errno == EROFS;
}

Owner file_owner(const char* path, char* owner, std::size_t cap) {
  struct stat st {};
  if (::lstat(path, &st) != 0) return Owner::NotRegular;
  passwd entry{};
  passwd* found = nullptr;
  char names[1024];
  if (::getpwuid_r(st.st_uid, &entry, names, sizeof names, &found) == 0 && found != nullptr) {
    std::snprintf(owner, cap, "%s", found->pw_name);
  } else {
    std::snprintf(owner, cap, "%lu", static_cast<unsigned long>(st.st_uid));
  }
  if (!S_ISREG(st.st_mode)) return Owner::NotRegular;
  return st.st_uid == ::geteuid() || st.st_uid == 0 ? Owner::Trusted : Owner::Foreign;
}

}  // namespace plat
