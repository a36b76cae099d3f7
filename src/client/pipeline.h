// The request pipeline: checks the request in the request buffer, edits it,
// relays it to the gateway, and decides the terminal's answer: the gateway's
// reply, a local pre-authorisation, or an error answer.
#pragma once

#include <cstdint>

#include "client/context.h"

namespace zc {

// Decides terminal index's answer to the request in the request buffer (whole:
// the request file fitted the buffer; else it gets the error answer). startMs:
// when the request was found, for the timing line. true when the decision waits
// for an exchange in flight on a worker.
bool decide_request(ZELClient& client, int index, bool whole, std::int64_t startMs);

}  // namespace zc
