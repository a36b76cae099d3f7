// Stand-in: the local pre-authorisations given because the gateway could not
// answer, bounded as the owner sets, all off unless set: ZELCLIENT_STANDIN=off (none
// at all), ZELCLIENT_STANDIN_MAX_PER_OUTAGE, _MAX_PER_DAY and _MAX_MINUTES (of an
// outage). Past a limit the terminal gets an error answer and no number is taken.
// ZELCLIENT_GATEWAY_RETRY_S: after a failed exchange, the gateway is not asked
// again for so many seconds; its requests are answered locally at once. The
// limits count in the outage record (client/outage.h), across restarts.
#pragma once

#include <cstdint>

#include "client/context.h"

namespace zc {

// At start: the limits from the environment, and what the last run left.
void standin_start(ZELClient& client);
// An exchange ended: a failure keeps its probe's result (reachable) for the
// answers of the window after it (client/gateway.h); a reply ends the limits' warnings.
void standin_exchange(ZELClient& client, bool replied, std::int16_t reachable);
// Answers terminal index locally because the gateway could not (cause): a
// pre-authorisation with flag, or past a limit an error answer. What was decided.
Decision::Kind stand_in(ZELClient& client, int index, std::int16_t flag, Cause cause);

}  // namespace zc
