// POSIX process and time services.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"

namespace plat {

void process_setup() {
  // A peer that closes while we send is an ordinary send failure, and a broken
  // file lease must not end the service.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGIO, SIG_IGN);
}

bool local_time(std::time_t t, std::tm* out) { return localtime_r(&t, out) != nullptr; }

std::int64_t monotonic_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sleep_ms(std::uint32_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
  }
}

}  // namespace plat
