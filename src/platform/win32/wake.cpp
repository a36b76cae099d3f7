// Windows wake-up of the loop: an auto-reset event, waited on beside the change
// notification.
#include "platform/win32/wake.h"

#include "platform/platform.h"

namespace plat {
namespace {
HANDLE g_wake = nullptr;
}  // namespace

HANDLE wake_event() {
  return g_wake;
}

bool wake_open() {
  if (g_wake == nullptr) g_wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  return g_wake != nullptr;
}

void wake() {
  if (g_wake != nullptr) SetEvent(g_wake);
}

bool wake_sleep(std::uint32_t timeout_ms) {
  if (g_wake == nullptr) {
    Sleep(timeout_ms);
    return false;
  }
  return WaitForSingleObject(g_wake, timeout_ms) == WAIT_OBJECT_0;
}

}  // namespace plat
