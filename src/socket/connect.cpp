// Client connections: resolve the host, connect within a bound, take a slot.
#include <cstring>

#include "log/log.h"
#include "socket/socket_state.h"

namespace sock {
namespace {

const char* resolve_failure_text(plat::Resolve r) {
  switch (r) {
    case plat::Resolve::Interrupted:
      return "SOCKET_Open A blocking Windows Socket 1.1 call was canceled through "
             "WSACancelBlockingCall.";
    case plat::Resolve::BadName:
      return "SOCKET_Open The name parameter is not a valid part of the user address space.";
    case plat::Resolve::InProgress:
      return "SOCKET_Open A blocking Windows Sockets 1.1 call is in progress, or the service "
             "provider is still processing a callback function.";
    case plat::Resolve::NetworkDown:
      return "SOCKET_Open gethostbyname The network subsystem has failed.";
    case plat::Resolve::NotInitialised:
      return "SOCKET_Open gethostbyname A successful WSAStartup call must occur before using "
             "this function.";
    case plat::Resolve::HostNotFound:
      return "SOCKET_Open Authoritative Answer Host not found.";
    case plat::Resolve::TryAgain:
      return "SOCKET_Open Nonauthoritative Host not found, or server failure.";
    case plat::Resolve::NoRecovery:
      return "SOCKET_Open A nonrecoverable error occurred.";
    case plat::Resolve::NoData:
      return "SOCKET_Open Valid name, no data record of requested type.";
    default:
      return "SOCKET_Open error de winsock desconocido";
  }
}

}  // namespace

int open_failed(const char* what, plat::SocketValue s) {
  LOG_Print(LOG_SOCK_ERROR, "%s", what);
  if (s != plat::kNoSocket) {
    plat::net_shutdown(s, 2);
    plat::net_close(s);
  }
  return -1;
}

// A gateway that answers after the bound may still authorise what the service
// has answered locally by then: the log says which it was.
void log_timed_out(const char* step, std::int32_t boundMs) {
  LOG_Print(LOG_SOCK_ERROR, "%s sin respuesta en %d ms: tiempo de espera agotado", step,
            static_cast<int>(boundMs));
}

void log_open(const char* text) {
  LOG_Print(LOG_SOCK_INFO, "SOCKET_Open Entry");
  LOG_Print(LOG_SOCK_INFO, "SOCKET_Open Name=[%s]", text);
}

int connect_begin(const char* host, int port, std::int32_t boundMs, std::int32_t firstMs,
                  bool* pending) {
  *pending = false;
  std::uint8_t addr[4];
  const plat::Resolve resolved = plat::net_resolve(host, addr);
  if (resolved != plat::Resolve::Ok) {
    LOG_Print(LOG_SOCK_ERROR, "%s", resolve_failure_text(resolved));
    LOG_Print(LOG_SOCK_ERROR, "SOCKET_Open resolviendo host [%s]", host);
    return -1;
  }
  const plat::SocketValue s = plat::net_socket();
  if (s == plat::kNoSocket) return open_failed("SOCKET_Open socket()", s);
  const bool early = firstMs < boundMs;
  const plat::Status connected =
      plat::net_connect(s, addr, static_cast<std::uint16_t>(port), early ? firstMs : boundMs);
  const bool waiting = early && connected == plat::Status::TimedOut;
  if (connected != plat::Status::Ok && !waiting) {
    open_failed("SOCKET_Open connect()", s);
    if (connected == plat::Status::TimedOut) log_timed_out("SOCKET_Open connect()", boundMs);
    return -1;
  }
  const int id = take_slot(Taker::Open);
  if (id == -1) return open_failed("SOCKET_Open HANDLE_Get()", s);
  store(id, s, 0);
  *pending = waiting;
  if (!waiting) LOG_Print(LOG_SOCK_INFO, "SOCKET_Open Conectado");
  return id;
}

int connect_to(const char* host, int port, std::int32_t boundMs) {
  bool pending = false;
  return connect_begin(host, port, boundMs, boundMs, &pending);
}

}  // namespace sock

namespace {

// The first two lines of a client connection's open; false (logged) when the
// host is too long to be one.
bool log_connect(const char* host, int port) {
  zel::Text<kHostMax + 16> shown;
  const bool fits = host != nullptr && std::strlen(host) <= static_cast<std::size_t>(kHostMax) &&
                    shown.format("%s:%d", host, port);
  sock::log_open(shown.c_str());
  if (!fits) LOG_Print(LOG_SOCK_ERROR, "SOCKET_Open host demasiado largo [%s]", host ? host : "");
  return fits;
}

}  // namespace

int SOCKET_Connect(const char* host, int port) {
  if (!log_connect(host, port)) return -1;
  return sock::connect_to(host, port, sock::g_connectTimeoutMs);
}

int SOCKET_ConnectBegin(const char* host, int port, std::int32_t firstMs, bool* pending) {
  *pending = false;
  if (!log_connect(host, port)) return -1;
  return sock::connect_begin(host, port, sock::g_connectTimeoutMs, firstMs, pending);
}

int SOCKET_ConnectFinish(int id, std::int32_t spentMs) {
  const std::int32_t bound = sock::g_connectTimeoutMs;
  const std::int32_t left = spentMs < bound ? bound - spentMs : 0;
  const std::int32_t s = sock::socket_of(id);
  const plat::Status connected = plat::net_connect_wait(s, left);
  if (connected == plat::Status::Ok) {
    LOG_Print(LOG_SOCK_INFO, "SOCKET_Open Conectado");
    return id;
  }
  sock::free_slot(id);
  sock::open_failed("SOCKET_Open connect()", s);
  if (connected == plat::Status::TimedOut) sock::log_timed_out("SOCKET_Open connect()", bound);
  return -1;
}

std::int32_t SOCKET_BoundMs() {
  return sock::g_netTimeoutMs;
}

int SOCKET_WaitReadable(int id, std::int32_t withinMs) {
  if (plat::tls_pending(sock::link_of(id))) return 0;
  return plat::net_wait_readable(sock::socket_of(id), withinMs) == plat::Status::TimedOut ? -1 : 0;
}
