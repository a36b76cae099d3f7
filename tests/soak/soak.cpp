// zel_soak: the real service under a steady load for a set time. Ten terminals
// drop requests one after another against a gateway that, at random, approves,
// rejects, approves late, answers too late, answers in pieces, closes without
// answering, or refuses connections for a while. At the end it checks that
// every request got exactly one answer, that every local authorisation number
// is unique within its year, that the number file holds the highest number
// issued, that the journal holds whole lines only, and that the service's open
// descriptors and resident memory did not grow.
//
//   zel_soak [--seconds N] [--quick] [--terminals N]
//   --quick: 25 seconds (CI); default 600 seconds.
// Exit status 0 when every check holds.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fakegateway.h"
#include "netsupport.h"
#include "terminals.h"
#include "testsupport.h"

namespace {

using Clock = std::chrono::steady_clock;
using zt::reply_packet;
using zt::TerminalFleet;

constexpr int kNetTimeoutMs = 250;

enum Outcome { kApproved, kRejected, kLate, kTooLate, kPieces, kClosed, kOutcomes };
const char* const kOutcomeNames[kOutcomes] = {
    "approved", "rejected", "approved late", "answered too late", "answered in pieces", "closed"};

// The gateway: one connection at a time (the service makes one at a time), the
// outcome of each drawn at random; now and then the port refuses connections.
class SoakGateway {
 public:
  explicit SoakGateway(unsigned seed) : random_(seed) {
    listener_ = listen_on(0, &port_);
    thread_ = std::thread([this] { serve(); });
  }
  ~SoakGateway() {
    stop_ = true;
    thread_.join();
    if (listener_ >= 0) close(listener_);
  }
  int port() const { return port_; }
  long outcome(int o) const { return outcomes_[o]; }
  long refusals() const { return refusals_; }
  long refused_ms() const { return refusedMs_; }
  long life_signals() const { return lifeSignals_; }
  // How often each request id reached the gateway.
  std::map<std::string, int> seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }

 private:
  static int listen_on(int port, int* bound) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 64) != 0) {
      close(fd);
      return -1;
    }
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    *bound = ntohs(a.sin_port);
    return fd;
  }

  int draw(int n) { return static_cast<int>(random_() % static_cast<unsigned>(n)); }

  void pause_ms(int ms) {
    for (int waited = 0; waited < ms && !stop_; waited += 10) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  void serve() {
    auto nextToss = Clock::now();
    while (!stop_) {
      if (Clock::now() >= nextToss) {
        nextToss = Clock::now() + std::chrono::milliseconds(200);
        if (draw(100) < 12) {  // refuse connections for a while
          close(listener_);
          ++refusals_;
          const auto from = Clock::now();
          pause_ms(50 + draw(150));
          int bound = 0;
          while (!stop_ && (listener_ = listen_on(port_, &bound)) < 0) pause_ms(10);
          refusedMs_ +=
              std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - from).count();
          continue;
        }
      }
      pollfd p{listener_, POLLIN, 0};
      if (poll(&p, 1, 10) <= 0) continue;
      const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      handle(fd);
      close(fd);
    }
  }

  void handle(int fd) {
    std::string packet;
    char buf[4096];
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 1000) <= 0) break;
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      packet.append(buf, static_cast<std::size_t>(n));
      if (packet.size() >= 4) {
        const auto* b = reinterpret_cast<const unsigned char*>(packet.data());
        const std::size_t want =
            (std::size_t{b[0]} << 24 | std::size_t{b[1]} << 16 | std::size_t{b[2]} << 8 | b[3]) + 4;
        if (packet.size() >= want) break;
      }
    }
    if (packet.size() < 10) return;
    if (packet[4] == 0 && packet[5] == 0) {  // a life signal: nothing to answer
      ++lifeSignals_;
      return;
    }
    const std::string message = packet.substr(10);
    const std::string id = TerminalFleet::field(message, "G04");
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++seen_[id];
    }
    const int roll = draw(100);
    const Outcome o = roll < 55   ? kApproved
                      : roll < 70 ? kRejected
                      : roll < 82 ? kLate
                      : roll < 85 ? kTooLate
                      : roll < 90 ? kPieces
                                  : kClosed;
    ++outcomes_[o];
    const std::string common = "|F01=" + TerminalFleet::field(message, "G01") + "|F04=" + id +
                               "|F41=" + TerminalFleet::field(message, "G41");
    const std::string approval =
        reply_packet(common + "|F50=00|F51=APROBADA|F52=GW" + std::to_string(++approvals_) + "|");
    switch (o) {
      case kApproved:
        send(fd, approval.data(), approval.size(), MSG_NOSIGNAL);
        break;
      case kRejected: {
        const std::string r = reply_packet(common + "|F50=05|F51=RECHAZADA|");
        send(fd, r.data(), r.size(), MSG_NOSIGNAL);
        break;
      }
      case kLate:
        pause_ms(10 + draw(90));
        send(fd, approval.data(), approval.size(), MSG_NOSIGNAL);
        break;
      case kTooLate:  // past the service's bound: it has answered locally by then
        pause_ms(kNetTimeoutMs + 100);
        send(fd, approval.data(), approval.size(), MSG_NOSIGNAL);
        break;
      case kPieces:  // the header first: the service reads that alone
        send(fd, approval.data(), 10, MSG_NOSIGNAL);
        pause_ms(60);
        send(fd, approval.data() + 10, approval.size() - 10, MSG_NOSIGNAL);
        break;
      default:
        break;
    }
  }

  std::mt19937 random_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<long> outcomes_[kOutcomes] = {};
  std::atomic<long> refusals_{0};
  std::atomic<long> refusedMs_{0};
  std::atomic<long> lifeSignals_{0};
  long approvals_ = 0;
  std::mutex mutex_;
  std::map<std::string, int> seen_;
  std::thread thread_;
};

