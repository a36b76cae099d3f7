// The benchmarks' own pieces: a clock, latency statistics, a terminal's timed drop
// of a request, and a process's counters from /proc. Child processes, temporary
// directories, whole files and the gateway come from the tests' helpers
// (testsupport.h). Linux only.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "../alloccount/alloccount.h"
#include "testsupport.h"

namespace zb {

std::int64_t now_ns();  // monotonic clock

// Latency statistics of a set of samples in nanoseconds.
struct Stats {
  std::size_t count = 0;
  double mean = 0, median = 0, p90 = 0, p99 = 0, max = 0;  // nanoseconds
};
Stats stats_of(std::vector<std::int64_t> samples);

// The standard request a terminal drops, in the terminals' text format (CR LF).
std::string request_text();

// Writes a whole file the way a terminal does: open (create, truncate), write, close.
// closing receives the time just before the close: a request counts as closed from
// then, since whoever the close wakes may run before the close returns.
bool write_timed(const std::string& path, const std::string& text, std::int64_t* closing);

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

// Load average over the last minute, or -1.
double load_average();

// The system calls of a process and its threads, counted by strace -c from the
// tracer's attach to stop(): their names and counts (restart_syscall, the wait
// the attach interrupted, left out of total()).
struct SyscallCount {
  bool ran = false;
  std::vector<std::pair<std::string, long>> calls;
  long total() const;
};
class SyscallTrace {
 public:
  static bool available();                          // strace is installed
  SyscallTrace(pid_t pid, const std::string& dir);  // attaches; dir holds its output
  ~SyscallTrace();
  SyscallTrace(const SyscallTrace&) = delete;
  SyscallTrace& operator=(const SyscallTrace&) = delete;
  bool attached() const { return attached_; }
  SyscallCount stop();

 private:
  std::string out_;
  std::unique_ptr<zt::Child> tracer_;
  bool attached_ = false;
};

}  // namespace zb
