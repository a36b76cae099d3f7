// What the service tells its operator, none of which a terminal or the gateway
// sees: the gateway's going down and coming back (one WARNING each way, and an
// event for the system's log), and the state file "zelclient.state" in the
// working directory, the metrics file of ZELCLIENT_METRICS_FILE and the service
// manager's status line, all written when something changes: at once for what an
// operator waits for (ready, stopping, the gateway, answers waiting), at most once
// a second for counters alone.
#pragma once

#include <cstdint>

#include "client/context.h"

namespace zc {

// At start: the time, and the metrics file's path (ZELCLIENT_METRICS_FILE).
void observe_start(ZELClient& client);
// The run is ready (watching its root, its first pass made) or stopping.
void observe_run(ZELClient& client, Observed::Run run);
// A decided answer written: counted by what it is.
void observe_answer(ZELClient& client, const Decision& decision);
// A gateway exchange ended (answered when replied is true) after ms.
void observe_exchange(ZELClient& client, bool replied, std::int64_t ms);
// An answer dropped because the terminal asked again; a request name refused.
void observe_discard(ZELClient& client);
void observe_refused(ZELClient& client);

// Writes what changed, if it is due. Returns how many milliseconds until a
// change not yet written is due (0: nothing waits).
std::uint32_t observe_flush(ZELClient& client);

}  // namespace zc
