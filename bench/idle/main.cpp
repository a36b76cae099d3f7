// zelbench_idle: the idle check. Starts zelclient with the default 6-hour wait
// time-out, and once it sleeps in its first wait leaves it alone for a while and
// reads its counters from /proc: CPU time, times it was put on a CPU, context
// switches. Then one request is answered and the service is left alone again,
// to show that it goes back to sleep between changes. Where strace is installed,
// a further window counts the system calls it makes while traced.
//
// Exit status: 0 when the service stayed asleep in both windows, 1 when it woke
// up or the check itself broke, 2 for a bad command line.
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../common/benchsupport.h"

namespace {

using namespace std::chrono_literals;

struct Window {
  double seconds = 0;
  std::int64_t cpuNs = 0;
  std::uint64_t timeslices = 0, switches = 0, ticks = 0;
  bool quiet() const { return cpuNs == 0 && timeslices == 0 && switches == 0 && ticks == 0; }
};

// Waits until the service sleeps in its wait and has not run for 50 ms.
bool settle(zt::Child& service, const std::string& exe) {
  std::uint64_t lastSlices = ~0ULL;
  int stable = 0;
  for (int i = 0; i < 500 && service.running(); ++i) {
    ::usleep(10000);
    const zb::ProcCounters c = zb::read_proc(service.pid());
    if (!c.ok || c.timeslices != lastSlices || !zb::waits_for_changes(service.pid(), exe)) {
      lastSlices = c.timeslices;
      stable = 0;
      continue;
    }
    if (++stable >= 5) return true;
  }
  return false;
}

Window observe(pid_t pid, double seconds) {
  const zb::ProcCounters a = zb::read_proc(pid);
  ::usleep(static_cast<useconds_t>(seconds * 1e6));
  const zb::ProcCounters b = zb::read_proc(pid);
  Window w;
  w.seconds = seconds;
  w.cpuNs = b.cpuNs - a.cpuNs;
  w.timeslices = b.timeslices - a.timeslices;
  w.switches =
      (b.voluntarySwitches + b.involuntarySwitches) - (a.voluntarySwitches + a.involuntarySwitches);
  w.ticks = (b.utimeTicks + b.stimeTicks) - (a.utimeTicks + a.stimeTicks);
  return w;
}

void print_window(const char* what, const Window& w) {
  std::printf(
      "%s, %.1f s: CPU %lld ns, put on a CPU %llu times, %llu context switches, %llu "
      "clock ticks -> %s\n",
      what, w.seconds, static_cast<long long>(w.cpuNs),
      static_cast<unsigned long long>(w.timeslices), static_cast<unsigned long long>(w.switches),
      static_cast<unsigned long long>(w.ticks), w.quiet() ? "asleep" : "WOKE UP");
}

// Counts the system calls of pid for seconds with strace -c.
zb::SyscallCount trace(pid_t pid, double seconds, const std::string& dir) {
  zb::SyscallTrace tracer(pid, dir);
  if (!tracer.attached()) return {};
  ::usleep(static_cast<useconds_t>(seconds * 1e6));
  return tracer.stop();
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 10;
  double straceSeconds = 3;
  std::string timeout;           // -T for the service; none: its default of 6 hours
  std::vector<std::string> env;  // ZELCLIENT_CONCURRENCY, when asked
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--quick") {
      seconds = 1.5;
      straceSeconds = 1;
    } else if (a == "--seconds" && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else if (a == "--timeout" && i + 1 < argc) {
      timeout = argv[++i];
    } else if (a == "--strace" && i + 1 < argc) {
      straceSeconds = std::atof(argv[++i]);
    } else if (a == "--concurrency" && i + 1 < argc) {
      env = {std::string("ZELCLIENT_CONCURRENCY=") + argv[++i]};
    } else {
      std::fprintf(stderr,
                   "usage: zelbench_idle [--quick] [--seconds S] [--strace S] [--timeout MS]\n"
                   "                     [--concurrency N]\n"
                   "  --seconds  each untouched window (default 10; quick 1.5)\n"
                   "  --strace   the traced window, 0 for none (default 3; quick 1)\n"
                   "  --timeout  give the service -T MS (default: none, its 6-hour default);\n"
                   "             a short one shows what a service that wakes up looks like\n"
                   "  --concurrency  ZELCLIENT_CONCURRENCY=N: its workers sleep too\n");
      return 2;
    }
  }

