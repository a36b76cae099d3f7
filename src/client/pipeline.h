// The request pipeline: at most one request of one terminal, from its request
// file to its answer file, through the gateway or a local answer.
#pragma once

#include "client/context.h"

// Handles terminal index's request, if it has one. true when its request file is
// held by another process right now and should be tried again soon.
bool ZELClient_ProcessTerminal(ZELClient& client, int index);
