// One gateway exchange, in two halves. The network half (connect, send, one
// receive, and the reachability probe after a failure) waits on the network only
// and may run on a worker thread; the decision (the answer written, a number
// taken, the journal) always runs on the loop's thread, which alone owns the
// files, the number sequence and the journal.
#pragma once

#include <cstdint>

#include "client/context.h"

// Opens an exchange for terminal index with the edited request in the request
// buffer (packetType 1 or 3): the packet is framed into job. false when it cannot
// be framed; the terminal then has its local answer already.
bool ZELClient_ExchangeOpen(ZELClient& client, ExchangeJob& job, int index, int packetType,
                            std::int64_t startMs);
// The network half. probe: the reachability test to use after a failure.
void ZELClient_ExchangeNetwork(const ZELClient& client, ExchangeJob& job,
                               std::int16_t (*probe)(const ZELClient&));
// The decision: the gateway's answer, a local pre-authorisation or an error
// answer, written as the terminal's decided answer; the connection is closed.
void ZELClient_ExchangeDecide(ZELClient& client, ExchangeJob& job);
