// POSIX: no service manager of the program's own (systemd starts it as it is), and
// systemd's notification protocol: datagrams "READY=1", "STATUS=...", "STOPPING=1"
// and "WATCHDOG=1" to the socket that NOTIFY_SOCKET names, sent only when it is
// set; events with a syslog priority prefix on standard error when it goes to the
// journal (JOURNAL_STREAM).
#include "platform/service.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace plat {
namespace {

struct Notifier {
  bool looked = false;
  int fd = -1;
  sockaddr_un addr{};
  socklen_t len = 0;
};
Notifier g_notifier;  // the run's one notification socket

// The socket of NOTIFY_SOCKET, opened at the first notification; false without.
bool notifier_ready() {
  Notifier& n = g_notifier;
  if (n.looked) return n.fd >= 0;
  n.looked = true;
  const char* name = std::getenv("NOTIFY_SOCKET");
  const std::size_t length = name != nullptr ? std::strlen(name) : 0;
  if (length == 0 || length >= sizeof n.addr.sun_path || (name[0] != '/' && name[0] != '@')) {
    return false;
  }
  n.addr.sun_family = AF_UNIX;
  std::memcpy(n.addr.sun_path, name, length);
  if (name[0] == '@') n.addr.sun_path[0] = '\0';  // an abstract socket
  n.len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  n.fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  return n.fd >= 0;
}

}  // namespace

int run_as_service_or_console(int argc, char** argv, ServiceRun run) {
  return run(argc, argv);
}

void start_refused(const char* text, bool) {
  std::fprintf(stderr, "%s%s\n", std::getenv("JOURNAL_STREAM") != nullptr ? "<3>" : "", text);
  std::fflush(stderr);
}

void service_running(const char*) {}

void service_stopping() {}

void service_notify(Notify what, const char* status) {
  if (!notifier_ready()) return;
  char message[300];
  switch (what) {
    case Notify::Ready:
      std::snprintf(message, sizeof message, "READY=1");
      break;
    case Notify::Status:
      std::snprintf(message, sizeof message, "STATUS=%s", status != nullptr ? status : "");
      break;
    case Notify::Stopping:
      std::snprintf(message, sizeof message, "STOPPING=1");
      break;
    case Notify::Watchdog:
      std::snprintf(message, sizeof message, "WATCHDOG=1");
      break;
  }
  const Notifier& n = g_notifier;
  // Never waits: a service manager that is gone, or slow to read, is no failure
  // of the run's, and must not stop its loop (a full queue drops the message).
  sendto(n.fd, message, std::strlen(message), MSG_NOSIGNAL | MSG_DONTWAIT,
         reinterpret_cast<const sockaddr*>(&n.addr), n.len);
}

std::uint32_t service_watchdog_ms() {
  const char* usec = std::getenv("WATCHDOG_USEC");
  const char* pid = std::getenv("WATCHDOG_PID");
  if (usec == nullptr || (pid != nullptr && std::atol(pid) != static_cast<long>(getpid()))) {
    return 0;
  }
  const unsigned long long us = std::strtoull(usec, nullptr, 10);
  const unsigned long long ms = us / 1000;
  return ms > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<std::uint32_t>(ms);
}

void service_event(bool warning, unsigned, const char* text) {
  if (std::getenv("JOURNAL_STREAM") == nullptr) return;
  std::fprintf(stderr, "<%d>zelclient: %s\n", warning ? 4 : 5, text);
  std::fflush(stderr);
}

}  // namespace plat
