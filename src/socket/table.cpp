// The handle table and the table guard of multithreaded mode.
#include "log/log.h"
#include "socket/socket_state.h"

namespace sock {

namespace {

// Zero at process start: every slot reads as reserved until SOCKET_Init resets it.
Slot g_table[kSocketSlots];

Slot* slot(int id) {
  return id >= 0 && id < kSocketSlots ? &g_table[id] : nullptr;
}

}  // namespace

std::int16_t g_multithreaded = 0;
std::int32_t g_netTimeoutMs = 30000;
std::int32_t g_probeTimeoutMs = 3000;
std::int32_t g_connectTimeoutMs = 30000;
zel::Text<300> g_initError;

std::int32_t socket_of(int id) {
  const Slot* s = slot(id);
  return s == nullptr ? -1 : s->socket.load(std::memory_order_relaxed);
}

std::int16_t kind_of(int id) {
  const Slot* s = slot(id);
  return s == nullptr ? 0 : s->kind.load(std::memory_order_relaxed);
}

void store(int id, plat::SocketValue socket, std::int16_t kind) {
  Slot* s = slot(id);
  if (s == nullptr) return;
  s->kind.store(kind, std::memory_order_relaxed);
  s->socket.store(static_cast<std::int32_t>(socket), std::memory_order_relaxed);
}

plat::TlsLink* link_of(int id) {
  const Slot* s = slot(id);
  return s == nullptr ? nullptr : s->link.load(std::memory_order_acquire);
}

plat::TlsLink* take_link(int id) {
  Slot* s = slot(id);
  return s == nullptr ? nullptr : s->link.exchange(nullptr, std::memory_order_acq_rel);
}

void set_link(int id, plat::TlsLink* link) {
  Slot* s = slot(id);
  if (s != nullptr) s->link.store(link, std::memory_order_release);
}

int take_slot(Taker taker) {
  if (g_multithreaded == 0) return HANDLE_Get();
  plat::MutexHandle guard = plat::named_mutex_open(kMutexName);
  if (guard == nullptr) {
    LOG_Print(LOG_SOCK_ERROR, "SOCKET_Open OpenMutex");
    return -1;
  }
  LOG_Print(LOG_SOCK_DEBUG, "SOCKET_Open OpenMutex OK");
  int id = -1;
  if (plat::named_mutex_wait(guard, kGuardWaitMs) == plat::WaitOutcome::Signalled) {
    LOG_Print(LOG_SOCK_DEBUG, "SOCKET_Open tengo el Mutex");
    id = HANDLE_Get();
  } else {
    LOG_Print(LOG_SOCK_ERROR, "SOCKET_Open WaitForSingleObject");
  }
  plat::named_mutex_release(guard);
  if (taker == Taker::Open) {
    LOG_Print(LOG_SOCK_DEBUG, "SOCKET_Open libere el Mutex HandleId=[%d]", id);
  } else {
    LOG_Print(LOG_SOCK_DEBUG, "SOCKET_Open libere el Mutex ClientId=[%d]", id);
  }
  plat::named_mutex_close(guard);
  return id;
}

void free_slot(int id) {
  if (g_multithreaded == 0) {
    HANDLE_Free(id);
    return;
  }
  plat::MutexHandle guard = plat::named_mutex_open(kMutexName);
  if (guard == nullptr) {
    LOG_Print(LOG_SOCK_ERROR, "SOCKET_Close OpenMutex");
    return;
  }
  LOG_Print(LOG_SOCK_DEBUG, "SOCKET_Close OpenMutex OK");
  if (plat::named_mutex_wait(guard, kGuardWaitMs) == plat::WaitOutcome::Signalled) {
    LOG_Print(LOG_SOCK_DEBUG, "SOCKET_Close tengo el Mutex");
    HANDLE_Free(id);
  } else {
    LOG_Print(LOG_SOCK_ERROR, "SOCKET_Close WaitForSingleObject");
  }
  plat::named_mutex_release(guard);
  LOG_Print(LOG_SOCK_DEBUG, "SOCKET_Close libere el Mutex, free HandleId=[%d]", id);
  plat::named_mutex_close(guard);
}

}  // namespace sock

void HANDLE_Reset() {
  for (sock::Slot& s : sock::g_table) {
    s.kind.store(0, std::memory_order_relaxed);
    s.socket.store(-1, std::memory_order_relaxed);
    s.link.store(nullptr, std::memory_order_relaxed);
  }
}

int HANDLE_Get() {
  for (int id = 0; id < kSocketSlots; ++id) {
    sock::Slot& s = sock::g_table[id];
    if (s.socket.load(std::memory_order_relaxed) == -1) {
      s.socket.store(0, std::memory_order_relaxed);
      return id;
    }
  }
  return -1;
}

int HANDLE_Free(int id) {
  sock::store(id, -1, 0);
  return id;
}
