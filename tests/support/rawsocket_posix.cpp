#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "rawsocket.h"

namespace zt::raw {

namespace {
sockaddr_in loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  return a;
}
}  // namespace

int listen_loopback(int backlog, int* port, bool reuse_address) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  if (reuse_address) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = loopback(*port);
  socklen_t len = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, backlog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

int connect_loopback(int port, bool nonblocking) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0), 0);
  if (fd < 0) return -1;
  sockaddr_in a = loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 &&
      !(nonblocking && errno == EINPROGRESS)) {
    close(fd);
    return -1;
  }
  return fd;
}

int accept_one(int listener) {
  return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

bool ready(int fd, bool writable, int timeout_ms) {
  pollfd p{fd, static_cast<short>(writable ? POLLOUT : POLLIN), 0};
  return poll(&p, 1, timeout_ms) > 0;
}

long send_some(int fd, const char* data, std::size_t n) {
  return send(fd, data, n, MSG_NOSIGNAL);
}

long recv_some(int fd, char* dest, std::size_t n) {
  return recv(fd, dest, n, 0);
}

void shutdown_send(int fd) {
  shutdown(fd, SHUT_WR);
}

void close_socket(int fd) {
  if (fd >= 0) close(fd);
}

}  // namespace zt::raw
