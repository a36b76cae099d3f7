// zelbench_e2e: the end-to-end benchmark. Starts zelclient (with the allocation
// counter preloaded) and a gateway that answers at once on 127.0.0.1, plays N
// terminals that each drop a request (write, close), wait for their answer file
// (inotify), read and delete it and drop the next one, and reports throughput,
// latency from the request's close to the answer's arrival (its close or rename), the service's CPU
// time, peak RSS and heap calls per request. The floor (the same file operations and TCP exchange
// without the service) is measured in the same run. --compare runs, side by side
// and in turns, the exactly-once floor relay (zelbench_relay), zelclient, and
// zelclient with ZELCLIENT_CONCURRENCY=10, and quotes each against the other.
//
// Exit status: 0 when every run completed (whatever the figures), 1 when the
// benchmark broke (the service did not start, an answer was missing or wrong, the
// service did not stop cleanly), 2 for a bad command line.
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "../common/benchsupport.h"
#include "../common/floor.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using zb::now_ns;

constexpr std::int64_t kMs = 1000000;
constexpr std::int64_t kAnswerTimeoutNs = 10000 * kMs;

// What plays the service in a run: its program and the environment it adds.
struct Variant {
  std::string label;
  std::string program;
  std::vector<std::string> env;
};

struct Options {
  bool quick = false;
  bool compare = false;
  int repeat = 1;
  int concurrency = 0;  // ZELCLIENT_CONCURRENCY for zelclient; 0: unset
  std::vector<int> terminals;
  bool logOff = true;
  bool logFull = true;
  double seconds = 0;  // measured window per run
  double warmup = 0;
  bool zelgateway = false;
  bool floor = true;
  bool keep = false;
  bool syscalls = false;  // count the system calls of the measured window (strace -c)
  std::string json;
  std::string samplesDir;
  std::string service;             // the zelclient binary (default: beside this program)
  std::string host = "127.0.0.1";  // the gateway host as the service is told
  std::vector<Variant> variants;
};

struct RunResult {
  int variant = 0;  // index in Options::variants
  int repeat = 0;
  int terminals = 0;
  bool logging = false;
  bool ok = false;
  std::string error;
  std::uint64_t answered = 0;  // answers seen within the measured window
  double windowSeconds = 0;
  double throughput = 0;  // requests per second
  zb::Stats latency;
  std::vector<std::int64_t> samples;
  double cpuSecondsPer1000 = 0;
  std::uint64_t peakRssKb = 0;
  bool allocCounted = false;
  double allocsPerRequest = 0, freesPerRequest = 0, reallocsPerRequest = 0;
  std::uint64_t startupAllocs = 0;  // heap calls before the measured window
  double logBytesPerRequest = 0;
  double floorMedian = 0, wokenMedian = 0;  // the floors measured in the run's pauses, ns
  int pauses = 0;
  double syscallsPerRequest = 0;  // with --syscalls
  std::string syscallList;        // the calls of a request, the most frequent first
};

void usage() {
  std::fprintf(
      stderr,
      "usage: zelbench_e2e [--quick] [--terminals N[,N...]] [--logging off|full|both]\n"
      "                    [--seconds S] [--warmup S] [--gateway builtin|zelgateway]\n"
      "                    [--no-floor] [--json FILE] [--samples DIR] [--keep]\n"
      "                    [--service PATH] [--host NAME] [--concurrency N]\n"
      "                    [--compare] [--repeat K]\n"
      "  --quick      short runs for CI (1 and 10 terminals, under 20 s in all)\n"
      "  --terminals  terminal counts to run, 1 to 10 (default 1,2,5,10)\n"
      "  --logging    service log off, full (-l FILE,1,300) or both (default both)\n"
      "  --seconds    measured window of each run (default 8; quick 1)\n"
      "  --warmup     requests before the window are not counted (default 1; quick 0.3)\n"
      "  --gateway    the built-in gateway thread (default) or the zelgateway simulator\n"
      "  --json       write the figures to FILE\n"
      "  --samples    write each run's latencies (ns, one per line) into DIR\n"
      "  --keep       keep the temporary directories\n"
      "  --service    the zelclient to measure (default: the one beside this program)\n"
      "  --host       gateway host given to the service (default 127.0.0.1; a name such\n"
      "               as localhost is looked up by the C library on every request)\n"
      "  --concurrency  ZELCLIENT_CONCURRENCY=N for the service (default: unset)\n"
      "  --compare    the exactly-once floor relay, zelclient and zelclient with\n"
      "               ZELCLIENT_CONCURRENCY=10 side by side, logging off, no floor slices\n"
      "  --repeat     run every configuration K times, in turns (default 1)\n"
      "  --syscalls   count the service's system calls per request in the measured\n"
      "               window (strace -c; the timings of a traced run mean little)\n");
}

