// Windows directory change waiting: one change notification on the root
// directory and its whole subtree.
//
// The notification is re-armed as soon as a wait sees it signalled, not when the
// next wait begins, and a notification whose wait timed out is still armed and is
// left as it is. Windows records changes made while nothing waits either way; Wine
// forgets the changes that come before FindNextChangeNotification, so re-arming
// early keeps the changes made while the service is busy on both.
//
// The directory is also known by its volume and file index, so that a path that
// names another directory now (a folder made again, a drive mounted there) is
// noticed and the caller can set the watch up again.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstring>

#include "platform/platform.h"
#include "platform/win32/describe.h"
#include "platform/win32/wake.h"

namespace plat {
namespace {

// Stored also when creation failed, so that later re-arms fail. The invalid value
// is never handed to a call: it is also the pseudo-handle of the current process.
HANDLE g_change = INVALID_HANDLE_VALUE;
bool g_armed = false;  // armed for the next change, and not yet signalled

// The directory watched, by its path and by what it is: its volume and file index.
struct Identity {
  DWORD volume = 0, high = 0, low = 0;
  bool operator==(const Identity&) const = default;
};
char g_path[MAX_PATH + 1] = {};
Identity g_identity;

bool identity_of(const char* path, Identity* out) {
  const HANDLE dir = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (dir == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool ok = GetFileInformationByHandle(dir, &info) != 0;
  CloseHandle(dir);
  *out = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
  return ok;
}

}  // namespace

bool dirwatch_open(const char* path, std::uint32_t filter, char* err, std::size_t errcap) {
  dirwatch_close();
  g_change = FindFirstChangeNotificationA(path, TRUE, filter);
  if (g_change == INVALID_HANDLE_VALUE) {
    describe_error(GetLastError(), err, errcap);
    return false;
  }
  // A path too long for the record, or a directory that cannot be told by its
  // identity, is watched as it is and always counts as followed.
  g_path[0] = '\0';
  if (std::strlen(path) <= MAX_PATH && identity_of(path, &g_identity)) {
    std::strcpy(g_path, path);
  }
  g_armed = true;
  return true;
}

bool dirwatch_follows() {
  if (g_change == INVALID_HANDLE_VALUE) return false;
  Identity now;
  return g_path[0] == '\0' || (identity_of(g_path, &now) && now == g_identity);
}

bool dirwatch_rearm() {
  if (g_change == INVALID_HANDLE_VALUE) return false;
  if (!g_armed) g_armed = FindNextChangeNotification(g_change) != 0;
  return g_armed;
}

WaitOutcome dirwatch_wait(std::uint32_t timeout_ms) {
  if (g_change == INVALID_HANDLE_VALUE) return WaitOutcome::Failed;
  const HANDLE handles[2] = {g_change, wake_event()};
  switch (WaitForMultipleObjects(handles[1] != nullptr ? 2 : 1, handles, FALSE, timeout_ms)) {
    case WAIT_OBJECT_0:
      g_armed = FindNextChangeNotification(g_change) != 0;
      return WaitOutcome::Signalled;
    case WAIT_OBJECT_0 + 1:
      return WaitOutcome::Woken;
    case WAIT_ABANDONED:
      return WaitOutcome::Abandoned;
    case WAIT_FAILED:
      return WaitOutcome::Failed;
    default:
      return WaitOutcome::Timeout;
  }
}

void dirwatch_own(OwnChange) {}  // the notification names no file

bool dirwatch_unwatched(char*, std::size_t) {
  return false;  // the system watches the whole tree
}

bool dirwatch_close() {
  if (g_change == INVALID_HANDLE_VALUE) return false;
  const bool ok = FindCloseChangeNotification(g_change) != 0;
  g_change = INVALID_HANDLE_VALUE;
  g_armed = false;
  return ok;
}

}  // namespace plat
