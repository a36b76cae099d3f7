// The socket layer's operations: start and stop, client and listening opens,
// close, whole-buffer send, single-read receive or accept, and the probe.
#include "socket/socket.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/number.h"
#include "log/log.h"
#include "socket/socket_state.h"

namespace {

constexpr int kSockWarning = 30;
constexpr std::int32_t kDefaultNetTimeoutMs = 30000;
constexpr std::int32_t kDefaultProbeTimeoutMs = 3000;

// A positive whole number of milliseconds from the environment, else fallback.
std::int32_t env_ms(const char* name, std::int32_t fallback) {
  const char* value = std::getenv(name);
  if (value == nullptr) return fallback;
  char* end = nullptr;
  errno = 0;
  const long long ms = std::strtoll(value, &end, 10);
  if (end == value || *end != '\0' || ms <= 0) {
    LOG_Print(kSockWarning, "SOCKET_Init valor invalido %s=[%s], se usa %d ms", name, value,
              fallback);
    return fallback;
  }
  return errno == ERANGE || ms > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(ms);
}

const char* resolve_failure_text(int code) {
  switch (code) {
    case 10004:
      return "SOCKET_Open A blocking Windows Socket 1.1 call was canceled through "
             "WSACancelBlockingCall.";
    case 10014:
      return "SOCKET_Open The name parameter is not a valid part of the user address space.";
    case 10036:
      return "SOCKET_Open A blocking Windows Sockets 1.1 call is in progress, or the service "
             "provider is still processing a callback function.";
    case 10050:
      return "SOCKET_Open gethostbyname The network subsystem has failed.";
    case 10093:
      return "SOCKET_Open gethostbyname A successful WSAStartup call must occur before using "
             "this function.";
    case plat::kResolveHostNotFound:
      return "SOCKET_Open Authoritative Answer Host not found.";
    case plat::kResolveTryAgain:
      return "SOCKET_Open Nonauthoritative Host not found, or server failure.";
    case plat::kResolveNoRecovery:
      return "SOCKET_Open A nonrecoverable error occurred.";
    case plat::kResolveNoData:
      return "SOCKET_Open Valid name, no data record of requested type.";
    default:
      return "SOCKET_Open error de winsock desconocido";
  }
}

// A failed start: the reason is kept for the caller and logged at level 0, which
// every log window writes: without the socket layer no request reaches the gateway.
int init_failed(const char* what, const char* why) {
  sock::g_initError.format("%s: %s", what, why);
  LOG_Print(0, "SOCKET_Init %s", sock::g_initError.c_str());
  return -1;
}

// The line that tells a time-out from a refusal or a closed connection: a
// gateway that answers after the bound may still authorise what the service has
// answered locally by then.
void log_timed_out(const char* step, std::int32_t boundMs) {
  LOG_Print(LOG_SOCK_ERROR, "%s sin respuesta en %d ms: tiempo de espera agotado", step,
            static_cast<int>(boundMs));
}

// The failure exit of an open: the step's line, then the socket shut and closed.
int open_failed(const char* what, plat::SocketValue s) {
  LOG_Print(LOG_SOCK_ERROR, "%s", what);
  if (s != plat::kNoSocket) {
    plat::net_shutdown(s, 2);
    plat::net_close(s);
  }
  return -1;
}

// Ends the caller's text at its first comma at or after from (when writable).
void cut_at_comma(char* writable, std::size_t from) {
  if (writable == nullptr) return;
  char* comma = std::strchr(writable + from, ',');
  if (comma != nullptr) *comma = '\0';
}

int open_listening(const char* text, char* writable) {
  cut_at_comma(writable, 0);
  const int port = zel::to_int(text);
  const plat::SocketValue s = plat::net_socket();
  if (s == plat::kNoSocket) return open_failed("SOCKET_Open socket()", s);
  if (plat::net_bind_any(s, static_cast<std::uint16_t>(port)) != 0) {
    return open_failed("SOCKET_Open bind()", s);
  }
  if (plat::net_listen(s, 256) != 0) return open_failed("SOCKET_Open listen()", s);

  int id;
  if (sock::g_multithreaded == 0) {
    sock::set_add(static_cast<std::int32_t>(s));
    sock::set_highest(static_cast<std::int32_t>(s));
    id = HANDLE_Get();
    if (id == -1) sock::set_remove(static_cast<std::int32_t>(s));
  } else {
    id = sock::guarded_get(sock::Taker::Open);
  }
  if (id == -1) return open_failed("SOCKET_Open HANDLE_Get()", s);

  sock::store(id, s, 1);
  LOG_Print(LOG_SOCK_INFO, "");
  LOG_Print(LOG_SOCK_INFO, "SOCKET_Open Esperando conexiones en el port %d ...", port);
  LOG_Print(LOG_SOCK_INFO, "");
  return id;
}

// Both opens. writable is the caller's text when it may be cut at its comma
// (nullptr: never written); connectMs bounds a client connect.
int open_text(const char* text, char* writable, std::int32_t connectMs) {
  LOG_Print(LOG_SOCK_INFO, "SOCKET_Open Entry");
  LOG_Print(LOG_SOCK_INFO, "SOCKET_Open Name=[%s]", text == nullptr ? "" : text);
  if (text == nullptr || text[0] == '\0') return -1;

  const char* colon = std::strchr(text, ':');
  if (colon == nullptr) return open_listening(text, writable);

  const auto hostLen = static_cast<std::size_t>(colon - text);
  if (hostLen > kHostMax) {
    LOG_Print(LOG_SOCK_ERROR, "SOCKET_Open host demasiado largo [%.*s]", static_cast<int>(hostLen),
              text);
    return -1;
  }
  char host[kHostMax + 1];
  std::memcpy(host, text, hostLen);
  host[hostLen] = '\0';
  cut_at_comma(writable, hostLen + 1);
  const int port = zel::to_int(colon + 1);

  std::uint8_t addr[4];
  const int code = plat::net_resolve(host, addr);
  if (code != 0) {
    LOG_Print(LOG_SOCK_ERROR, "%s", resolve_failure_text(code));
    LOG_Print(LOG_SOCK_ERROR, "SOCKET_Open resolviendo host [%s]", host);
    return -1;
  }

  const plat::SocketValue s = plat::net_socket();
  if (s == plat::kNoSocket) return open_failed("SOCKET_Open socket()", s);
  const int connected = plat::net_connect(s, addr, static_cast<std::uint16_t>(port), connectMs);
  if (connected != 0) {
    open_failed("SOCKET_Open connect()", s);
    if (connected == plat::kTimedOut) log_timed_out("SOCKET_Open connect()", connectMs);
    return -1;
  }
  const int id = sock::g_multithreaded == 0 ? HANDLE_Get() : sock::guarded_get(sock::Taker::Open);
  if (id == -1) return open_failed("SOCKET_Open HANDLE_Get()", s);

  LOG_Print(LOG_SOCK_INFO, "SOCKET_Open Conectado");
  sock::store(id, s, 0);
  return id;
}

int accept_client(int id, int* length) {
  LOG_Print(LOG_SOCK_INFO, "SOCKET_Receive es server");
  std::uint8_t peer[4] = {};
  const plat::SocketValue c = plat::net_accept(sock::socket_of(id), peer);
  if (c == plat::kNoSocket) {
    LOG_Print(LOG_SOCK_ERROR, "SOCKET_Receive accept()");
    return -1;
  }
  const auto c32 = static_cast<std::int32_t>(c);
  LOG_Print(LOG_SOCK_INFO, "SOCKET_Receive accept OK Socket=[%d]", c32);

  int newId;
  if (sock::g_multithreaded == 0) {
    sock::set_add(c32);
    sock::raise_highest(c32);
    newId = HANDLE_Get();
  } else {
    newId = sock::guarded_get(sock::Taker::Accept);
  }
  if (newId == -1) {
    LOG_Print(LOG_SOCK_ERROR, "SOCKET_Receive HANDLE_Get()");
    if (sock::g_multithreaded == 0) sock::set_remove(c32);
    plat::net_shutdown(c, 2);
    plat::net_close(c);
    return -1;
  }

  sock::store(newId, c, 0);
  char dotted[16];
  std::snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", peer[0], peer[1], peer[2], peer[3]);
  LOG_Print(LOG_SOCK_INFO,
            "SOCKET_Receive Nueva conexion desde el cliente [%s] en el socket [%d] ClientId=[%d]",
            dotted, c32, newId);
  if (length != nullptr) *length = 0;
  return newId;
}

}  // namespace

