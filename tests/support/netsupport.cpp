#include "netsupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace zt {

namespace {

sockaddr_in loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  return a;
}

int listen_loopback(int backlog, int* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = loopback(0);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      listen(fd, backlog) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  *port = ntohs(a.sin_port);
  return fd;
}

}  // namespace

TcpServer::TcpServer(std::function<void(int fd)> handler) : handler_(std::move(handler)) {
  listener_ = listen_loopback(64, &port_);
  acceptor_ = std::thread([this] { loop(); });
}

TcpServer::~TcpServer() {
  stop_ = true;
  acceptor_.join();
  for (auto& t : workers_) t.join();
  if (listener_ >= 0) close(listener_);
}

void TcpServer::loop() {
  while (!stop_) {
    pollfd p{listener_, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++accepted_;
    std::lock_guard<std::mutex> lock(mu_);
    workers_.emplace_back([this, fd] {
      handler_(fd);
      close(fd);
    });
  }
}

StuckListener::StuckListener(bool fill_queue) {
  listener_ = listen_loopback(0, &port_);
  if (!fill_queue) return;
  // Fill the accept queue until a connect no longer completes.
  for (int i = 0; i < 16; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(port_);
    connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers_.push_back(fd);
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, 100) == 0) break;
  }
}

StuckListener::~StuckListener() {
  for (int fd : fillers_) close(fd);
  if (listener_ >= 0) close(listener_);
}

int closed_port() {
  int port = 0;
  const int fd = listen_loopback(1, &port);
  close(fd);
  return port;
}

int raw_connect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool send_all(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t r = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (r <= 0) return false;
    sent += static_cast<std::size_t>(r);
  }
  return true;
}

std::string recv_upto(int fd, std::size_t n, std::chrono::milliseconds timeout) {
  std::string out;
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (out.size() < n) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buf[4096];
    const ssize_t r = recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
    if (r <= 0) break;
    out.append(buf, static_cast<std::size_t>(r));
  }
  return out;
}

bool sees_close(int fd, std::chrono::milliseconds timeout) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
  char c;
  return recv(fd, &c, 1, 0) == 0;
}

void close_fd(int fd) {
  if (fd >= 0) close(fd);
}

void shutdown_send(int fd) {
  shutdown(fd, SHUT_WR);
}

void interrupt(int pid) {
  kill(pid, SIGINT);
}

int in_child(const std::function<int()>& fn, std::chrono::milliseconds timeout) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int result = fn();
    std::fflush(nullptr);
    _exit(result);
  }
  if (pid < 0) return -1;
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (std::chrono::steady_clock::now() >= end) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void set_env(const std::string& name, const std::string& value) {
  setenv(name.c_str(), value.c_str(), 1);
}

void unset_env(const std::string& name) {
  unsetenv(name.c_str());
}

void remove_named_mutex(const std::string& name) {
  shm_unlink(("/" + name).c_str());
}

}  // namespace zt
