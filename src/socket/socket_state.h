// The socket layer's process-wide state and the steps its operations share.
// Internal to src/socket/.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/text.h"
#include "platform/platform.h"
#include "platform/tls.h"
#include "socket/socket.h"

namespace sock {

// A table slot. socket: -1 free, 0 reserved by HANDLE_Get, else the platform
// socket; kind: 1 listening, 0 connection. Atomic because in multithreaded mode
// a slot is written by its owner while other threads scan the table.
struct Slot {
  std::atomic<std::int32_t> socket;
  std::atomic<std::int16_t> kind;
  std::atomic<plat::TlsLink*> link;  // TLS on the connection, or nullptr
};

constexpr const char* kMutexName = "zelsock.mutex";
constexpr std::uint32_t kGuardWaitMs = 1000;

extern std::int16_t g_multithreaded;
extern std::int32_t g_netTimeoutMs;
extern std::int32_t g_probeTimeoutMs;
extern std::int32_t g_connectTimeoutMs;  // a connection's bound, ZELCLIENT_CONNECT_TIMEOUT_MS
extern zel::Text<300> g_initError;       // why the last SOCKET_Init failed

// The slot's socket, or -1 for an id outside the table (read as a free slot).
std::int32_t socket_of(int id);
std::int16_t kind_of(int id);
void store(int id, plat::SocketValue socket, std::int16_t kind);
plat::TlsLink* link_of(int id);
// Takes the link off the slot (nullptr when it had none): its closer frees it.
plat::TlsLink* take_link(int id);
void set_link(int id, plat::TlsLink* link);

// A slot for a new socket: HANDLE_Get, under the table guard in multithreaded
// mode, where the accept writes its own release line. Slot id or -1.
enum class Taker { Open, Accept };
int take_slot(Taker taker);
// Frees a slot: HANDLE_Free, under the table guard in multithreaded mode.
void free_slot(int id);

// The failure exit of an open or an accept: the step's line, then the socket shut
// and closed. -1.
int open_failed(const char* what, plat::SocketValue s);
// The line that tells a time-out from a refusal or a closed connection.
void log_timed_out(const char* step, std::int32_t boundMs);

// The first two lines of every open, with the caller's text.
void log_open(const char* text);
// A client connection within boundMs (after log_open). Id or -1.
int connect_to(const char* host, int port, std::int32_t boundMs);
// The same, waited for at most firstMs at first: when that passes before the
// connection is made, its id is returned with *pending set, still connecting.
int connect_begin(const char* host, int port, std::int32_t boundMs, std::int32_t firstMs,
                  bool* pending);

}  // namespace sock
