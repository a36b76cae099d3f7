// The reachability test: whether any of three public web hosts accepts a TCP
// connection, tried in order, stopping at the first that does.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "client/context.h"

namespace zc {

// Reads the probe hosts, once at start: ZELCLIENT_PROBE_HOSTS ("host[:port],...",
// port 80 when absent, the first three entries) or the built-in list.
void load_probes(ZELClient& client);

// 1 when one of the probe hosts could be reached, else 0.
std::int16_t probe_reachable(const ZELClient& client);

}  // namespace zc

// The probe shared by the exchanges that fail together on several threads: a
// failure while a probe runs, or soon after one ended, takes its result, so that
// a burst of failures probes once.
class ProbeBurst {
 public:
  std::int16_t reachable(const ZELClient& client);

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  bool probing_ = false;
  std::int64_t probedAtMs_ = -1;
  std::int16_t probed_ = 0;
};
