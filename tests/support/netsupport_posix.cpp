// The process-level network test helpers on POSIX: signals, forked checks, the
// environment, and the named mutex's shared memory object.
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "netsupport.h"

namespace zt {

void interrupt(int pid) {
  kill(pid, SIGINT);
}

std::string run_tag() {
  return std::to_string(getpid());
}

int in_child(const std::function<int()>& fn, std::chrono::milliseconds timeout) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int result = fn();
    std::fflush(nullptr);
    _exit(result);
  }
  if (pid < 0) return -1;
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (std::chrono::steady_clock::now() >= end) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void set_env(const std::string& name, const std::string& value) {
  setenv(name.c_str(), value.c_str(), 1);
}

void unset_env(const std::string& name) {
  unsetenv(name.c_str());
}

void remove_named_mutex(const std::string& name) {
  shm_unlink(("/" + name).c_str());
}

}  // namespace zt
