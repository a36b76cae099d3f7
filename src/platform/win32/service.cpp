// zelclient.exe as a Windows service.
//
// The Service Control Manager starts a service process without a console and without
// standard handles; only such a process asks the service dispatcher whether it is a
// service. Every other start is a console start and runs exactly as before.
//
// In service mode, on the service thread:
//   - the working folder becomes the one named by the service's registry value
//     Parameters\WorkingDirectory, or else the executable's folder (a service starts
//     in System32), before anything is opened; it must be writable;
//   - the options are those of the service's command line, then those of
//     zelclient.conf in the working folder (an option and its value per line), then
//     the start parameters; a later option overrides an earlier one;
//   - the status is START_PENDING until the run has accepted its configuration,
//     RUNNING while its loop runs, STOP_PENDING from a stop request or the end of the
//     loop until the shutdown steps are done, then STOPPED with the exit status;
//   - a stop or shutdown request writes the stop file in the root folder, with content
//     so that the default last-write filter sees it, and writes to it again every
//     second until the loop has taken it: the loop ends the way it always ends;
//   - start-up failures, and a run that ends with a failure, go to the Event Log.
#define WIN32_LEAN_AND_MEAN
#include "platform/service.h"

#include <windows.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "common/format_check.h"
#include "common/limits.h"
#include "platform/optionfile.h"
#include "platform/platform.h"

