// POSIX wake-up of the loop: an eventfd, polled beside the directory watch.
#include "platform/posix/wake.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>

#include "platform/platform.h"

namespace plat {
namespace {
int g_wake = -1;
}  // namespace

int wake_fd() {
  return g_wake;
}

bool wake_take() {
  std::uint64_t count = 0;
  return g_wake >= 0 && ::read(g_wake, &count, sizeof count) == sizeof count;
}

bool wake_open() {
  if (g_wake < 0) g_wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  return g_wake >= 0;
}

void wake() {
  const std::uint64_t one = 1;
  if (g_wake >= 0) {
    [[maybe_unused]] const ssize_t n = ::write(g_wake, &one, sizeof one);
  }
}

bool wake_sleep(std::uint32_t timeout_ms) {
  if (g_wake < 0) {
    sleep_ms(timeout_ms);
    return false;
  }
  const std::int64_t deadline = monotonic_ms() + timeout_ms;
  for (;;) {
    std::int64_t left = deadline - monotonic_ms();
    if (left < 0) left = 0;
    pollfd p{g_wake, POLLIN, 0};
    const int r = ::poll(&p, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
    if (r > 0) return wake_take();
    if (r == 0 && left <= INT_MAX) return false;
    if (r < 0 && errno != EINTR) return false;
  }
}

}  // namespace plat
