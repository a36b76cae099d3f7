// POSIX sockets: IPv4 TCP with bounded connect, send and receive (non-blocking
// connect and poll), and name resolution.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/platform.h"

namespace plat {

namespace {

int fd_of(SocketValue s) {
  return static_cast<int>(s);
}
bool valid(SocketValue s) {
  return s > 0 && s <= 0x7fffffff;
}

// Descriptor 0 would read as "reserved" in the handle table: move it up.
SocketValue above_zero(int fd) {
  if (fd != 0) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
  ::close(fd);
  return moved < 0 ? kNoSocket : moved;
}

sockaddr_in ipv4(const std::uint8_t addr[4], std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  std::memcpy(&sa.sin_addr.s_addr, addr, 4);
  return sa;
}

enum class Ready { Yes, TimedOut, Failed };

// Waits until fd is ready for events or the deadline passes; *revents (when
// given) gets what the wait saw.
Ready wait_ready(int fd, short events, std::int64_t deadline, std::int32_t timeout_ms,
                 short* revents = nullptr) {
  for (;;) {
    int wait = -1;
    if (timeout_ms >= 0) {
      const std::int64_t left = deadline - monotonic_ms();
      if (left < 0) return Ready::TimedOut;
      wait = static_cast<int>(left);
    }
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, wait);
    if (revents != nullptr) *revents = p.revents;
    if (r > 0) return Ready::Yes;  // readiness, or an error that the next call reports
    if (r == 0) return Ready::TimedOut;
    if (errno != EINTR) return Ready::Failed;
  }
}

Status not_ready(Ready r) {
  return r == Ready::TimedOut ? Status::TimedOut : Status::Failed;
}

}  // namespace

bool net_startup(char*, std::size_t) {
  return true;
}
void net_cleanup() {}

Resolve net_resolve(const char* host, std::uint8_t addr[4]) {
  // An empty host is this machine, as Windows resolves it; the C library finds no such name.
  if (host[0] == '\0') host = "127.0.0.1";
  // A dotted address needs no lookup; the C library's lookup would take its
  // resolver context from the heap and look at its configuration files each time.
  in_addr numeric{};
  if (inet_pton(AF_INET, host, &numeric) == 1) {
    std::memcpy(addr, &numeric.s_addr, 4);
    return Resolve::Ok;
  }
  hostent entry{};
  hostent* found = nullptr;
  char work[8192];
  int code = 0;
  // The reentrant form: several threads may resolve at once in multithreaded use.
  const int r = gethostbyname_r(host, &entry, work, sizeof work, &found, &code);
  if (r == 0 && found != nullptr) {
    if (found->h_addrtype != AF_INET || found->h_length != 4 || found->h_addr_list[0] == nullptr) {
      return Resolve::NoData;
    }
    std::memcpy(addr, found->h_addr_list[0], 4);
    return Resolve::Ok;
  }
  if (r != 0) return Resolve::Other;  // ERANGE or another local failure
  switch (code) {
    case HOST_NOT_FOUND:
      return Resolve::HostNotFound;
    case TRY_AGAIN:
      return Resolve::TryAgain;
    case NO_RECOVERY:
      return Resolve::NoRecovery;
    case NO_DATA:
      return Resolve::NoData;
    default:
      return Resolve::Other;
  }
}

SocketValue net_socket() {
  // Non-blocking from the start: connect, send and receive wait with poll.
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  return fd < 0 ? kNoSocket : above_zero(fd);
}

