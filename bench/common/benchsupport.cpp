#include "benchsupport.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace zb {

const char* const kRequestText = "|G01=1234|G04=556677|G08=42|G99=000020|\r\n";

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

bool read_text(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  *out = s.str();
  return true;
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

// ---- Gateway ------------------------------------------------------------------

bool Gateway::start() {
  core_ = std::make_unique<gw::Gateway>([this](const gw::Received& r) {
    if (!r.whole() || r.type() == 0) return gw::hang_up();
    const auto number = static_cast<std::uint32_t>(++exchanges_);
    return gw::answer({gw::reply_packet(r.type(), gw::approval_text(r.message(), number))});
  });
  return core_->listening();
}

void Gateway::stop() {
  core_.reset();
}

// ---- Files --------------------------------------------------------------------

bool write_whole(const std::string& path, const std::string& text, std::int64_t* closing) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (closing != nullptr) *closing = now_ns();
  return ::close(fd) == 0 && ok;
}

bool read_whole(const std::string& path, std::string* text) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  text->clear();
  char buf[4096];
  for (;;) {
    const ssize_t r = ::read(fd, buf, sizeof buf);
    if (r <= 0) break;
    text->append(buf, static_cast<std::size_t>(r));
  }
  ::close(fd);
  return true;
}

// ---- Child processes ----------------------------------------------------------

bool Child::start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                  const std::string& workdir, const std::string& outPath) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> envText;
  for (char** e = environ; *e != nullptr; ++e) envText.emplace_back(*e);
  envText.insert(envText.end(), env.begin(), env.end());
  std::vector<char*> envp;
  for (auto& e : envText) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    if (!workdir.empty() && ::chdir(workdir.c_str()) != 0) ::_exit(126);
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0) {
      ::dup2(out, 1);
      ::dup2(out, 2);
    }
    const int in = ::open("/dev/null", O_RDONLY);
    if (in >= 0) ::dup2(in, 0);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  return true;
}

int Child::wait(int timeoutMs) {
  if (pid <= 0) return -1;
  const std::int64_t end = now_ns() + std::int64_t{timeoutMs} * 1000000;
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      pid = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    }
    if (r < 0) return -1;
    if (now_ns() > end) {
      kill_now();
      return -1;
    }
    ::usleep(2000);
  }
}

bool Child::running() {
  if (pid <= 0) return false;
  int status = 0;
  if (::waitpid(pid, &status, WNOHANG) == pid) {
    pid = -1;
    exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
  }
  return true;
}

void Child::kill_now() {
  if (pid <= 0) return;
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  pid = -1;
}

// ---- /proc --------------------------------------------------------------------

ProcCounters read_proc(pid_t pid) {
  ProcCounters c;
  const std::string base = "/proc/" + std::to_string(pid) + "/";
  std::string stat, status, schedstat;
  if (!read_text(base + "stat", &stat) || !read_text(base + "status", &status)) return c;
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
      std::string taskStatus;
      if (read_text(task + "status", &taskStatus)) {
        c.voluntarySwitches += status_kb(taskStatus, "voluntary_ctxt_switches:");
        c.involuntarySwitches += status_kb(taskStatus, "nonvoluntary_ctxt_switches:");
      }
      std::uint64_t run = 0, wait = 0, slices = 0;
      if (read_text(task + "schedstat", &schedstat) &&
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
    if (read_text("/proc/" + std::to_string(pid) + "/fdinfo/" + e->d_name, &info) &&
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
  if (!read_text("/proc/" + std::to_string(pid) + "/syscall", &text) || text.empty()) return -1;
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

// ---- Paths --------------------------------------------------------------------

std::string self_dir() {
  char path[4096] = {};
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  std::string p(path, static_cast<std::size_t>(n));
  return p.substr(0, p.rfind('/'));
}

std::string make_temp_dir(const char* prefix) {
  std::string tmpl = std::string("/tmp/") + prefix + ".XXXXXX";
  if (::mkdtemp(tmpl.data()) == nullptr) return {};
  return tmpl;
}

void remove_tree(const std::string& path) {
  if (path.size() < 6 || path.compare(0, 5, "/tmp/") != 0) return;  // only our own
  DIR* dir = ::opendir(path.c_str());
  if (dir != nullptr) {
    while (const dirent* e = ::readdir(dir)) {
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      const std::string child = path + "/" + e->d_name;
      struct stat st {};
      if (::lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        remove_tree(child);
      } else {
        ::unlink(child.c_str());
      }
    }
    ::closedir(dir);
  }
  ::rmdir(path.c_str());
}

double load_average() {
  double load[1];
  return ::getloadavg(load, 1) == 1 ? load[0] : -1;
}

}  // namespace zb
