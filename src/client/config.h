// The Client configuration record and the process-wide buffers of the client
// application: filled once at start-up, read by every client module.
#pragma once

#include <cstdint>

#include "common/text.h"

constexpr int kMaxTerminals = 10;
constexpr std::size_t kRequestCapacity = 1024;
constexpr std::size_t kPacketBufferSize = 4096;

struct ZELClientConfig {
  zel::Text<4> name;                      // -n; cleared to zero bytes before parsing
  zel::Text<127> gatewayHost;             // -g host part, "localhost" by default
  int gatewayPort = 8000;                 // -g port part
  zel::Text<128> rootPath;                // -r
  zel::Text<15> terminals[kMaxTerminals];  // -t, in command-line order
  std::uint16_t terminalCount = 0;
  int waitTimeout = 21600000;  // -T, milliseconds
  std::int16_t watchMode = 0;  // -w
  int lifePeriod = 0;          // -p, seconds; -1 switches the life signal off
  int troquelLimit = 2;        // -c
  zel::Text<127> pharmacyId;   // -F
  int fixedLayout = 0;         // -L, 1 only when the value converts to exactly 1
};

extern ZELClientConfig g_config;

// The gateway's "host:port" text. A host of at most 127 characters, ':' and a
// port of at most 11 characters always fit, so the address is never cut.
using GatewayAddress = zel::Text<140>;
void ZELClient_GatewayAddress(GatewayAddress& out);

// The request buffer: the request being handled, the working copy of an answer
// being written, and the life message.
extern zel::Text<kRequestCapacity> g_request;

// Packet and reply buffers, cleared before each use.
extern unsigned char g_packet[kPacketBufferSize];
extern unsigned char g_reply[kPacketBufferSize];
