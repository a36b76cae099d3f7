// A gateway exchange's whole journey: the edited request framed into a packet,
// its network half (connect, send, one receive, and the reachability probe after
// a failure), and its decision (the answer written, a number taken, the journal).
// The network half runs on the loop's thread; when several exchanges may be in
// flight, it is begun there while no other is and handed to a worker once it
// would wait. The decision always runs on the loop's thread: it alone owns the
// files, the number sequence and the journal.
#pragma once

#include <cstdint>

#include "client/context.h"

namespace zc {

// Several exchanges in flight at once (ZELCLIENT_CONCURRENCY above 1): starts the
// workers, which client then uses until stopped. workers and probes live as long.
void start_exchanges(ZELClient& client, ExchangeWorkers& workers, ProbeBurst& probes);
void stop_exchanges(ZELClient& client);  // once every exchange has ended

// True when an exchange may start now: no workers, or one of them free.
bool exchange_can_start(const ZELClient& client);
// Exchanges in flight on the workers.
int exchanges_in_flight(const ZELClient& client);

// Relays the edited request in the request buffer (packetType 1 or 3) for
// terminal index. true: in flight on a worker, decided once it ends; false:
// decided already (a packet that cannot be framed gets its local answer).
bool exchange(ZELClient& client, int index, int packetType, std::int64_t startMs);

// An exchange whose network half ended on a worker, or nullptr.
ExchangeJob* exchange_finished(ZELClient& client);
// Decides a finished exchange's answer (the connection closed), and frees it.
void exchange_decide(ZELClient& client, ExchangeJob& job);

}  // namespace zc
