#include "benchsupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace zb {

using namespace std::chrono_literals;

std::string request_text() {
  return std::string(zt::kRequest) + "\r\n";
}

std::int64_t now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

namespace {

// Nearest-rank percentile of sorted samples.
double percentile(const std::vector<std::int64_t>& sorted, double p) {
  if (sorted.empty()) return 0;
  auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size())));
  if (rank < 1) rank = 1;
  return static_cast<double>(sorted[std::min(rank, sorted.size()) - 1]);
}

std::uint64_t status_kb(const std::string& status, const char* key) {
  const std::size_t at = status.find(key);
  return at == std::string::npos
             ? 0
             : std::strtoull(status.c_str() + at + std::strlen(key), nullptr, 10);
}

}  // namespace

Stats stats_of(std::vector<std::int64_t> samples) {
  Stats s;
  s.count = samples.size();
  if (samples.empty()) return s;
  std::sort(samples.begin(), samples.end());
  double sum = 0;
  for (const std::int64_t v : samples) sum += static_cast<double>(v);
  s.mean = sum / static_cast<double>(samples.size());
  s.median = percentile(samples, 50);
  s.p90 = percentile(samples, 90);
  s.p99 = percentile(samples, 99);
  s.max = static_cast<double>(samples.back());
  return s;
}

// ---- A terminal's drop ---------------------------------------------------------

bool write_timed(const std::string& path, const std::string& text, std::int64_t* closing) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  *closing = now_ns();
  return ::close(fd) == 0 && ok;
}

// ---- /proc --------------------------------------------------------------------

ProcCounters read_proc(pid_t pid) {
  ProcCounters c;
  const std::string base = "/proc/" + std::to_string(pid) + "/";
  std::string stat, status;
  if (!zt::try_read(base + "stat", stat) || !zt::try_read(base + "status", status)) return c;
  // Fields after the command name, which ends at the last ')'.
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return c;
  std::istringstream fields(stat.substr(close + 2));
  std::vector<std::string> f;
  for (std::string w; fields >> w;) f.push_back(w);
  if (f.size() < 13) return c;
  c.utimeTicks = std::strtoull(f[11].c_str(), nullptr, 10);  // field 14
  c.stimeTicks = std::strtoull(f[12].c_str(), nullptr, 10);  // field 15
  c.peakRssKb = status_kb(status, "VmHWM:");
  c.rssKb = status_kb(status, "VmRSS:");
  // Switches and time on a CPU are per thread: summed over the threads (the
  // exchange workers included).
  bool scheduled = false;
  if (DIR* tasks = ::opendir((base + "task").c_str())) {
    while (const dirent* e = ::readdir(tasks)) {
      if (e->d_name[0] == '.') continue;
      const std::string task = base + "task/" + e->d_name + "/";
      std::string taskStatus, schedstat;
      if (zt::try_read(task + "status", taskStatus)) {
        c.voluntarySwitches += status_kb(taskStatus, "voluntary_ctxt_switches:");
        c.involuntarySwitches += status_kb(taskStatus, "nonvoluntary_ctxt_switches:");
      }
      std::uint64_t run = 0, wait = 0, slices = 0;
      if (zt::try_read(task + "schedstat", schedstat) &&
          std::istringstream(schedstat) >> run >> wait >> slices) {
        c.cpuNs += static_cast<std::int64_t>(run);
        c.timeslices += slices;
        scheduled = true;
      }
    }
    ::closedir(tasks);
  }
  if (!scheduled) {
    const long hz = ::sysconf(_SC_CLK_TCK);
    c.cpuNs = static_cast<std::int64_t>((c.utimeTicks + c.stimeTicks) * (1000000000 / hz));
  }
  c.ok = true;
  return c;
}