  const zt::TempDir dir;
  const std::string root = (dir / "root").string();
  const std::string work = (dir / "work").string();
  ::mkdir(root.c_str(), 0755);
  ::mkdir(work.c_str(), 0755);
  gw::Gateway gateway(gw::approver());
  if (!gateway.listening()) {
    std::fprintf(stderr, "zelbench_idle: cannot set up\n");
    return 1;
  }

  const std::string exe = zt::bin("zelclient");
  // The default wait time-out (no -T) unless asked, and no log.
  std::vector<std::string> args = {exe,     "-n", "IDLE",
                                   "-r",    root, "-t",
                                   "caja1", "-g", "127.0.0.1:" + std::to_string(gateway.port())};
  if (!timeout.empty()) {
    args.push_back("-T");
    args.push_back(timeout);
  }
  zt::Child service(args, work, env, true);
  if (!service.started() || !settle(service, exe)) {
    std::printf("zelbench_idle: zelclient did not reach its first wait\n");
    return 1;
  }
  std::printf("zelbench_idle: zelclient (pid %d) sleeps in its first wait\n", service.pid());
  const Window first = observe(service.pid(), seconds);
  print_window("after the first wait", first);

  // One change: a request and its answer, then alone again.
  bool broken = false;
  const int ino = ::inotify_init1(IN_CLOEXEC);
  ::inotify_add_watch(ino, root.c_str(),
                      IN_CLOSE_WRITE | IN_MOVED_TO);  // written, or renamed into place
  zt::write_file(root + "/caja1in.txt", zb::request_text());
  bool answered = false;
  alignas(inotify_event) char buf[4096];
  for (int i = 0; i < 50 && !answered; ++i) {
    pollfd p{ino, POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0) continue;
    const ssize_t n = ::read(ino, buf, sizeof buf);
    for (ssize_t at = 0; at < n;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
      if (ev->len > 0 && std::strcmp(ev->name, "caja1out.txt") == 0) answered = true;
      at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
    }
  }
  ::close(ino);
  std::string answer;
  if (!answered || !zt::try_read(root + "/caja1out.txt", answer) ||
      answer.find("F52=") == std::string::npos || !settle(service, exe)) {
    std::printf("zelbench_idle: the request was not answered\n");
    broken = true;
  }
  Window second;
  if (!broken) {
    ::unlink((root + "/caja1out.txt").c_str());
    settle(service, exe);
    second = observe(service.pid(), seconds);
    print_window("after a request was answered", second);
  }

  const bool strace = straceSeconds > 0 && zb::SyscallTrace::available();
  if (!broken && strace) {
    const zb::SyscallCount t = trace(service.pid(), straceSeconds, work);
    if (!t.ran) {
      std::printf("strace -c, %.1f s: could not trace\n", straceSeconds);
    } else {
      long own = 0;
      std::string list;
      for (const auto& [name, count] : t.calls) {
        list += " " + name + "=" + std::to_string(count);
        // restart_syscall: the wait resumed after the tracer's attach interrupted it.
        if (name != "restart_syscall") own += count;
      }
      std::printf("strace -c, %.1f s: %ld system calls of its own%s%s%s\n", straceSeconds, own,
                  list.empty() ? "" : " (seen:", list.c_str(), list.empty() ? "" : ")");
    }
  } else if (!broken && straceSeconds > 0) {
    std::printf("strace is not installed: the system-call count is skipped\n");
  }

  zt::write_file(root + "/ZELCLIENTSTOP.tmp", "");
  if (service.wait(10s) != 0) {
    std::printf("zelbench_idle: zelclient did not stop cleanly\n");
    broken = true;
  }
  const bool idle = first.quiet() && (broken || second.quiet());
  std::printf("idle: %s\n", broken ? "BROKEN"
                            : idle ? "no CPU and no wake-ups while untouched"
                                   : "the service WOKE UP while untouched");
  return broken || !idle ? 1 : 0;
}
