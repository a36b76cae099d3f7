// The thin operating-system layer: everything that differs between Linux and
// Windows, and nothing else. posix/ and win32/ each implement this one header;
// the rest of the code includes no OS header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

namespace plat {

// ---- Process and time ------------------------------------------------------

// Once at start: signals that must never end the process (SIGPIPE, lease breaks).
void process_setup();

// Local broken-down time of t; false when the conversion fails.
bool local_time(std::time_t t, std::tm* out);

// Monotonic wall clock in milliseconds (elapsed time, never CPU time).
std::int64_t monotonic_ms();

void sleep_ms(std::uint32_t ms);

// ---- Files -----------------------------------------------------------------

// The platform's path separator: '\\' on Windows, '/' elsewhere.
extern const char kPathSeparator;

// Exclusive opens in binary mode: refused with errno EACCES while another process
// holds the file open, and while held, other processes cannot open it.
// Read: the file must exist. Write: read/write, created when missing, emptied.
// Both return a descriptor, or -1 with errno set.
int file_open_exclusive_read(const char* path);
int file_open_exclusive_write(const char* path);
long file_read(int fd, char* buf, std::size_t n);  // bytes read, 0 at end, -1 + errno
long file_write(int fd, const char* buf, std::size_t n);  // bytes written or -1 + errno
int file_close(int fd);

// access() modes: 0 existence, 4 read permission. 0 when allowed, else -1 + errno.
int file_access(const char* path, int mode);
int file_unlink(const char* path);  // 0, or -1 + errno

// Replaces path's content atomically: writes a temporary file in the same
// directory, flushes it to disk and renames it over path. A reader sees the old
// or the new content, never an empty or partial file. 0, or -1 + errno.
int file_replace_atomic(const char* path, const char* data, std::size_t n);

// ---- Directory change waiting ----------------------------------------------

enum class WaitOutcome { Signalled, Timeout, Abandoned, Failed };

// One process-wide change notification on a directory and all its
// subdirectories, for the change kinds of filter (FILE_NOTIFY_CHANGE_* bits).
// On failure returns -1 and puts the system's error text into err.
int dirwatch_open(const char* path, std::uint32_t filter, char* err, std::size_t errcap);
// Re-arms the notification for the next change; -1 when it cannot be.
int dirwatch_rearm();
WaitOutcome dirwatch_wait(std::uint32_t timeout_ms);
bool dirwatch_close();

// ---- Sockets ---------------------------------------------------------------
// (declared by the socket layer's work)

// ---- Named mutex -----------------------------------------------------------
// (declared by the socket layer's work)

}  // namespace plat
