#include "client/probe.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/text.h"
#include "log/log.h"
#include "socket/socket.h"

namespace {

constexpr int kProbeCount = 3;
constexpr const char* kDefaultProbes[kProbeCount] = {"www.google.com:80", "www.microsoft.com:80",
                                                     "www.debian.org:80"};

zel::Text<140> g_probes[kProbeCount];
int g_probeCount = 0;
bool g_loaded = false;

// Adds one entry; an over-long one is skipped, never cut, and so are a fourth
// and later ones. A skipped entry is logged.
void add_probe(std::string_view entry) {
  if (entry.empty()) return;
  bool added = false;
  if (g_probeCount < kProbeCount) {
    zel::Text<140>& probe = g_probes[g_probeCount];
    probe.clear();
    added =
        probe.assign(entry) && (entry.find(':') != std::string_view::npos || probe.append(":80"));
  }
  if (!added) {
    LOG_Print(LOG_CLI_WARNING, "ZELClient_Process ZELCLIENT_PROBE_HOSTS, entrada ignorada [%.*s]",
              static_cast<int>(entry.size()), entry.data());
    return;
  }
  ++g_probeCount;
}

}  // namespace

void ZELClient_LoadProbeHosts() {
  g_probeCount = 0;
  g_loaded = true;
  const char* env = std::getenv("ZELCLIENT_PROBE_HOSTS");
  if (env == nullptr || env[0] == '\0') {
    for (const char* probe : kDefaultProbes) add_probe(probe);
    return;
  }
  std::string_view rest(env);
  while (!rest.empty()) {
    const std::size_t comma = rest.find(',');
    add_probe(rest.substr(0, comma));
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
}

std::int16_t ZELClient_ProbeReachable() {
  if (!g_loaded) ZELClient_LoadProbeHosts();
  for (int i = 0; i < g_probeCount; ++i) {
    if (SOCKET_TestConnection(g_probes[i].c_str())) return 1;
  }
  return 0;
}
