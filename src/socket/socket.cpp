// Placeholder until the socket layer lands: start and stop only.
#include "socket/socket.h"

int SOCKET_Init(const char*) { return 0; }
int SOCKET_End() { return 0; }
