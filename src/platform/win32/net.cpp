// Windows Sockets 2.2: IPv4 TCP with bounded connect, send and receive. Every
// socket is made non-blocking (ioctlsocket FIONBIO) and not inheritable by child
// processes; each call first waits with select for as long as its bound allows.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <winsock2.h>

#include <climits>
#include <cstring>

#include "platform/platform.h"
#include "platform/win32/describe.h"

namespace plat {

namespace {

// INVALID_SOCKET reads as kNoSocket; every socket the system gives is above 0.
SOCKET sock_of(SocketValue s) {
  return static_cast<SOCKET>(s);
}
bool valid(SocketValue s) {
  return s > 0;
}

// A new socket made ready for use here, or kNoSocket (the socket is closed).
SocketValue adopt(SOCKET s) {
  if (s == INVALID_SOCKET) return kNoSocket;
  u_long nonblocking = 1;
  if (ioctlsocket(s, FIONBIO, &nonblocking) != 0 ||
      !SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0)) {
    closesocket(s);
    return kNoSocket;
  }
  return static_cast<SocketValue>(s);
}

sockaddr_in ipv4(const std::uint8_t addr[4], std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  std::memcpy(&sa.sin_addr.s_addr, addr, 4);
  return sa;
}

enum class Until { Readable, Writable, Connected };

enum class Ready { Yes, TimedOut, Failed };

// Waits until s is ready or the deadline passes. Yes when ready (or failed, for a
// connect: the caller reads the outcome).
Ready wait_ready(SOCKET s, Until until, std::int64_t deadline, std::int32_t timeout_ms) {
  for (;;) {
    timeval bound{};
    timeval* wait = nullptr;
    if (timeout_ms >= 0) {
      const std::int64_t left = deadline - monotonic_ms();
      if (left < 0) return Ready::TimedOut;
      bound.tv_sec = static_cast<long>(left / 1000);
      bound.tv_usec = static_cast<long>(left % 1000) * 1000;
      wait = &bound;
    }
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(s, &ready);
    fd_set failed;  // a connect that fails is reported here
    FD_ZERO(&failed);
    FD_SET(s, &failed);
    const int r = select(0, until == Until::Readable ? &ready : nullptr,
                         until == Until::Readable ? nullptr : &ready,
                         until == Until::Connected ? &failed : nullptr, wait);
    if (r > 0) return Ready::Yes;
    if (r == 0) return Ready::TimedOut;
    if (WSAGetLastError() != WSAEINTR) return Ready::Failed;
  }
}

Status not_ready(Ready r) {
  return r == Ready::TimedOut ? Status::TimedOut : Status::Failed;
}

bool retry(int error) {
  return error == WSAEWOULDBLOCK || error == WSAEINTR;
}

int clamp_count(std::size_t n) {
  return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

}  // namespace

bool net_startup(char* why, std::size_t whycap) {
  WSADATA data;
  const int code = WSAStartup(MAKEWORD(2, 2), &data);
  if (code == 0) return true;
  describe_error(static_cast<unsigned long>(code), why, whycap);
  return false;
}

void net_cleanup() {
  WSACleanup();
}

Resolve net_resolve(const char* host, std::uint8_t addr[4]) {
  // Thread-safe: Windows Sockets keeps the result per thread.
  const hostent* found = gethostbyname(host);
  if (found == nullptr) {
    switch (WSAGetLastError()) {
      case WSAEINTR:
        return Resolve::Interrupted;
      case WSAEFAULT:
        return Resolve::BadName;
      case WSAEINPROGRESS:
        return Resolve::InProgress;
      case WSAENETDOWN:
        return Resolve::NetworkDown;
      case WSANOTINITIALISED:
        return Resolve::NotInitialised;
      case WSAHOST_NOT_FOUND:
        return Resolve::HostNotFound;
      case WSATRY_AGAIN:
        return Resolve::TryAgain;
      case WSANO_RECOVERY:
        return Resolve::NoRecovery;
      case WSANO_DATA:
        return Resolve::NoData;
      default:
        return Resolve::Other;
    }
  }
  if (found->h_addrtype != AF_INET || found->h_length != 4 || found->h_addr_list[0] == nullptr) {
    return Resolve::NoData;
  }
  std::memcpy(addr, found->h_addr_list[0], 4);
  return Resolve::Ok;
}

SocketValue net_socket() {
  return adopt(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
}

Status net_connect(SocketValue s, const std::uint8_t addr[4], std::uint16_t port,
                   std::int32_t timeout_ms) {
  if (!valid(s)) return Status::BadHandle;
  const sockaddr_in sa = ipv4(addr, port);
  if (connect(sock_of(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) {
    return Status::Ok;
  }
  if (!retry(WSAGetLastError())) return Status::Failed;
  return net_connect_wait(s, timeout_ms);
}

Status net_connect_wait(SocketValue s, std::int32_t timeout_ms) {
  if (!valid(s)) return Status::BadHandle;
  const Ready ready =
      wait_ready(sock_of(s), Until::Connected, monotonic_ms() + timeout_ms, timeout_ms);
  if (ready != Ready::Yes) return not_ready(ready);
  int error = 0;
  int len = sizeof error;
  return getsockopt(sock_of(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len) == 0 &&
                 error == 0
             ? Status::Ok
             : Status::Failed;
}

Status net_wait_readable(SocketValue s, std::int32_t timeout_ms) {
  if (!valid(s)) return Status::BadHandle;
  const Ready ready =
      wait_ready(sock_of(s), Until::Readable, monotonic_ms() + timeout_ms, timeout_ms);
  return ready == Ready::Yes ? Status::Ok : not_ready(ready);
}

// No socket option: without one, Windows already binds a port whose old connections
// wait in TIME_WAIT and refuses one that another socket listens on. SO_REUSEADDR would
// let a second listener share the port, and SO_EXCLUSIVEADDRUSE would keep the port
// from being bound again until the connections accepted on it had ended TIME_WAIT.
Status net_bind_any(SocketValue s, std::uint16_t port) {
  if (!valid(s)) return Status::BadHandle;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  return bind(sock_of(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 ? Status::Ok
                                                                                  : Status::Failed;
}

Status net_listen(SocketValue s, int backlog) {
  return valid(s) && listen(sock_of(s), backlog) == 0 ? Status::Ok : Status::Failed;
}

SocketValue net_accept(SocketValue s, std::uint8_t peer[4]) {
  if (!valid(s)) return kNoSocket;
  for (;;) {
    if (wait_ready(sock_of(s), Until::Readable, 0, -1) != Ready::Yes) return kNoSocket;
    sockaddr_in sa{};
    int len = sizeof sa;
    const SOCKET c = accept(sock_of(s), reinterpret_cast<sockaddr*>(&sa), &len);
    if (c != INVALID_SOCKET) {
      std::memcpy(peer, &sa.sin_addr.s_addr, 4);
      return adopt(c);
    }
    if (!retry(WSAGetLastError())) return kNoSocket;
  }
}

int net_local_port(SocketValue s) {
  sockaddr_in sa{};
  int len = sizeof sa;
  if (!valid(s) || getsockname(sock_of(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return -1;
  return ntohs(sa.sin_port);
}

Status net_send(SocketValue s, const void* data, std::size_t n, std::int32_t timeout_ms,
                std::size_t* sent) {
  *sent = 0;
  if (!valid(s)) return Status::BadHandle;
  const std::int64_t deadline = monotonic_ms() + timeout_ms;
  for (;;) {
    const Ready ready = wait_ready(sock_of(s), Until::Writable, deadline, timeout_ms);
    if (ready != Ready::Yes) return not_ready(ready);
    const int r = send(sock_of(s), static_cast<const char*>(data), clamp_count(n), 0);
    if (r != SOCKET_ERROR) {
      *sent = static_cast<std::size_t>(r);
      return Status::Ok;
    }
    if (!retry(WSAGetLastError())) return Status::Failed;
  }
}

Status net_recv(SocketValue s, void* dest, std::size_t n, std::int32_t timeout_ms,
                std::size_t* got) {
  *got = 0;
  if (!valid(s)) return Status::BadHandle;
  const std::int64_t deadline = monotonic_ms() + timeout_ms;
  for (;;) {
    const Ready ready = wait_ready(sock_of(s), Until::Readable, deadline, timeout_ms);
    if (ready != Ready::Yes) return not_ready(ready);
    const int r = recv(sock_of(s), static_cast<char*>(dest), clamp_count(n), 0);
    if (r > 0) {
      *got = static_cast<std::size_t>(r);
      return Status::Ok;
    }
    if (r == 0) return Status::Closed;
    if (!retry(WSAGetLastError())) return Status::Failed;
  }
}

Status net_shutdown(SocketValue s, int how) {
  static const int kModes[] = {SD_RECEIVE, SD_SEND, SD_BOTH};
  if (!valid(s) || how < 0 || how > 2) return Status::Invalid;
  return shutdown(sock_of(s), kModes[how]) == 0 ? Status::Ok : Status::Failed;
}

Status net_close(SocketValue s) {
  return valid(s) && closesocket(sock_of(s)) == 0 ? Status::Ok : Status::Failed;
}

}  // namespace plat
