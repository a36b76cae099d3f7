// The few raw socket calls of the test helpers, alike on both platforms: the BSD
// calls on POSIX, Windows Sockets (started once, never stopped) on Windows.
// Sockets are carried as int, and are never inherited by child processes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zt::raw {

// A TCP socket bound to 127.0.0.1:port (0: any free port), listening with backlog.
// The port goes to *port. -1 on failure.
int listen_loopback(int backlog, int* port, bool reuse_address = false);
// A TCP socket connecting to 127.0.0.1:port: blocking and connected, or (when
// nonblocking) with the connect under way. -1 on failure.
int connect_loopback(int port, bool nonblocking = false);
int accept_one(int listener);  // -1 on failure
// Waits up to timeout_ms for fd to be readable (or writable). true when it is.
bool ready(int fd, bool writable, int timeout_ms);
long send_some(int fd, const char* data, std::size_t n);  // never raises a signal
long recv_some(int fd, char* dest, std::size_t n);
void shutdown_send(int fd);
void close_socket(int fd);

}  // namespace zt::raw
