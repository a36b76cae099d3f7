// zel_soak: the real service under a steady load for a set time, optionally killed
// (SIGKILL, TerminateProcess) and started again now and then. Terminals drop requests
// one after another against a gateway that at random approves, rejects, approves late,
// answers too late, answers in pieces or closes. Checked at the end: every request
// answered, with its own answer; local numbers unique within their year; the number
// file holding the highest number issued; the journal holding whole lines, one per
// local answer, none read empty or partial; and, without kills, the service's
// descriptors and resident memory not grown. A kill may leave a gap in the numbers,
// never a lost, torn, foreign or repeated answer, nor a repeated number.
//
//   zel_soak [--seconds N] [--quick] [--terminals N] [--kills N] [--concurrency N]
//   --quick: 25 seconds (CI); default 600. --concurrency: ZELCLIENT_CONCURRENCY
//   (default 1). Exit status 0 when every check holds.
#include <algorithm>
#include <atomic>
#include <climits>
#include <map>
#include <mutex>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "testsupport.h"

namespace {

using namespace std::chrono_literals;
constexpr int kNetTimeoutMs = 250;

// The gateway's answers, drawn at random.
struct RandomGateway {
  std::mutex mutex;
  std::mt19937 random{20240601u};
  std::uint32_t approvals = 0;

  gw::Act act(const gw::Received& r) {
    if (!r.whole() || r.type() == 0) return gw::hang_up();
    const std::lock_guard<std::mutex> lock(mutex);
    const auto roll = random() % 100;
    const std::string yes = gw::reply_packet(1, gw::approval_text(r.message(), ++approvals));
    if (roll < 55) return gw::answer({yes});
    if (roll < 70) return gw::answer({gw::reply_packet(1, gw::rejection_text(r.message()))});
    if (roll < 82) return gw::answer({yes}, 10 + static_cast<int>(random() % 90));
    if (roll < 85) return gw::answer({yes}, kNetTimeoutMs + 100);  // answered locally by then
    if (roll < 90) return gw::answer({yes.substr(0, 10), yes.substr(10)}, 0, 60);
    return gw::hang_up();
  }
};

// Terminals as a point-of-sale program is: each drops a request, polls for its
// answer file (a plain open and read, no lock, no wait for the service), deletes
// it, drops the next. An empty or partial answer is one the terminal loses.
struct Terminals {
  std::vector<std::vector<std::string>> answers;  // each terminal's, in order
  std::atomic<int> pending{0};                    // requests dropped and not answered
  std::atomic<int> mismatches{0};                 // answers that were another request's
  std::atomic<int> repeats{0};  // an earlier request of the terminal answered again
  std::atomic<int> torn{0};     // answers read empty or partial
  std::atomic<bool> dropping{true}, quit{false};

