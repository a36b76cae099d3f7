// One gateway exchange of a terminal, from its framed packet to its outcome: all
// that a worker thread is given and touches.
#pragma once

#include <cstdint>

#include "common/limits.h"
#include "common/text.h"

struct ExchangeJob {
  // KnownDown: not tried, the gateway having failed a moment ago.
  enum class Result { ConnectFailed, SendFailed, ReceiveFailed, Replied, KnownDown };
  int terminal = -1;  // the index of the terminal served; -1: free
  std::int64_t startMs = 0;
  zel::Text<kRequestCapacity> request;  // the edited request
  zel::Text<kRequestCapacity> asRead;   // the request as its file held it
  unsigned char packet[kPacketBufferSize];
  int packetLength = 0;
  unsigned char reply[kPacketBufferSize];
  Result result = Result::ConnectFailed;
  int socketId = -1;           // the connection, closed by the decision
  std::int16_t reachable = 0;  // the probe's result after a failure
};
