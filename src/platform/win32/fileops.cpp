// Windows file operations: C runtime opens with sharing modes, raw reads and
// writes, rename with replace. Files are opened in binary mode: the line-end
// translation is done by the callers, alike on every platform.
#define WIN32_LEAN_AND_MEAN
#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <climits>
#include <cstdio>

#include "platform/platform.h"

namespace plat {

const char kPathSeparator = '\\';

namespace {

unsigned int clamp_count(std::size_t n) {
  return n > INT_MAX ? static_cast<unsigned int>(INT_MAX) : static_cast<unsigned int>(n);
}

// The runtime reports a sharing conflict and a read-only file alike as EACCES;
// the system's own code tells them apart.
Status last_status() {
  switch (errno) {
    case ENOENT:
      return Status::NotFound;
    case EACCES:
      return _doserrno == ERROR_SHARING_VIOLATION || _doserrno == ERROR_LOCK_VIOLATION
                 ? Status::Busy
                 : Status::Denied;
    case EEXIST:
      return Status::Exists;
    case EINVAL:
      return Status::Invalid;
    case EMFILE:
      return Status::TooMany;
    case EBADF:
      return Status::BadHandle;
    case ENOSPC:
      return Status::NoSpace;
    default:
      return Status::Failed;
  }
}

Status status_of_last_error() {
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return Status::NotFound;
    case ERROR_ACCESS_DENIED:
      return Status::Denied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return Status::Busy;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return Status::NoSpace;
    default:
      return Status::Failed;
  }
}

Status open_file(const char* path, OpenMode mode, FileHandle* out) {
  int fd = -1;
  switch (mode) {
    case OpenMode::ExclusiveRead:
    case OpenMode::LockedRead:  // terminals and the service share one kind of hold here
      fd = _sopen(path, _O_RDONLY | _O_BINARY, _SH_DENYRW);
      break;
    case OpenMode::ExclusiveWrite:
    case OpenMode::LockedWrite:
      fd =
          _sopen(path, _O_RDWR | _O_CREAT | _O_TRUNC | _O_BINARY, _SH_DENYRW, _S_IREAD | _S_IWRITE);
      break;
    case OpenMode::Read:
    case OpenMode::ReadRegular:
      fd = _sopen(path, _O_RDONLY | _O_BINARY, _SH_DENYNO);
      break;
    case OpenMode::Create:
    case OpenMode::CreatePublic:  // the folder's permissions decide who reads it
      fd = _sopen(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _SH_DENYNO,
                  _S_IREAD | _S_IWRITE);
      break;
    case OpenMode::CreateNew:
      fd = _sopen(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _SH_DENYNO,
                  _S_IREAD | _S_IWRITE);
      break;
    case OpenMode::Append:
      fd = _sopen(path, _O_WRONLY | _O_CREAT | _O_APPEND | _O_BINARY, _SH_DENYNO,
                  _S_IREAD | _S_IWRITE);
      break;
    case OpenMode::Rewrite:
      fd = _sopen(path, _O_RDWR | _O_BINARY, _SH_DENYNO);
      break;
    case OpenMode::Lock:  // the sharing mode is the hold (readers may look); it ends with
                          // the process
      fd = _sopen(path, _O_RDWR | _O_CREAT | _O_BINARY, _SH_DENYWR, _S_IREAD | _S_IWRITE);
      break;
  }
  *out = fd < 0 ? kNoFile : fd;
  return fd < 0 ? last_status() : Status::Ok;
}

Status read_file(FileHandle f, char* buf, std::size_t n, std::size_t* got) {
  const int r = _read(f, buf, clamp_count(n));
  *got = r > 0 ? static_cast<std::size_t>(r) : 0;
  return r < 0 ? last_status() : Status::Ok;
}

Status write_file(FileHandle f, const char* buf, std::size_t n) {
  while (n > 0) {
    const int done = _write(f, buf, clamp_count(n));
    if (done < 0) return last_status();
    if (done == 0) return Status::NoSpace;
    buf += done;
    n -= static_cast<std::size_t>(done);
  }
  return Status::Ok;
}

Status write_at(FileHandle f, std::uint64_t offset, const char* buf, std::size_t n) {
  if (_lseeki64(f, static_cast<long long>(offset), SEEK_SET) < 0) return last_status();
  return write_file(f, buf, n);
}

Status size_of(FileHandle f, std::uint64_t* out) {
  const long long n = _filelengthi64(f);
  if (n < 0) return last_status();
  *out = static_cast<std::uint64_t>(n);
  return Status::Ok;
}

Status truncate_file(FileHandle f, std::uint64_t size) {
  return _chsize_s(f, static_cast<long long>(size)) == 0 ? Status::Ok : last_status();
}

Status sync_file(FileHandle f) {
  return _commit(f) == 0 ? Status::Ok : last_status();
}

Status close_file(FileHandle f) {
  return _close(f) == 0 ? Status::Ok : last_status();
}

Status exists(const char* path) {
  return _access(path, 0) == 0 ? Status::Ok : last_status();
}

Status readable(const char* path) {
  return _access(path, 4) == 0 ? Status::Ok : last_status();
}

// A read-only file may not be replaced either (a rename would replace it).
Status writable(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return Status::Ok;
  return (attributes & FILE_ATTRIBUTE_READONLY) != 0 ? Status::Denied : Status::Ok;
}

// Every file the service removes is its own to remove (a taken request, its stop
// file): a read-only attribute, which a terminal may have left on its request, is
// cleared first.
Status remove_file(const char* path) {
  if (_unlink(path) == 0) return Status::Ok;
  const Status s = last_status();
  const DWORD attributes = GetFileAttributesA(path);
  if (s != Status::Denied || attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
      !SetFileAttributesA(path, attributes & ~FILE_ATTRIBUTE_READONLY)) {
    return s;
  }
  return _unlink(path) == 0 ? Status::Ok : last_status();
}

// A file that another process holds open cannot be replaced; Windows reports it
// as denied access, which here is a hold that passes: Busy.
Status rename_file(const char* from, const char* to) {
  if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return Status::Ok;
  const Status s = status_of_last_error();
  const DWORD target = GetFileAttributesA(to);
  const bool plainFile = target != INVALID_FILE_ATTRIBUTES &&
                         (target & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) == 0;
  return s == Status::Denied && plainFile ? Status::Busy : s;
}

// MOVEFILE_WRITE_THROUGH has made the rename durable already.
Status sync_dir(const char*) {
  return Status::Ok;
}

constexpr FileOps kSystemFiles = {open_file,   read_file,   write_file, size_of,  truncate_file,
                                  sync_file,   close_file,  exists,     readable, writable,
                                  remove_file, rename_file, sync_dir,   write_at};

}  // namespace

const FileOps& system_files() {
  return kSystemFiles;
}

bool read_only_dir(const char*) {
  return false;
}  // no read-only mounts of folders here

Owner file_owner(const char* path, char* owner, std::size_t cap) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return Owner::NotRegular;
  PSID sid = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoA(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &sid, nullptr,
                            nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    std::snprintf(owner, cap, "?");
    return Owner::Foreign;
  }
  char name[256] = "?", domain[256] = "";
  DWORD nameLength = sizeof name, domainLength = sizeof domain;
  SID_NAME_USE use;
  LookupAccountSidA(nullptr, sid, name, &nameLength, domain, &domainLength, &use);
  std::snprintf(owner, cap, "%s%s%s", domain, domain[0] != '\0' ? "\\" : "", name);
  // This process's account.
  bool own = false;
  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    alignas(TOKEN_USER) char buffer[256];
    DWORD got = 0;
    if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &got)) {
      own = EqualSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, sid) != 0;
    }
    CloseHandle(token);
  }
  const bool trusted = own || IsWellKnownSid(sid, WinLocalSystemSid) ||
                       IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
  LocalFree(descriptor);
  if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    return Owner::NotRegular;
  }
  return trusted ? Owner::Trusted : Owner::Foreign;
}

}  // namespace plat
