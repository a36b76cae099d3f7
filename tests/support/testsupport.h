// Test helpers: temporary directories, whole-file reads and writes, log-line
// parsing, and running the real executables as child processes.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace zt {

namespace fs = std::filesystem;

#ifdef _WIN32
inline constexpr bool kWindows = true;
#else
inline constexpr bool kWindows = false;
#endif

// How a line feed of a text file is stored on disk.
inline constexpr const char* kLineEnd = kWindows ? "\r\n" : "\n";

// True when the tests run as Windows executables under Wine.
bool under_wine();

// The system's own text for an error code, as it gives it: strerror on POSIX,
// FormatMessageA on Windows (which ends its texts with a line end).
std::string system_error_text(int code);

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

 private:
  fs::path path_;
};

std::string read_file(const fs::path& path);  // "" when missing
void write_file(const fs::path& path, const std::string& bytes);
bool exists(const fs::path& path);

// Log lines without their timestamp: "LEVEL\tmessage" per line, line ends removed.
std::vector<std::string> log_messages(const std::string& log);
// True when the lines hold `expected` in this order (other lines may come between).
bool contains_in_order(const std::vector<std::string>& lines,
                       const std::vector<std::string>& expected);

// Polls pred every few milliseconds until it holds or the time-out passes.
bool wait_until(const std::function<bool()>& pred,
                std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Path of a project executable in the build's bin directory.
std::string bin(const std::string& name);

// A child process running an executable with arguments; killed at destruction.
// On Windows each child has a console of its own, without a window, so that
// console control events reach it alone.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::string& workdir = "",
        const std::vector<std::string>& env = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  bool started() const { return pid_ > 0; }
  int pid() const { return pid_; }
  // Exit status (0..255), or -1 when it did not end within the time-out.
  int wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  bool running();
  void kill_now();
  // Asks the process to stop: SIGTERM on POSIX; on Windows Ctrl+Break in its console
  // (Ctrl+C where Ctrl+Break cannot be sent: Wine sends only Ctrl+C), or, when no
  // event can be sent, an end as a killed POSIX process's (128 + SIGTERM).
  void terminate();
  const std::string& stdout_path() const { return out_; }

 private:
  int pid_ = -1;
  int status_ = -1;
  void* handle_ = nullptr;  // the process handle on Windows
  std::string out_;
};

#ifdef _WIN32
// Sends Ctrl+Break (or Ctrl+C) to the console of process pid, which is alone in its
// console as every Child is. True when sent.
bool console_event(int pid, bool ctrl_break);
#endif

// A fresh file name for a child's standard output (used by the Child runners).
std::string child_output_path(long pid);

// Runs to completion; returns the exit status, or -1 on a time-out.
int run(const std::vector<std::string>& argv, const std::string& workdir = "",
        std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace zt
