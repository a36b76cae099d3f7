// POSIX named mutex: a process-shared, robust pthread mutex in POSIX shared memory
// ("/<name>"). The shared object outlives the processes; an owner that dies while
// holding the mutex leaves it abandoned, and the next owner makes it consistent.
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "platform/platform.h"

namespace plat {

namespace {

struct SharedMutex {
  std::atomic<std::uint32_t> ready;  // kReady once the mutex is initialised
  pthread_mutex_t mutex;
};
constexpr std::uint32_t kReady = 0x7a6d7431;
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);

bool object_name(const char* name, char* out, std::size_t cap) {
  const int n = std::snprintf(out, cap, "/%s", name);
  return n > 1 && static_cast<std::size_t>(n) < cap;
}

SharedMutex* map(int fd) {
  void* p = mmap(nullptr, sizeof(SharedMutex), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return p == MAP_FAILED ? nullptr : static_cast<SharedMutex*>(p);
}

bool init_mutex(pthread_mutex_t* m) {
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) return false;
  const bool ok = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
                  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
                  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK) == 0 &&
                  pthread_mutex_init(m, &attr) == 0;
  pthread_mutexattr_destroy(&attr);
  return ok;
}

// Under the object's exclusive file lock: size it and initialise the mutex unless
// an earlier creator finished doing so.
bool prepare(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return false;
  if (st.st_size < static_cast<off_t>(sizeof(SharedMutex)) &&
      ftruncate(fd, sizeof(SharedMutex)) != 0) {
    return false;
  }
  SharedMutex* shared = map(fd);
  if (shared == nullptr) return false;
  bool ok = shared->ready.load(std::memory_order_acquire) == kReady;
  if (!ok && init_mutex(&shared->mutex)) {
    shared->ready.store(kReady, std::memory_order_release);
    ok = true;
  }
  munmap(shared, sizeof(SharedMutex));
  return ok;
}

}  // namespace

bool named_mutex_create(const char* name) {
  char path[256];
  if (name == nullptr || !object_name(name, path, sizeof path)) return false;
  const int fd = shm_open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = false;
  if (flock(fd, LOCK_EX) == 0) {
    ok = prepare(fd);
    flock(fd, LOCK_UN);
  }
  close(fd);
  return ok;
}

MutexHandle named_mutex_open(const char* name) {
  char path[256];
  if (name == nullptr || !object_name(name, path, sizeof path)) return nullptr;
  const int fd = shm_open(path, O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  struct stat st {};
  SharedMutex* shared = nullptr;
  if (fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(sizeof(SharedMutex))) {
    shared = map(fd);
  }
  close(fd);
  if (shared != nullptr && shared->ready.load(std::memory_order_acquire) != kReady) {
    munmap(shared, sizeof(SharedMutex));
    shared = nullptr;
  }
  return shared;
}

WaitOutcome named_mutex_wait(MutexHandle m, std::uint32_t timeout_ms) {
  if (m == nullptr) return WaitOutcome::Failed;
  auto* shared = static_cast<SharedMutex*>(m);
  timespec until{};
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += static_cast<time_t>(timeout_ms / 1000);
  until.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000L;
  }
  const int r = pthread_mutex_clocklock(&shared->mutex, CLOCK_MONOTONIC, &until);
  if (r == 0) return WaitOutcome::Signalled;
  if (r == EOWNERDEAD) {
    pthread_mutex_consistent(&shared->mutex);
    return WaitOutcome::Abandoned;
  }
  return r == ETIMEDOUT ? WaitOutcome::Timeout : WaitOutcome::Failed;
}

void named_mutex_release(MutexHandle m) {
  // An error-checking mutex refuses the unlock of a thread that does not own it.
  if (m != nullptr) pthread_mutex_unlock(&static_cast<SharedMutex*>(m)->mutex);
}

void named_mutex_close(MutexHandle m) {
  if (m != nullptr) munmap(m, sizeof(SharedMutex));
}

}  // namespace plat
