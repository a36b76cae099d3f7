// The request pipeline: at most one request of one terminal, from its request
// file to an answer file, through the gateway or a local answer.
#pragma once

#include <ctime>

// Handles terminal index's request, if one is waiting. lifeTimer is reset after
// every reply received from the gateway. Returns true when the request file is
// there but could not be opened because another process holds it: it is left
// for a later pass.
bool ZELClient_ProcessTerminal(int index, const char* name, std::time_t* lifeTimer);
