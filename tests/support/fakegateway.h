// A scripted gateway on 127.0.0.1 for end-to-end tests: records every packet it
// receives and answers each connection as the test's script says.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "netsupport.h"

namespace zt {

struct GatewayReply {
  std::vector<std::string> pieces;  // sent in order, a short pause between; none: close at once
  int delayMs = 0;                  // wait before answering (a stop of the gateway ends it)
};

// A packet as the gateway sees it: 10-byte header, then the message.
struct Packet {
  std::string raw;
  int type() const;
  std::string sender() const;   // 4 bytes, zeros included
  std::string message() const;  // from byte 10
};

// Builds a reply packet: a 10-byte header and the text.
std::string reply_packet(const std::string& text);

// An approval of a request, and the script that gives it; life signals get none.
extern const std::string kApproval;
GatewayReply approve(const Packet& p);

class FakeGateway {
 public:
  using Script = std::function<GatewayReply(const Packet&)>;
  // Listens on port (0: any free port; a fixed one lets a test start it again there).
  explicit FakeGateway(Script script, int port = 0);
  ~FakeGateway();
  FakeGateway(const FakeGateway&) = delete;
  FakeGateway& operator=(const FakeGateway&) = delete;

  int port() const { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  std::vector<Packet> packets();
  // Waits until at least n packets arrived.
  bool wait_packets(std::size_t n, int timeoutMs = 10000);

 private:
  void serve();
  void handle(int fd);
  Script script_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<Packet> packets_;
  std::thread thread_;
};

}  // namespace zt
