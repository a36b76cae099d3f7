// Waiting for changes in a directory tree: one process-wide change notification
// on the root directory and all its subdirectories.
#pragma once

#include <cstdint>

// Change kinds of the filter (Win32 FILE_NOTIFY_CHANGE_* values).
constexpr std::uint32_t kChangeFileName = 0x01;
constexpr std::uint32_t kChangeAttributes = 0x04;
constexpr std::uint32_t kChangeLastWrite = 0x10;

enum class DirWait { Changed, TimedOut, Failed, Woken };  // Woken: by plat::wake

// Sets up the notification and waits once.
DirWait FILE_DirWaitFirst(const char* path, std::uint32_t timeoutMs, std::uint32_t filter);
// Re-arms the notification and waits again.
DirWait FILE_DirWaitNext(std::uint32_t timeoutMs);
// Closes the notification at shutdown.
bool FILE_DirWaitEnd();

// False once the notification no longer watches the directory its path names
// (removed, moved away, covered by a mount, or the path names another now).
bool FILE_DirWaitFollows();
// Sets the notification up again on the directory path names now, without the
// lines of a first wait; false while that cannot be done.
bool FILE_DirWaitAgain(const char* path, std::uint32_t filter);