namespace plat {
namespace {

constexpr const char* kEventSource = "zelclient";
constexpr const char* kStopFileName = "ZELCLIENTSTOP.tmp";  // the loop's stop file
constexpr const char* kWriteCheckFile = "zelclient-write-check.tmp";

// Event identifiers; the message table (events.mc) shows each event's text as it is.
constexpr DWORD kEventStartFailed = 1;
constexpr DWORD kEventRunFailed = 2;
constexpr DWORD kEventStopProblem = 3;

constexpr DWORD kStartWaitHintMs = 10000;
// While stopping, progress is reported every second, each time with a hint that
// covers the next report.
constexpr DWORD kStopReportMs = 1000;
constexpr DWORD kStopWaitHintMs = 5000;
// A loop that has not taken the stop file after this long gets no more progress
// reports: the Service Control Manager then sees a service that does not stop.
constexpr DWORD kStopProgressMaxMs = 300000;

ServiceRun g_run = nullptr;
int g_argc = 0;
char** g_argv = nullptr;
int g_result = -1;

char g_name[257] = "zelclient";
char g_folder[MAX_PATH] = "";
SERVICE_STATUS_HANDLE g_handle = nullptr;
SERVICE_STATUS g_status{};
CRITICAL_SECTION g_lock;  // g_status, between the control handler and the service threads
bool g_service = false;
bool g_reached_running = false;
HANDLE g_stop_requested = nullptr;  // manual reset: a stop or shutdown control came
HANDLE g_loop_done = nullptr;       // manual reset: the run's loop has returned
char g_stop_path[MAX_PATH + 32] = "";
char g_refusal[512] = "";           // why the run refused to start
bool g_refusedCommandLine = false;  // ... which was its command line or configuration
std::atomic<bool> g_stop_written{false};

char g_conf_text[kOptionFileMax + 2];
OptionArgs g_args;
// The installer's settings (msiexec NAME= ROOT= TERMINALS= GATEWAY=), each kept as a value
// of the service's Parameters key, and the option it gives.
struct Installed {
  const char* value;
  char option[3];
  char text[256];
};
Installed g_installed[] = {
    {"Name", "-n", ""}, {"Root", "-r", ""}, {"Terminals", "-t", ""}, {"Gateway", "-g", ""}};

// ---- Status and events -------------------------------------------------------

// Call with g_lock held.
void report_locked(DWORD state, DWORD win32Exit, DWORD specificExit, DWORD waitHint) {
  g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_status.dwCurrentState = state;
  g_status.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  g_status.dwWin32ExitCode = win32Exit;
  g_status.dwServiceSpecificExitCode = specificExit;
  const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
  g_status.dwCheckPoint = pending ? g_status.dwCheckPoint + 1 : 0;
  g_status.dwWaitHint = pending ? waitHint : 0;
  SetServiceStatus(g_handle, &g_status);
}

void report(DWORD state, DWORD win32Exit = NO_ERROR, DWORD specificExit = 0, DWORD waitHint = 0) {
  EnterCriticalSection(&g_lock);
  report_locked(state, win32Exit, specificExit, waitHint);
  LeaveCriticalSection(&g_lock);
}

// The exit status of a run that ended with a failure, as a service reports it.
void report_stopped_with(int result) {
  report(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, static_cast<DWORD>(result) & 0xFF);
}

void write_event(WORD type, DWORD id, const char* format, ...) ZEL_PRINTF_LIKE(3, 4);
void write_event(WORD type, DWORD id, const char* format, ...) {
  char text[2048];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  HANDLE source = RegisterEventSourceA(nullptr, kEventSource);
  if (source == nullptr) return;
  const char* strings[1] = {text};
  ReportEventA(source, type, 0, id, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

// The system's text for an error code, without its closing full stop and line end.
const char* system_text(DWORD code, char* out, std::size_t cap) {
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), out,
                           static_cast<DWORD>(cap), nullptr);
  while (n > 0 &&
         (out[n - 1] == '\n' || out[n - 1] == '\r' || out[n - 1] == ' ' || out[n - 1] == '.')) {
    --n;
  }
  if (n == 0) {
    std::snprintf(out, cap, "error %lu", static_cast<unsigned long>(code));
  } else {
    out[n] = '\0';
  }
  return out;
}

// ---- Working folder ------------------------------------------------------------

// Fills g_folder: Parameters\WorkingDirectory of the service's registry key (with
// environment references expanded), else the executable's folder.
bool find_working_folder(char* err, std::size_t cap) {
  char key[400];
  std::snprintf(key, sizeof key, "SYSTEM\\CurrentControlSet\\Services\\%s\\Parameters", g_name);
  HKEY k = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE, &k) == ERROR_SUCCESS) {
    char raw[MAX_PATH + 1];
    DWORD type = 0;
    DWORD size = MAX_PATH;
    const LONG rc = RegQueryValueExA(k, "WorkingDirectory", nullptr, &type,
                                     reinterpret_cast<BYTE*>(raw), &size);
    RegCloseKey(k);
    if (rc == ERROR_MORE_DATA) {
      std::snprintf(err, cap, "the registry value HKLM\\%s\\WorkingDirectory is too long", key);
      return false;
    }
    if (rc == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ)) {
      raw[size] = '\0';  // a stored string need not end with its terminator
      if (raw[0] != '\0') {
        const DWORD n = ExpandEnvironmentStringsA(raw, g_folder, sizeof g_folder);
        if (n == 0 || n > sizeof g_folder) {
          std::snprintf(err, cap, "the registry value HKLM\\%s\\WorkingDirectory is too long", key);
          return false;
        }
        return true;
      }
    }
  }
  const DWORD n = GetModuleFileNameA(nullptr, g_folder, sizeof g_folder);
  char* slash = n > 0 && n < sizeof g_folder ? std::strrchr(g_folder, '\\') : nullptr;
  if (slash == nullptr) {
    std::snprintf(err, cap, "the executable's folder is not known");
    return false;
  }
  slash[slash > g_folder && slash[-1] == ':' ? 1 : 0] = '\0';  // "C:\" keeps its separator
  return true;
}

