// Network test helpers: small TCP servers on 127.0.0.1 written with raw sockets
// (independent of the socket layer under test), a listener that never completes
// connections, and running a check in a child process.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zt {

// Listens on 127.0.0.1 on a free port; every accepted connection runs handler(fd)
// on its own thread (the helper closes fd afterwards). Stops and joins at destruction.
class TcpServer {
 public:
  explicit TcpServer(std::function<void(int fd)> handler);
  ~TcpServer();
  TcpServer(const TcpServer&) = delete;
  TcpServer& operator=(const TcpServer&) = delete;
  int port() const { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  int accepted() const { return accepted_.load(); }

 private:
  void loop();
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::function<void(int)> handler_;
  std::thread acceptor_;
  std::mutex mu_;
  std::vector<std::thread> workers_;
};

// A raw listening socket on 127.0.0.1 that never accepts. With backlog 0 and its
// queue filled, further connects stay pending (for connect time-outs).
class StuckListener {
 public:
  explicit StuckListener(bool fill_queue);
  ~StuckListener();
  StuckListener(const StuckListener&) = delete;
  StuckListener& operator=(const StuckListener&) = delete;
  int port() const { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  int listener_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
};

// A port on 127.0.0.1 that nothing listens on (bound once, then released).
int closed_port();

// Raw client side.
int raw_connect(int port);  // connected descriptor, or -1
bool send_all(int fd, const std::string& bytes);
// Reads until n bytes or end of stream or time-out; returns what arrived.
std::string recv_upto(int fd, std::size_t n,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5));
// True when the peer closes (end of stream) within the time-out without sending data.
bool sees_close(int fd, std::chrono::milliseconds timeout = std::chrono::seconds(5));
void close_fd(int fd);
void shutdown_send(int fd);  // the peer then reads end of stream
// Asks a child process to stop as Ctrl+C does: SIGINT on POSIX, a Ctrl+C event in
// its console on Windows (see Child::terminate for the other stop request).
void interrupt(int pid);

// Runs fn in a child process and returns its exit status (fn's result), 128 +
// signal when a signal ended it, or -1 when it did not end in time. For checks on
// process-wide state that must not leak into other tests.
// POSIX forks. Windows cannot: it runs the current test again in a new process of
// the test executable, which does everything the test does up to this call (the
// test's earlier in_child calls return 0 there), then runs fn and ends with its
// result. So fn may rely on what the test set up in its own process, but not on
// state shared with the parent (a random name, a port): use run_tag for names.
// A child that does not get to fn reports 256 + its exit status.
int in_child(const std::function<int()>& fn,
             std::chrono::milliseconds timeout = std::chrono::seconds(20));
// A text that is unique to this test process and the same in its in_child children.
std::string run_tag();

void set_env(const std::string& name, const std::string& value);
void unset_env(const std::string& name);

// Removes a named mutex of the platform layer (test names only).
void remove_named_mutex(const std::string& name);

}  // namespace zt
