// Windows named mutex. A mutex object lives while some process holds a handle to
// it, so the creator keeps one handle per name until it ends; an owner thread that
// ends while holding the mutex leaves it abandoned, and the next wait says so.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstring>

#include "platform/platform.h"
#include "platform/win32/describe.h"

namespace plat {

namespace {

// The handles kept for the names this process created, so that a second create of
// the same name keeps no second handle.
struct Kept {
  char name[120];
  HANDLE handle;
};
Kept g_kept[16];
int g_keptCount = 0;
SRWLOCK g_keptLock = SRWLOCK_INIT;

// Keeps h for the rest of the process, unless a handle of that name is kept already.
void keep(const char* name, HANDLE h) {
  AcquireSRWLockExclusive(&g_keptLock);
  bool known = false;
  for (int i = 0; i < g_keptCount && !known; ++i) known = std::strcmp(g_kept[i].name, name) == 0;
  if (known) {
    CloseHandle(h);
  } else if (g_keptCount < 16 && std::strlen(name) < sizeof g_kept[0].name) {
    std::strcpy(g_kept[g_keptCount].name, name);
    g_kept[g_keptCount++].handle = h;
  }  // else: never closed, as the mutex must live on
  ReleaseSRWLockExclusive(&g_keptLock);
}

}  // namespace

bool named_mutex_create(const char* name, char* why, std::size_t whycap) {
  if (name == nullptr) return false;
  // No "Global\\" prefix: the name lives in the caller's session, so another
  // user's processes never share or block it.
  HANDLE h = CreateMutexA(nullptr, FALSE, name);  // an existing one is opened
  if (h == nullptr) {
    describe_error(GetLastError(), why, whycap);
    return false;
  }
  keep(name, h);
  return true;
}

MutexHandle named_mutex_open(const char* name) {
  if (name == nullptr) return nullptr;
  return OpenMutexA(SYNCHRONIZE, FALSE, name);
}

WaitOutcome named_mutex_wait(MutexHandle m, std::uint32_t timeout_ms) {
  if (m == nullptr) return WaitOutcome::Failed;
  switch (WaitForSingleObject(m, timeout_ms)) {
    case WAIT_OBJECT_0:
      return WaitOutcome::Signalled;
    case WAIT_ABANDONED:
      return WaitOutcome::Abandoned;
    case WAIT_TIMEOUT:
      return WaitOutcome::Timeout;
    default:
      return WaitOutcome::Failed;
  }
}

void named_mutex_release(MutexHandle m) {
  // Refused, harmlessly, when the calling thread does not own it.
  if (m != nullptr) ReleaseMutex(m);
}

void named_mutex_close(MutexHandle m) {
  if (m != nullptr) CloseHandle(m);
}

}  // namespace plat