int SOCKET_Init(const char* options) {
  // The table is made usable first: a single-threaded user needs no guard, and a
  // failed start must not leave every slot looking taken.
  HANDLE_Reset();
  sock::set_clear();
  sock::g_initError.clear();
  char why[256] = {};
  if (plat::net_startup(why, sizeof why) != 0) {
    LOG_Print(LOG_SOCK_ERROR, "SOCKET_Init WSAStartup failed");
    return init_failed("no se pudo iniciar la red", why);
  }
  if (!plat::named_mutex_create(sock::kMutexName, why, sizeof why)) {
    LOG_Print(3, "HANDLE_Init CreateMutex");
    return init_failed("no se pudo crear el mutex zelsock.mutex", why);
  }
  sock::g_netTimeoutMs = env_ms("ZELCLIENT_NET_TIMEOUT_MS", kDefaultNetTimeoutMs);
  const std::int32_t probe = env_ms("ZELCLIENT_PROBE_TIMEOUT_MS", kDefaultProbeTimeoutMs);
  sock::g_probeTimeoutMs = probe < sock::g_netTimeoutMs ? probe : sock::g_netTimeoutMs;
  if (options != nullptr && std::strchr(options, 'T') != nullptr) {
    sock::g_multithreaded = 1;
    LOG_Print(LOG_SOCK_INFO, "SOCKET_Init multithreaded");
  }
  return 0;
}

