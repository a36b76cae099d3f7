// The answer decided for a terminal's request, kept in the terminal's state until
// its decided file holds it: written at once, or on a later pass when it cannot
// be written yet (a full disk, an I/O error), so that nothing decided is lost and
// no answer, the gateway's included, is ever decided twice. A local
// pre-authorisation is journalled once its file is written, and counts as given
// only then.
#pragma once

#include "client/context.h"

enum class DecisionWrite {
  Written,      // the decided file holds it
  Waits,        // it could not be written: kept, and tried again on later passes
  NotRecorded,  // a local answer whose journal line could not be written: nothing
                // is decided, its file is removed and its number given back
};

namespace zc {

// The decided file's suffix for an answer of kind.
const char* decided_suffix(Decision::Kind kind);

// What a local pre-authorisation carries besides its text: its authorisation
// number, its place in the sequence, and why it is given.
struct LocalNumber {
  const char* number;
  const SequenceNumber& taken;
  Cause cause;
};

// Makes text the terminal's decided answer and writes it, with the log lines of
// a failed write; local: a pre-authorisation's number (null for other answers).
// The request buffer holds the request.
DecisionWrite decide_answer(ZELClient& client, int index, Decision::Kind kind, const char* text,
                            const LocalNumber* local = nullptr);

// Writes the terminal's waiting decision again, logging nothing.
DecisionWrite write_decision(ZELClient& client, int index);

}  // namespace zc