// Makes the working folder the current directory. NO_ERROR, or the failure's code
// with its description in err.
DWORD enter_working_folder(char* err, std::size_t cap) {
  if (!find_working_folder(err, cap)) return ERROR_BAD_PATHNAME;
  char sys[256];
  if (!SetCurrentDirectoryA(g_folder)) {
    const DWORD code = GetLastError();
    std::snprintf(err, cap, "the working folder %s cannot be used: %s", g_folder,
                  system_text(code, sys, sizeof sys));
    return code;
  }
  // The journal and the number files are written here: make sure that can be done.
  HANDLE probe = CreateFileA(kWriteCheckFile, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (probe == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    std::snprintf(err, cap, "the working folder %s is not writable: %s", g_folder,
                  system_text(code, sys, sizeof sys));
    return code;
  }
  CloseHandle(probe);
  return NO_ERROR;
}

// ---- Options -------------------------------------------------------------------

// Adds the options of zelclient.conf (none when it does not exist): reads up to one byte
// more than it may hold, so that a longer file is told, and lets parse_option_file split it.
bool add_config_file(char* err, std::size_t cap) {
  HANDLE f = CreateFileA(kOptionFileName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  char sys[256];
  if (f == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND) return true;
    std::snprintf(err, cap, "%s cannot be read: %s", kOptionFileName,
                  system_text(code, sys, sizeof sys));
    return false;
  }
  std::size_t size = 0;
  DWORD got = 0;
  BOOL ok = TRUE;
  while (size <= kOptionFileMax &&
         (ok = ReadFile(f, g_conf_text + size, static_cast<DWORD>(kOptionFileMax + 1 - size), &got,
                        nullptr)) &&
         got > 0) {
    size += got;
  }
  const DWORD code = GetLastError();
  CloseHandle(f);
  if (!ok) {
    std::snprintf(err, cap, "%s cannot be read: %s", kOptionFileName,
                  system_text(code, sys, sizeof sys));
    return false;
  }
  return parse_option_file(g_conf_text, size, g_args, err, cap);
}

// Adds the options the installer kept (g_installed), those with a value.
bool add_installed_options(char* err, std::size_t cap) {
  char key[400];
  std::snprintf(key, sizeof key, "SYSTEM\\CurrentControlSet\\Services\\%s\\Parameters", g_name);
  HKEY k = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS) return true;
  bool ok = true;
  for (Installed& p : g_installed) {
    DWORD type = 0;
    DWORD size = sizeof p.text - 1;
    const LONG rc =
        RegQueryValueExA(k, p.value, nullptr, &type, reinterpret_cast<BYTE*>(p.text), &size);
    if (rc == ERROR_MORE_DATA) {
      std::snprintf(err, cap, "the registry value HKLM\\%s\\%s is too long", key, p.value);
      ok = false;
      break;
    }
    if (rc != ERROR_SUCCESS || type != REG_SZ) continue;
    p.text[size] = '\0';  // a stored string need not end with its terminator
    if (p.text[0] == '\0') continue;
    if (!g_args.add(p.option) || !g_args.add(p.text)) {
      std::snprintf(err, cap, "more than %d options", kOptionArgsMax);
      ok = false;
      break;
    }
  }
  RegCloseKey(k);
  return ok;
}

// The settings of zelclient.conf, into the service's environment before the run reads it.
bool apply_settings(char* err, std::size_t cap) {
  for (int i = 0; i < g_args.settingCount; ++i) {
    if (_putenv(g_args.settings[i]) != 0) {
      std::snprintf(err, cap, "%s: the setting %s cannot be made", kOptionFileName,
                    g_args.settings[i]);
      return false;
    }
  }
  return true;
}

// g_args: the program name, the service's command line, the installer's options,
// zelclient.conf (which may override them), the start parameters (which follow the
// service name).
bool build_args(DWORD startArgc, char** startArgv, char* err, std::size_t cap) {
  static char program[] = "zelclient";
  g_args.count = 0;
  g_args.add(g_argc > 0 ? g_argv[0] : program);
  for (int i = 1; i < g_argc; ++i) {
    if (!g_args.add(g_argv[i])) {
      std::snprintf(err, cap, "more than %d options", kOptionArgsMax);
      return false;
    }
  }
  if (!add_installed_options(err, cap) || !add_config_file(err, cap) || !apply_settings(err, cap)) {
    return false;
  }
  for (DWORD i = 1; i < startArgc; ++i) {
    if (!g_args.add(startArgv[i])) {
      std::snprintf(err, cap, "more than %d options", kOptionArgsMax);
      return false;
    }
  }
  g_args.items[g_args.count] = nullptr;
  return true;
}

// The options as one line, for the Event Log.
const char* options_text(char* out, std::size_t cap) {
  std::size_t used = 0;
  out[0] = '\0';
  for (int i = 1; i < g_args.count && used + 1 < cap; ++i) {
    const int n = std::snprintf(out + used, cap - used, i > 1 ? " %s" : "%s", g_args.items[i]);
    if (n < 0) break;
    used += static_cast<std::size_t>(n);
  }
  if (g_args.count <= 1) std::snprintf(out, cap, "(none)");
  return out;
}

// ---- Stopping ------------------------------------------------------------------

// Appends a line to the stop file; creates it only when create is set, so that a file
// the loop has already taken is never made again.
bool write_stop_file(bool create, DWORD* error) {
  HANDLE f = CreateFileA(g_stop_path, FILE_APPEND_DATA,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         create ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return false;
  }
  static const char kLine[] = "stop\r\n";
  DWORD written = 0;
  const BOOL ok = WriteFile(f, kLine, sizeof kLine - 1, &written, nullptr);
  *error = ok ? NO_ERROR : GetLastError();
  CloseHandle(f);
  return ok && written == sizeof kLine - 1;
}

