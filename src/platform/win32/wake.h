// The loop's wake-up, as the Windows directory wait waits on it. Internal to win32/.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace plat {

HANDLE wake_event();  // an auto-reset event set by a wake, or nullptr

}  // namespace plat