bool parse_list(const char* text, std::vector<int>* out) {
  out->clear();
  const char* p = text;
  while (*p != '\0') {
    char* end = nullptr;
    const long v = std::strtol(p, &end, 10);
    if (end == p || v < 1 || v > 10) return false;
    out->push_back(static_cast<int>(v));
    p = *end == ',' ? end + 1 : end;
    if (*end != ',' && *end != '\0') return false;
  }
  return !out->empty();
}

bool parse(int argc, char** argv, Options* o) {
  bool terminalsGiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
    if (a == "--quick") {
      o->quick = true;
    } else if (a == "--syscalls") {
      o->syscalls = true;
    } else if (a == "--compare") {
      o->compare = true;
    } else if (a == "--no-floor") {
      o->floor = false;
    } else if (a == "--keep") {
      o->keep = true;
    } else if (next == nullptr) {
      return false;
    } else if (a == "--terminals") {
      if (!parse_list(argv[++i], &o->terminals)) return false;
      terminalsGiven = true;
    } else if (a == "--logging") {
      const std::string v = argv[++i];
      if (v != "off" && v != "full" && v != "both") return false;
      o->logOff = v != "full";
      o->logFull = v != "off";
    } else if (a == "--seconds") {
      o->seconds = std::atof(argv[++i]);
      if (o->seconds <= 0) return false;
    } else if (a == "--warmup") {
      o->warmup = std::atof(argv[++i]);
      if (o->warmup < 0) return false;
    } else if (a == "--gateway") {
      const std::string v = argv[++i];
      if (v != "builtin" && v != "zelgateway") return false;
      o->zelgateway = v == "zelgateway";
    } else if (a == "--json") {
      o->json = argv[++i];
    } else if (a == "--samples") {
      o->samplesDir = argv[++i];
    } else if (a == "--service") {
      o->service = argv[++i];
    } else if (a == "--host") {
      o->host = argv[++i];
    } else if (a == "--concurrency") {
      o->concurrency = std::atoi(argv[++i]);
      if (o->concurrency < 1) return false;
    } else if (a == "--repeat") {
      o->repeat = std::atoi(argv[++i]);
      if (o->repeat < 1) return false;
    } else {
      return false;
    }
  }
  if (!terminalsGiven)
    o->terminals = o->quick ? std::vector<int>{1, 10} : std::vector<int>{1, 2, 5, 10};
  if (o->seconds == 0) o->seconds = o->quick ? 1.0 : 8.0;
  if (o->warmup == 0) o->warmup = o->quick ? 0.3 : 1.0;
  if (o->service.empty()) o->service = zt::bin("zelclient");
  const auto concurrency = [](int c) { return "ZELCLIENT_CONCURRENCY=" + std::to_string(c); };
  if (o->compare) {
    o->logFull = false;
    o->logOff = true;
    o->floor = false;
    if (!terminalsGiven) o->terminals = {1, 10};
    o->variants = {{"exactly-once floor", zt::bin("zelbench_relay"), {}},
                   {"zelclient", o->service, {}},
                   {"zelclient C=10", o->service, {concurrency(10)}}};
  } else if (o->concurrency > 0) {
    o->variants = {{"zelclient C=" + std::to_string(o->concurrency),
                    o->service,
                    {concurrency(o->concurrency)}}};
  } else {
    o->variants = {{"zelclient", o->service, {}}};
  }
  return true;
}

std::string terminal_name(int i) {
  return "caja" + std::to_string(i);
}

// The gateway the service talks to, approving at once: the built-in one (threads
// of this process) or the simulator process.
class GatewayUnderTest {
 public:
  explicit GatewayUnderTest(bool simulator) {
    if (simulator) {
      simulator_ = std::make_unique<zt::Zelgateway>(std::vector<std::string>{"-m", "approve"});
    } else {
      builtin_ = std::make_unique<gw::Gateway>(gw::approver());
    }
  }
  int port() const { return simulator_ ? simulator_->port : builtin_ ? builtin_->port() : 0; }
  void stop() {
    builtin_.reset();
    if (simulator_) {
      simulator_->child->interrupt();
      simulator_->child->wait(5s);
      simulator_.reset();  // killed if still running
    }
  }

 private:
  std::unique_ptr<gw::Gateway> builtin_;
  std::unique_ptr<zt::Zelgateway> simulator_;
};

// Snapshot of the service's counters at one moment.
struct Snapshot {
  std::int64_t at = 0;
  std::uint64_t answered = 0;
  zb::ProcCounters proc;
  ZelAllocCounts allocs{};
  bool allocOk = false;
};

