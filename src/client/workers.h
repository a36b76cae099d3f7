// The threads that run the network halves of gateway exchanges, so that several
// terminals' exchanges are in flight at once (ZELCLIENT_CONCURRENCY > 1). The pool
// holds one job per worker: a job submitted is run on its worker by the function
// the pool was started with, which then wakes the loop; the loop's thread takes
// the finished job and decides its answer. The pool knows jobs and threads only.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include "client/job.h"

constexpr int kMaxWorkers = kMaxConcurrency;

class ExchangeWorkers {
 public:
  // The network half of an exchange, run on a worker thread.
  using Work = void (*)(ExchangeJob& job, const void* context);

  ExchangeWorkers() = default;
  ExchangeWorkers(const ExchangeWorkers&) = delete;
  ExchangeWorkers& operator=(const ExchangeWorkers&) = delete;
  ~ExchangeWorkers() { stop(); }

  // Starts count workers (at most kMaxWorkers) running work. false when none could.
  bool start(int count, Work work, const void* context);
  void stop();  // once every job has finished

  ExchangeJob* free_job();         // a job no exchange uses, or nullptr
  void submit(ExchangeJob& job);   // framed: to its worker
  ExchangeJob* finished();         // a job whose network half has ended, or nullptr
  void release(ExchangeJob& job);  // decided: free again
  int in_flight() const;

 private:
  enum class State { Free, Submitted, Finished };
  struct Slot {
    ExchangeJob job;
    State state = State::Free;
    std::thread thread;
    std::condition_variable submitted;  // its worker's own: a submit wakes no other
  };
  void run(Slot& slot);

  Work work_ = nullptr;
  const void* context_ = nullptr;
  Slot slots_[kMaxWorkers];
  int count_ = 0;
  bool stopping_ = false;
  mutable std::mutex mutex_;
};
