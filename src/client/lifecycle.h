// The life of a request, from the terminal's file to the terminal's answer. Every
// step leaves the request in a file of the root directory whose name says where
// it is, so that a run that ends at any moment leaves each request where the next
// run finishes it exactly once (docs/design.md draws the states):
//
//   take     <T>in.txt is renamed to <T>in.zel: the terminal sees its request gone
//   decide   the answer is written whole to <T>out.zel (the gateway's, an error
//            answer) or <T>aut.zel (a local pre-authorisation, then journalled)
//   release  <T>in.zel is removed
//   publish  the decided file is renamed over <T>out.txt: a terminal sees no
//            answer, its old one, or the whole new one, never a part
//
// A restart publishes an answer already decided (journalling a local one whose
// line a crash kept out of the journal), relays again a request taken and not
// decided, and drops both, with a WARNING, when the terminal has written a newer
// request meanwhile, so that no terminal ever gets another request's answer.
#pragma once

#include <cstdint>

#include "client/context.h"

namespace zc {

// Takes the visit of terminal index in one pass: finishes what an earlier run
// left (first visit only), writes or publishes an answer that waits when its
// time has come, and handles a new request. Returns in how many milliseconds the
// terminal wants its next visit for something that waits (a request file or an
// answer file that another process holds, an answer the root could not take),
// 0 when nothing waits.
std::uint32_t process_terminal(ZELClient& client, int index);

// The soonest of those visits over every terminal, 0 when none is wanted.
std::uint32_t next_visit(const ZELClient& client);

// The ends of the exchanges that ran on workers: for each, its answer decided,
// the request's file released, the answer published (or left to wait).
void collect_exchanges(ZELClient& client);

// The end of the run: waits for every exchange in flight (each ends within its
// time bounds) and finishes it, so that its terminal gets its answer.
void finish_exchanges(ZELClient& client);

}  // namespace zc