Snapshot snapshot(pid_t pid, const std::string& allocFile, std::uint64_t answered) {
  Snapshot s;
  s.at = now_ns();
  s.answered = answered;
  s.proc = zb::read_proc(pid);
  s.allocOk = zb::read_alloc_counts(allocFile, &s.allocs);
  return s;
}

std::uint64_t file_size(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

// One run: the service with n terminals, logging off or full. When pause is given,
// the measured window is cut into segments: between two, the terminals stop, the
// last answers come in and pause runs (the floors) while the service sleeps.
RunResult run_e2e(const Options& o, const Variant& v, int n, bool logging, int port,
                  const std::string& dir, const std::function<void()>& pause) {
  RunResult r;
  r.terminals = n;
  r.logging = logging;
  const std::string root = dir + "/root";
  const std::string work = dir + "/work";
  ::mkdir(root.c_str(), 0755);
  ::mkdir(work.c_str(), 0755);
  const std::string allocFile = work + "/alloccount.bin";
  const std::string logFile = work + "/svc.log";

  std::string names;
  for (int i = 0; i < n; ++i) names += (i ? "," : "") + terminal_name(i);
  std::vector<std::string> argv = {
      v.program, "-n", "BNCH", "-r", root, "-t", names, "-g", o.host + ":" + std::to_string(port)};
  if (logging) {
    argv.push_back("-l");
    argv.push_back(logFile + ",1,300");
  }
  const std::string preload = zt::bin("libzelalloccount.so");
  std::vector<std::string> env = v.env;
  env.push_back("ZEL_ALLOCCOUNT_FILE=" + allocFile);
  if (::access(preload.c_str(), R_OK) == 0) env.push_back("LD_PRELOAD=" + preload);

  // The terminals' own change notification: each answer file written, or renamed
  // into place (the service publishes its answers so).
  const int ino = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (ino < 0 || ::inotify_add_watch(ino, root.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
    r.error = "inotify";
    return r;
  }

  zt::Child service(argv, work, env, true);
  if (!service.started()) {
    r.error = "cannot start " + v.program;
    ::close(ino);
    return r;
  }
  // Ready once it sleeps in its wait with its notification set up: a request
  // dropped from then on is seen.
  bool ready = false;
  zt::wait_until(
      [&] {
        ready = zb::waits_for_changes(service.pid(), argv[0]);
        return ready || !service.running();
      },
      5s);
  if (!ready) {
    r.error = "zelclient did not start waiting (status " + std::to_string(service.wait(0ms)) +
              ") " + service.output();
    service.kill();
    ::close(ino);
    return r;
  }

  const std::string request = zb::request_text();
  std::vector<std::int64_t> dropped(static_cast<std::size_t>(n), 0);
  std::vector<bool> waiting(static_cast<std::size_t>(n), false);
  auto drop = [&](int i) {
    if (!zb::write_timed(root + "/" + terminal_name(i) + "in.txt", request,
                         &dropped[static_cast<std::size_t>(i)])) {
      return false;
    }
    waiting[static_cast<std::size_t>(i)] = true;
    return true;
  };

  const std::int64_t start = now_ns();
  const std::int64_t measureFrom = start + static_cast<std::int64_t>(o.warmup * 1e9);
  std::int64_t measureTo = measureFrom + static_cast<std::int64_t>(o.seconds * 1e9);
  const auto segmentNs = static_cast<std::int64_t>(o.seconds * 1e9 / (o.quick ? 4 : 8));
  std::int64_t nextPause = measureFrom + segmentNs;
  std::int64_t paused = 0;  // time spent in pauses within the window
  bool pausing = false;
  int pauses = 0;
  Snapshot first, last;
  bool haveFirst = false, haveLast = false;
  std::unique_ptr<zb::SyscallTrace> trace;
  zb::SyscallCount calls;
  std::uint64_t answered = 0, total = 0;
  int outstanding = 0;
  for (int i = 0; i < n; ++i) {
    if (!drop(i)) r.error = "cannot write a request";
    ++outstanding;
  }

  alignas(inotify_event) char buf[8192];
  while (r.error.empty() && outstanding > 0) {
    pollfd p{ino, POLLIN, 0};
    const int events = ::poll(&p, 1, 200);
    const std::int64_t seen = now_ns();
    if (!haveFirst && seen >= measureFrom) {
      if (o.syscalls) trace = std::make_unique<zb::SyscallTrace>(service.pid(), work);
      first = snapshot(service.pid(), allocFile, answered);
      haveFirst = true;
    }
    if (haveFirst && !haveLast && seen >= measureTo) {
      last = snapshot(service.pid(), allocFile, answered);
      if (trace) calls = trace->stop();
      haveLast = true;
    }
    if (pause && haveFirst && !haveLast && !pausing && seen >= nextPause &&
        seen + segmentNs / 2 < measureTo) {
      pausing = true;  // no new requests until the pause
    }
    if (events <= 0) {
      for (int i = 0; i < n; ++i) {
        if (waiting[static_cast<std::size_t>(i)] &&
            seen - dropped[static_cast<std::size_t>(i)] > kAnswerTimeoutNs) {
          r.error = "no answer for " + terminal_name(i) + " within 10 s";
        }
      }
      if (!service.running()) r.error = "zelclient ended during the run";
      continue;
    }
    const ssize_t got = ::read(ino, buf, sizeof buf);
    for (ssize_t at = 0; got > 0 && at < got && r.error.empty();) {
      const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
      int i = -1;
      if (ev->len > 0 && std::sscanf(ev->name, "caja%dout.txt", &i) != 1) continue;
      if (i < 0 || i >= n || !waiting[static_cast<std::size_t>(i)]) continue;
      const std::string out = root + "/" + terminal_name(i) + "out.txt";
      if (std::string(ev->name) != terminal_name(i) + "out.txt") continue;
      std::string answer;
      if (!zt::try_read(out, answer) || answer.find("F52=GW") == std::string::npos ||
          answer.find("|F41=" + terminal_name(i) + "|") == std::string::npos) {
        r.error = "wrong answer for " + terminal_name(i) + ": [" + answer + "]";
        break;
      }
      ::unlink(out.c_str());
      waiting[static_cast<std::size_t>(i)] = false;
      --outstanding;
      ++total;
      const std::int64_t droppedAt = dropped[static_cast<std::size_t>(i)];
      if (haveFirst && !haveLast) {
        ++answered;
        if (droppedAt >= first.at) r.samples.push_back(seen - droppedAt);
      }
      if (now_ns() < measureTo && !pausing) {
        if (!drop(i)) {
          r.error = "cannot write a request";
          break;
        }
        ++outstanding;
      }
    }
    if (pausing && outstanding == 0 && r.error.empty()) {
      const std::int64_t from = now_ns();
      pause();
      const std::int64_t length = now_ns() - from;
      paused += length;
      measureTo += length;
      nextPause = now_ns() + segmentNs;
      pausing = false;
      ++pauses;
      for (int i = 0; i < n && r.error.empty(); ++i) {
        if (!drop(i)) r.error = "cannot write a request";
        ++outstanding;
      }
    }
  }
  if (r.error.empty() && !haveLast) {
    last = snapshot(service.pid(), allocFile, answered);
    if (trace) calls = trace->stop();
  }
  r.pauses = pauses;
  const zb::ProcCounters final = zb::read_proc(service.pid());

  // Stop it the way an operator does, and expect a clean exit.
  zt::write_file(root + "/ZELCLIENTSTOP.tmp", "");
  const int status = service.wait(10s);
  if (r.error.empty() && status != 0) {
    r.error = "zelclient did not stop cleanly (status " + std::to_string(status) + ")";
  }
  ::close(ino);
  if (!r.error.empty()) return r;

  const std::uint64_t count = last.answered - first.answered;
  r.answered = count;
  r.windowSeconds = static_cast<double>(last.at - first.at - paused) / 1e9;
  r.throughput = r.windowSeconds > 0 ? static_cast<double>(count) / r.windowSeconds : 0;
  r.latency = zb::stats_of(r.samples);
  r.peakRssKb = final.peakRssKb;
  if (count > 0) {
    const double per = 1.0 / static_cast<double>(count);
    r.cpuSecondsPer1000 =
        static_cast<double>(last.proc.cpuNs - first.proc.cpuNs) / 1e9 * per * 1000;
    r.allocCounted = first.allocOk && last.allocOk;
    if (r.allocCounted) {
      r.allocsPerRequest = static_cast<double>(last.allocs.allocs - first.allocs.allocs) * per;
      r.reallocsPerRequest =
          static_cast<double>(last.allocs.reallocs - first.allocs.reallocs) * per;
      r.freesPerRequest = static_cast<double>(last.allocs.frees - first.allocs.frees) * per;
      r.startupAllocs = first.allocs.allocs;
    }
    if (calls.ran) {
      r.syscallsPerRequest = static_cast<double>(calls.total()) * per;
      auto sorted = calls.calls;
      std::sort(sorted.begin(), sorted.end(),
                [](const auto& a, const auto& b) { return a.second > b.second; });
      for (const auto& [name, times] : sorted) {
        const double each = static_cast<double>(times) * per;
        if (name == "restart_syscall" || each < 0.05) continue;
        char one[64];
        std::snprintf(one, sizeof one, "%s%s %.2f", r.syscallList.empty() ? "" : ", ", name.c_str(),
                      each);
        r.syscallList += one;
      }
    }
    if (logging)
      r.logBytesPerRequest = static_cast<double>(file_size(logFile)) / static_cast<double>(total);
  }
  if (count == 0) {
    r.error = "no request answered in the measured window";
    return r;
  }
  r.ok = true;
  return r;
}

double ms(double ns) {
  return ns / 1e6;
}

std::string machine_text() {
  std::string model = "unknown CPU";
  std::ifstream cpu("/proc/cpuinfo");
  for (std::string line; std::getline(cpu, line);) {
    if (line.rfind("model name", 0) == 0) {
      model = line.substr(line.find(':') + 2);
      break;
    }
  }
  utsname u{};
  ::uname(&u);
  char text[512];
  std::snprintf(text, sizeof text, "%s, %ld online CPUs, Linux %s %s", model.c_str(),
                ::sysconf(_SC_NPROCESSORS_ONLN), u.release, u.machine);
  return text;
}

void write_samples(const std::string& dir, const std::string& name,
                   const std::vector<std::int64_t>& samples) {
  std::ofstream out(dir + "/" + name);
  for (const std::int64_t v : samples) out << v << '\n';
}

std::string json_escape(const std::string& s) {
  std::string out;
  for (const char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) >= 0x20) out += c;
  }
  return out;
}

