#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <winsock2.h>

#include <climits>

#include "rawsocket.h"

namespace zt::raw {

namespace {

// Windows Sockets for the helpers, started once for the process: the layer under
// test starts and stops its own use of it.
bool started() {
  static const bool ok = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return ok;
}

sockaddr_in loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<u_short>(port));
  return a;
}

// Socket handles fit in an int (handle values are 32-bit significant).
int as_int(SOCKET s) {
  return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}
SOCKET as_socket(int fd) {
  return static_cast<SOCKET>(fd);
}

int new_socket() {
  if (!started()) return -1;
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s != INVALID_SOCKET)
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return as_int(s);
}

int clamp(std::size_t n) {
  return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

}  // namespace

// SO_REUSEADDR is left alone: on Windows it would let another socket take the port.
int listen_loopback(int backlog, int* port, bool) {
  const int fd = new_socket();
  if (fd < 0) return -1;
  sockaddr_in a = loopback(*port);
  int len = sizeof a;
  if (bind(as_socket(fd), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      listen(as_socket(fd), backlog) != 0 ||
      getsockname(as_socket(fd), reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    closesocket(as_socket(fd));
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

int connect_loopback(int port, bool nonblocking) {
  const int fd = new_socket();
  if (fd < 0) return -1;
  u_long on = 1;
  if (nonblocking) ioctlsocket(as_socket(fd), FIONBIO, &on);
  sockaddr_in a = loopback(port);
  if (connect(as_socket(fd), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 &&
      !(nonblocking && WSAGetLastError() == WSAEWOULDBLOCK)) {
    closesocket(as_socket(fd));
    return -1;
  }
  return fd;
}

int accept_one(int listener) {
  const SOCKET s = accept(as_socket(listener), nullptr, nullptr);
  if (s != INVALID_SOCKET)
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return as_int(s);
}

bool ready(int fd, bool writable, int timeout_ms) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(as_socket(fd), &set);
  timeval bound{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  return select(0, writable ? nullptr : &set, writable ? &set : nullptr, nullptr,
                timeout_ms < 0 ? nullptr : &bound) > 0;
}

long send_some(int fd, const char* data, std::size_t n) {
  return send(as_socket(fd), data, clamp(n), 0);
}

long recv_some(int fd, char* dest, std::size_t n) {
  return recv(as_socket(fd), dest, clamp(n), 0);
}

void shutdown_send(int fd) {
  shutdown(as_socket(fd), SD_SEND);
}

void close_socket(int fd) {
  if (fd >= 0) closesocket(as_socket(fd));
}

}  // namespace zt::raw
