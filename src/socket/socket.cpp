// The socket layer's entry points: start and stop, the text form of opening,
// close, whole-buffer send, single-read receive, and the reachability probe.
#include "socket/socket.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/number.h"
#include "log/log.h"
#include "socket/socket_state.h"
#include "socket/socketset.h"

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

// A failed start: the reason is kept for the caller and logged at level 0, which
// every log window writes: without the socket layer no request reaches the gateway.
int init_failed(const char* what, const char* why) {
  sock::g_initError.format("%s: %s", what, why);
  LOG_Print(0, "SOCKET_Init %s", sock::g_initError.c_str());
  return -1;
}

// Ends the caller's text at its first comma at or after from.
void cut_at_comma(char* text, std::size_t from) {
  char* comma = std::strchr(text + from, ',');
  if (comma != nullptr) *comma = '\0';
}

// "host:port" (with writable, cut at a comma after the port) or "port".
int open_text(const char* text, char* writable, std::int32_t boundMs) {
  sock::log_open(text == nullptr ? "" : text);
  if (text == nullptr || text[0] == '\0') return -1;
  const char* colon = std::strchr(text, ':');
  if (colon == nullptr) {
    if (writable != nullptr) cut_at_comma(writable, 0);
    return SOCKET_Listen(zel::to_int(text));
  }
  const auto hostLen = static_cast<std::size_t>(colon - text);
  if (hostLen > kHostMax) {
    LOG_Print(LOG_SOCK_ERROR, "SOCKET_Open host demasiado largo [%.*s]", static_cast<int>(hostLen),
              text);
    return -1;
  }
  const zel::Text<kHostMax> host(std::string_view(text, hostLen));
  if (writable != nullptr) cut_at_comma(writable, hostLen + 1);
  return sock::connect_to(host.c_str(), zel::to_int(colon + 1), boundMs);
}

}  // namespace

int SOCKET_Init(const char* options) {
  // The table is made usable first: a single-threaded user needs no guard, and a
  // failed start must not leave every slot looking taken.
  HANDLE_Reset();
  sock::set_clear();
  sock::g_initError.clear();
  char why[256] = {};
  if (!plat::net_startup(why, sizeof why)) {
    LOG_Print(LOG_SOCK_ERROR, "SOCKET_Init WSAStartup failed");
    return init_failed("no se pudo iniciar la red", why);
  }
  if (!plat::named_mutex_create(sock::kMutexName, why, sizeof why)) {
    LOG_Print(3, "HANDLE_Init CreateMutex");
    return init_failed("no se pudo crear el mutex zelsock.mutex", why);
  }
  sock::g_netTimeoutMs = env_ms("ZELCLIENT_NET_TIMEOUT_MS", kDefaultNetTimeoutMs);
  // A gateway host that drops packets may cost less than a whole exchange's bound.
  sock::g_connectTimeoutMs = env_ms("ZELCLIENT_CONNECT_TIMEOUT_MS", sock::g_netTimeoutMs);
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
  return open_text(text, text, sock::g_connectTimeoutMs);
}

int SOCKET_Close(int id, int how) {
  const std::int32_t s = sock::socket_of(id);
  LOG_Print(LOG_SOCK_DEBUG, "SOCKET_Close cerrando Id=[%d] Socket=[%d]", id, s);
  if (sock::g_multithreaded == 0) sock::set_remove(s);
  plat::tls_close(sock::take_link(id));
  // The close alone ends the connection as a shutdown before it would (a FIN,
  // or a reset when unread bytes remain either way): how asks for nothing more.
  (void)how;
  plat::net_close(s);
  sock::free_slot(id);
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
    std::size_t n = 0;
    const auto rest = static_cast<std::size_t>(total - sent);
    const auto within = static_cast<std::int32_t>(left);
    plat::TlsLink* link = sock::link_of(id);
    const plat::Status r = left < 0          ? plat::Status::TimedOut
                           : link != nullptr ? plat::tls_send(link, bytes + sent, rest, within, &n)
                                             : plat::net_send(s, bytes + sent, rest, within, &n);
    if (r != plat::Status::Ok) {
      LOG_Print(LOG_SOCK_ERROR, "SOCKET_Send enviando");
      if (r == plat::Status::TimedOut) sock::log_timed_out("SOCKET_Send", sock::g_netTimeoutMs);
      *length = sent;
      return -1;
    }
    sent += static_cast<int>(n);
  }
  *length = sent;
  return 0;
}

int SOCKET_Receive(int id, void* dest, int size, int /*unused*/, int* length) {
  LOG_Print(LOG_SOCK_INFO, "SOCKET_Receive Entry");
  if (sock::kind_of(id) == 1) {
    const int newId = SOCKET_Accept(id);
    if (newId != -1 && length != nullptr) *length = 0;
    return newId;
  }
  const std::int32_t s = sock::socket_of(id);
  if (dest == nullptr || size <= 0) {
    LOG_Print(LOG_SOCK_ERROR, "SOCKET_Receive recv");
    return -1;
  }
  unsigned char staging[kReceiveMax] = {};
  const std::size_t want = size < kReceiveMax ? static_cast<std::size_t>(size) : kReceiveMax;
  std::size_t got = 0;
  plat::TlsLink* link = sock::link_of(id);
  const plat::Status r = link != nullptr
                             ? plat::tls_recv(link, staging, want, sock::g_netTimeoutMs, &got)
                             : plat::net_recv(s, staging, want, sock::g_netTimeoutMs, &got);
  if (r == plat::Status::Ok) {
    const int n = static_cast<int>(got);
    LOG_Print(LOG_SOCK_INFO, "SOCKET_Receive recibio OK HandleId=[%d] Socket=[%d] Len=[%d]", id, s,
              n);
    std::memcpy(dest, staging, got);
    if (length != nullptr) *length = n;
    LOG_Print(LOG_SOCK_INFO, "SOCKET_Receive Exit");
    return 0;
  }
  if (r == plat::Status::Closed) {
    LOG_Print(LOG_SOCK_INFO, "SOCKET_Receive socket %d hung up", s);
  } else {
    LOG_Print(LOG_SOCK_ERROR, "SOCKET_Receive recv");
    if (r == plat::Status::TimedOut) sock::log_timed_out("SOCKET_Receive", sock::g_netTimeoutMs);
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
