// TLS over a connected socket, with the platform's own stack: OpenSSL on Linux,
// Schannel (SSPI) on Windows. One shape for both, as the socket layer uses it: a
// process-wide setup (what to trust, what to show), then per connection a
// handshake that verifies the peer, bounded sends and receives of the plain
// bytes, and a close. Every failure is an ordinary outcome, with its fault named
// in words an operator can act on. The server side (the gateway simulator) exists
// on Linux only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace plat {

// Why a handshake failed.
enum class TlsFault : std::uint8_t {
  None,
  Expired,        // the peer's certificate has expired
  NotYetValid,    // ... is not valid yet
  UnknownIssuer,  // ... is not signed by a trusted authority
  NameMismatch,   // ... does not name the host
  PinMismatch,    // ... holds another public key than the pinned one
  Refused,        // the peer refused the handshake (an alert: a client certificate it wants)
  Protocol,       // no TLS 1.2 or later there, or a broken handshake
  TimedOut,       // the bound passed first
  Closed,         // the peer closed during the handshake
  Other,          // anything else: the detail says
};
// The fault in a few words ("certificado vencido"); "" for None.
const char* tls_fault_text(TlsFault fault);
// The fault's short name, for the causes record and the metrics ("expired").
const char* tls_fault_name(TlsFault fault);

// A pin as an operator writes it, the SHA-256 of a public key in 64 hex digits or
// 44 base64 characters, into its 32 bytes; false for anything else.
bool tls_pin_parse(const char* text, unsigned char out[32]);

// What a client trusts and shows; each nullptr or "" when not set.
struct TlsClientSettings {
  const char* caFile;  // PEM file of the authorities trusted; else the system's store
  const char* pin;     // SHA-256 of the peer's public key (SubjectPublicKeyInfo): 64 hex or base64
  const char* cert;    // the client's certificate: a PEM file (with key), a PFX file, or on
  const char* key;     // Windows a thumbprint in the machine's store; key: its PEM key file
};
// Once at start, before any connection: false with the reason in why (a file that
// cannot be read, a key that is not the certificate's, a pin that is no SHA-256).
bool tls_client_setup(const TlsClientSettings& settings, char* why, std::size_t cap);

// The gateway simulator's side: its certificate and key (PEM files), and when
// clientCa is set, a client certificate signed by it is required.
bool tls_server_setup(const char* cert, const char* key, const char* clientCa, char* why,
                      std::size_t cap);

struct TlsLink;  // one connection's TLS state

// What a handshake learnt: the fault (None when it succeeded), a detail for the
// log, the peer certificate's end of validity (seconds since 1970; 0 unknown) and
// whether an earlier session was resumed.
struct TlsPeer {
  TlsFault fault = TlsFault::None;
  char detail[160] = {};
  std::int64_t notAfter = 0;
  bool resumed = false;
};

// The client's handshake on connected socket s within timeoutMs, the peer checked
// against host (and the pin); sessionSlot (0 to 7) names the address, whose last
// session is offered again. Ok with *link, else Failed or TimedOut with peer->fault.
Status tls_connect(SocketValue s, const char* host, int sessionSlot, std::int32_t timeoutMs,
                   TlsLink** link, TlsPeer* peer);
// The server's handshake on an accepted socket.
Status tls_accept(SocketValue s, std::int32_t timeoutMs, TlsLink** link, TlsPeer* peer);
// One send of at most n plain bytes, within timeoutMs: Ok with the count in *sent.
Status tls_send(TlsLink* link, const void* data, std::size_t n, std::int32_t timeoutMs,
                std::size_t* sent);
// One read of at most n plain bytes once there are some, within timeoutMs: Ok with
// the count (> 0), Closed when the peer has closed, TimedOut or Failed.
Status tls_recv(TlsLink* link, void* dest, std::size_t n, std::int32_t timeoutMs, std::size_t* got);
// The fault a send or a receive met after the handshake (an alert: a client
// certificate the peer wanted and did not get, with TLS 1.3); None otherwise.
TlsFault tls_fault(const TlsLink* link);
// True when plain bytes already received wait to be read (a wait on the socket
// would not see them).
bool tls_pending(const TlsLink* link);
// Says goodbye (close_notify, without waiting for the peer's) and frees the link;
// the socket itself stays the caller's to close.
void tls_close(TlsLink* link);

}  // namespace plat
