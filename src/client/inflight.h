// The requests in flight, recorded in the working folder ("zelencurso.dat"), so
// that no stop, kill or restart makes the gateway see one request twice, and no
// decided answer is lost while the root cannot take it. One place per terminal,
// overwritten in one write each time:
//
//   sent     before a request is sent: it may reach the gateway. Not flushed to
//            the disk (one system call on the request's path): a stop or a kill
//            keeps what the system holds; a power cut may lose it, and the
//            request is then sent again after the restart.
//   decided  an answer decided that the root cannot take yet (a full disk): the
//            answer itself, with a local one's number, until it is published.
//
// Each names its request by a checksum of the request as its file held it. A
// restart that finds the request still taken reads what the record says of it.
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

// The terminal's decided answer waits: kept in the record. false when it cannot
// be (the working folder refuses the write): it then waits in memory only.
bool inflight_keep(ZELClient& client, int index);

// The terminal's waiting answer is done with (published or dropped).
void inflight_done(ZELClient& client, int index);

}  // namespace zc
