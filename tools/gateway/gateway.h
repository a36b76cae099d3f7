// A scripted gateway on the socket layer's listening side: listens on a port,
// serves each connection on a thread of its own, reads one packet (the header,
// then as many bytes as its length field says, 4096 bytes at most), records it
// and does what the script says: answer, close, or hold the connection silent.
// zelgateway is a thin main over it; the tests, the soak and the benchmarks use
// it as their gateway.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace gw {

constexpr std::size_t kPacketMax = 4096;

// One packet as read from a connection.
struct Received {
  // Whole: the length field was satisfied. Incomplete: the peer closed, or the
  // receive failed, first. Refused: a length field below 6 or past kPacketMax.
  enum class Status { Whole, Incomplete, Refused };
  Status status = Status::Incomplete;
  std::string bytes;  // the packet, or what arrived of it

  bool whole() const { return status == Status::Whole; }
  int type() const;              // -1 without a header
  std::string sender() const;    // the 4 header bytes, zeros included
  std::string message() const;   // from byte 10
  std::uint32_t length() const;  // the length field (0 with fewer than 4 bytes)
};

// What to do with the connection once its packet is read.
struct Act {
  enum class Kind { Answer, Close, Hold };
  Kind kind = Kind::Close;
  std::vector<std::string> pieces;  // Answer: sent in order
  int delayMs = 0;                  // before the first piece
  int gapMs = 0;                    // between two pieces
};
Act answer(std::vector<std::string> pieces, int delayMs = 0, int gapMs = 0);
Act hang_up();  // close without answering
Act hold();     // keep the connection silent until the gateway stops

using Script = std::function<Act(const Received&)>;

// The value of field name in a field list ("|name=value|"): its first
// occurrence, or its last; "" when absent.
std::string field(std::string_view message, std::string_view name, bool last = false);
// The answers of a gateway that approves (F52=GW + number in 10 digits) or
// rejects (no F52): F01, F04, F08 copied from G01, G04, G08, F41 from the last G41.
std::string approval_text(std::string_view message, std::uint32_t number);
std::string rejection_text(std::string_view message);
// A reply packet: the header (length, type, sender "GATE") and text; "" for no text.
std::string reply_packet(int type, std::string_view text);
// A script that approves every request, numbering from 1, and never answers a
// life signal (type 0) or a packet it could not read.
Script approver();

// Starts the socket layer in multithreaded mode, once per process; false when
// it cannot start.
bool start_sockets();
// TLS for the gateways made with tls set (Linux): their certificate and key, PEM
// files; with clientCa, a client certificate signed by it is required. false
// with the reason in *why.
bool serve_tls(const std::string& cert, const std::string& key, const std::string& clientCa,
               std::string* why);

class Gateway {
 public:
  // Listens on port (0: any free port) of every local address; with tls, every
  // connection is served TLS (serve_tls).
  explicit Gateway(Script script, int port = 0, bool tls = false);
  ~Gateway();  // stops, then waits for every exchange to end
  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;

  bool listening() const { return port_ > 0; }
  int port() const { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  std::vector<Received> received() const;  // every packet read so far, in order
  int handshakes_failed() const;           // TLS connections turned away
  bool wait_received(std::size_t n, std::chrono::milliseconds timeout) const;
  // Stops accepting and ends every hold and delay; true when every exchange
  // ended within wait (a receive in progress ends at the socket layer's bound).
  bool stop(std::chrono::milliseconds wait);

 private:
  struct State;
  std::shared_ptr<State> state_;
  int listener_ = -1;
  int port_ = 0;
};

}  // namespace gw