const char* SOCKET_InitError() {
  return sock::g_initError.c_str();
}

int SOCKET_End() {
  plat::net_cleanup();
  HANDLE_Reset();
  return 0;
}

int SOCKET_Open(char* text, int /*unused*/) {
  return open_text(text, text, sock::g_netTimeoutMs);
}

int SOCKET_Close(int id, int how) {
  const std::int32_t s = sock::socket_of(id);
  LOG_Print(LOG_SOCK_DEBUG, "SOCKET_Close cerrando Id=[%d] Socket=[%d]", id, s);
  if (sock::g_multithreaded == 0) sock::set_remove(s);
  plat::net_shutdown(s, how);
  plat::net_close(s);
  if (sock::g_multithreaded == 0) {
    HANDLE_Free(id);
  } else {
    sock::guarded_free(id);
  }
  return 0;
}

int SOCKET_Send(int id, const void* data, int* length, int /*unused*/) {
  if (length == nullptr) return -1;
  const std::int32_t s = sock::socket_of(id);
  const int total = *length;
  if (s == -1 || total <= 0 || data == nullptr) {
    *length = 0;
    return -1;
  }
  // One bound for the whole buffer: a peer that stops reading cannot hold us longer.
  const std::int64_t deadline = plat::monotonic_ms() + sock::g_netTimeoutMs;
  const auto* bytes = static_cast<const unsigned char*>(data);
  int sent = 0;
  while (sent < total) {
    const std::int64_t left = deadline - plat::monotonic_ms();
    const long r = left < 0
                       ? plat::kTimedOut
                       : plat::net_send(s, bytes + sent, static_cast<std::size_t>(total - sent),
                                        static_cast<std::int32_t>(left));
    if (r < 0) {
      LOG_Print(LOG_SOCK_ERROR, "SOCKET_Send enviando");
      if (r == plat::kTimedOut) log_timed_out("SOCKET_Send", sock::g_netTimeoutMs);
      *length = sent;
      return -1;
    }
    sent += static_cast<int>(r);
  }
  *length = sent;
  return 0;
}

int SOCKET_Receive(int id, void* dest, int size, int /*unused*/, int* length) {
  LOG_Print(LOG_SOCK_INFO, "SOCKET_Receive Entry");
  if (sock::kind_of(id) == 1) return accept_client(id, length);

  const std::int32_t s = sock::socket_of(id);
  if (dest == nullptr || size <= 0) {
    LOG_Print(LOG_SOCK_ERROR, "SOCKET_Receive recv");
    return -1;
  }
  unsigned char staging[kReceiveMax] = {};
  const std::size_t want = size < kReceiveMax ? static_cast<std::size_t>(size) : kReceiveMax;
  const long r = plat::net_recv(s, staging, want, sock::g_netTimeoutMs);
  if (r > 0) {
    const int n = static_cast<int>(r);
    LOG_Print(LOG_SOCK_INFO, "SOCKET_Receive recibio OK HandleId=[%d] Socket=[%d] Len=[%d]", id, s,
              n);
    std::memcpy(dest, staging, static_cast<std::size_t>(n));
    if (length != nullptr) *length = n;
    LOG_Print(LOG_SOCK_INFO, "SOCKET_Receive Exit");
    return 0;
  }
  if (r == 0) {
    LOG_Print(LOG_SOCK_INFO, "SOCKET_Receive socket %d hung up", s);
  } else {
    LOG_Print(LOG_SOCK_ERROR, "SOCKET_Receive recv");
    if (r == plat::kTimedOut) log_timed_out("SOCKET_Receive", sock::g_netTimeoutMs);
  }
  return -1;
}

std::int16_t SOCKET_TestConnection(const char* text) {
  const char* shown = text == nullptr ? "" : text;
  LOG_Print(LOG_SOCK_DEBUG, "SOCKET_TestConnection Entry TestHost=[%s]", shown);
  const int id = open_text(text, nullptr, sock::g_probeTimeoutMs);
  if (id == -1) {
    LOG_Print(LOG_CLI_ERROR, "SOCKET_TestConnection conectandose a [%s]", shown);
    LOG_Print(LOG_SOCK_DEBUG, "SOCKET_TestConnection Exit Retorna %s", "FALSE");
    return 0;
  }
  LOG_Print(LOG_CLI_DEBUG, "SOCKET_TestConnection conectado a [%s] OK", shown);
  SOCKET_Close(id, 2);
  LOG_Print(LOG_SOCK_DEBUG, "SOCKET_TestConnection Exit Retorna %s", "TRUE");
  return 1;
}

int SOCKET_GetLocalPort(int id) {
  return plat::net_local_port(sock::socket_of(id));
}
