// The client's state, in one record passed to every step: the configuration
// from the command line, the buffers of the request being handled, what is kept
// per terminal and per year between passes, and the outside world the client
// works through (the file operations and the clock), which tests may replace.
#pragma once

#include <cstdint>
#include <ctime>

#include "common/text.h"
#include "platform/platform.h"
#include "socket/socket.h"

constexpr int kMaxTerminals = 10;
constexpr std::size_t kRequestCapacity = 1024;
constexpr std::size_t kPacketBufferSize = 4096;
using TerminalName = zel::Text<15>;
using Path = zel::Text<256>;

struct ZELClientConfig {
  zel::Text<4> name;                      // -n; cleared to zero bytes before parsing
  zel::Text<kHostMax> gatewayHost;        // -g host part, "localhost" by default
  int gatewayPort = 8000;                 // -g port part
  zel::Text<128> rootPath;                // -r
  TerminalName terminals[kMaxTerminals];  // -t, in command-line order
  std::uint16_t terminalCount = 0;
  int waitTimeout = 21600000;  // -T, milliseconds
  std::int16_t watchMode = 0;  // -w
  int lifePeriod = 0;          // -p, seconds; -1 switches the life signal off
  int troquelLimit = 2;        // -c
  zel::Text<127> pharmacyId;   // -F
  int fixedLayout = 0;         // -L, 1 only when the value converts to exactly 1
};

// What is kept for a terminal between passes.
struct TerminalState {
  bool recovered = false;       // what an earlier run left was looked at
  bool refusedLogged = false;   // its request name is no readable file, and was logged so
  bool publishWaits = false;    // a decided answer waits for the answer file's name
  bool publishLogged = false;   // ... and was logged so
  bool answeredLogged = false;  // a request answered before was found again, and logged so
};

// The last authorisation number issued in this run for one year: a floor that
// the next number of that year never goes below.
struct IssuedNumber {
  int year = -1;
  std::int64_t number = 0;
};
constexpr int kIssuedYears = 4;

constexpr int kProbeCount = 3;
using ProbeHost = zel::Text<140>;  // host:port

struct ZELClient {
  ZELClientConfig config;
  // The packets' sender name: the -n name, "CLI1" once a life signal was sent.
  zel::Text<4> sender;
  zel::Text<kRequestCapacity> request;  // the request being handled
  zel::Text<kRequestCapacity> asRead;   // the same, as its file held it
  zel::Text<kRequestCapacity> answer;   // the answer being written, laid out
  unsigned char packet[kPacketBufferSize];
  unsigned char reply[kPacketBufferSize];
  TerminalState terminals[kMaxTerminals];
  IssuedNumber issued[kIssuedYears];
  ProbeHost probes[kProbeCount];
  int probeCount = -1;  // -1 until the probe hosts are read
  std::time_t lifeTimer = 0;
  plat::FileHandle rootLock = plat::kNoFile;  // held while the service serves the root

  const plat::FileOps* files = &plat::system_files();
  std::time_t (*clock)() = [] { return std::time(nullptr); };
};
