// POSIX: no service manager of the program's own (systemd starts it as it is).
#include "platform/service.h"

namespace plat {

int run_as_service_or_console(int argc, char** argv, ServiceRun run) {
  return run(argc, argv);
}

void service_running(const char*) {}

void service_stopping() {}

}  // namespace plat
