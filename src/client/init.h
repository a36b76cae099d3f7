// Start-up: the command line into the client's configuration, the start-up log
// lines and the socket layer's start.
#pragma once

#include "client/context.h"

// 0 when the configuration is complete; -1 (silently) otherwise. The client's
// configuration is reset first.
int ZELClient_Init(ZELClient& client, int argc, char** argv);