  void run(zt::Service& svc, int t) {
    const std::string name = "caja" + std::to_string(t), prefix = "s" + std::to_string(t) + "-";
    for (int n = 0; dropping && !quit; ++n, --pending) {
      ++pending;
      svc.drop(name, "|G01=1234|G04=" + prefix + std::to_string(n) + "|G08=42|G99=000020|");
      const zt::fs::path out = svc.root / (name + "out.txt");
      for (bool own = false; !own;) {
        std::string answer;
        // A file that cannot be opened this moment (on Windows while it is renamed
        // into place) is tried again, as a terminal does.
        while (!quit && !zt::try_read(out, answer)) std::this_thread::sleep_for(2ms);
        if (quit) return;
        std::error_code ec;
        zt::fs::remove(out, ec);
        torn += answer.empty() || answer.back() != '|';
        const std::string of = gw::field(answer, "F04");
        own = of.rfind(prefix, 0) != 0 || std::stoi(of.substr(prefix.size())) >= n;
        repeats += !own;
        mismatches += own && of != prefix + std::to_string(n);
        if (own) answers[t].push_back(answer);
      }
    }
  }
};

// Open descriptors and resident kB of a process (Linux): the least of a few
// samples, since an exchange in progress holds a socket for a moment.
std::pair<long, long> footprint(int pid) {
  std::pair<long, long> least{LONG_MAX, LONG_MAX};
  const std::string proc = "/proc/" + std::to_string(pid);
  for (int i = 0; i < 10; ++i, std::this_thread::sleep_for(20ms)) {
    least.first = std::min(least.first, zt::open_descriptors(pid));
    const std::string status = zt::read_file(proc + "/status");
    if (status.find("VmRSS:") != std::string::npos)
      least.second = std::min(least.second, std::atol(&status[status.find("VmRSS:") + 6]));
  }
  return least;
}

int g_failures = 0;
void check(bool ok, const char* what) {
  g_failures += !ok;
  std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 600, terminals = 10, kills = 0, concurrency = 1;
  const std::map<std::string, int*> options = {{"--seconds", &seconds},
                                               {"--terminals", &terminals},
                                               {"--kills", &kills},
                                               {"--concurrency", &concurrency}};
  for (int i = 1; i < argc; ++i) {
    const auto o = options.find(argv[i]);
    const bool valued = o != options.end() && i + 1 < argc;
    if (valued) *o->second = std::atoi(argv[++i]);
    if (!valued) seconds = std::string(argv[i]) == "--quick" ? 25 : 0;  // 0: refused below
  }
  if (seconds < 5 || terminals < 1 || terminals > 10 || kills < 0 || concurrency < 1 ||
      concurrency > 16) {
    std::fprintf(stderr,
                 "usage: zel_soak [--seconds N >= 5] [--quick] [--terminals 1..10] "
                 "[--kills N] [--concurrency 1..16]\n");
    return 2;
  }

  RandomGateway random;
  gw::Gateway gateway([&](const gw::Received& r) { return random.act(r); });
  gw::Gateway probe([](const gw::Received&) { return gw::hang_up(); });
  std::string list = "caja0";
  for (int t = 1; t < terminals; ++t) list += ",caja" + std::to_string(t);
  zt::Service svc(gateway.port(), {"-n", "SOAK", "-t", list},
                  {"ZELCLIENT_NET_TIMEOUT_MS=" + std::to_string(kNetTimeoutMs),
                   "ZELCLIENT_PROBE_TIMEOUT_MS=300", zt::probe_hosts(probe.port()),
                   "ZELCLIENT_CONCURRENCY=" + std::to_string(concurrency)});
  svc.logWindow = "1,40";
  svc.start();
  std::printf("zel_soak: %d terminals for %d s, %d kills, concurrency %d\n", terminals, seconds,
              kills, concurrency);
  std::fflush(stdout);

  Terminals fleet;
  fleet.answers.resize(static_cast<std::size_t>(terminals));
  std::vector<std::thread> threads;
  for (int t = 0; t < terminals; ++t) threads.emplace_back([&, t] { fleet.run(svc, t); });
  const bool measure = !zt::kWindows && kills == 0;
  const auto warmup = std::chrono::seconds(std::min(3, seconds / 5));
  std::this_thread::sleep_for(warmup);
  const auto before = measure ? footprint(svc.pid()) : std::pair<long, long>{};
  const auto slice = (std::chrono::seconds(seconds) - warmup) / (kills + 1);
  for (int k = 0; k < kills; ++k, svc.start()) {
    std::this_thread::sleep_for(slice);
    svc.kill();
  }
  std::this_thread::sleep_for(slice);
  fleet.dropping = false;
  zt::wait_until([&] { return fleet.pending == 0; });
  fleet.quit = true;
  for (auto& t : threads) t.join();
  std::this_thread::sleep_for(300ms);  // anything late shows up now
  const auto after = measure ? footprint(svc.pid()) : std::pair<long, long>{};
  const bool ran = svc.running() && svc.stop();

  // The answers, and the local numbers among them by year.
  long answered = 0, approved = 0, local = 0, repeated = 0, highest = 0, leftovers = 0;
  const std::string year = zt::read_file(svc.work / "anio.txt").substr(0, 4);
  std::map<std::string, std::set<long>> numbers;
  for (const auto& each : fleet.answers) {
    for (const auto& a : each) {
      ++answered;
      approved += a.find("|F51=APROBADA|") != std::string::npos;
      const std::string number = gw::field(a, "F52");
      if (a.find("PRE-AUTORIZADA|") == std::string::npos || number.size() != 12) continue;
      ++local;
      repeated += !numbers[number.substr(1, 4)].insert(std::stol(number.substr(5))).second;
      if (number.substr(1, 4) == year) highest = std::max(highest, std::stol(number.substr(5)));
    }
  }
  for (const auto& entry : zt::fs::directory_iterator(svc.root.path())) {
    const std::string name = entry.path().filename().string();
    leftovers += name.find("out.txt") != std::string::npos || name.find("in.") != std::string::npos;
  }

  // The number file and the journal.
  const long stored = std::atol(zt::read_file(svc.work / "nroaut.txt").c_str());
  // A line recovered after a kill holds the request as the terminal wrote it.
  const std::regex whole(R"(\|G01=1234\|G04=s\d+-\d+\|G08=42\|G99=000020\|(G06=\|G41=caja\d\|)?)"
                         R"(G52=[GI](\d{11})\|\r)");
  std::istringstream journal(zt::read_file(svc.work / "zelautoresp.txt"));
  long lines = 0, torn = 0;
  std::set<std::string> journaled;
  for (std::string text; std::getline(journal, text); ++lines) {
    std::smatch m;
    torn += !std::regex_match(text, m, whole) || !journaled.insert(m[2]).second;
  }

  std::printf(
      "requests %ld: %ld approved, %ld local (highest %ld in %s, number file %ld, journal "
      "%ld lines); service: %ld descriptors and %ld kB after warm-up, %ld and %ld at the "
      "end\n",
      answered + fleet.pending, approved, local, highest, year.c_str(), stored, lines, before.first,
      before.second, after.first, after.second);
  check(ran, "the service ran to the end and stopped with status 0");
  check(answered > 0 && fleet.pending == 0, "every request answered");
  check(fleet.torn == 0, "no answer read empty or partial");
  check(fleet.mismatches == 0 && fleet.repeats == 0, "every answer the request's own, once");
  check(leftovers == 0, "no answer or request left over");
  check(repeated == 0, "local numbers unique within their year");
  check(stored >= highest && stored <= highest + kills, "the number file holds the highest number");
  check(torn == 0 && lines == local, "one whole journal line per local answer");
  check(after.first <= before.first && after.second <= before.second + 256,
        "descriptors and resident memory did not grow (256 kB allowed)");
  std::printf("zel_soak: %s\n", g_failures == 0 ? "every check holds" : "FAILED");
  return g_failures == 0 ? 0 : 1;
}
