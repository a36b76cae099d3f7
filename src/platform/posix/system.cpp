// POSIX process and time services.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/platform.h"

namespace plat {

void process_setup() {
  // A peer that closes while we send is an ordinary send failure, and a broken
  // file lease must not end the service.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGIO, SIG_IGN);
}

long process_id() {
  return static_cast<long>(getpid());
}

bool current_dir(char* out, std::size_t cap) {
  return getcwd(out, cap) != nullptr;
}

bool local_time(std::time_t t, std::tm* out) {
  return localtime_r(&t, out) != nullptr;
}

std::int64_t monotonic_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sleep_ms(std::uint32_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
  }
}

const unsigned kTextLineEndBytes = 1;

namespace {
std::atomic<bool>* g_terminate = nullptr;
std::atomic<bool>* g_reopen = nullptr;
static_assert(std::atomic<bool>::is_always_lock_free);  // safe to set from a handler

void on_terminate_signal(int) {
  if (g_terminate != nullptr) g_terminate->store(true);
  wake();  // an eventfd write: safe in a handler; ends the wait that would hold the stop
}

void on_reopen_signal(int) {
  if (g_reopen != nullptr) g_reopen->store(true);
}

void set_handler(int signal, void (*handler)(int)) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  sa.sa_flags = SA_RESTART;  // interrupted calls go on; the caller polls the flag
  sigemptyset(&sa.sa_mask);
  sigaction(signal, &sa, nullptr);
}
}  // namespace

void on_terminate(std::atomic<bool>* flag) {
  g_terminate = flag;
  set_handler(SIGINT, on_terminate_signal);
  set_handler(SIGTERM, on_terminate_signal);
}

void on_reopen(std::atomic<bool>* flag) {
  g_reopen = flag;
  set_handler(SIGHUP, on_reopen_signal);
}

}  // namespace plat