std::string stats_json(const zb::Stats& s) {
  char text[256];
  std::snprintf(text, sizeof text,
                "{\"count\": %zu, \"mean_ms\": %.4f, \"median_ms\": %.4f, \"p90_ms\": %.4f, "
                "\"p99_ms\": %.4f, \"max_ms\": %.4f}",
                s.count, ms(s.mean), ms(s.median), ms(s.p90), ms(s.p99), ms(s.max));
  return text;
}

// The figure of variant v in one repeat: the 1-terminal median, the 10-terminal
// throughput and CPU per request. false when a run is missing.
struct Figures {
  double median = 0, throughput = 0, cpuUs = 0;
};
bool figures_of(const std::vector<RunResult>& results, int v, int repeat, Figures* f) {
  bool one = false, ten = false;
  for (const RunResult& r : results) {
    if (!r.ok || r.variant != v || r.repeat != repeat) continue;
    if (r.terminals == 1) {
      f->median = r.latency.median;
      one = true;
    } else if (r.terminals == 10) {
      f->throughput = r.throughput;
      f->cpuUs = r.cpuSecondsPer1000 * 1000;
      ten = true;
    }
  }
  return one && ten;
}

// With --syscalls: each run's system calls per request, with its ratio to the
// exactly-once floor of the same repeat and terminals (--compare), and what they are.
void print_syscalls(const Options& o, const std::vector<RunResult>& results) {
  std::printf("\nsystem calls per request (strace -c over the measured window):\n");
  for (const RunResult& r : results) {
    if (!r.ok || r.syscallsPerRequest == 0) continue;
    double floor = 0;
    for (const RunResult& f : results) {
      if (o.compare && f.ok && f.variant == 0 && f.repeat == r.repeat &&
          f.terminals == r.terminals && f.logging == r.logging) {
        floor = f.syscallsPerRequest;
      }
    }
    char ratio[32] = "";
    if (floor > 0 && r.variant != 0)
      std::snprintf(ratio, sizeof ratio, " (%.2fx the floor)", r.syscallsPerRequest / floor);
    std::printf("  %-20s %2d terminals%s: %5.1f%s\n    %s\n",
                o.variants[static_cast<std::size_t>(r.variant)].label.c_str(), r.terminals,
                r.logging ? ", logged" : "", r.syscallsPerRequest, ratio, r.syscallList.c_str());
  }
}

