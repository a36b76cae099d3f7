// The reachability test: whether any of three public web hosts accepts a TCP
// connection, tried in order, stopping at the first that does.
#pragma once

#include <cstdint>

#include "client/context.h"

// Reads the probe hosts, once at start: ZELCLIENT_PROBE_HOSTS ("host[:port],...",
// port 80 when absent, the first three entries) or the built-in list.
void ZELClient_LoadProbes(ZELClient& client);

// 1 when one of the probe hosts could be reached, else 0.
std::int16_t ZELClient_ProbeReachable(const ZELClient& client);
