// Shared pieces of the benchmarks: a clock, latency statistics, a gateway that
// approves at once, a terminal's file operations, running the service as a child
// process and reading its counters from /proc. Linux only.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../alloccount/alloccount.h"
#include "gateway.h"

namespace zb {

std::int64_t now_ns();  // monotonic clock

// Latency statistics of a set of samples in nanoseconds.
struct Stats {
  std::size_t count = 0;
  double mean = 0, median = 0, p90 = 0, p99 = 0, max = 0;  // nanoseconds
};
Stats stats_of(std::vector<std::int64_t> samples);

// The standard request a terminal drops, in the terminals' text format (CR LF).
extern const char* const kRequestText;

// A gateway that approves every request at once, as the gateway simulator does:
// the gateway core on a free port of 127.0.0.1.
class Gateway {
 public:
  Gateway() = default;
  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;
  bool start();  // false when it cannot listen
  void stop();
  int port() const { return core_ ? core_->port() : 0; }
  std::uint64_t exchanges() const { return exchanges_; }

 private:
  std::atomic<std::uint64_t> exchanges_{0};
  std::unique_ptr<gw::Gateway> core_;
};

// Writes a whole file the way a terminal does: open (create, truncate), write, close.
// closing (when given) receives the time just before the close: a request counts as
// closed from then, since whoever the close wakes may run before the close returns.
bool write_whole(const std::string& path, const std::string& text, std::int64_t* closing = nullptr);
// Reads a whole file; false when it cannot be opened.
bool read_whole(const std::string& path, std::string* text);

// A child process.
struct Child {
  pid_t pid = -1;
  int exitStatus = -1;  // once it has ended: exit status, or 128 + signal
  // Starts argv[0] with the extra environment entries in workdir, standard output
  // and error to outPath. false when it cannot be started.
  bool start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
             const std::string& workdir, const std::string& outPath);
  // Exit status, -1 when it has not ended within timeoutMs (then it is killed), -2 on a signal.
  int wait(int timeoutMs);
  bool running();
  void kill_now();
};

// Counters of a process from /proc.
struct ProcCounters {
  bool ok = false;
  std::int64_t cpuNs = 0;        // time on a CPU of all threads (schedstat), or utime + stime
  std::uint64_t timeslices = 0;  // times it was put on a CPU (schedstat)
  std::uint64_t utimeTicks = 0, stimeTicks = 0;
  std::uint64_t voluntarySwitches = 0, involuntarySwitches = 0;
  std::uint64_t peakRssKb = 0, rssKb = 0;
};
ProcCounters read_proc(pid_t pid);
// True once the process holds an inotify instance with at least one watch.
bool has_inotify_watch(pid_t pid);
// The system call the process is blocked in (number from /proc/PID/syscall), or -1.
long current_syscall(pid_t pid);
// True when the process runs executable exe (it has passed its exec), holds an
// inotify watch and sleeps in poll: a service that waits for changes.
bool waits_for_changes(pid_t pid, const std::string& exe);

// The allocation counter's record in path; false when the counter has not attached.
bool read_alloc_counts(const std::string& path, ZelAllocCounts* out);

// Directory of the running executable (build/bin).
std::string self_dir();
// A fresh directory under /tmp (removed by remove_tree).
std::string make_temp_dir(const char* prefix);
void remove_tree(const std::string& path);

// Load average over the last minute, or -1.
double load_average();

}  // namespace zb