Status net_connect(SocketValue s, const std::uint8_t addr[4], std::uint16_t port,
                   std::int32_t timeout_ms) {
  if (!valid(s)) return Status::BadHandle;
  const sockaddr_in sa = ipv4(addr, port);
  if (::connect(fd_of(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) {
    return Status::Ok;
  }
  if (errno != EINPROGRESS && errno != EINTR) return Status::Failed;
  return net_connect_wait(s, timeout_ms);
}

Status net_connect_wait(SocketValue s, std::int32_t timeout_ms) {
  if (!valid(s)) return Status::BadHandle;
  const int fd = fd_of(s);
  short revents = 0;
  const Ready ready = wait_ready(fd, POLLOUT, monotonic_ms() + timeout_ms, timeout_ms, &revents);
  if (ready != Ready::Yes) return not_ready(ready);
  // A connection refused or unreachable wakes the wait with an error or a hang-up
  // (the socket's pending error says which; no call need ask for it).
  return (revents & (POLLERR | POLLHUP)) == 0 ? Status::Ok : Status::Failed;
}

Status net_wait_readable(SocketValue s, std::int32_t timeout_ms) {
  if (!valid(s)) return Status::BadHandle;
  const Ready ready = wait_ready(fd_of(s), POLLIN, monotonic_ms() + timeout_ms, timeout_ms);
  return ready == Ready::Yes ? Status::Ok : not_ready(ready);
}

Status net_bind_any(SocketValue s, std::uint16_t port) {
  if (!valid(s)) return Status::BadHandle;
  // A listener started again at once finds its port held by the connections it
  // closed, in TIME_WAIT for about a minute; SO_REUSEADDR lets it bind all the
  // same, as Windows does, and still refuses a port that another socket listens on.
  const int reuse = 1;
  if (setsockopt(fd_of(s), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0) {
    return Status::Failed;
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  return ::bind(fd_of(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 ? Status::Ok
                                                                                  : Status::Failed;
}

Status net_listen(SocketValue s, int backlog) {
  return valid(s) && ::listen(fd_of(s), backlog) == 0 ? Status::Ok : Status::Failed;
}

SocketValue net_accept(SocketValue s, std::uint8_t peer[4]) {
  if (!valid(s)) return kNoSocket;
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  int fd = -1;
  for (;;) {
    fd = ::accept4(fd_of(s), reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) break;
    if (wait_ready(fd_of(s), POLLIN, 0, -1) != Ready::Yes) return kNoSocket;
  }
  if (fd < 0) return kNoSocket;
  std::memcpy(peer, &sa.sin_addr.s_addr, 4);
  return above_zero(fd);
}

int net_local_port(SocketValue s) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (!valid(s) || getsockname(fd_of(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return -1;
  return ntohs(sa.sin_port);
}

Status net_send(SocketValue s, const void* data, std::size_t n, std::int32_t timeout_ms,
                std::size_t* sent) {
  *sent = 0;
  if (!valid(s)) return Status::BadHandle;
  const std::int64_t deadline = monotonic_ms() + timeout_ms;
  // A socket with room takes the data at once; the wait is only for a full one.
  for (;;) {
    const ssize_t r = ::send(fd_of(s), data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r >= 0) {
      *sent = static_cast<std::size_t>(r);
      return Status::Ok;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return Status::Failed;
    const Ready ready = wait_ready(fd_of(s), POLLOUT, deadline, timeout_ms);
    if (ready != Ready::Yes) return not_ready(ready);
  }
}

Status net_recv(SocketValue s, void* dest, std::size_t n, std::int32_t timeout_ms,
                std::size_t* got) {
  *got = 0;
  if (!valid(s)) return Status::BadHandle;
  const std::int64_t deadline = monotonic_ms() + timeout_ms;
  for (;;) {
    const Ready ready = wait_ready(fd_of(s), POLLIN, deadline, timeout_ms);
    if (ready != Ready::Yes) return not_ready(ready);
    const ssize_t r = ::recv(fd_of(s), dest, n, MSG_DONTWAIT);
    if (r > 0) {
      *got = static_cast<std::size_t>(r);
      return Status::Ok;
    }
    if (r == 0) return Status::Closed;
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return Status::Failed;
  }
}

Status net_shutdown(SocketValue s, int how) {
  static const int kModes[] = {SHUT_RD, SHUT_WR, SHUT_RDWR};
  if (!valid(s) || how < 0 || how > 2) return Status::Invalid;
  return ::shutdown(fd_of(s), kModes[how]) == 0 ? Status::Ok : Status::Failed;
}

Status net_close(SocketValue s) {
  return valid(s) && ::close(fd_of(s)) == 0 ? Status::Ok : Status::Failed;
}

}  // namespace plat
