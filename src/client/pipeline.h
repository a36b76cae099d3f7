// The request pipeline: at most one request of one terminal, from its request
// file to an answer file, through the gateway or a local answer.
#pragma once

#include <ctime>

// Handles terminal index's request, if one is waiting. lifeTimer is reset after
// every reply received from the gateway. Returns true when a request file is
// there but could not be read (another process holds it): it stays for later.
bool ZELClient_ProcessTerminal(int index, const char* name, std::time_t* lifeTimer);
