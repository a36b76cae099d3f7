// Running as a Windows service or as a console program: one executable, one run.
// Started by the Service Control Manager, the run is wrapped in the service's status
// reporting and stop handling; started in any other way (and on every system but
// Windows) the run is called as it is, with nothing added.
#pragma once

#include <cstdint>

namespace plat {

// The program's run: start-up, processing loop and shutdown; returns the exit status.
using ServiceRun = int (*)(int argc, char** argv);

// Runs run(argc, argv) as a service when the Service Control Manager started the
// process, directly otherwise. Returns run's result.
int run_as_service_or_console(int argc, char** argv, ServiceRun run);

// A start refused: the reason, in one line on standard error (under systemd's
// journal with an error's priority), and on Windows in the Event Log entry of the
// refused start. commandLine: the command line (or configuration) was refused,
// rather than the start for another reason (another service holds a folder).
void start_refused(const char* text, bool commandLine = false);

// Called by the run once its configuration is accepted, before its loop starts: the
// service reports itself running and a stop request writes the stop file in root.
// Nothing happens outside service mode.
void service_running(const char* root);

// Called by the run when its loop has returned, before the shutdown steps.
// Nothing happens outside service mode.
void service_stopping();

// What the run tells a service manager that asked for it: on Linux systemd's
// notification protocol, when NOTIFY_SOCKET names its socket (READY=1, STATUS=
// with the status line, STOPPING=1, WATCHDOG=1); nothing otherwise, and nothing
// on Windows, where the service's own status reports stand for it.
enum class Notify { Ready, Status, Stopping, Watchdog };
void service_notify(Notify what, const char* status);
// The interval of the watchdog that the service manager keeps on this process,
// in milliseconds (WATCHDOG_USEC, for this process's WATCHDOG_PID); 0: none.
std::uint32_t service_watchdog_ms();

// An event for the operator, in the system's own log besides the service's: the
// Windows Event Log (source zelclient, event id), and under systemd the journal,
// with a warning's priority or a notice's.
void service_event(bool warning, unsigned id, const char* text);

}  // namespace plat
