#include "client/probe.h"

#include <cstdlib>
#include <string_view>

#include "log/log.h"

namespace {

// Failures within this long of a probe's end belong to its burst.
constexpr std::int64_t kBurstMs = 1000;

constexpr const char* kDefaultProbes[kProbeCount] = {"www.google.com:80", "www.microsoft.com:80",
                                                     "www.debian.org:80"};

// Adds one entry; an over-long one is skipped, never cut, and so are a fourth
// and later ones. A skipped entry is logged.
void add_probe(ZELClient& client, std::string_view entry) {
  if (entry.empty()) return;
  bool added = false;
  if (client.probeCount < kProbeCount) {
    ProbeHost& probe = client.probes[client.probeCount];
    probe.clear();
    added =
        probe.assign(entry) && (entry.find(':') != std::string_view::npos || probe.append(":80"));
  }
  if (!added) {
    LOG_Print(LOG_CLI_WARNING, "ZELClient_Process ZELCLIENT_PROBE_HOSTS, entrada ignorada [%.*s]",
              static_cast<int>(entry.size()), entry.data());
    return;
  }
  ++client.probeCount;
}

}  // namespace

void zc::load_probes(ZELClient& client) {
  client.probeCount = 0;
  const char* env = std::getenv("ZELCLIENT_PROBE_HOSTS");
  if (env == nullptr || env[0] == '\0') {
    for (const char* probe : kDefaultProbes) add_probe(client, probe);
    return;
  }
  std::string_view rest(env);
  while (!rest.empty()) {
    const std::size_t comma = rest.find(',');
    add_probe(client, rest.substr(0, comma));
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
}

std::int16_t zc::probe_reachable(const ZELClient& client) {
  for (int i = 0; i < client.probeCount; ++i) {
    if (SOCKET_TestConnection(client.probes[i].c_str())) return 1;
  }
  return 0;
}

std::int16_t ProbeBurst::reachable(const ZELClient& client) {
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [&] { return !probing_; });
  if (probedAtMs_ >= 0 && plat::monotonic_ms() - probedAtMs_ < kBurstMs) return probed_;
  probing_ = true;
  lock.unlock();
  const std::int16_t reachable = zc::probe_reachable(client);
  lock.lock();
  probed_ = reachable;
  probedAtMs_ = plat::monotonic_ms();
  probing_ = false;
  done_.notify_all();
  return reachable;
}
