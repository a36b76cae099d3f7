// POSIX named mutex, scoped to the process: a small registry of robust,
// error-checking pthread mutexes known by name. The table the mutex guards lives
// in each process's own memory, so no other process has anything to share with
// it, and nothing is left behind on the system that another user's process could
// find in its way. An owner thread that ends while holding the mutex leaves it
// abandoned; the next owner is told and makes it consistent.
#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/platform.h"

namespace plat {

namespace {

constexpr std::size_t kNameMax = 119;
constexpr int kMaxMutexes = 16;

struct Named {
  char name[kNameMax + 1];
  pthread_mutex_t mutex;
};

// Entries are only ever added, never removed, so a handle stays valid until the
// process ends, as a created Windows mutex does.
Named g_named[kMaxMutexes];
int g_count = 0;
std::mutex g_registryLock;

Named* find(const char* name) {
  for (int i = 0; i < g_count; ++i) {
    if (std::strcmp(g_named[i].name, name) == 0) return &g_named[i];
  }
  return nullptr;
}

// 0, or the error number of the step that failed.
int init_mutex(pthread_mutex_t* m) {
  pthread_mutexattr_t attr;
  int r = pthread_mutexattr_init(&attr);
  if (r != 0) return r;
  r = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  if (r == 0) r = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
  if (r == 0) r = pthread_mutex_init(m, &attr);
  pthread_mutexattr_destroy(&attr);
  return r;
}

bool fail(int code, char* why, std::size_t whycap) {
  if (why != nullptr && whycap > 0) std::snprintf(why, whycap, "%s", std::strerror(code));
  return false;
}

}  // namespace

bool named_mutex_create(const char* name, char* why, std::size_t whycap) {
  if (name == nullptr || std::strlen(name) > kNameMax) {
    return fail(ENAMETOOLONG, why, whycap);
  }
  const std::lock_guard<std::mutex> lock(g_registryLock);
  if (find(name) != nullptr) return true;
  if (g_count == kMaxMutexes) return fail(ENOSPC, why, whycap);
  Named& entry = g_named[g_count];
  const int r = init_mutex(&entry.mutex);
  if (r != 0) return fail(r, why, whycap);
  std::strcpy(entry.name, name);
  ++g_count;
  return true;
}

MutexHandle named_mutex_open(const char* name) {
  if (name == nullptr) return nullptr;
  const std::lock_guard<std::mutex> lock(g_registryLock);
  Named* entry = find(name);
  return entry == nullptr ? nullptr : &entry->mutex;
}

WaitOutcome named_mutex_wait(MutexHandle m, std::uint32_t timeout_ms) {
  if (m == nullptr) return WaitOutcome::Failed;
  auto* mutex = static_cast<pthread_mutex_t*>(m);
  timespec until{};
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += static_cast<time_t>(timeout_ms / 1000);
  until.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000L;
  }
  const int r = pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &until);
  if (r == 0) return WaitOutcome::Signalled;
  if (r == EOWNERDEAD) {
    pthread_mutex_consistent(mutex);
    return WaitOutcome::Abandoned;
  }
  return r == ETIMEDOUT ? WaitOutcome::Timeout : WaitOutcome::Failed;
}

void named_mutex_release(MutexHandle m) {
  // An error-checking mutex refuses the unlock of a thread that does not own it.
  if (m != nullptr) pthread_mutex_unlock(static_cast<pthread_mutex_t*>(m));
}

void named_mutex_close(MutexHandle) {
  // Handles are views of the registry: nothing to release.
}

}  // namespace plat
