// The reachability test: whether any of three public web hosts accepts a TCP
// connection, tried in order, stopping at the first that does.
#pragma once

#include <cstdint>

#include "client/context.h"

// 1 when one of the probe hosts could be reached, else 0. The hosts come from
// ZELCLIENT_PROBE_HOSTS ("host[:port],host[:port],...", port 80 when absent, the
// first three entries) or from the built-in list, read at the first probe.
std::int16_t ZELClient_ProbeReachable(ZELClient& client);
