#include "fakegateway.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace zt {

namespace {

int listen_local(int* port) {
  // Close-on-exec: a service started later must not keep the port open.
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(*port));
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  listen(fd, 64);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  *port = ntohs(addr.sin_port);
  return fd;
}

// Waits for fd to become readable, polling the stop flag; false on stop or time-out.
bool readable(int fd, const std::atomic<bool>& stop, int timeoutMs) {
  for (int waited = 0; waited < timeoutMs && !stop; waited += 20) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 20) > 0) return true;
  }
  return false;
}

}  // namespace

int Packet::type() const {
  if (raw.size() < 6) return -1;
  return (static_cast<unsigned char>(raw[4]) << 8) | static_cast<unsigned char>(raw[5]);
}
std::string Packet::sender() const {
  return raw.size() < 10 ? "" : raw.substr(6, 4);
}
std::string Packet::message() const {
  return raw.size() < 10 ? "" : raw.substr(10);
}

std::string reply_packet(const std::string& text) {
  const std::size_t n = text.size() + 6;
  std::string header = {static_cast<char>(n >> 24),
                        static_cast<char>(n >> 16),
                        static_cast<char>(n >> 8),
                        static_cast<char>(n),
                        0,
                        2,
                        'G',
                        'A',
                        'T',
                        'E'};
  return header + text;
}

FakeGateway::FakeGateway(Script script, int port) : script_(std::move(script)), port_(port) {
  listener_ = listen_local(&port_);
  thread_ = std::thread([this] { serve(); });
}

FakeGateway::~FakeGateway() {
  stop_ = true;
  thread_.join();
  close(listener_);
}

void FakeGateway::serve() {
  while (!stop_) {
    if (!readable(listener_, stop_, 100)) continue;
    const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      handle(fd);
      close(fd);
    }
  }
}

void FakeGateway::handle(int fd) {
  // Read one packet: the length field says how many bytes follow it.
  Packet packet;
  char buf[4096];
  while (readable(fd, stop_, 2000)) {
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    packet.raw.append(buf, static_cast<std::size_t>(n));
    if (packet.raw.size() >= 4) {
      const auto* b = reinterpret_cast<const unsigned char*>(packet.raw.data());
      const std::size_t want =
          (std::size_t{b[0]} << 24 | std::size_t{b[1]} << 16 | std::size_t{b[2]} << 8 | b[3]) + 4;
      if (packet.raw.size() >= want) break;
    }
  }
  if (stop_) return;  // stopping: the connection closes unanswered
  const GatewayReply reply = script_(packet);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    packets_.push_back(packet);
  }
  for (int waited = 0; waited < reply.delayMs && !stop_; waited += 10) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  for (std::size_t i = 0; i < reply.pieces.size(); ++i) {
    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    send(fd, reply.pieces[i].data(), reply.pieces[i].size(), MSG_NOSIGNAL);
  }
}

std::vector<Packet> FakeGateway::packets() {
  std::lock_guard<std::mutex> lock(mutex_);
  return packets_;
}

bool FakeGateway::wait_packets(std::size_t n, int timeoutMs) {
  for (int waited = 0; waited < timeoutMs; waited += 5) {
    if (packets().size() >= n) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

}  // namespace zt
