// zel_win_helper: what the POSIX tests do with the shell and kill, for the Windows
// tests.
//   zel_win_helper hold r|a FILE MS [READY]  opens FILE as an ordinary program does, for
//                                           reading (r) or appending (a), creates READY,
//                                           keeps FILE open MS milliseconds, exits 0
//   zel_win_helper ctrl PID c|break         sends Ctrl+C or Ctrl+Break to the console of
//                                           process PID (all of that console's processes);
//                                           exits 0 when sent
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int hold(const char* mode, const char* file, const char* ms, const char* ready) {
  FILE* held = std::fopen(file, std::strcmp(mode, "a") == 0 ? "ab" : "rb");
  if (held == nullptr) return 1;
  if (ready != nullptr) {
    FILE* r = std::fopen(ready, "wb");
    if (r == nullptr) return 1;
    std::fclose(r);
  }
  Sleep(static_cast<DWORD>(std::strtoul(ms, nullptr, 10)));
  std::fclose(held);
  return 0;
}

BOOL WINAPI ignore_event(DWORD) {
  return TRUE;  // the event reaches this process too, now in the same console
}

int ctrl(const char* pid, const char* event) {
  FreeConsole();
  if (!AttachConsole(static_cast<DWORD>(std::strtoul(pid, nullptr, 10)))) return 2;
  SetConsoleCtrlHandler(ignore_event, TRUE);
  const DWORD which = std::strcmp(event, "break") == 0 ? CTRL_BREAK_EVENT : CTRL_C_EVENT;
  const BOOL sent = GenerateConsoleCtrlEvent(which, 0);
  Sleep(50);  // let this process's own handler run before the console goes
  FreeConsole();
  return sent ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 5 && std::strcmp(argv[1], "hold") == 0) {
    return hold(argv[2], argv[3], argv[4], argc >= 6 ? argv[5] : nullptr);
  }
  if (argc == 4 && std::strcmp(argv[1], "ctrl") == 0) return ctrl(argv[2], argv[3]);
  std::fprintf(stderr, "usage: zel_win_helper hold r|a FILE MS [READY] | ctrl PID c|break\n");
  return 64;
}
