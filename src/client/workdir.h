// The working folder is the service's own: one service at a time works in it,
// holding its lock "zelclient.pid" (which names the holder's process) for the
// whole run, as the root's lock is held. Its journal, numbers and records are
// the service's durable record; two services writing them would issue numbers
// twice.
#pragma once

#include "client/context.h"

namespace zc {

// Takes the working folder's lock, once per run (a lock held already is kept).
// false when another service holds it: said on standard error, in the log and
// in the system's log, naming the folder and the holder's process. A folder
// where no lock can be made is worked without one, with a WARNING.
bool lock_workdir(ZELClient& client);

// Gives back what the run holds open in its folders: the locks and the records.
void close_workdir(ZELClient& client);

}  // namespace zc
