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
constexpr int kMaxConcurrency = 16;
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
  int concurrency = 1;         // ZELCLIENT_CONCURRENCY: gateway exchanges in flight at once
};

// What is kept for a terminal between passes.
struct TerminalState {
  bool recovered = false;       // what an earlier run left was looked at
  bool inFlight = false;        // its exchange runs on a worker
  bool inPlace = false;         // its request could not be taken: answered where it stands
  bool refusedLogged = false;   // its request name is no readable file, and was logged so
  bool publishWaits = false;    // a decided answer waits for the answer file's name
  bool publishBusy = false;     // ... held by another process for a moment
  bool publishLogged = false;   // ... and was logged so
  bool answeredLogged = false;  // a request answered before was found again, and logged so
  bool answeredKept = false;    // <terminal>in.fin records a request answered in place
};

// The last authorisation number issued in this run for one year: a floor that
// the next number of that year never goes below.
struct IssuedNumber {
  int year = -1;
  std::int64_t number = 0;
};
constexpr int kIssuedYears = 4;

// One gateway exchange of a terminal, from its framed packet to its outcome.
struct ExchangeJob {
  enum class Result { ConnectFailed, SendFailed, ReceiveFailed, Replied };
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

constexpr int kProbeCount = 3;
using ProbeHost = zel::Text<140>;  // host:port

struct ZELClient {
  ZELClientConfig config;
  // The packets' sender name: the -n name, "CLI1" once a life signal was sent.
  zel::Text<4> sender;
  zel::Text<kRequestCapacity> request;      // the request being handled
  zel::Text<kRequestCapacity> asRead;       // the same, as its file held it
  zel::Text<kRequestCapacity> answer;       // the answer being written, laid out
  Path written;                             // the path of the last answer file written
  unsigned char packet[kPacketBufferSize];  // the life signal's
  ExchangeJob job;                          // the one exchange of a run without workers
  TerminalState terminals[kMaxTerminals];
  IssuedNumber issued[kIssuedYears];
  ProbeHost probes[kProbeCount];
  int probeCount = 0;
  std::time_t lifeTimer = 0;
  plat::FileHandle rootLock = plat::kNoFile;  // held while the service serves the root

  // Several exchanges in flight at once (ZELCLIENT_CONCURRENCY > 1): the threads
  // that run their network halves; nullptr: one exchange at a time, on the loop.
  class ExchangeWorkers* workers = nullptr;
  bool slotWanted = false;  // a terminal was passed over for want of a free worker

  const plat::FileOps* files = &plat::system_files();
  std::time_t (*clock)() = [] { return std::time(nullptr); };
};
