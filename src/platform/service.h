// Running as a Windows service or as a console program: one executable, one run.
// Started by the Service Control Manager, the run is wrapped in the service's status
// reporting and stop handling; started in any other way (and on every system but
// Windows) the run is called as it is, with nothing added.
#pragma once

namespace plat {

// The program's run: start-up, processing loop and shutdown; returns the exit status.
using ServiceRun = int (*)(int argc, char** argv);

// Runs run(argc, argv) as a service when the Service Control Manager started the
// process, directly otherwise. Returns run's result.
int run_as_service_or_console(int argc, char** argv, ServiceRun run);

// Called by the run once its configuration is accepted, before its loop starts: the
// service reports itself running and a stop request writes the stop file in root.
// Nothing happens outside service mode.
void service_running(const char* root);

// Called by the run when its loop has returned, before the shutdown steps.
// Nothing happens outside service mode.
void service_stopping();

}  // namespace plat
