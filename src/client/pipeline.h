// The request pipeline: checks the request in the request buffer, edits it,
// relays it to the gateway, and decides the terminal's answer: the gateway's
// reply, a local pre-authorisation, or an error answer.
#pragma once

#include <cstdint>

#include "client/context.h"
#include "client/termfiles.h"

namespace zc {

// What the checks make of a request: edited (Ok), or what turns it down.
enum class Edit { Ok, BadType, BadFormat, TooMany, TooLong };

// Checks the request in request and edits it as it is relayed: line ends cut,
// G06 rewritten with the troqueles kept, G41 set to the terminal's name; packet
// type 1 or 3 into *packetType. A request turned down is left as the step that
// turned it down found it (a bad transaction type: untouched).
Edit edit_request(const ZELClient& client, int index, zel::TextRef request, int* packetType);

// Decides terminal index's answer to the request in the request buffer, as read
// (one too long, or holding a foreign byte, gets its error answer). startMs:
// when the request was found, for the timing line. relay: false for a request
// that may have reached the gateway in a run that ended before its reply: it is
// answered as a reply that never came, never sent again. true when the decision
// waits for an exchange in flight on a worker.
bool decide_request(ZELClient& client, int index, RequestRead read, std::int64_t startMs,
                    bool relay = true);

}  // namespace zc
