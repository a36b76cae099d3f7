// Windows directory change waiting: one change notification on the root
// directory and its whole subtree.
//
// The notification is re-armed as soon as a wait sees it signalled, not when the
// next wait begins, and a notification whose wait timed out is still armed and is
// left as it is. Windows records changes made while nothing waits either way; Wine
// forgets the changes that come before FindNextChangeNotification, so re-arming
// early keeps the changes made while the service is busy on both.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/describe.h"
#include "platform/win32/wake.h"

namespace plat {
namespace {

// Stored also when creation failed, so that later re-arms fail. The invalid value
// is never handed to a call: it is also the pseudo-handle of the current process.
HANDLE g_change = INVALID_HANDLE_VALUE;
bool g_armed = false;  // armed for the next change, and not yet signalled

}  // namespace

bool dirwatch_open(const char* path, std::uint32_t filter, char* err, std::size_t errcap) {
  dirwatch_close();
  g_change = FindFirstChangeNotificationA(path, TRUE, filter);
  if (g_change == INVALID_HANDLE_VALUE) {
    describe_error(GetLastError(), err, errcap);
    return false;
  }
  g_armed = true;
  return true;
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
