// zel_win_helper: what the POSIX tests do with kill, for the Windows tests.
//   zel_win_helper ctrl PID c|break         sends Ctrl+C or Ctrl+Break to the console of
//                                           process PID (all of that console's processes);
//                                           exits 0 when sent
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

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
  if (argc == 4 && std::strcmp(argv[1], "ctrl") == 0) return ctrl(argv[2], argv[3]);
  std::fprintf(stderr, "usage: zel_win_helper ctrl PID c|break\n");
  return 64;
}
