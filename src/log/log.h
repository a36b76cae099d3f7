// Leveled log: one process-wide stream (a file opened for appending, or standard
// output), a level window that decides which lines are written, and the level grid.
// The file can be rotated: reopened on request after it was moved away, or by size.
#pragma once

#include <atomic>

#include "common/format_check.h"

// Severity bases plus component offsets. Level 0 is PANIC and passes every window.
enum ZELLogLevel : int {
  LOG_TRAN_ERROR = 4,
  // The answer each request got, named: the first INFO level, which the shipped
  // window (1,44) holds, while the requests' and replies' texts stay out of it.
  LOG_TRAN_INFO = 44,
  LOG_TRAN_DEBUG = 64,
  LOG_FILE_ERROR = 5,
  LOG_FILE_WARNING = 25,
  LOG_FILE_INFO = 45,
  LOG_FILE_DEBUG = 65,
  LOG_SOCK_ERROR = 10,
  LOG_SOCK_INFO = 50,
  LOG_SOCK_DEBUG = 70,
  LOG_CLI_ERROR = 17,
  LOG_CLI_WARNING = 37,
  LOG_CLI_INFO = 57,
  LOG_CLI_DEBUG = 77,
};

// Opens or re-targets the log. setting is "file", "file,min,max" or null; its commas
// are overwritten with terminators. Always returns 0. Opening a file reads
// ZELCLIENT_LOG_MAX_BYTES and ZELCLIENT_LOG_KEEP: before a line would take the file
// past that size, FILE.1 .. FILE.(KEEP-1) move one place up, FILE becomes FILE.1 and
// a new FILE is opened.
int LOG_Open(int min, int max, char* setting);

// Set it (from a signal handler too) to have the file reopened by its name before
// the next line: once it was moved away, the lines go on in a new file.
std::atomic<bool>* LOG_ReopenFlag();

// Writes one timestamped line when the log is open and the level passes the window.
int LOG_Print(int level, const char* format, ...) ZEL_PRINTF_LIKE(2, 3);

// Writes the level's name ("PANIC", "ERROR", ... or "") into out (8 bytes at least).
char* LOG_LevelName(int level, char* out);

// Tags the calling thread's lines: "[tag] " before each message ("" or null: no
// tag). The text must outlive its use.
void LOG_SetTag(const char* tag);

// Closes the log; later lines are dropped. Standard output is never closed.
void LOG_Close();

// True when a line at this level would be written (lets callers skip costly arguments).
bool LOG_Enabled(int level);
