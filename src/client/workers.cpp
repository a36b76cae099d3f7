#include "client/workers.h"

#include "client/exchange.h"
#include "client/probe.h"
#include "log/log.h"

namespace {
// Failures within this long of a probe's end belong to its burst.
constexpr std::int64_t kBurstMs = 1000;
}  // namespace

bool ExchangeWorkers::start(const ZELClient& client, int count) {
  client_ = &client;
  if (!plat::wake_open()) return false;
  for (count_ = 0; count_ < count && count_ < kMaxWorkers; ++count_) {
    Slot& slot = slots_[count_];
    try {
      slot.thread = std::thread([this, &slot] { run(slot); });
    } catch (...) {  // no thread to be had: fewer workers
      break;
    }
  }
  return count_ > 0;
}

void ExchangeWorkers::stop() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  work_.notify_all();
  for (int i = 0; i < count_; ++i) {
    if (slots_[i].thread.joinable()) slots_[i].thread.join();
  }
  count_ = 0;
}

ExchangeJob* ExchangeWorkers::free_job() {
  const std::lock_guard<std::mutex> lock(mutex_);
  for (int i = 0; i < count_; ++i) {
    if (slots_[i].state == State::Free && slots_[i].job.terminal < 0) return &slots_[i].job;
  }
  return nullptr;
}

void ExchangeWorkers::submit(ExchangeJob& job) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (int i = 0; i < count_; ++i) {
      if (&slots_[i].job == &job) slots_[i].state = State::Submitted;
    }
  }
  work_.notify_all();
}

ExchangeJob* ExchangeWorkers::finished() {
  const std::lock_guard<std::mutex> lock(mutex_);
  for (int i = 0; i < count_; ++i) {
    if (slots_[i].state == State::Finished) return &slots_[i].job;
  }
  return nullptr;
}

void ExchangeWorkers::release(ExchangeJob& job) {
  const std::lock_guard<std::mutex> lock(mutex_);
  for (int i = 0; i < count_; ++i) {
    if (&slots_[i].job == &job) slots_[i].state = State::Free;
  }
  job.terminal = -1;
}

int ExchangeWorkers::in_flight() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  for (int i = 0; i < count_; ++i) n += slots_[i].state != State::Free;
  return n;
}

void ExchangeWorkers::run(Slot& slot) {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      work_.wait(lock, [&] { return stopping_ || slot.state == State::Submitted; });
      if (slot.state != State::Submitted) return;
    }
    LOG_SetTag(client_->config.terminals[slot.job.terminal].c_str());
    ZELClient_ExchangeNetwork(*client_, slot.job, burst_probe);
    LOG_SetTag(nullptr);
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      slot.state = State::Finished;
    }
    plat::wake();
  }
}

std::int16_t ExchangeWorkers::burst_probe(const ZELClient& client) {
  ExchangeWorkers& w = *client.workers;
  std::unique_lock<std::mutex> lock(w.mutex_);
  w.probeDone_.wait(lock, [&] { return !w.probing_; });
  if (w.probedAtMs_ >= 0 && plat::monotonic_ms() - w.probedAtMs_ < kBurstMs) return w.probed_;
  w.probing_ = true;
  lock.unlock();
  const std::int16_t reachable = ZELClient_ProbeReachable(client);
  lock.lock();
  w.probed_ = reachable;
  w.probedAtMs_ = plat::monotonic_ms();
  w.probing_ = false;
  w.probeDone_.notify_all();
  return reachable;
}
