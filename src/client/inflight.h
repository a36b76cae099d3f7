// The requests in flight, recorded in the working folder ("zelencurso.dat"): what
// the root, which every terminal's account may write, cannot be trusted to say.
// One place per terminal, overwritten in one write each time, never flushed to
// the disk on a request's path (a stop or a kill keeps what the system holds; a
// power cut may lose the last word, and a restart then does as for a request of
// which nothing is recorded):
//
//   sent     before a request is sent: it may reach the gateway, so a restart
//            never sends it again.
//   decided  its answer, before the answer's file is written in the root: the
//            answer itself, with a local one's number; a restart publishes it,
//            and believes a decided file in the root only when it is this one.
//            Marked "in place" when the request's file could not be removed: the
//            same request found again is not answered again.
//
// Each names its request by a checksum of the request as its file held it.
#pragma once

#include <cstdint>
#include <string_view>

#include "client/context.h"

namespace zc {

// The checksum that names a request in the record.
std::uint64_t request_checksum(std::string_view request);

// At start, once the working folder is the run's: opens the record and reads
// what the last run left for each terminal of this run (by its name) into the
// terminal's state (recorded, and a decided answer into its decision).
void inflight_open(ZELClient& client);

// The terminal's request being handled (its checksum in its state) may reach
// the gateway now.
void inflight_sent(ZELClient& client, int index);

// The terminal's answer, decided for its request being handled, before its file
// is written. false when the record refuses it (it then lives in memory only).
bool inflight_decided(ZELClient& client, int index);

// The terminal's request was answered where it stands: its file stays.
void inflight_in_place(ZELClient& client, int index);

}  // namespace zc
