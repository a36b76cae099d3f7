// The gateway's addresses and the connection to one. The addresses are -g's,
// then those of ZELCLIENT_GATEWAY_ALT (host:port, comma-separated), each with its
// own known-down window (ZELCLIENT_GATEWAY_RETRY_S). A connection that cannot be
// made at one address (refused, unreachable, the connect bound passed, the
// handshake failed) is tried at the next at once; a packet goes to the first
// address that takes the connection, so nothing is ever sent twice. With
// ZELCLIENT_TLS=on every connection is TLS, the gateway verified against the
// system's authorities or ZELCLIENT_TLS_CA and its name against the address's
// host, optionally pinned (ZELCLIENT_TLS_PIN), with a client certificate when
// given (ZELCLIENT_TLS_CERT, ZELCLIENT_TLS_KEY).
#pragma once

#include "client/context.h"

namespace zc {

// At start: the alternates and the TLS settings from the environment, -g's text
// after a comma named. false, said on standard error, for a setting that cannot
// be used: the command line is refused.
bool gateway_start(ZELClient& client);
// "host:port" of address i.
zel::Text<kHostMax + 8> address_text(const ZELClientConfig& config, int i);
// The one ERROR of a TLS handshake that failed at address i, with its detail ("" none).
void log_tls_failure(const ZELClientConfig& config, int i, plat::TlsFault fault,
                     const char* detail);
// True while address i is in its window after a failure.
bool address_known_down(const ZELClient& client, int i);
// True while every address is in its window.
bool gateway_known_down(const ZELClient& client);

// A connection to the gateway, from address `from` on in order, passing over
// those in their window when others are not; each failure at one address tries
// the next. The handle id, or -1; reach says where and what failed.
int gateway_connect(const ZELClient& client, int from, GatewayReach& reach);
// The same, the connection of a caller that began it (ConnectBegin) at reach's
// address and had it pending: finished, secured, else the next addresses tried.
int gateway_connect_finish(const ZELClient& client, int id, std::int32_t spentMs,
                           GatewayReach& reach);
// The first address a connection tries: the first out of its window.
int first_address(const ZELClient& client);

// What an exchange or a life signal showed of the addresses, on the loop's thread:
// their windows, the one that answered, TLS faults said once per change, the
// certificate's end of validity (one WARNING a day within 14 days of it).
void gateway_reached(ZELClient& client, const GatewayReach& reach, bool answered);

}  // namespace zc
