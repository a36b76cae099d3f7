// Windows process and time services.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <ctime>

#include "platform/platform.h"
#include "platform/win32/describe.h"

namespace plat {

const unsigned kTextLineEndBytes = 2;

void describe_error(unsigned long code, char* out, std::size_t cap) {
  if (out == nullptr || cap == 0) return;
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), out,
                                 static_cast<DWORD>(cap), nullptr);
  if (n == 0) std::snprintf(out, cap, "error %lu", code);
}

void process_setup() {
  // An unattended service must never stop on a dialog box waiting for a click.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
}

long process_id() {
  return static_cast<long>(GetCurrentProcessId());
}

bool current_dir(char* out, std::size_t cap) {
  const DWORD n = GetCurrentDirectoryA(static_cast<DWORD>(cap), out);
  return n > 0 && n < cap;
}

bool local_time(std::time_t t, std::tm* out) {
  return localtime_s(out, &t) == 0;
}

std::int64_t monotonic_ms() {
  return static_cast<std::int64_t>(GetTickCount64());
}

void sleep_ms(std::uint32_t ms) {
  Sleep(ms);
}

namespace {
std::atomic<bool>* g_terminate = nullptr;
static_assert(std::atomic<bool>::is_always_lock_free);  // set from the handler's own thread

// How long the handler gives the stop when the console closes or the system shuts
// down: the process is ended as soon as the handler returns.
constexpr DWORD kCloseGraceMs = 5000;

BOOL WINAPI on_console_event(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      if (g_terminate != nullptr) g_terminate->store(true);
      wake();
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      if (g_terminate != nullptr) g_terminate->store(true);
      wake();
      Sleep(kCloseGraceMs);  // the main thread's exit ends the process before that
      return TRUE;
    default:
      // CTRL_LOGOFF_EVENT: a user logging off does not stop a program run as a service.
      return TRUE;
  }
}
}  // namespace

void on_terminate(std::atomic<bool>* flag) {
  g_terminate = flag;
  SetConsoleCtrlHandler(nullptr, FALSE);  // Ctrl+C counts even if the parent ignored it
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

// A running service's log cannot be moved away on Windows: it rotates by size only.
void on_reopen(std::atomic<bool>*) {}

}  // namespace plat
