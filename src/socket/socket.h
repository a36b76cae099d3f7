// Table-based TCP layer: the 256-slot handle table, client connections
// (host:port), listening sockets and accepts (bare port), whole-buffer send,
// single-read receive, the reachability probe, the socket set with its highest
// socket, and the multithreaded mode whose table steps run under the mutex
// "zelsock.mutex". Connect, listen and accept are one small call each; the text
// forms of SOCKET_Open and the accept of SOCKET_Receive are thin wrappers on them.
#pragma once

#include <cstdint>

#include "common/limits.h"
#include "platform/tls.h"

constexpr int kReceiveMax = static_cast<int>(kPacketBufferSize);

// 0, or -1 when the network library or the table guard cannot be started (the
// table is usable all the same for single-threaded use). An options text holding
// 'T' switches multithreaded mode on. Reads the time bounds of connections once:
// ZELCLIENT_NET_TIMEOUT_MS (connect, send and receive of every connection,
// default 30000) and ZELCLIENT_PROBE_TIMEOUT_MS (connect of SOCKET_TestConnection,
// default 3000, never above the first).
int SOCKET_Init(const char* options);
// Why the last SOCKET_Init failed, in words; empty after a success.
const char* SOCKET_InitError();
int SOCKET_End();

void HANDLE_Reset();
int HANDLE_Get();  // reserved slot id, or -1 when the table is full
int HANDLE_Free(int id);

// "host:port[,...]" connects, "port[,...]" listens; the text may be cut at its
// first comma after the port. A host part over 63 characters is refused (text
// unchanged). Handle id, or -1. Ids outside the table act as free slots in
// every operation below.
int SOCKET_Open(char* text, int unused);
// A client connection to host and port, within the general time bound; logged
// as SOCKET_Open with the text "host:port". Handle id, or -1.
int SOCKET_Connect(const char* host, int port);
// SOCKET_Connect for a caller that waits firstMs at most before it goes on: the
// handle id, with *pending set when the connection is still being made (then
// SOCKET_ConnectFinish waits for it), or -1.
int SOCKET_ConnectBegin(const char* host, int port, std::int32_t firstMs, bool* pending);
// Waits for a pending connection for what is left of the bound after spentMs:
// the id once connected, else -1 (the handle closed and freed, as SOCKET_Connect logs).
int SOCKET_ConnectFinish(int id, std::int32_t spentMs);
// 0 when a receive on id would not wait (data, the peer's close or an error are
// there) within withinMs, else -1. Nothing is read.
int SOCKET_WaitReadable(int id, std::int32_t withinMs);
// The bound of every connect, send and receive (ZELCLIENT_NET_TIMEOUT_MS).
std::int32_t SOCKET_BoundMs();
// A listening socket on port of every local address. Handle id, or -1.
int SOCKET_Listen(int port);
// Waits for one client on a listening handle. New connection handle id, or -1.
int SOCKET_Accept(int id);
int SOCKET_Close(int id, int how);  // always 0
// Sends all *length bytes; *length becomes the count sent. 0, or -1.
int SOCKET_Send(int id, const void* data, int* length, int unused);
// One read of at most size bytes, limited to kReceiveMax; a size of 0 or less
// fails (connection: 0 or -1). On a listening handle: SOCKET_Accept.
int SOCKET_Receive(int id, void* dest, int size, int unused, int* length);
// 1 when a connection to host:port could be opened (and is closed again), else 0.
// The text is never written to.
std::int16_t SOCKET_TestConnection(const char* text);

// TLS on a connection (platform/tls.h). Once at start: what the client trusts and
// shows; 0, or -1 with the reason in why.
int SOCKET_TlsInit(const plat::TlsClientSettings& settings, char* why, std::size_t cap);
// The handshake on connected id, within what is left of the connect bound after
// spentMs, the peer verified for host; sessionSlot (0 to 7) names the address whose
// last session is offered again. id, or -1 (the handle closed and freed) with the
// fault in *peer, logged.
int SOCKET_Secure(int id, const char* host, int sessionSlot, std::int32_t spentMs,
                  plat::TlsPeer* peer);
// The server's handshake on an accepted id, within the network bound. id or -1 (closed).
int SOCKET_SecureAccept(int id);
// The fault a send or receive on id met from the peer's TLS (an alert after the
// handshake); None for a plain connection or none met.
plat::TlsFault SOCKET_LinkFault(int id);

// The local port of a handle's socket (a listening handle opened on port 0 learns
// the port the system chose), or -1.
int SOCKET_GetLocalPort(int id);
