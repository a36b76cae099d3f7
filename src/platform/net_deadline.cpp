// The sockets' calls bounded by a deadline rather than a time-out, on top of each
// build's own bounded calls: the same on both.
#include "platform/platform.h"

namespace plat {

std::int32_t ms_until(std::int64_t deadline) {
  const std::int64_t left = deadline - monotonic_ms();
  return left <= 0 ? 0 : left >= INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(left);
}

Status net_send_all(SocketValue s, const void* data, std::size_t n, std::int64_t deadline) {
  const auto* bytes = static_cast<const char*>(data);
  while (n > 0) {
    std::size_t sent = 0;
    const Status r = net_send(s, bytes, n, ms_until(deadline), &sent);
    if (r != Status::Ok) return r;
    bytes += sent;
    n -= sent;
  }
  return Status::Ok;
}

}  // namespace plat
