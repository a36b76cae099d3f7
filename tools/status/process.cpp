#include "process.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#endif

#include <string_view>

namespace zs {

#ifdef _WIN32

bool zelclient_running(long pid) {
  HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  // No such process: ERROR_INVALID_PARAMETER; another account's service: denied.
  if (h == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
  DWORD code = 0;
  bool running = GetExitCodeProcess(h, &code) != 0 && code == STILL_ACTIVE;
  char path[MAX_PATH + 1] = {};
  DWORD size = MAX_PATH;
  if (running && QueryFullProcessImageNameA(h, 0, path, &size) != 0) {
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
      if (*p == '\\' || *p == '/') name = p + 1;
    }
    running = lstrcmpiA(name, "zelclient.exe") == 0;
  }
  CloseHandle(h);
  return running;
}

#else

bool zelclient_running(long pid) {
  if (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return false;  // ESRCH
  // "PID (NAME) STATE ...": NAME may itself hold blanks and parentheses.
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
  std::FILE* f = std::fopen(path, "r");
  if (f == nullptr) return true;  // no /proc, or hidden from this account: kill said it runs
  char stat[256] = {};
  const std::size_t n = std::fread(stat, 1, sizeof stat - 1, f);
  std::fclose(f);
  stat[n] = '\0';
  const char* open = std::strchr(stat, '(');
  const char* close = std::strrchr(stat, ')');
  if (open == nullptr || close == nullptr || close < open || close[1] != ' ') return true;
  const std::string_view name(open + 1, static_cast<std::size_t>(close - open - 1));
  return name == "zelclient" && close[2] != 'Z' && close[2] != 'X';
}

#endif

}  // namespace zs
