// zelbench_concurrency: how long terminals wait behind each other when the gateway
// takes its time. For each case (gateway delay x terminals x ZELCLIENT_CONCURRENCY)
// it runs zelgateway -m delay and zelclient, then:
//   burst:  every terminal drops a request at the same moment, 5 rounds; the time
//           from the drop to each answer (the last answer of a round is what the
//           last clerk waits);
//   loop:   every terminal drops, waits for its answer, takes it and drops the
//           next, for the window; answers per second.
// Prints one line per case and writes them as JSON. Exit status 1 when a run breaks.
//   zelbench_concurrency [--quick] [--json FILE]
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

struct Case {
  int delayMs, terminals, concurrency;
  double burstMedianMs = 0, burstMaxMs = 0, throughput = 0;
};

std::string name(int t) {
  return "caja" + std::to_string(t);
}

// Waits for terminal t's answer, takes it; false after waitMs.
bool take_answer(const fs::path& root, int t, std::int64_t waitMs) {
  const fs::path out = root / (name(t) + "out.txt");
  const std::int64_t until = now_ns() + waitMs * 1'000'000;
  std::error_code ec;
  while (!fs::exists(out, ec)) {
    if (now_ns() > until) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  std::ifstream(out).get();
  fs::remove(out, ec);
  return true;
}

void drop(const fs::path& root, int t, int n) {
  std::ofstream(root / (name(t) + "in.txt"))
      << "|G01=1234|G04=" << t << "-" << n << "|G08=42|G99=000020|";
}

bool run(Case& c, double seconds) {
  const zt::TempDir dir;
  const fs::path root = dir / "root";
  fs::create_directories(root);
  fs::create_directories(dir / "work");
  zt::Zelgateway gateway({"-m", "delay", "-d", std::to_string(c.delayMs)});
  std::string list = name(0);
  for (int t = 1; t < c.terminals; ++t) list += "," + name(t);
  zt::Child service({zt::bin("zelclient"), "-n", "AB", "-r", root.string(), "-t", list, "-g",
                     "127.0.0.1:" + std::to_string(gateway.port), "-p", "-1"},
                    (dir / "work").string(),
                    {"ZELCLIENT_CONCURRENCY=" + std::to_string(c.concurrency)}, true);
  bool ok = gateway.port > 0 && service.started();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  // Every answer in time, also the last of a burst served one after another.
  const std::int64_t waitMs = 10000 + static_cast<std::int64_t>(c.delayMs) * c.terminals;
  std::vector<double> waits;
  for (int round = 0; ok && round < 5; ++round) {
    std::vector<std::thread> clerks;
    std::atomic<bool> failed{false};
    std::vector<double> mine(static_cast<std::size_t>(c.terminals));
    const std::int64_t t0 = now_ns();
    for (int t = 0; t < c.terminals; ++t) drop(root, t, round);
    for (int t = 0; t < c.terminals; ++t) {
      clerks.emplace_back([&, t] {
        if (!take_answer(root, t, waitMs)) failed = true;
        mine[static_cast<std::size_t>(t)] = static_cast<double>(now_ns() - t0) / 1e6;
      });
    }
    for (auto& k : clerks) k.join();
    ok = !failed;
    waits.insert(waits.end(), mine.begin(), mine.end());
  }
  std::sort(waits.begin(), waits.end());
  if (ok) {
    c.burstMedianMs = waits[waits.size() / 2];
    c.burstMaxMs = waits.back();
  }

  std::atomic<long> answered{0};
  std::atomic<bool> stop{false}, failed{false};
  std::vector<std::thread> clerks;
  const std::int64_t t0 = now_ns();
  for (int t = 0; ok && t < c.terminals; ++t) {
    clerks.emplace_back([&, t] {
      for (int n = 100; !stop; ++n) {
        drop(root, t, n);
        if (!take_answer(root, t, waitMs)) {
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
  c.throughput = static_cast<double>(answered) / (static_cast<double>(now_ns() - t0) / 1e9);
  ok = ok && !failed;
  std::ofstream(root / "ZELCLIENTSTOP.tmp") << "stop";
  ok = service.wait(10s) == 0 && ok;
  gateway.child->interrupt();
  gateway.child->wait(5s);
  return ok;
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
      std::fprintf(stderr, "usage: zelbench_concurrency [--quick] [--json FILE]\n");
      return 2;
    }
  }
  std::vector<Case> cases;
  for (const int delay : quick ? std::vector<int>{0, 200} : std::vector<int>{0, 50, 200, 1000}) {
    for (const int terminals : quick ? std::vector<int>{10} : std::vector<int>{1, 10}) {
      for (const int concurrency : {1, 10}) cases.push_back({delay, terminals, concurrency});
    }
  }
  std::printf("%8s %9s %11s %14s %12s %14s\n", "delay ms", "terminals", "concurrency",
              "burst median ms", "burst max ms", "answers/s loop");
  bool ok = true;
  for (Case& c : cases) {
    const double seconds = quick ? 1.0 : (c.delayMs >= 1000 ? 6.0 : 3.0);
    const bool ran = run(c, seconds);
    ok = ok && ran;
    std::printf("%8d %9d %11d %14.1f %12.1f %14.1f%s\n", c.delayMs, c.terminals, c.concurrency,
                c.burstMedianMs, c.burstMaxMs, c.throughput, ran ? "" : "  BROKE");
    std::fflush(stdout);
  }
  if (!json.empty()) {
    std::ofstream out(json);
    out << "[\n";
    for (std::size_t i = 0; i < cases.size(); ++i) {
      const Case& c = cases[i];
      out << "  {\"delay_ms\": " << c.delayMs << ", \"terminals\": " << c.terminals
          << ", \"concurrency\": " << c.concurrency << ", \"burst_median_ms\": " << c.burstMedianMs
          << ", \"burst_max_ms\": " << c.burstMaxMs << ", \"throughput\": " << c.throughput << "}"
          << (i + 1 < cases.size() ? ",\n" : "\n");
    }
    out << "]\n";
  }
  return ok ? 0 : 1;
}
