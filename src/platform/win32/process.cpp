// Windows process and time services.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <ctime>

#include "platform/platform.h"

namespace plat {

void process_setup() {
  // An unattended service must never stop on a dialog box waiting for a click.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
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

}  // namespace plat
