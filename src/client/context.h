// The client's state, in one record passed to every step: the configuration
// from the command line, the buffers of the request being handled, what is kept
// per terminal and per year between passes, and the outside world the client
// works through (the file operations and the clock), which tests may replace.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

#include "client/cause.h"
#include "client/job.h"
#include "common/limits.h"
#include "common/text.h"
#include "platform/platform.h"
#include "socket/socket.h"

// A value the loop's thread writes and the workers read; copied as its value.
template <typename T>
struct Shared {
  std::atomic<T> value;
  // cppcheck-suppress noExplicitConstructor
  Shared(T v = T{}) : value(v) {}  // NOLINT: a plain value converts
  Shared(const Shared& other) : value(other.load()) {}
  Shared& operator=(const Shared& other) {
    store(other.load());
    return *this;
  }
  T load() const { return value.load(std::memory_order_relaxed); }
  void store(T v) { value.store(v, std::memory_order_relaxed); }
};

using TerminalName = zel::Text<kTerminalNameMax>;
using Path = zel::Text<256>;

struct GatewayAddress {
  zel::Text<kHostMax> host;
  int port = 0;
};

struct ZELClientConfig {
  zel::Text<kClientNameMax> name;         // -n; cleared to zero bytes before parsing
  zel::Text<kHostMax> gatewayHost;        // -g host part, "localhost" by default
  int gatewayPort = 8000;                 // -g port part
  zel::Text<kRootPathMax> rootPath;       // -r
  TerminalName terminals[kMaxTerminals];  // -t, in command-line order
  std::uint16_t terminalCount = 0;
  int waitTimeout = 21600000;            // -T, milliseconds
  std::int16_t watchMode = 0;            // -w
  int lifePeriod = 0;                    // -p, seconds; -1 switches the life signal off
  int troquelLimit = 2;                  // -c
  zel::Text<kPharmacyIdMax> pharmacyId;  // -F
  int fixedLayout = 0;                   // -L, 1 only when the value converts to exactly 1
  int concurrency = 1;          // ZELCLIENT_CONCURRENCY: gateway exchanges in flight at once
  zel::Text<1023> metricsFile;  // ZELCLIENT_METRICS_FILE: "" none
  zel::Text<63> instance;       // ZELCLIENT_INSTANCE, else the -n name: its metrics' label
  bool gatewayTail = false;     // -g held text after a comma, which plays no part
  // -g's address (filled at start), then those of ZELCLIENT_GATEWAY_ALT.
  GatewayAddress addresses[kGatewayAddresses];
  int addressCount = 1;  // -g's and the alternates
  bool tls = false;      // ZELCLIENT_TLS=on: every connection to the gateway is TLS
};

// A number taken from the sequence, with what is needed to give it back.
struct SequenceNumber {
  int year = 0;
  std::int64_t number = 0;
  // A record of the sequence that is there and cannot be read: no number is
  // given while it bounds nothing (nullptr: every record was read).
  const char* unreadable = nullptr;
  bool stored = false;  // the number file holds it
  // The number file as it was before, to put back if the answer is not given.
  char before[64] = {};
  long beforeSize = -1;  // -1: there was no number file
  bool beforeWhole = false;
  std::int64_t last = 0;
};

// The answer decided for a terminal's request, kept until its decided file holds
// it: one that cannot be written yet (a full disk) is written on a later pass, so
// that no answer, the gateway's included, is ever decided twice.
struct Decision {
  enum class Kind : std::uint8_t {
    None,     // nothing decided
    Gateway,  // <terminal>out.zel: the gateway's answer
    Error,    // <terminal>out.zel: an error answer of the service's own
    Local,    // <terminal>aut.zel: a local pre-authorisation, journalled once written
  };
  Kind kind = Kind::None;
  bool written = false;                 // its decided file holds it
  zel::Text<kRequestCapacity> text;     // the answer, before the fixed layout
  zel::Text<kRequestCapacity> journal;  // Local: the request its journal line holds
  zel::Text<40> number;                 // its authorisation number (F52), if it has one
  SequenceNumber taken;                 // Local: its number in the sequence
  Cause cause = Cause::Recovered;       // Local: why it was given
};

