#include "netsupport.h"

#include <algorithm>

#include "rawsocket.h"

namespace zt {

TcpServer::TcpServer(std::function<void(int fd)> handler) : handler_(std::move(handler)) {
  listener_ = raw::listen_loopback(64, &port_);
  acceptor_ = std::thread([this] { loop(); });
}

TcpServer::~TcpServer() {
  stop_ = true;
  acceptor_.join();
  for (auto& t : workers_) t.join();
  raw::close_socket(listener_);
}

void TcpServer::loop() {
  while (!stop_) {
    if (!raw::ready(listener_, false, 20)) continue;
    const int fd = raw::accept_one(listener_);
    if (fd < 0) continue;
    ++accepted_;
    std::lock_guard<std::mutex> lock(mu_);
    workers_.emplace_back([this, fd] {
      handler_(fd);
      raw::close_socket(fd);
    });
  }
}

StuckListener::StuckListener(bool fill_queue) {
  listener_ = raw::listen_loopback(0, &port_);
  if (!fill_queue) return;
  // Fill the accept queue until a connect no longer completes.
  for (int i = 0; i < 16; ++i) {
    const int fd = raw::connect_loopback(port_, true);
    if (fd < 0) break;
    fillers_.push_back(fd);
    if (!raw::ready(fd, true, 100)) break;
  }
}

StuckListener::~StuckListener() {
  for (int fd : fillers_) raw::close_socket(fd);
  raw::close_socket(listener_);
}

int closed_port() {
  int port = 0;
  raw::close_socket(raw::listen_loopback(1, &port));
  return port;
}

int raw_connect(int port) {
  return raw::connect_loopback(port);
}

bool send_all(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const long r = raw::send_some(fd, bytes.data() + sent, bytes.size() - sent);
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
    if (!raw::ready(fd, false, static_cast<int>(left.count()))) break;
    char buf[4096];
    const long r = raw::recv_some(fd, buf, std::min(sizeof buf, n - out.size()));
    if (r <= 0) break;
    out.append(buf, static_cast<std::size_t>(r));
  }
  return out;
}

bool sees_close(int fd, std::chrono::milliseconds timeout) {
  if (!raw::ready(fd, false, static_cast<int>(timeout.count()))) return false;
  char c;
  return raw::recv_some(fd, &c, 1) == 0;
}

void close_fd(int fd) {
  raw::close_socket(fd);
}

void shutdown_send(int fd) {
  raw::shutdown_send(fd);
}

}  // namespace zt