bool has_inotify_watch(pid_t pid) {
  const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = ::opendir(fdDir.c_str());
  if (dir == nullptr) return false;
  bool found = false;
  while (const dirent* e = ::readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    char target[256] = {};
    const std::string link = fdDir + "/" + e->d_name;
    if (::readlink(link.c_str(), target, sizeof target - 1) <= 0) continue;
    if (std::strstr(target, "inotify") == nullptr) continue;
    std::string info;
    if (zt::try_read("/proc/" + std::to_string(pid) + "/fdinfo/" + e->d_name, info) &&
        info.find("inotify wd:") != std::string::npos) {
      found = true;
      break;
    }
  }
  ::closedir(dir);
  return found;
}

long current_syscall(pid_t pid) {
  std::string text;
  if (!zt::try_read("/proc/" + std::to_string(pid) + "/syscall", text) || text.empty()) return -1;
  if (text.compare(0, 7, "running") == 0) return -1;
  return std::strtol(text.c_str(), nullptr, 10);
}

bool waits_for_changes(pid_t pid, const std::string& exe) {
  char target[4096] = {};
  const std::string link = "/proc/" + std::to_string(pid) + "/exe";
  if (::readlink(link.c_str(), target, sizeof target - 1) <= 0) return false;
  char real[PATH_MAX] = {};
  if (::realpath(exe.c_str(), real) == nullptr || std::strcmp(real, target) != 0) return false;
  const long call = current_syscall(pid);
#ifdef SYS_poll
  if (call != SYS_poll && call != SYS_ppoll) return false;
#else
  if (call != SYS_ppoll) return false;
#endif
  return has_inotify_watch(pid);
}

bool read_alloc_counts(const std::string& path, ZelAllocCounts* out) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t r = ::pread(fd, out, sizeof *out, 0);
  ::close(fd);
  return r == static_cast<ssize_t>(sizeof *out) && out->magic == ZEL_ALLOCCOUNT_MAGIC;
}

double load_average() {
  double load[1];
  return ::getloadavg(load, 1) == 1 ? load[0] : -1;
}

// ---- System calls ---------------------------------------------------------------

namespace {

std::string find_in_path(const char* name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const std::string candidate = dir + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

std::uint64_t tracer_of(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("TracerPid:", 0) == 0) return std::strtoull(line.c_str() + 10, nullptr, 10);
  }
  return 0;
}

}  // namespace

long SyscallCount::total() const {
  long n = 0;
  for (const auto& [name, count] : calls) {
    if (name != "restart_syscall") n += count;
  }
  return n;
}

bool SyscallTrace::available() {
  return !find_in_path("strace").empty();
}

SyscallTrace::SyscallTrace(pid_t pid, const std::string& dir) : out_(dir + "/strace.txt") {
  const std::string strace = find_in_path("strace");
  if (strace.empty()) return;
  tracer_ = std::make_unique<zt::Child>(
      std::vector<std::string>{strace, "-c", "-f", "-q", "-o", out_, "-p", std::to_string(pid)},
      dir, std::vector<std::string>{}, true);
  if (!tracer_->started()) return;
  zt::wait_until([&] { return !tracer_->running() || tracer_of(pid) != 0; }, 3s);
  attached_ = tracer_of(pid) != 0;
}

SyscallTrace::~SyscallTrace() {
  if (tracer_ && tracer_->running()) {
    tracer_->interrupt();
    tracer_->wait(5s);
  }
}

SyscallCount SyscallTrace::stop() {
  SyscallCount t;
  if (!attached_) return t;
  tracer_->interrupt();
  if (tracer_->wait(5s) < 0) return t;  // any end, by its SIGINT too, is the normal end
  std::ifstream in(out_);
  int dashes = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("------", 0) == 0) {
      ++dashes;
      continue;
    }
    if (dashes != 1) continue;  // only the rows between the two rules
    std::istringstream row(line);
    std::vector<std::string> cols;
    for (std::string c; row >> c;) cols.push_back(c);
    if (cols.size() >= 5) t.calls.emplace_back(cols.back(), std::atol(cols[3].c_str()));
  }
  t.ran = true;
  return t;
}

}  // namespace zb