// Where a terminal's request stands between passes.
enum class Phase : std::uint8_t {
  Idle,             // nothing of it waits
  InFlight,         // its exchange runs on a worker
  Unwritten,        // its decided answer could not be written yet: kept in memory
  Unpublished,      // its decided answer waits for the answer file's name
  UnpublishedBusy,  // ... which another process holds for a moment
};

// What the working folder's record (client/inflight.h) holds for a terminal's
// request: nothing, that it may have reached the gateway, or its decided answer
// that waits for the root to take it.
enum class Recorded : std::uint8_t { Nothing, Sent, Decided };

// What is kept for a terminal between passes.
struct TerminalState {
  Phase phase = Phase::Idle;
  bool recovered = false;       // what an earlier run left was looked at
  bool inPlace = false;         // its request could not be taken: answered where it stands
  bool refusedLogged = false;   // its request name is no readable file, and was logged so
  bool answeredLogged = false;  // a request answered before was found again, and logged so
  bool waitLogged = false;      // its decided answer waits, and was logged so
  std::uint32_t heldMs = 0;     // a file held by another process: tried again after this
  std::int64_t retryAtMs = 0;   // an answer the root could not take: written again from then
  Decision decision;            // the answer to its request being handled
  std::uint64_t request = 0;    // the checksum of the request being handled
  Recorded recorded = Recorded::Nothing;  // the record's word on ...
  std::uint64_t recordedRequest = 0;      // ... the request of this checksum
  bool recordedInPlace = false;           // ... answered where it stands
};

// What the service tells its operator: its counters since start, the gateway's
// state, and what waits, written to the state file (and the metrics file) when
// they change.
// Exchange times by bucket, up to the longest an exchange can take (its three
// bounds and the probes, with the default bounds).
constexpr int kExchangeBuckets = 11;
constexpr double kBucketBounds[kExchangeBuckets] = {0.05, 0.1, 0.25, 0.5, 1,  2.5,
                                                    5,    10,  30,   60,  120};
struct Observed {
  enum class Run : std::uint8_t { Starting, WaitingRoot, Ready, Stopping, Stopped };
  Run run = Run::Starting;
  std::time_t startedAt = 0;
  std::uint64_t answeredGateway = 0, answeredLocal = 0, answeredError = 0;
  std::uint64_t notDelivered = 0;  // answers dropped: the terminal had asked again
  std::uint64_t refused = 0;       // request names that were no readable regular file
  zel::Text<40> lastNumber;        // the last local number given
  std::time_t lastAnswerAt = 0;
  std::time_t lastGatewayAt = 0;                             // the gateway's last answer
  int journalYear = 0;                                       // the year of journalLines
  std::uint64_t journalLines = 0;                            // lines of that year in the journal
  std::uint64_t exchangeBuckets[kExchangeBuckets + 1] = {};  // the last: above every bound
  double exchangeSeconds = 0;                                // their sum
  // What was last written, and when: changes that an operator waits for are
  // written at once, counters at most once a second.
  bool dirty = false;
  bool urgent = false;
  std::int64_t writtenAtMs = -1;
  int waitingWritten = -1;   // answers waiting, as last written
  bool writeFailed = false;  // the last write failed, and was logged so
};

// The gateway's state as the service last knew it, and its outage, kept in the
// working folder across restarts: one record read by the stand-in limits, the
// state file and the metrics alike. The state follows every contact (a request's
// exchange, a life signal, a connection made); an outage lasts from the first
// exchange that fails to the next one the gateway answers, so a gateway that
// takes life signals and drops requests is one outage, not one per request.
constexpr int kOutageDays = 8;  // days whose stand-in answers are counted, the most recent
struct Outage {
  enum class Gateway : std::uint8_t { Unknown, Up, Down };
  Gateway gateway = Gateway::Unknown;
  std::time_t since = 0;        // since when it is as it is
  std::time_t outageSince = 0;  // the first failure not followed by an answer; 0: none
  std::uint64_t local = 0;      // stand-in answers given in the outage
  struct Day {
    int day = 0;              // yyyymmdd, local time
    std::uint64_t count = 0;  // stand-in answers given that day
  };
  Day days[kOutageDays];
};

