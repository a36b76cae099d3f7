// Start-up: the command line into the Client configuration, the start-up log
// lines and the socket layer's start.
#pragma once

// 0 when the configuration is complete; -1 (silently) otherwise.
int ZELClient_Init(int argc, char** argv);