// Waits for a stop request, then writes the stop file and reports progress until the
// loop has returned.
DWORD WINAPI stopper(void*) {
  HANDLE events[2] = {g_loop_done, g_stop_requested};
  if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return 0;
  bool warned = false;
  char sys[256];
  for (DWORD waited = 0;; waited += kStopReportMs) {
    DWORD error = NO_ERROR;
    if (!g_stop_written) {
      g_stop_written = write_stop_file(true, &error);
      if (!g_stop_written && !warned) {
        write_event(EVENTLOG_WARNING_TYPE, kEventStopProblem,
                    "The service %s cannot write its stop file %s: %s. It tries again every "
                    "second, and stops once the file is written.",
                    g_name, g_stop_path, system_text(error, sys, sizeof sys));
        warned = true;
      }
    } else {
      write_stop_file(false, &error);  // another change for the directory wait
    }
    // A loop asleep after a failed directory wait wakes to look for the file.
    if (g_stop_written) wake();
    if (WaitForSingleObject(g_loop_done, kStopReportMs) == WAIT_OBJECT_0) return 0;
    if (waited + kStopReportMs >= kStopProgressMaxMs) break;
    EnterCriticalSection(&g_lock);
    if (g_status.dwCurrentState == SERVICE_STOP_PENDING) {
      report_locked(SERVICE_STOP_PENDING, NO_ERROR, 0, kStopWaitHintMs);
    }
    LeaveCriticalSection(&g_lock);
  }
  write_event(EVENTLOG_WARNING_TYPE, kEventStopProblem,
              "The service %s has not stopped %u seconds after the stop request: its loop has "
              "not taken the stop file %s.",
              g_name, static_cast<unsigned>(kStopProgressMaxMs / 1000), g_stop_path);
  WaitForSingleObject(g_loop_done, INFINITE);
  return 0;
}

DWORD WINAPI control_handler(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      EnterCriticalSection(&g_lock);
      if (g_status.dwCurrentState == SERVICE_RUNNING) {
        report_locked(SERVICE_STOP_PENDING, NO_ERROR, 0, kStopWaitHintMs);
        SetEvent(g_stop_requested);
      }
      LeaveCriticalSection(&g_lock);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

// ---- The service -----------------------------------------------------------------

void WINAPI service_main(DWORD argc, char** argv) {
  if (argc > 0 && argv[0] != nullptr && argv[0][0] != '\0') {
    std::snprintf(g_name, sizeof g_name, "%s", argv[0]);
  }
  g_handle = RegisterServiceCtrlHandlerExA(g_name, control_handler, nullptr);
  if (g_handle == nullptr) {
    char sys[256];
    write_event(EVENTLOG_ERROR_TYPE, kEventStartFailed,
                "The service %s did not start: its control handler cannot be registered: %s",
                g_name, system_text(GetLastError(), sys, sizeof sys));
    return;
  }
  report(SERVICE_START_PENDING, NO_ERROR, 0, kStartWaitHintMs);

  char err[1024];
  const DWORD folderError = enter_working_folder(err, sizeof err);
  if (folderError != NO_ERROR) {
    write_event(EVENTLOG_ERROR_TYPE, kEventStartFailed, "The service %s did not start: %s.", g_name,
                err);
    report(SERVICE_STOPPED, folderError);
    return;
  }
  if (!build_args(argc, argv, err, sizeof err)) {
    write_event(EVENTLOG_ERROR_TYPE, kEventStartFailed,
                "The service %s did not start (exit code 255): in its working folder %s, %s.",
                g_name, g_folder, err);
    report_stopped_with(-1);
    return;
  }

  g_stop_requested = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  g_loop_done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE stopperThread = g_stop_requested != nullptr && g_loop_done != nullptr
                             ? CreateThread(nullptr, 0, stopper, nullptr, 0, nullptr)
                             : nullptr;
  if (stopperThread == nullptr) {
    char sys[256];
    write_event(EVENTLOG_ERROR_TYPE, kEventStartFailed, "The service %s did not start: %s", g_name,
                system_text(GetLastError(), sys, sizeof sys));
    report(SERVICE_STOPPED, ERROR_NOT_ENOUGH_MEMORY);
    return;
  }

  g_result = g_run(g_args.count, g_args.items);

  SetEvent(g_loop_done);
  WaitForSingleObject(stopperThread, 5000);
  CloseHandle(stopperThread);
  // A stop file written just as the loop ended by itself would stop the next start.
  if (g_stop_written) DeleteFileA(g_stop_path);

  char options[1024];
  if (!g_reached_running && g_refusal[0] != '\0' && !g_refusedCommandLine) {
    write_event(EVENTLOG_ERROR_TYPE, kEventStartFailed, "The service %s did not start: %s", g_name,
                g_refusal);
    report_stopped_with(g_result);
  } else if (!g_reached_running) {
    write_event(
        EVENTLOG_ERROR_TYPE, kEventStartFailed,
        "The service %s did not start: its command line was refused (exit code 255): "
        "%s. Options: %s. The options -n and -r are required; an unknown or reserved option "
        "(-b, -o), an option without its value, a gateway port outside %d to %d, or a "
        "value longer than its field (name over %zu characters, root folder over %zu, "
        "gateway host over %d, pharmacy identifier over %zu, a terminal name over %zu, "
        "more than %d terminals) refuses the command line. The options come from the "
        "service's command line and from %s in %s.",
        g_name, g_refusal[0] != '\0' ? g_refusal : "see below",
        options_text(options, sizeof options), kPortMin, kPortMax, kClientNameMax, kRootPathMax,
        kHostMax, kPharmacyIdMax, kTerminalNameMax, kMaxTerminals, kOptionFileName, g_folder);
    report_stopped_with(g_result);
  } else if (g_result != 0) {
    write_event(EVENTLOG_ERROR_TYPE, kEventRunFailed,
                "The service %s stopped with exit status %d: its loop ended with a failure "
                "(the log written with -l tells which). Options: %s.",
                g_name, g_result, options_text(options, sizeof options));
    report_stopped_with(g_result);
  } else {
    report(SERVICE_STOPPED);
  }
}

// The Service Control Manager starts a service without a console and without standard
// handles. Any other process is a console start and never asks the dispatcher (which,
// under Wine, may first wait seconds for another service's control pipe).
bool may_be_service() {
  if (GetConsoleWindow() != nullptr) return false;
  for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    HANDLE h = GetStdHandle(which);
    if (h != nullptr && h != INVALID_HANDLE_VALUE) return false;
  }
  return true;
}

}  // namespace

