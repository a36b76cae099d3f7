#include "client/config.h"

ZELClientConfig g_config;
zel::Text<kRequestCapacity> g_request;
unsigned char g_packet[kPacketBufferSize];
unsigned char g_reply[kPacketBufferSize];

void ZELClient_GatewayAddress(GatewayAddress& out) {
  out.clear();
  out.format("%s:%d", g_config.gatewayHost.c_str(), g_config.gatewayPort);
}
