// Listening sockets and accepts, with the socket set kept in single-threaded mode.
#include <cstdio>

#include "log/log.h"
#include "socket/socket_state.h"
#include "socket/socketset.h"

int SOCKET_Listen(int port) {
  const plat::SocketValue s = plat::net_socket();
  if (s == plat::kNoSocket) return sock::open_failed("SOCKET_Open socket()", s);
  if (plat::net_bind_any(s, static_cast<std::uint16_t>(port)) != plat::Status::Ok) {
    return sock::open_failed("SOCKET_Open bind()", s);
  }
  if (plat::net_listen(s, 256) != plat::Status::Ok) {
    return sock::open_failed("SOCKET_Open listen()", s);
  }
  const auto s32 = static_cast<std::int32_t>(s);
  if (sock::g_multithreaded == 0) {
    sock::set_add(s32);
    sock::set_highest(s32);
  }
  const int id = sock::take_slot(sock::Taker::Open);
  if (id == -1) {
    if (sock::g_multithreaded == 0) sock::set_remove(s32);
    return sock::open_failed("SOCKET_Open HANDLE_Get()", s);
  }
  sock::store(id, s, 1);
  LOG_Print(LOG_SOCK_INFO, "");
  LOG_Print(LOG_SOCK_INFO, "SOCKET_Open Esperando conexiones en el port %d ...", port);
  LOG_Print(LOG_SOCK_INFO, "");
  return id;
}

int SOCKET_Accept(int id) {
  LOG_Print(LOG_SOCK_INFO, "SOCKET_Receive es server");
  std::uint8_t peer[4] = {};
  const plat::SocketValue c = plat::net_accept(sock::socket_of(id), peer);
  if (c == plat::kNoSocket) {
    LOG_Print(LOG_SOCK_ERROR, "SOCKET_Receive accept()");
    return -1;
  }
  const auto c32 = static_cast<std::int32_t>(c);
  LOG_Print(LOG_SOCK_INFO, "SOCKET_Receive accept OK Socket=[%d]", c32);
  if (sock::g_multithreaded == 0) {
    sock::set_add(c32);
    sock::raise_highest(c32);
  }
  const int newId = sock::take_slot(sock::Taker::Accept);
  if (newId == -1) {
    if (sock::g_multithreaded == 0) sock::set_remove(c32);
    return sock::open_failed("SOCKET_Receive HANDLE_Get()", c);
  }
  sock::store(newId, c, 0);
  char dotted[16];
  std::snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", peer[0], peer[1], peer[2], peer[3]);
  LOG_Print(LOG_SOCK_INFO,
            "SOCKET_Receive Nueva conexion desde el cliente [%s] en el socket [%d] ClientId=[%d]",
            dotted, c32, newId);
  return newId;
}
