#include "client/config.h"

ZELClientConfig g_config;
zel::Text<kRequestCapacity> g_request;
unsigned char g_packet[kPacketBufferSize];
unsigned char g_reply[kPacketBufferSize];