// Stand-in: the local pre-authorisations given because the gateway could not
// answer, within the limits the owner sets (all off unless set; -1: no limit),
// and the window after a failed exchange in which the gateway is not asked.
struct StandIn {
  bool off = false;       // ZELCLIENT_STANDIN=off
  int maxPerOutage = -1;  // ZELCLIENT_STANDIN_MAX_PER_OUTAGE
  int maxPerDay = -1;     // ZELCLIENT_STANDIN_MAX_PER_DAY
  int maxMinutes = -1;    // ZELCLIENT_STANDIN_MAX_MINUTES
  int retrySeconds = 0;   // ZELCLIENT_GATEWAY_RETRY_S; 0: always asked
  // Each address's last failure, for its window (-1: none); read by the workers
  // that choose the address to connect to.
  Shared<std::int64_t> failedAtMs[kGatewayAddresses] = {-1, -1, -1, -1};
  std::int16_t reachable = 0;  // its probe's result
  std::uint8_t warned = 0;     // the limits reached in this outage, and logged so
};

// The highest authorisation number known for one year, in the journal or issued
// in this run: a floor that the next number of that year never goes below.
struct IssuedNumber {
  int year = -1;
  std::int64_t number = 0;
};
constexpr int kIssuedYears = 4;

using ProbeHost = zel::Text<kProbeHostMax>;  // host:port

// What the service knows of each of the gateway's addresses, beyond its window:
// the one that answered last (where life signals go), whether each failed at its
// last contact, and its TLS: the fault last said, the certificate's end.
struct GatewayLinks {
  Shared<int> lastAnswered = 0;
  bool failing[kGatewayAddresses] = {};
  bool known[kGatewayAddresses] = {};  // tried at least once: failing tells its state
  plat::TlsFault tlsFault[kGatewayAddresses] = {};
  std::int64_t notAfter[kGatewayAddresses] = {};  // seconds since 1970; 0: not known
  int expiryWarnedDay[kGatewayAddresses] = {};    // yyyymmdd of the last expiry WARNING
  std::uint64_t tlsFailures[16] = {};             // handshakes failed, by plat::TlsFault
};

struct ZELClient {
  ZELClientConfig config;
  // The packets' sender name: the -n name, "CLI1" once a life signal was sent.
  zel::Text<4> sender;
  zel::Text<kRequestCapacity> request;      // the request being handled
  zel::Text<kRequestCapacity> asRead;       // the same, as its file held it
  zel::Text<kRequestCapacity> answer;       // the answer being written, laid out
  unsigned char packet[kPacketBufferSize];  // the life signal's
  ExchangeJob job;                          // the one exchange of a run without workers
  TerminalState terminals[kMaxTerminals];
  IssuedNumber issued[kIssuedYears];
  ProbeHost probes[kProbeCount];
  int probeCount = 0;
  std::time_t lifeTimer = 0;
  plat::FileHandle rootLock = plat::kNoFile;  // held while the service serves the root
  plat::FileHandle workLock = plat::kNoFile;  // held while the service works in its folder
  plat::FileHandle inflight = plat::kNoFile;  // the record of requests in flight
  Observed observed;
  Outage outage;
  StandIn standin;
  GatewayLinks links;

  // Several exchanges in flight at once (ZELCLIENT_CONCURRENCY > 1): the threads
  // that run their network halves, and the probe their failures share; nullptr:
  // one exchange at a time, on the loop. Known to the exchange alone.
  class ExchangeWorkers* workers = nullptr;
  class ProbeBurst* probeBurst = nullptr;
  bool slotWanted = false;         // a terminal was passed over for want of a free worker
  bool stopRefusedLogged = false;  // a stop file of someone else's stays, and was logged so

  // Set when the process is asked to stop (SIGTERM, SIGINT, Ctrl+C): a stop as the
  // stop file's. nullptr: only the stop file stops the run.
  const std::atomic<bool>* stopSignal = nullptr;

  const plat::FileOps* files = &plat::system_files();
  std::time_t (*clock)() = [] { return std::time(nullptr); };
};
