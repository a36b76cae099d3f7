// The socket layer's process-wide state and the table steps shared by its
// operations. Internal to src/socket/.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/text.h"
#include "platform/platform.h"
#include "socket/socket.h"

namespace sock {

// A table slot. socket: -1 free, 0 reserved by HANDLE_Get, else the platform
// socket; kind: 1 listening, 0 connection. Atomic because in multithreaded mode
// a slot is written by its owner while other threads scan the table.
struct Slot {
  std::atomic<std::int32_t> socket;
  std::atomic<std::int16_t> kind;
};

constexpr const char* kMutexName = "zelsock.mutex";
constexpr std::uint32_t kGuardWaitMs = 1000;

extern std::int16_t g_multithreaded;
extern std::int32_t g_netTimeoutMs;
extern std::int32_t g_probeTimeoutMs;
extern zel::Text<300> g_initError;  // why the last SOCKET_Init failed

// The slot's socket, or -1 for an id outside the table (read as a free slot).
std::int32_t socket_of(int id);
std::int16_t kind_of(int id);
void store(int id, plat::SocketValue socket, std::int16_t kind);

void set_add(std::int32_t socket);
void set_remove(std::int32_t socket);
void set_clear();
void raise_highest(std::int32_t socket);
void set_highest(std::int32_t socket);

// Multithreaded mode: HANDLE_Get under the table guard; the accept writes its own
// release line. Slot id or -1.
enum class Taker { Open, Accept };
int guarded_get(Taker taker);
// Multithreaded mode: HANDLE_Free under the table guard.
void guarded_free(int id);

}  // namespace sock
