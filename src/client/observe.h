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
#include "client/outage.h"

namespace zc {

// At start: the time, and the metrics file's path (ZELCLIENT_METRICS_FILE).
void observe_start(ZELClient& client);
// The run is ready (watching its root, its first pass made) or stopping.
void observe_run(ZELClient& client, Observed::Run run);
// A decided answer written: counted by what it is.
void observe_answer(ZELClient& client, const Decision& decision);
// A gateway exchange ended (answered when replied is true) after ms.
void observe_exchange(ZELClient& client, bool replied, std::int64_t ms);
// What a contact with the gateway found (a reply, a life signal sent, a
// connection made, or a failure): its going down and coming back, said once
// each way.
void observe_gateway(ZELClient& client, Contact contact);
// An answer dropped because the terminal asked again; a request name refused.
void observe_discard(ZELClient& client);
void observe_refused(ZELClient& client);

// What the system's own log gets besides the service's (the Windows Event Log,
// whose message table numbers them so): the gateway's transitions, an answer that
// waits for its folder, a limit on local answers reached.
enum class Event : unsigned { GatewayDown = 4, GatewayUp = 5, AnswerWaiting = 6, StandInLimit = 7 };
// Logs text as a WARNING and gives it to the system's log as an event.
void observe_warning(Event id, const char* text);

// Writes what changed, if it is due, and everything once a minute while the
// service lives. Returns how many milliseconds until the next write is due.
std::uint32_t observe_flush(ZELClient& client);

}  // namespace zc