// The side-by-side table of --compare, one block per repeat, and the ratios the
// targets are about: the worker mode against the one-thread mode, the one-thread
// mode against the exactly-once floor.
void compare(const Options& o, const std::vector<RunResult>& results) {
  struct Ratio {
    int of, to;
    double medianMax, throughputMin, cpuMax;
  };
  const Ratio ratios[] = {{2, 1, 1.05, 1.0, 1.1}, {1, 0, 1.1, 0.9, 1.2}};
  auto verdict = [](bool met) { return met ? "met" : "MISSED"; };
  for (int repeat = 0; repeat < o.repeat; ++repeat) {
    std::printf("\nside by side, repeat %d (timings are reported, never asserted):\n", repeat + 1);
    std::printf("  %-20s %16s %20s %18s\n", "relay", "p50 1 terminal", "req/s 10 terminals",
                "CPU us/request");
    Figures f[3];
    bool have[3];
    for (int v = 0; v < 3; ++v) {
      have[v] = figures_of(results, v, repeat, &f[v]);
      if (have[v]) {
        std::printf("  %-20s %13.0f us %20.0f %18.0f\n",
                    o.variants[static_cast<std::size_t>(v)].label.c_str(), f[v].median / 1e3,
                    f[v].throughput, f[v].cpuUs);
      }
    }
    for (const Ratio& q : ratios) {
      if (!have[q.of] || !have[q.to]) continue;
      const double m = f[q.of].median / f[q.to].median;
      const double t = f[q.of].throughput / f[q.to].throughput;
      const double c = f[q.of].cpuUs / f[q.to].cpuUs;
      std::printf(
          "  %s against %s: median %.2f (<= %.2f %s), throughput %.2f (>= %.2f %s), "
          "CPU %.2f (<= %.2f %s)\n",
          o.variants[static_cast<std::size_t>(q.of)].label.c_str(),
          o.variants[static_cast<std::size_t>(q.to)].label.c_str(), m, q.medianMax,
          verdict(m <= q.medianMax), t, q.throughputMin, verdict(t >= q.throughputMin), c, q.cpuMax,
          verdict(c <= q.cpuMax));
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, &o)) {
    usage();
    return 2;
  }
  const double loadBefore = zb::load_average();
  zt::TempDir temp;
  const std::string dir = temp.str();
  GatewayUnderTest gateway(o.zelgateway);
  if (gateway.port() <= 0) {
    std::fprintf(stderr, "zelbench_e2e: the gateway did not start\n");
    return 1;
  }
  std::printf("zelbench_e2e: %s mode, %s, gateway %s on %s:%d\n", o.quick ? "quick" : "full",
              o.service.c_str(), o.zelgateway ? "zelgateway" : "built-in", o.host.c_str(),
              gateway.port());
  std::printf("machine: %s; load average %.2f\n", machine_text().c_str(), loadBefore);
  std::fflush(stdout);

  bool broken = false;
  // Both floors are measured in short slices in the pauses of each run (the service
  // sleeps meanwhile), so that each run is compared with the floor of the same
  // moments; all slices together give the run's floor figures.
  zb::FloorResult floor, woken;
  floor.ok = woken.ok = o.floor;
  const auto sliceNs = static_cast<std::int64_t>((o.quick ? 0.05 : 0.1) * 1e9);
  int slices = 0;
  auto measure_floors = [&](std::vector<std::int64_t>* local,
                            std::vector<std::int64_t>* localWoken) {
    const std::string floorDir = dir + "/floor" + std::to_string(slices);
    const std::string wokenDir = dir + "/floor-woken" + std::to_string(slices);
    ++slices;
    ::mkdir(floorDir.c_str(), 0755);
    ::mkdir(wokenDir.c_str(), 0755);
    const struct {
      const char* name;
      zb::FloorResult slice;
      zb::FloorResult& pooled;
      std::vector<std::int64_t>* samples;
    } parts[] = {
        {"floor", zb::run_floor(floorDir, gateway.port(), sliceNs, 20), floor, local},
        {"floor with wake-ups", zb::run_floor_woken(wokenDir, gateway.port(), sliceNs, 20), woken,
         localWoken},
    };
    for (const auto& part : parts) {
      if (!part.slice.ok) {
        if (part.pooled.ok) std::printf("%s: FAILED (%s)\n", part.name, part.slice.error.c_str());
        part.pooled.ok = false;
        broken = true;
        continue;
      }
      part.pooled.samples.insert(part.pooled.samples.end(), part.slice.samples.begin(),
                                 part.slice.samples.end());
      part.samples->insert(part.samples->end(), part.slice.samples.begin(),
                           part.slice.samples.end());
    }
    std::error_code ec;
    fs::remove_all(floorDir, ec);
    fs::remove_all(wokenDir, ec);
  };

  std::printf("\n%-18s %-9s %-4s %7s %7s %7s %7s %7s %7s %7s %10s %8s %10s\n", "relay", "terminals",
              "log", "req/s", "median", "p90", "p99", "max", "x floor", "x woken", "CPU",
              "peak RSS", "allocs/req");
  std::printf("%-18s %-9s %-4s %7s %7s %7s %7s %7s %7s %7s %10s %8s %10s\n", "", "", "", "", "ms",
              "ms", "ms", "ms", "", "", "us/req", "KiB", "");
  std::fflush(stdout);
  std::vector<RunResult> results;
  auto run_one = [&](int variantIndex, int n, bool logging, int repeat) {
    const Variant& variant = o.variants[static_cast<std::size_t>(variantIndex)];
    std::vector<std::int64_t> localFloor, localWoken;
    std::function<void()> pause;
    if (o.floor) pause = [&] { measure_floors(&localFloor, &localWoken); };
    const std::string runDir = dir + "/t" + std::to_string(n) + (logging ? "-log" : "-nolog") +
                               "-v" + std::to_string(variantIndex) + "-r" + std::to_string(repeat);
    ::mkdir(runDir.c_str(), 0755);
    RunResult r = run_e2e(o, variant, n, logging, gateway.port(), runDir, pause);
    r.variant = variantIndex;
    r.repeat = repeat;
    const zb::Stats local = zb::stats_of(localFloor);
    const zb::Stats localW = zb::stats_of(localWoken);
    r.floorMedian = local.median;
    r.wokenMedian = localW.median;
    const char* log = logging ? "full" : "off";
    if (!r.ok) {
      std::printf("%-18s %-9d %-4s FAILED: %s\n", variant.label.c_str(), n, log, r.error.c_str());
      broken = true;
    } else {
      char allocs[32] = "n/a";
      if (r.allocCounted) std::snprintf(allocs, sizeof allocs, "%.3f", r.allocsPerRequest);
      std::printf("%-18s %-9d %-4s %7.0f %7.3f %7.3f %7.3f %7.3f %7.2f %7.2f %10.1f %8llu %10s\n",
                  variant.label.c_str(), n, log, r.throughput, ms(r.latency.median),
                  ms(r.latency.p90), ms(r.latency.p99), ms(r.latency.max),
                  local.median > 0 ? r.latency.median / local.median : 0.0,
                  localW.median > 0 ? r.latency.median / localW.median : 0.0,
                  r.cpuSecondsPer1000 * 1000, static_cast<unsigned long long>(r.peakRssKb), allocs);
    }
    std::fflush(stdout);
    results.push_back(std::move(r));
  };
  // In turns, so that a burst of someone else's work weighs on every relay alike,
  // and each repeat starts with the next relay: what a run leaves in the system
  // (its closed connections, the page cache) is not always met by the same one.
  const std::size_t variants = o.variants.size();
  for (int repeat = 0; repeat < o.repeat; ++repeat) {
    for (const bool logging : {false, true}) {
      if ((logging && !o.logFull) || (!logging && !o.logOff)) continue;
      for (const int n : o.terminals) {
        for (std::size_t k = 0; k < variants; ++k) {
          const std::size_t v = (k + static_cast<std::size_t>(repeat)) % variants;
          run_one(static_cast<int>(v), n, logging, repeat);
        }
      }
    }
  }
  zb::Stats floorStats, wokenStats;
  if (o.floor) {
    std::printf("\n");
    const struct {
      const char* name;
      const zb::FloorResult& result;
      zb::Stats& stats;
    } floors[] = {{"floor (one process, no wake-up)", floor, floorStats},
                  {"floor with two wake-ups (a minimal relay process)", woken, wokenStats}};
    for (const auto& f : floors) {
      if (!f.result.ok) continue;
      f.stats = zb::stats_of(f.result.samples);
      std::printf(
          "%s, %d slices: %zu requests, latency median %.3f ms, p90 %.3f, p99 %.3f, "
          "max %.3f\n",
          f.name, slices, f.stats.count, ms(f.stats.median), ms(f.stats.p90), ms(f.stats.p99),
          ms(f.stats.max));
    }
  }
  gateway.stop();

  if (o.compare) compare(o, results);
  if (o.syscalls) print_syscalls(o, results);

  // The targets, against zelclient's runs with logging off.
  const RunResult* one = nullptr;
  const RunResult* ten = nullptr;
  double worstAllocs = -1;
  std::uint64_t worstRss = 0;
  for (const RunResult& r : results) {
    if (!r.ok || r.logging || r.variant != (o.compare ? 1 : 0)) continue;
    if (r.terminals == 1) one = &r;
    if (r.terminals == 10) ten = &r;
    if (r.allocCounted && r.allocsPerRequest > worstAllocs) worstAllocs = r.allocsPerRequest;
    if (r.peakRssKb > worstRss) worstRss = r.peakRssKb;
  }
  auto verdict = [](bool met) { return met ? "met" : "MISSED"; };
  std::printf("\ntargets (logging off; timings are reported, never asserted):\n");
  if (one != nullptr) {
    std::printf("  median latency %.3f ms < 1 ms: %s\n", ms(one->latency.median),
                verdict(one->latency.median < 1e6));
    std::printf("  p99 latency %.3f ms < 5 ms: %s\n", ms(one->latency.p99),
                verdict(one->latency.p99 < 5e6));
    if (one->floorMedian > 0) {
      const double ratio = one->latency.median / one->floorMedian;
      std::printf("  median latency %.2f x the floor of the same run (%.3f ms) <= 1.5: %s\n", ratio,
                  ms(one->floorMedian), verdict(ratio <= 1.5));
    }
    if (one->wokenMedian > 0) {
      std::printf("  (median latency %.2f x the floor with two wake-ups, %.3f ms)\n",
                  one->latency.median / one->wokenMedian, ms(one->wokenMedian));
    }
  }
  if (ten != nullptr) {
    std::printf("  throughput with 10 terminals %.0f req/s >= 3000: %s\n", ten->throughput,
                verdict(ten->throughput >= 3000));
  }
  if (worstAllocs >= 0) {
    std::printf("  heap allocations per request %.3f == 0: %s\n", worstAllocs,
                verdict(worstAllocs == 0));
  } else {
    std::printf("  heap allocations per request: not counted (no allocation counter)\n");
  }
  if (worstRss > 0) {
    std::printf("  peak RSS %.2f MiB < 4 MiB: %s\n", static_cast<double>(worstRss) / 1024,
                verdict(worstRss < 4096));
  }
  const double loadAfter = zb::load_average();
  std::printf("load average %.2f before, %.2f after (a busy machine makes the figures noisy)\n",
              loadBefore, loadAfter);

  if (!o.samplesDir.empty()) {
    ::mkdir(o.samplesDir.c_str(), 0755);
    if (o.floor && floor.ok) write_samples(o.samplesDir, "floor.txt", floor.samples);
    if (o.floor && woken.ok) write_samples(o.samplesDir, "floor-woken.txt", woken.samples);
    for (const RunResult& r : results) {
      if (!r.ok) continue;
      write_samples(
          o.samplesDir,
          "e2e-t" + std::to_string(r.terminals) + (r.logging ? "-log" : "-nolog") + ".txt",
          r.samples);
    }
  }
  if (!o.json.empty()) {
    std::ofstream j(o.json);
    j << "{\n  \"mode\": \"" << (o.quick ? "quick" : "full") << "\",\n";
    j << "  \"gateway\": \"" << (o.zelgateway ? "zelgateway" : "builtin") << "\",\n";
    j << "  \"machine\": \"" << json_escape(machine_text()) << "\",\n";
    j << "  \"load_before\": " << loadBefore << ",\n  \"load_after\": " << loadAfter << ",\n";
    j << "  \"floor\": " << (floor.ok ? stats_json(floorStats) : "null") << ",\n";
    j << "  \"floor_woken\": " << (woken.ok ? stats_json(wokenStats) : "null") << ",\n";
    j << "  \"runs\": [";
    bool firstRun = true;
    for (const RunResult& r : results) {
      j << (firstRun ? "\n" : ",\n");
      firstRun = false;
      j << "    {\"relay\": \""
        << json_escape(o.variants[static_cast<std::size_t>(r.variant)].label)
        << "\", \"repeat\": " << r.repeat + 1 << ", \"terminals\": " << r.terminals
        << ", \"logging\": " << (r.logging ? "true" : "false")
        << ", \"ok\": " << (r.ok ? "true" : "false");
      if (!r.ok) {
        j << ", \"error\": \"" << json_escape(r.error) << "\"}";
        continue;
      }
      j << ", \"requests\": " << r.answered << ", \"window_s\": " << r.windowSeconds
        << ", \"throughput\": " << r.throughput << ", \"latency\": " << stats_json(r.latency)
        << ", \"cpu_s_per_1000\": " << r.cpuSecondsPer1000 << ", \"peak_rss_kib\": " << r.peakRssKb;
      if (r.allocCounted) {
        j << ", \"allocs_per_request\": " << r.allocsPerRequest
          << ", \"reallocs_per_request\": " << r.reallocsPerRequest
          << ", \"frees_per_request\": " << r.freesPerRequest
          << ", \"allocs_before_window\": " << r.startupAllocs;
      }
      if (r.logging) j << ", \"log_bytes_per_request\": " << r.logBytesPerRequest;
      if (r.floorMedian > 0) {
        j << ", \"floor_median_ms\": " << ms(r.floorMedian)
          << ", \"floor_woken_median_ms\": " << ms(r.wokenMedian);
      }
      j << "}";
    }
    j << "\n  ]\n}\n";
  }

  if (o.keep) {
    temp.keep();
    std::printf("kept %s\n", dir.c_str());
  }
  if (broken) std::printf("zelbench_e2e: the benchmark broke (see FAILED above)\n");
  return broken ? 1 : 0;
}
