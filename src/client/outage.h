// The gateway's outage, kept once: "zelstandin.txt" in the working folder holds
// the gateway's state as the service last knew it and since when, the stand-in
// answers given in the outage and those of each recent day. It is written at
// every change of the gateway's state and every stand-in answer, flushed to the
// disk, so that a restart (or a kill) goes on with the same outage and the same
// day's count, and a clock set back and forward counts each day's answers to the
// day they were given.
#pragma once

#include <cstdint>

#include "client/context.h"

namespace zc {

// At start: the record the last run left (none: the gateway's state unknown).
void outage_start(ZELClient& client);
// What a contact with the gateway found: it failed; the gateway was reached (a
// life signal taken, a connection made); it answered a request.
enum class Contact : std::uint8_t { Failed, Reached, Answered };
// A contact with the gateway ended. true when the gateway's state changed; *before
// then holds the record as it was.
bool outage_contact(ZELClient& client, Contact contact, Outage* before);
// A stand-in answer given: counted in the outage and in today's count.
void outage_local(ZELClient& client);
// The stand-in answers given today.
std::uint64_t outage_today(const ZELClient& client);
// The minutes the outage has lasted, 0 while there is none.
long long outage_minutes(const ZELClient& client);

}  // namespace zc
