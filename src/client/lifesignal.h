// The life signal: a type-0 packet "|G01=<pharmacy>|G81=0001|" sent to the
// gateway on a fresh connection, without waiting for any reply.
#pragma once

#include "client/context.h"

// The sender name of life signals.
constexpr const char* kLifeSender = "CLI1";

// Sends one life signal with sender as the packet's sender name. Failures are
// logged; the request buffer is left as it is. true when it was sent: the gateway
// took the connection and the packet.
bool ZELClient_EnviarMensaje_de_vida(ZELClient& client, const char* sender);
