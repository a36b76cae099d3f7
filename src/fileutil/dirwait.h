// Waiting for changes in a directory tree: one process-wide change notification
// on the root directory and all its subdirectories.
#pragma once

#include <cstdint>

// Change kinds of the filter (Win32 FILE_NOTIFY_CHANGE_* values).
constexpr std::uint32_t kChangeFileName = 0x01;
constexpr std::uint32_t kChangeAttributes = 0x04;
constexpr std::uint32_t kChangeLastWrite = 0x10;

// Sets up the notification and waits once. 0 on a change or the time-out, -1 on failure.
int FILE_DirWaitFirst(const char* path, std::uint32_t timeoutMs, std::uint32_t filter);
// Re-arms the notification and waits again. 0 on a change or the time-out, -1 on failure.
int FILE_DirWaitNext(std::uint32_t timeoutMs);
// Closes the notification at shutdown.
bool FILE_DirWaitEnd();
