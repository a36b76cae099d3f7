// The processing loop: life signal, stop file, one visit of every terminal, then
// a wait for a change in the root directory tree.
#pragma once

#include "client/context.h"

// Runs until the stop file is found and deleted; returns 0 then.
int ZELClient_Process(ZELClient& client);