// Open descriptors and resident memory (kB) of a process.
int open_fds(int pid) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return -1;
  int n = 0;
  while (const dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

long rss_kb(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

// The smallest of a few samples: an exchange in progress holds a socket for a moment.
struct Footprint {
  int fds = 0;
  long rss = 0;
};
Footprint footprint(int pid) {
  Footprint f{1 << 30, 1L << 40};
  for (int i = 0; i < 10; ++i) {
    f.fds = std::min(f.fds, open_fds(pid));
    f.rss = std::min(f.rss, rss_kb(pid));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return f;
}

int g_failures = 0;
void check(bool ok, const std::string& what) {
  if (!ok) {
    ++g_failures;
    std::printf("FAILED: %s\n", what.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 600;
  int terminalCount = 10;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--quick") {
      seconds = 25;
    } else if (a == "--seconds" && i + 1 < argc) {
      seconds = std::atoi(argv[++i]);
    } else if (a == "--terminals" && i + 1 < argc) {
      terminalCount = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: zel_soak [--seconds N] [--quick] [--terminals N]\n");
      return 2;
    }
  }
  if (seconds < 5 || terminalCount < 1 || terminalCount > 10) {
    std::fprintf(stderr, "zel_soak: at least 5 seconds, 1 to 10 terminals\n");
    return 2;
  }

  zt::TempDir root;
  zt::TempDir work;
  SoakGateway gateway(20240601u);
  zt::TcpServer probe([](int) {});
  std::vector<std::string> terminals;
  std::string list;
  for (int t = 0; t < terminalCount; ++t) {
    terminals.push_back("caja" + std::to_string(t));
    list += (t ? "," : "") + terminals.back();
  }
  const std::string p = "127.0.0.1:" + std::to_string(probe.port());
  zt::Child service(
      {zt::bin("zelclient"), "-n", "SOAK", "-r", root.str(), "-t", list, "-g",
       "127.0.0.1:" + std::to_string(gateway.port()), "-T", "30000", "-l",
       (work / "soak.log").string() + ",1,40"},
      work.str(),
      {"ZELCLIENT_NET_TIMEOUT_MS=" + std::to_string(kNetTimeoutMs),
       "ZELCLIENT_PROBE_TIMEOUT_MS=300", "ZELCLIENT_PROBE_HOSTS=" + p + "," + p + "," + p});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  if (!service.running()) {
    std::printf("FAILED: the service did not start\n");
    return 1;
  }
  std::printf("zel_soak: %d terminals for %d s, service pid %d\n", terminalCount, seconds,
              service.pid());
  std::fflush(stdout);

  TerminalFleet fleet(root.path(), terminals, "s");
  const auto start = Clock::now();
  fleet.start();
  const int warmup = seconds / 5 > 3 ? 3 : seconds / 5;
  std::this_thread::sleep_for(std::chrono::seconds(warmup));
  const Footprint before = footprint(service.pid());
  std::this_thread::sleep_for(std::chrono::seconds(seconds - warmup));
  fleet.stop(std::chrono::seconds(10));
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // anything late shows up now
  const Footprint after = footprint(service.pid());
  const bool alive = service.running();
  zt::write_file(root / "ZELCLIENTSTOP.tmp", "");
  const int status = service.wait(std::chrono::seconds(10));

  // Every request exactly one answer: each answered, each answer its own, and no
  // further answer file or held request left behind.
  const auto exchanges = fleet.exchanges();
  std::size_t unanswered = 0;
  std::size_t approved = 0;
  std::map<std::string, std::set<long>> numbersByYear;
  long local = 0;
  long repeated = 0;
  for (const auto& e : exchanges) {
    if (!e.answered) {
      ++unanswered;
      continue;
    }
    if (e.answer.find("|F51=APROBADA|") != std::string::npos) ++approved;
    if (e.answer.find("|F51=RECETA PRE-AUTORIZADA|") == std::string::npos) continue;
    ++local;
    const std::string number = TerminalFleet::field(e.answer, "F52");
    if (number.size() < 6) {
      check(false, "malformed local number " + number);
      continue;
    }
    if (!numbersByYear[number.substr(1, 4)].insert(std::stol(number.substr(5))).second) {
      ++repeated;
    }
  }
  std::size_t leftovers = 0;
  for (const auto& entry : std::filesystem::directory_iterator(root.path())) {
    const std::string name = entry.path().filename().string();
    if (name.find("out.txt") != std::string::npos || name.find("in.") != std::string::npos) {
      ++leftovers;
      std::printf("left over: %s\n", name.c_str());
    }
  }
  long relayedTwice = 0;
  for (const auto& [id, n] : gateway.seen()) relayedTwice += n > 1;

  // The number file and the journal.
  const std::string year = zt::read_file(work / "anio.txt").substr(0, 4);
  const long highest = numbersByYear[year].empty() ? 0 : *numbersByYear[year].rbegin();
  const long stored = std::atol(zt::read_file(work / "nroaut.txt").c_str());
  const std::regex line(
      R"(\|G01=1234\|G04=s[0-9]+-[0-9]+\|G08=42\|G99=000020\|G06=\|G41=caja[0-9]\|G52=[GI][0-9]{11}\|\r)");
  std::istringstream journal(zt::read_file(work / "zelautoresp.txt"));
  long journalLines = 0;
  long tornLines = 0;
  for (std::string text; std::getline(journal, text); ++journalLines) {
    tornLines += !std::regex_match(text, line);
  }

  std::printf(
      "requests: %zu in %.1f s (%.0f a second), answered by the gateway: %zu, locally: %ld\n",
      exchanges.size(), elapsed, static_cast<double>(exchanges.size()) / elapsed, approved, local);
  std::printf("gateway:");
  for (int o = 0; o < kOutcomes; ++o) std::printf(" %s %ld,", kOutcomeNames[o], gateway.outcome(o));
  std::printf(" refused %ld times (%ld ms), life signals %ld\n", gateway.refusals(),
              gateway.refused_ms(), gateway.life_signals());
  std::printf(
      "service: %d descriptors and %ld kB resident after warm-up, %d and %ld kB at the end\n",
      before.fds, before.rss, after.fds, after.rss);
  std::printf("numbers: highest %ld in %s, number file %ld, journal %ld lines\n", highest,
              year.c_str(), stored, journalLines);
  std::printf(
      "lost: %zu, answered twice or wrongly: %d, left over: %zu, relayed twice: %ld, "
      "numbers repeated: %ld, torn journal lines: %ld\n",
      unanswered, fleet.mismatches(), leftovers, relayedTwice, repeated, tornLines);

  check(alive && status == 0, "the service ran to the end and stopped with status 0");
  check(exchanges.size() > 0 && unanswered == 0, "every request answered");
  check(fleet.mismatches() == 0, "every answer the request's own");
  check(leftovers == 0, "no answer or request left over");
  check(relayedTwice == 0, "no request relayed twice");
  check(repeated == 0, "local numbers unique within their year");
  check(stored == highest, "the number file holds the highest number issued");
  check(journalLines == local && tornLines == 0, "one whole journal line per local answer");
  check(after.fds <= before.fds, "open descriptors did not grow");
  check(after.rss <= before.rss + 256, "resident memory did not grow (256 kB allowed)");
  std::printf("%s\n", g_failures == 0 ? "zel_soak: every check holds" : "zel_soak: FAILED");
  return g_failures == 0 ? 0 : 1;
}
