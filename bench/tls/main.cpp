// zelbench_tls: what TLS to the gateway costs, against plain TCP, on 127.0.0.1 with
// a gateway that answers at once. For each link (plain, TLS) it runs zelgateway
// and zelclient, then:
//   latency:    one terminal drops a request, waits for its answer, takes it, and
//               so on: the median and 90th percentile from the drop to the answer,
//               and the service's CPU per request;
//   throughput: ten terminals do the same at once with ZELCLIENT_CONCURRENCY=10,
//               for the window: answers per second;
//   resumed:    with TLS, how many of the exchanges resumed an earlier session
//               (the service's own log, in a short run of its own).
// Prints the figures and the ratios to plain with the targets (TLS at most 1.5x
// plain's median, at least 0.7x its throughput). The targets are reported, never
// asserted; exit status 1 only when a run breaks.
//   zelbench_tls [--quick] [--json FILE]
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "../common/benchsupport.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using zb::now_ns;

struct Link {
  const char* name;
  bool tls;
  double medianMs = 0, p90Ms = 0, cpuUsPerRequest = 0, throughput = 0;
  int resumed = 0, handshakes = 0;
};

std::string name(int t) {
  return "caja" + std::to_string(t);
}

bool take_answer(const fs::path& root, int t) {
  const fs::path out = root / (name(t) + "out.txt");
  const std::int64_t until = now_ns() + 10'000'000'000;
  std::error_code ec;
  while (!fs::exists(out, ec)) {
    if (now_ns() > until) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  std::ifstream(out).get();
  fs::remove(out, ec);
  return true;
}

void drop(const fs::path& root, int t, int n, std::int64_t* closing = nullptr) {
  std::int64_t ignored = 0;
  zb::write_timed(
      (root / (name(t) + "in.txt")).string(),
      "|G01=1234|G04=" + std::to_string(t) + "-" + std::to_string(n) + "|G08=42|G99=000020|",
      closing != nullptr ? closing : &ignored);
}

// The gateway simulator, with TLS when dir is given (its certificate made there).
struct Gateway {
  explicit Gateway(const std::string& tlsDir) {
    std::vector<std::string> args = {zt::bin("zelgateway"), "-p", "0"};
    if (!tlsDir.empty()) args.insert(args.end(), {"-s", tlsDir});
    child = std::make_unique<zt::Child>(args);
    zt::wait_until([&] { return child->output().find("listening on port") != std::string::npos; });
    const std::string out = child->output();
    const std::size_t at = out.find("listening on port");
    if (at != std::string::npos) std::sscanf(out.c_str() + at, "listening on port %d", &port);
  }
  ~Gateway() {
    child->interrupt();
    child->wait(5s);
  }
  std::unique_ptr<zt::Child> child;
  int port = 0;
};

// One service of `terminals` terminals on this link; fills in what run measures.
struct Run {
  Run(const Link& link, int terminals, int concurrency, bool logged) {
    fs::create_directories(dir / "root");
    fs::create_directories(dir / "work");
    fs::create_directories(dir / "tls");
    gateway = std::make_unique<Gateway>(link.tls ? (dir / "tls").string() : "");
    std::string list = name(0);
    for (int t = 1; t < terminals; ++t) list += "," + name(t);
    std::vector<std::string> env = {"ZELCLIENT_CONCURRENCY=" + std::to_string(concurrency)};
    if (link.tls) {
      env.push_back("ZELCLIENT_TLS=on");
      env.push_back("ZELCLIENT_TLS_CA=" + (dir / "tls" / "ca.pem").string());
    }
    std::vector<std::string> args = {zt::bin("zelclient"),
                                     "-n",
                                     "AB",
                                     "-r",
                                     root().string(),
                                     "-t",
                                     list,
                                     "-g",
                                     "127.0.0.1:" + std::to_string(gateway->port),
                                     "-p",
                                     "-1"};
    if (logged) args.insert(args.end(), {"-l", "zel.log,1,300"});
    service = std::make_unique<zt::Child>(args, (dir / "work").string(), env, true);
    ok = gateway->port > 0 && service->started();
    std::this_thread::sleep_for(200ms);
  }
  fs::path root() const { return dir / "root"; }
  bool stop() {
    std::ofstream(root() / "ZELCLIENTSTOP.tmp") << "stop";
    return service->wait(10s) == 0 && ok;
  }
  zt::TempDir dir;
  std::unique_ptr<Gateway> gateway;
  std::unique_ptr<zt::Child> service;
  bool ok = false;
};

bool latency(Link& link, int requests) {
  Run run(link, 1, 1, false);
  std::vector<std::int64_t> samples;
  drop(run.root(), 0, 0);  // the first exchange makes the session
  run.ok = run.ok && take_answer(run.root(), 0);
  const zb::ProcCounters before = zb::read_proc(run.service->pid());
  for (int n = 1; run.ok && n <= requests; ++n) {
    std::int64_t closing = 0;
    drop(run.root(), 0, n, &closing);
    run.ok = take_answer(run.root(), 0);
    samples.push_back(now_ns() - closing);
  }
  const zb::ProcCounters after = zb::read_proc(run.service->pid());
  const zb::Stats s = zb::stats_of(samples);
  link.medianMs = s.median / 1e6;
  link.p90Ms = s.p90 / 1e6;
  link.cpuUsPerRequest = static_cast<double>(after.cpuNs - before.cpuNs) / 1e3 / requests;
  return run.stop();
}

bool throughput(Link& link, double seconds) {
  constexpr int kTerminals = 10;
  Run run(link, kTerminals, kTerminals, false);
  std::atomic<long> answered{0};
  std::atomic<bool> stop{false}, failed{false};
  std::vector<std::thread> clerks;
  const std::int64_t t0 = now_ns();
  for (int t = 0; run.ok && t < kTerminals; ++t) {
    clerks.emplace_back([&, t] {
      for (int n = 0; !stop; ++n) {
        drop(run.root(), t, n);
        if (!take_answer(run.root(), t)) {
          failed = true;
          return;
        }
        ++answered;
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& k : clerks) k.join();
  link.throughput = static_cast<double>(answered) / (static_cast<double>(now_ns() - t0) / 1e9);
  run.ok = run.ok && !failed;
  return run.stop();
}

// Counts the handshakes that resumed a session, from the service's own log.
bool resumption(Link& link) {
  Run run(link, 1, 1, true);
  for (int n = 0; run.ok && n < 5; ++n) {
    drop(run.root(), 0, n);
    run.ok = take_answer(run.root(), 0);
  }
  const bool stopped = run.stop();
  const std::string log = zt::read_file(run.dir / "work" / "zel.log");
  for (std::size_t at = 0; (at = log.find("SOCKET_Secure TLS con", at)) != std::string::npos;
       ++at) {
    ++link.handshakes;
    if (log.compare(log.find(']', at) + 2, 9, "reanudada") == 0) ++link.resumed;
  }
  return stopped;
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  std::string json;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--quick") {
      quick = true;
    } else if (a == "--json" && i + 1 < argc) {
      json = argv[++i];
    } else {
      std::fprintf(stderr, "usage: zelbench_tls [--quick] [--json FILE]\n");
      return 2;
    }
  }
  Link links[] = {{"plain", false}, {"tls", true}};
  bool ok = true;
  std::printf("%6s %10s %8s %13s %10s %8s\n", "link", "median ms", "p90 ms", "CPU us/request",
              "answers/s", "resumed");
  for (Link& l : links) {
    ok = latency(l, quick ? 100 : 1000) && ok;
    ok = throughput(l, quick ? 1.0 : 5.0) && ok;
    if (l.tls) ok = resumption(l) && ok;
    char resumed[32] = "-";
    if (l.tls) std::snprintf(resumed, sizeof resumed, "%d/%d", l.resumed, l.handshakes);
    std::printf("%6s %10.3f %8.3f %13.1f %10.1f %8s\n", l.name, l.medianMs, l.p90Ms,
                l.cpuUsPerRequest, l.throughput, resumed);
  }
  const Link& p = links[0];
  const Link& t = links[1];
  const double median = p.medianMs > 0 ? t.medianMs / p.medianMs : 0;
  const double through = p.throughput > 0 ? t.throughput / p.throughput : 0;
  const double cpu = p.cpuUsPerRequest > 0 ? t.cpuUsPerRequest / p.cpuUsPerRequest : 0;
  std::printf(
      "TLS / plain: median %.2fx (target <= 1.5: %s), throughput %.2fx (target >= 0.7: "
      "%s), CPU per request %.2fx\n",
      median, median <= 1.5 ? "met" : "MISSED", through, through >= 0.7 ? "met" : "MISSED", cpu);
  if (!ok) std::printf("a run BROKE\n");
  if (!json.empty()) {
    std::ofstream out(json);
    out << "{\"median_ratio\": " << median << ", \"throughput_ratio\": " << through
        << ", \"cpu_ratio\": " << cpu << ", \"links\": [\n";
    for (const Link& l : links) {
      out << "  {\"link\": \"" << l.name << "\", \"median_ms\": " << l.medianMs
          << ", \"p90_ms\": " << l.p90Ms << ", \"cpu_us_per_request\": " << l.cpuUsPerRequest
          << ", \"throughput\": " << l.throughput << ", \"resumed\": " << l.resumed
          << ", \"handshakes\": " << l.handshakes << "}" << (l.tls ? "\n" : ",\n");
    }
    out << "]}\n";
  }
  return ok ? 0 : 1;
}