int run_as_service_or_console(int argc, char** argv, ServiceRun run) {
  if (!may_be_service()) return run(argc, argv);
  g_run = run;
  g_argc = argc;
  g_argv = argv;
  InitializeCriticalSection(&g_lock);
  g_service = true;
  static char anyName[] = "";  // one service per process: the name is not looked at
  SERVICE_TABLE_ENTRYA table[] = {{anyName, service_main}, {nullptr, nullptr}};
  if (StartServiceCtrlDispatcherA(table)) return g_result;
  // ERROR_FAILED_SERVICE_CONTROLLER_CONNECT: not started by the Service Control Manager.
  g_service = false;
  return run(argc, argv);
}

void start_refused(const char* text, bool commandLine) {
  std::fprintf(stderr, "%s\n", text);
  std::fflush(stderr);
  std::snprintf(g_refusal, sizeof g_refusal, "%s", text);
  g_refusedCommandLine = commandLine;
}

void service_running(const char* root) {
  if (!g_service) return;
  // The stop file's path, joined as the loop joins it.
  const std::size_t len = std::strlen(root);
  const char* separator = len > 0 && root[len - 1] == '\\' ? "" : "\\";
  std::snprintf(g_stop_path, sizeof g_stop_path, "%s%s%s", root, separator, kStopFileName);
  g_reached_running = true;
  report(SERVICE_RUNNING);
}

void service_stopping() {
  if (!g_service) return;
  EnterCriticalSection(&g_lock);
  if (g_status.dwCurrentState == SERVICE_RUNNING) {
    report_locked(SERVICE_STOP_PENDING, NO_ERROR, 0, kStopWaitHintMs);
  }
  LeaveCriticalSection(&g_lock);
  SetEvent(g_loop_done);
}

// The service's status reports stand for the service manager's notifications.
void service_notify(Notify, const char*) {}

std::uint32_t service_watchdog_ms() {
  return 0;
}

void service_event(bool warning, unsigned id, const char* text) {
  write_event(warning ? EVENTLOG_WARNING_TYPE : EVENTLOG_INFORMATION_TYPE, id, "%s", text);
}

}  // namespace plat
