// Start-up: the command line into the client's configuration, the start-up log
// lines and the socket layer's start.
#pragma once

#include "client/context.h"

// 0 when the configuration is complete; -1 otherwise, with one line on standard
// error saying why (getopt's own for an unknown option or a missing argument); 1
// when --help or --version was asked for and printed (the run is over). The
// client's configuration is reset first.
int ZELClient_Init(ZELClient& client, int argc, char** argv);

namespace zc {

// One service per root: takes the lock in the root directory, giving back the one
// held before. false when another service holds it (said on standard error and
// in the log). A root where no lock can be made (missing, read-only) is served
// without one.
bool lock_root(ZELClient& client);

}  // namespace zc
