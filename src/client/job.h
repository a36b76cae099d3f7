// One gateway exchange of a terminal, from its framed packet to its outcome: all
// that a worker thread is given and touches.
#pragma once

#include <cstdint>

#include "common/limits.h"
#include "common/text.h"
#include "platform/tls.h"

// The gateway's addresses: -g's, then those of ZELCLIENT_GATEWAY_ALT.
constexpr int kGatewayAddresses = 4;

// How a connection to the gateway was reached: the address connected to (or the
// last one tried), the addresses that could not be reached, each one's handshake
// fault, and the certificate's end of validity where it connected.
struct GatewayReach {
  int address = -1;
  std::uint8_t failedMask = 0;
  plat::TlsFault fault[kGatewayAddresses] = {};
  std::int64_t notAfter = 0;
};

struct ExchangeJob {
  // KnownDown: not tried, the gateway having failed a moment ago.
  enum class Result { ConnectFailed, SendFailed, ReceiveFailed, Replied, KnownDown };
  // How far the network half has come: a worker takes it up where the loop's
  // thread left it (from the start, a connection still being made, the reply
  // awaited, or the probe after a failure), and Done ends it.
  enum class Step { Connect, Connecting, Reply, Probe, Done };
  int terminal = -1;  // the index of the terminal served; -1: free
  std::int64_t startMs = 0;
  zel::Text<kRequestCapacity> request;  // the edited request
  zel::Text<kRequestCapacity> asRead;   // the request as its file held it
  unsigned char packet[kPacketBufferSize];
  int packetLength = 0;
  unsigned char reply[kPacketBufferSize];
  Result result = Result::ConnectFailed;
  Step step = Step::Connect;
  int socketId = -1;           // the connection, closed by the decision
  std::int16_t reachable = 0;  // the probe's result after a failure
  GatewayReach reach;          // the gateway's address connected to, and those that failed
};
