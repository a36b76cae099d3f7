#include "floor.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "benchsupport.h"

namespace zb {
namespace {

// Reads every queued event; true when one is a close-after-write of name.
bool drain(int fd, const char* name) {
  alignas(inotify_event) char buf[4096];
  bool seen = false;
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return seen;
    for (ssize_t at = 0; at < n;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
      if (name != nullptr && (ev->mask & IN_CLOSE_WRITE) && ev->len > 0 &&
          std::strcmp(ev->name, name) == 0) {
        seen = true;
      }
      at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
    }
  }
}

// The packet the service sends for the standard request of terminal "caja0".
std::string packet() {
  return gw::reply_packet(1, std::string(zt::kRequest) + "G06=|G41=caja0|");
}

// The service's part of one request: read and delete in, exchange with the
// gateway, write out. false on any failure.
bool relay_once(const std::string& in, const std::string& out, const std::string& framed,
                const sockaddr_in& sa) {
  char buf[4096];
  int fd = ::open(in.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  const ssize_t got = fd >= 0 ? ::read(fd, buf, 1024) : -1;
  if (fd >= 0) ::close(fd);
  if (got <= 0 || ::unlink(in.c_str()) != 0) return false;
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ssize_t reply = -1;
  if (s >= 0 && ::connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 &&
      ::send(s, framed.data(), framed.size(), MSG_NOSIGNAL) ==
          static_cast<ssize_t>(framed.size())) {
    reply = ::recv(s, buf, sizeof buf - 1, 0);
  }
  if (s >= 0) ::close(s);
  if (reply <= 10) return false;
  fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const bool written =
      fd >= 0 && ::write(fd, buf + 10, static_cast<std::size_t>(reply - 10)) == reply - 10;
  if (fd >= 0) ::close(fd);
  return written;
}

// Waits for the close-after-write of name; false after timeoutMs without it.
bool wait_close(int fd, const char* name, int timeoutMs) {
  alignas(inotify_event) char buf[4096];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    const ssize_t n = ::read(fd, buf, sizeof buf);
    for (ssize_t at = 0; at < n;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
      if ((ev->mask & IN_CLOSE_WRITE) && ev->len > 0 && std::strcmp(ev->name, name) == 0) {
        return true;
      }
      at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
    }
  }
}

sockaddr_in loopback(int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<std::uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return sa;
}

}  // namespace

FloorResult run_floor_woken(const std::string& dir, int port, std::int64_t durationNs,
                            int minIterations) {
  FloorResult result;
  const std::string in = dir + "/caja0in.txt";
  const std::string out = dir + "/caja0out.txt";
  const std::string request = request_text();
  const std::string framed = packet();
  const sockaddr_in sa = loopback(port);

  const int terminal = ::inotify_init1(IN_CLOEXEC);
  const int relay = ::inotify_init1(IN_CLOEXEC);
  if (terminal < 0 || relay < 0 || ::inotify_add_watch(terminal, dir.c_str(), IN_CLOSE_WRITE) < 0 ||
      ::inotify_add_watch(relay, dir.c_str(), IN_CLOSE_WRITE) < 0) {
    result.error = "inotify";
    return result;
  }
  // The relay uses only system calls and what was built before the fork.
  const pid_t child = ::fork();
  if (child < 0) {
    result.error = "fork";
    return result;
  }
  if (child == 0) {
    alignas(inotify_event) char buf[4096];
    for (;;) {
      pollfd p{relay, POLLIN, 0};
      if (::poll(&p, 1, 10000) <= 0) ::_exit(1);  // the terminal has gone
      const ssize_t n = ::read(relay, buf, sizeof buf);
      for (ssize_t at = 0; at < n;) {
        const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        if (ev->len == 0) continue;
        if (std::strcmp(ev->name, "stop") == 0) ::_exit(0);
        if (std::strcmp(ev->name, "caja0in.txt") == 0 && !relay_once(in, out, framed, sa)) {
          ::_exit(1);
        }
      }
    }
  }
  ::close(relay);

  const std::int64_t end = now_ns() + durationNs;
  for (int i = 0; i < minIterations || now_ns() < end; ++i) {
    std::int64_t t0 = 0;
    if (!write_timed(in, request, &t0)) {
      result.error = "writing the request";
      break;
    }
    if (!wait_close(terminal, "caja0out.txt", 5000)) {
      result.error = "no answer from the relay";
      break;
    }
    const std::int64_t t1 = now_ns();
    std::string answer;
    if (!zt::try_read(out, answer) || answer.find("F52=") == std::string::npos ||
        ::unlink(out.c_str()) != 0) {
      result.error = "reading the answer";
      break;
    }
    result.samples.push_back(t1 - t0);
  }
  zt::write_file(dir + "/stop", "");
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    if (result.error.empty()) result.error = "the relay failed";
  }
  ::close(terminal);
  result.ok = result.error.empty() && !result.samples.empty();
  return result;
}

FloorResult run_floor(const std::string& dir, int port, std::int64_t durationNs,
                      int minIterations) {
  FloorResult result;
  const std::string in = dir + "/caja0in.txt";
  const std::string out = dir + "/caja0out.txt";
  const std::string request = request_text();
  const std::string framed = packet();
  const sockaddr_in sa = loopback(port);

  // The service's notification (writes and closes) and the terminal's (closes).
  const int service = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  const int terminal = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (service < 0 || terminal < 0 ||
      ::inotify_add_watch(service, dir.c_str(), IN_MODIFY | IN_CLOSE_WRITE) < 0 ||
      ::inotify_add_watch(terminal, dir.c_str(), IN_CLOSE_WRITE) < 0) {
    result.error = "inotify";
    return result;
  }

  char buf[4096];
  const std::int64_t end = now_ns() + durationNs;
  for (int i = 0; i < minIterations || now_ns() < end; ++i) {
    std::int64_t t0 = 0;
    if (!write_timed(in, request, &t0)) {
      result.error = "writing the request";
      break;
    }

    drain(service, nullptr);
    int fd = ::access(in.c_str(), R_OK) == 0 ? ::open(in.c_str(), O_RDONLY | O_NONBLOCK) : -1;
    const ssize_t got = fd >= 0 ? ::read(fd, buf, 1024) : -1;
    if (fd >= 0) ::close(fd);
    if (got <= 0 || ::unlink(in.c_str()) != 0) {
      result.error = "reading the request";
      break;
    }

    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ssize_t reply = -1;
    if (s >= 0 && ::connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 &&
        ::send(s, framed.data(), framed.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(framed.size())) {
      reply = ::recv(s, buf, sizeof buf - 1, 0);
    }
    if (s >= 0) ::close(s);
    if (reply <= 10) {
      result.error = "the gateway exchange";
      break;
    }

    fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const bool written =
        fd >= 0 && ::write(fd, buf + 10, static_cast<std::size_t>(reply - 10)) == reply - 10;
    if (fd >= 0) ::close(fd);
    if (!written || !drain(terminal, "caja0out.txt")) {
      result.error = "writing the answer";
      break;
    }
    const std::int64_t t1 = now_ns();

    std::string answer;
    if (!zt::try_read(out, answer) || answer.find("F52=") == std::string::npos ||
        ::unlink(out.c_str()) != 0) {
      result.error = "reading the answer";
      break;
    }
    result.samples.push_back(t1 - t0);
  }
  ::close(service);
  ::close(terminal);
  result.ok = result.error.empty() && !result.samples.empty();
  return result;
}

}  // namespace zb
