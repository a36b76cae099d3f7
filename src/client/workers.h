// The threads that run the network halves of gateway exchanges, so that several
// terminals' exchanges are in flight at once (ZELCLIENT_CONCURRENCY > 1). A job
// goes to a worker, which connects, sends, receives (and probes after a failure,
// once per burst of failures) and wakes the loop; the loop's thread takes the
// finished job and decides its answer. Workers touch no file and no number.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "client/context.h"

constexpr int kMaxWorkers = kMaxConcurrency;

class ExchangeWorkers {
 public:
  ExchangeWorkers() = default;
  ExchangeWorkers(const ExchangeWorkers&) = delete;
  ExchangeWorkers& operator=(const ExchangeWorkers&) = delete;
  ~ExchangeWorkers() { stop(); }

  // Starts count workers (at most kMaxWorkers) for client. false when none could.
  bool start(const ZELClient& client, int count);
  void stop();  // once every job has finished

  ExchangeJob* free_job();         // a job no exchange uses, or nullptr
  void submit(ExchangeJob& job);   // opened by ZELClient_ExchangeOpen
  ExchangeJob* finished();         // a job whose network half has ended, or nullptr
  void release(ExchangeJob& job);  // decided: free again
  int in_flight() const;

 private:
  enum class State { Free, Submitted, Finished };
  struct Slot {
    ExchangeJob job;
    State state = State::Free;
    std::thread thread;
  };
  void run(Slot& slot);
  static std::int16_t burst_probe(const ZELClient& client);

  const ZELClient* client_ = nullptr;
  Slot slots_[kMaxWorkers];
  int count_ = 0;
  bool stopping_ = false;
  mutable std::mutex mutex_;
  std::condition_variable work_;
  // The reachability probe, shared by the failures of one burst: a failure while
  // a probe runs, or soon after one, takes its result.
  bool probing_ = false;
  std::int64_t probedAtMs_ = -1;
  std::int16_t probed_ = 0;
  std::condition_variable probeDone_;
};
