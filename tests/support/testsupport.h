// Test helpers: temporary directories, whole files, log lines, the real executables
// run as child processes, and the real service against the gateway stand-in.
#pragma once

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gateway.h"
#include "platform/platform.h"

namespace zt {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

#ifdef _WIN32
inline constexpr bool kWindows = true;
#else
inline constexpr bool kWindows = false;
#endif
// How a line feed of a text stream (the log, standard output) is stored.
inline constexpr const char* kLineEnd = kWindows ? "\r\n" : "\n";

// A fresh directory under the system's temporary directory, removed at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  fs::path operator/(const std::string& name) const { return path_ / name; }
  void keep() { keep_ = true; }  // left in place at the end, to be looked at

 private:
  fs::path path_;
  bool keep_ = false;
};

std::string read_file(const fs::path& path);  // "" when missing
// The whole file into out; false when it cannot be opened (missing, or on Windows
// held for a moment by the rename that puts it in place).
bool try_read(const fs::path& path, std::string& out);
void write_file(const fs::path& path, const std::string& bytes);
bool exists(const fs::path& path);
// The descriptors this process (or process pid) holds open (Linux); -1 where not counted.
long open_descriptors(int pid = 0);

// A log's lines without their timestamp ("ERROR\tSOCKET_Open connect()"), line ends removed.
std::vector<std::string> log_messages(const std::string& log);
// How many of lines hold part.
int count_with(const std::vector<std::string>& lines, const std::string& part);
// True when lines hold expected in this order, other lines between them allowed.
bool contains_in_order(const std::vector<std::string>& lines,
                       const std::vector<std::string>& expected);

// Polls pred until it holds or the time-out passes.
bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 10s);

// A project executable in the build's bin directory.
std::string bin(const std::string& name);

// A child process, standard output to a file; killed if still running at the end.
// On Windows each child has a console of its own, so that console events reach it alone.
class Child {
 public:
  // env: NAME=value entries added to this process's environment. errorsToo: standard
  // error to the same file (otherwise it is this process's).
  explicit Child(const std::vector<std::string>& argv, const std::string& workdir = "",
                 const std::vector<std::string>& env = {}, bool errorsToo = false);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  bool started() const { return pid_ > 0; }
  int pid() const { return pid_; }
  // Exit status (0..255; 128 + signal), or -1 when it did not end in time.
  int wait(std::chrono::milliseconds timeout = 10s);
  bool running() { return started() && wait(0ms) < 0; }
  void kill();       // SIGKILL or TerminateProcess: no chance to finish anything
  void terminate();  // SIGTERM, Ctrl+Break on Windows
  void interrupt();  // SIGINT, Ctrl+C on Windows
  std::string output() const { return read_file(out_); }

 private:
  int pid_ = -1;
  int status_ = -1;
  [[maybe_unused]] void* handle_ = nullptr;  // the process handle on Windows
  std::string out_;
};

// Runs to the end; the exit status, or -1 (killed) when it did not end in time.
int run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout = 10s);

// A running zelgateway on a free port (0 when it did not start listening).
struct Zelgateway {
  explicit Zelgateway(std::vector<std::string> args) {
    args.insert(args.begin(), {bin("zelgateway"), "-p", "0"});
    child = std::make_unique<Child>(args);
    wait_until([&] { return child->output().find('\n') != std::string::npos; });
    std::sscanf(child->output().c_str(), "listening on port %d", &port);
  }
  bool printed(const std::string& line) const {
    return wait_until([&] { return child->output().find(line + kLineEnd) != std::string::npos; });
  }
  std::unique_ptr<Child> child;
  int port = 0;
};

// ---- The real zelclient on a temporary root, with a working directory of its own
// for the journal and number files, against the gateway stand-in.

extern const char* const kRequest;   // |G01=1234|G04=556677|G08=42|G99=000020|
extern const char* const kNoAnswer;  // what Service::answer returns when none came
std::string current_year();
// The local pre-authorisation of kRequest with authorisation letter and number.
std::string preauth(char letter, int number, const std::string& terminal = "caja1");

// A port of 127.0.0.1 that nothing listens on, nor comes to listen on in the tests.
int closed_port();
// ZELCLIENT_PROBE_HOSTS=127.0.0.1:port three times.
std::string probe_hosts(int port);

// A listener on a free port whose queue is full: a connection to it is not made
// within any bound, its first request being dropped. The network must be started.
class FullListener {
 public:
  FullListener();
  ~FullListener();
  FullListener(const FullListener&) = delete;
  FullListener& operator=(const FullListener&) = delete;
  int port() const { return port_; }

 private:
  plat::SocketValue listener_;
  plat::SocketValue queued_[2];
  int port_ = 0;
};
// The requests the gateway read: life signals and unreadable packets left out.
std::vector<gw::Received> requests(const gw::Gateway& gateway);

class Service {
 public:
  // zelclient -n AB -r ROOT -t caja1,caja2 -g 127.0.0.1:PORT -T 30000 -l LOG,WINDOW args...
  // in work, with env added to the environment; started by start().
  explicit Service(int gatewayPort, std::vector<std::string> args = {},
                   std::vector<std::string> env = {});
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Starts it (again) and returns once it watches the root (its state file says so).
  void start();
  // Drops a request as a terminal does: written in place, then closed.
  void drop(const std::string& terminal, const std::string& text);
  // True once the terminal's request is taken and its answer file written.
  bool answered(const std::string& terminal) const;
  // Waits for the answer, takes it (the file goes) and returns it.
  std::string answer(const std::string& terminal, std::chrono::milliseconds timeout = 10s);
  std::string ask(const std::string& terminal, const std::string& text) {
    drop(terminal, text);
    return answer(terminal);
  }
  bool stop();  // the stop file; true when it then exits with status 0
  void kill();
  void terminate() { child_->terminate(); }  // SIGTERM, as a service manager stops it
  bool running() { return child_ && child_->running(); }
  int pid() const { return child_ ? child_->pid() : -1; }
  std::vector<std::string> log() const { return log_messages(read_file(logFile)); }
  std::string output() const { return child_ ? child_->output() : ""; }  // of the last start

  TempDir root;
  TempDir work;
  std::string logWindow = "1,300";
  bool errorsToo = false;  // standard error to output() too
  fs::path logFile = work / "svc.log";

 private:
  // Wakes the service's directory wait with a file that is no terminal's. Wine
  // reports neither an empty new file nor the close of a file as a change.
  void nudge() { write_file(root / "zelnudge.tmp", "x"); }

  std::vector<std::string> args_;
  std::vector<std::string> env_;
  std::unique_ptr<Child> child_;
};

}  // namespace zt
