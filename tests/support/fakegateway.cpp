#include "fakegateway.h"

#include <chrono>

#include "rawsocket.h"

namespace zt {

namespace {

// Waits for fd to become readable, polling the stop flag; false on stop or time-out.
bool readable(int fd, const std::atomic<bool>& stop, int timeoutMs) {
  for (int waited = 0; waited < timeoutMs && !stop; waited += 20) {
    if (raw::ready(fd, false, 20)) return true;
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

const std::string kApproval = "|F01=1234|F52=A0001|F99=000021|";

GatewayReply approve(const Packet& p) {
  if (p.type() == 0) return GatewayReply{};
  return {{reply_packet(kApproval)}, 0};
}

FakeGateway::FakeGateway(Script script, int port) : script_(std::move(script)), port_(port) {
  listener_ = raw::listen_loopback(64, &port_, true);
  thread_ = std::thread([this] { serve(); });
}

FakeGateway::~FakeGateway() {
  stop_ = true;
  thread_.join();
  raw::close_socket(listener_);
}

void FakeGateway::serve() {
  while (!stop_) {
    if (!readable(listener_, stop_, 100)) continue;
    const int fd = raw::accept_one(listener_);
    if (fd >= 0) {
      handle(fd);
      raw::close_socket(fd);
    }
  }
}

void FakeGateway::handle(int fd) {
  // Read one packet: the length field says how many bytes follow it.
  Packet packet;
  char buf[4096];
  while (readable(fd, stop_, 2000)) {
    const long n = raw::recv_some(fd, buf, sizeof buf);
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
    raw::send_some(fd, reply.pieces[i].data(), reply.pieces[i].size());
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
