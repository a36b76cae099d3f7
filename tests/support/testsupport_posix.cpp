// Child processes on POSIX: fork and exec, standard output into a file.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include "testsupport.h"

namespace zt {

bool under_wine() {
  return false;
}

std::string system_error_text(int code) {
  return std::strerror(code);
}

Child::Child(const std::vector<std::string>& argv, const std::string& workdir,
             const std::vector<std::string>& env) {
  out_ = child_output_path(getpid());
  pid_ = fork();
  if (pid_ == 0) {
    if (!workdir.empty() && chdir(workdir.c_str()) != 0) _exit(127);
    const int fd = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      close(fd);
    }
    for (const auto& kv : env) putenv(const_cast<char*>(kv.c_str()));
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
}

Child::~Child() {
  if (running()) kill_now();
  std::error_code ec;
  fs::remove(out_, ec);
}

int Child::wait(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  if (status_ >= 0) return status_;
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return status_;
    }
    if (std::chrono::steady_clock::now() >= end) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

bool Child::running() {
  return pid_ > 0 && status_ < 0 && wait(std::chrono::milliseconds(0)) < 0;
}

void Child::kill_now() {
  if (pid_ > 0 && status_ < 0) {
    ::kill(pid_, SIGKILL);
    wait(std::chrono::seconds(5));
  }
}

void Child::terminate() {
  if (pid_ > 0 && status_ < 0) ::kill(pid_, SIGTERM);
}

}  // namespace zt
