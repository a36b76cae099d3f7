#include "client/workers.h"

#include "platform/platform.h"

bool ExchangeWorkers::start(int count, Work work, const void* context) {
  work_ = work;
  context_ = context;
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
  for (int i = 0; i < count_; ++i) slots_[i].submitted.notify_one();
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
  Slot* slot = nullptr;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (int i = 0; i < count_; ++i) {
      if (&slots_[i].job == &job) slot = &slots_[i];
    }
    if (slot == nullptr) return;
    slot->state = State::Submitted;
  }
  slot->submitted.notify_one();
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
      slot.submitted.wait(lock, [&] { return stopping_ || slot.state == State::Submitted; });
      if (slot.state != State::Submitted) return;
    }
    work_(slot.job, context_);
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      slot.state = State::Finished;
    }
    plat::wake();
  }
}
