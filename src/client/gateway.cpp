#include "client/gateway.h"

#include <cstdlib>
#include <cstring>

#include "common/number.h"
#include "log/log.h"
#include "platform/service.h"

namespace {

constexpr std::int64_t kExpiryWarnSeconds = 14 * 24 * 3600;

std::uint8_t bit(int i) {
  return static_cast<std::uint8_t>(1u << i);
}

// "host:port" into address; false when it is none.
bool parse_address(std::string_view text, GatewayAddress& address) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0 || colon + 1 == text.size()) return false;
  address.host.clear();
  if (!address.host.assign(text.substr(0, colon))) return false;
  const std::string port(text.substr(colon + 1));
  char* end = nullptr;
  const long p = std::strtol(port.c_str(), &end, 10);
  address.port = static_cast<int>(p);
  return *end == '\0' && p >= kPortMin && p <= kPortMax;
}

bool refuse(const char* name, const char* value, const char* why) {
  zel::Text<600> text;
  text.format("zelclient: %s=%s: %s", name, value, why);
  plat::start_refused(text.c_str(), true);
  return false;
}

const char* env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

std::int64_t elapsed(std::int64_t startMs) {
  return plat::monotonic_ms() - startMs;
}

// Connects at address i (or secures id, a connection made there already): the
// handle, or -1 with the handshake's fault kept in reach.
int connect_at(const ZELClient& client, int i, int id, std::int64_t startMs, GatewayReach& reach) {
  const GatewayAddress& a = client.config.addresses[i];
  reach.address = i;
  reach.fault[i] = plat::TlsFault::None;
  if (id == -1) id = SOCKET_Connect(a.host.c_str(), a.port);
  if (id == -1 || !client.config.tls) return id;
  plat::TlsPeer peer;
  id = SOCKET_Secure(id, a.host.c_str(), i, static_cast<std::int32_t>(elapsed(startMs)), &peer);
  reach.fault[i] = peer.fault;
  reach.notAfter = peer.notAfter;
  if (id == -1) zc::log_tls_failure(client.config, i, peer.fault, peer.detail);
  return id;
}

// The next address to try after (or from) i, in order from `from` round the list:
// one not tried yet in this connection, out of its window unless all are in theirs.
int next_address(const ZELClient& client, int from, int after, const GatewayReach& reach) {
  const int n = client.config.addressCount;
  bool anyOut = false;
  for (int i = 0; i < n; ++i) {
    if ((reach.failedMask & bit(i)) == 0 && !zc::address_known_down(client, i)) anyOut = true;
  }
  for (int k = after < 0 ? 0 : (after - from + n) % n + 1; k < n; ++k) {
    const int i = (from + k) % n;
    if ((reach.failedMask & bit(i)) != 0) continue;
    if (anyOut && zc::address_known_down(client, i)) continue;
    return i;
  }
  return -1;
}

// The addresses from `from` on, after `tried` (-1: none yet) failed.
int go_on(const ZELClient& client, int from, int tried, GatewayReach& reach) {
  for (int i = next_address(client, from, tried, reach); i != -1;) {
    const int id = connect_at(client, i, -1, plat::monotonic_ms(), reach);
    if (id != -1) return id;
    reach.failedMask |= bit(i);
    const int next = next_address(client, from, i, reach);
    // Said when the address fails anew, not on each request while it stays down.
    if (next != -1 && client.standin.failedAtMs[i].load() < 0) {
      LOG_Print(LOG_CLI_WARNING,
                "ZELClient_Process conectandose al gateway en [%s], se intenta [%s]",
                zc::address_text(client.config, i).c_str(),
                zc::address_text(client.config, next).c_str());
    }
    i = next;
  }
  return -1;
}

}  // namespace

bool zc::gateway_start(ZELClient& client) {
  ZELClientConfig& config = client.config;
  config.addresses[0].host.assign(config.gatewayHost.view());
  config.addresses[0].port = config.gatewayPort;
  config.addressCount = 1;
  if (config.gatewayTail) {
    LOG_Print(LOG_CLI_WARNING,
              "ZELClient_Init -g lleva texto tras una coma, que no se usa: otra direccion del "
              "gateway va en ZELCLIENT_GATEWAY_ALT");
  }
  const char* alt = env("ZELCLIENT_GATEWAY_ALT");
  for (std::string_view rest = alt; !rest.empty();) {
    const std::size_t comma = rest.find(',');
    const std::string_view one = rest.substr(0, comma);
    if (config.addressCount == kGatewayAddresses) {
      return refuse("ZELCLIENT_GATEWAY_ALT", alt, "at most 3 addresses");
    }
    if (!parse_address(one, config.addresses[config.addressCount])) {
      return refuse("ZELCLIENT_GATEWAY_ALT", alt,
                    "HOST:PORT[,HOST:PORT...], a host of at most 63 characters, a port 1 to 65535");
    }
    ++config.addressCount;
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
  }
  const char* tls = env("ZELCLIENT_TLS");
  config.tls = std::strcmp(tls, "on") == 0;
  if (!config.tls && tls[0] != '\0' && std::strcmp(tls, "off") != 0) {
    return refuse("ZELCLIENT_TLS", tls, "on or off");
  }
  if (!config.tls) return true;
  const plat::TlsClientSettings settings{env("ZELCLIENT_TLS_CA"), env("ZELCLIENT_TLS_PIN"),
                                         env("ZELCLIENT_TLS_CERT"), env("ZELCLIENT_TLS_KEY")};
  char why[400];
  if (SOCKET_TlsInit(settings, why, sizeof why) != 0) {
    zel::Text<480> text;
    text.format("zelclient: ZELCLIENT_TLS=on: %s", why);
    plat::start_refused(text.c_str(), true);
    return false;
  }
  return true;
}

void zc::log_tls_failure(const ZELClientConfig& config, int i, plat::TlsFault fault,
                         const char* detail) {
  LOG_Print(LOG_CLI_ERROR, "ZELClient_Process TLS con el gateway en [%s]: %s%s%s%s",
            address_text(config, i).c_str(), plat::tls_fault_text(fault),
            detail[0] != '\0' ? " (" : "", detail, detail[0] != '\0' ? ")" : "");
}

zel::Text<kHostMax + 8> zc::address_text(const ZELClientConfig& config, int i) {
  zel::Text<kHostMax + 8> text;
  text.format("%s:%d", config.addresses[i].host.c_str(), config.addresses[i].port);
  return text;
}

bool zc::address_known_down(const ZELClient& client, int i) {
  const StandIn& s = client.standin;
  const std::int64_t failedAt = s.failedAtMs[i].load();
  return s.retrySeconds > 0 && failedAt >= 0 &&
         plat::monotonic_ms() - failedAt < static_cast<std::int64_t>(s.retrySeconds) * 1000;
}

bool zc::gateway_known_down(const ZELClient& client) {
  for (int i = 0; i < client.config.addressCount; ++i) {
    if (!address_known_down(client, i)) return false;
  }
  return true;
}

int zc::first_address(const ZELClient& client) {
  const GatewayReach none;
  const int i = next_address(client, 0, -1, none);
  return i == -1 ? 0 : i;
}

int zc::gateway_connect(const ZELClient& client, int from, GatewayReach& reach) {
  return go_on(client, from, -1, reach);
}

int zc::gateway_connect_finish(const ZELClient& client, int id, std::int32_t spentMs,
                               GatewayReach& reach) {
  const int i = reach.address;
  const std::int64_t startMs = plat::monotonic_ms() - spentMs;
  id = SOCKET_ConnectFinish(id, spentMs);
  if (id != -1) id = connect_at(client, i, id, startMs, reach);
  if (id != -1) return id;
  reach.failedMask |= bit(i);
  return go_on(client, 0, i, reach);
}

void zc::gateway_reached(ZELClient& client, const GatewayReach& reach, bool answered) {
  const ZELClientConfig& config = client.config;
  GatewayLinks& links = client.links;
  const std::int64_t nowMs = plat::monotonic_ms();
  for (int i = 0; i < config.addressCount; ++i) {
    const bool failed = (reach.failedMask & bit(i)) != 0;
    const bool connected = i == reach.address && !failed;
    if (!failed && !connected) continue;
    const bool ok = connected && answered;
    client.standin.failedAtMs[i].store(ok ? -1 : nowMs);
    links.failing[i] = !ok;
    links.known[i] = true;
    const plat::TlsFault fault = reach.fault[i];
    if (config.tls && fault != links.tlsFault[i]) {
      if (fault == plat::TlsFault::None) {
        LOG_Print(LOG_CLI_WARNING,
                  "ZELClient_Process TLS con el gateway en [%s] verificado de nuevo",
                  address_text(config, i).c_str());
      } else {
        LOG_Print(LOG_CLI_WARNING, "ZELClient_Process TLS con el gateway en [%s] falla: %s",
                  address_text(config, i).c_str(), plat::tls_fault_text(fault));
      }
      links.tlsFault[i] = fault;
    }
    if (fault != plat::TlsFault::None) ++links.tlsFailures[static_cast<int>(fault) & 15];
  }
  const int a = reach.address;
  if (a < 0 || (reach.failedMask & bit(a)) != 0) return;
  const int before = links.lastAnswered.load();
  if (answered) links.lastAnswered.store(a);
  if (answered && before != a && config.addressCount > 1) {
    LOG_Print(LOG_CLI_WARNING, "ZELClient_Process el gateway responde en [%s]",
              address_text(config, a).c_str());
  }
  if (!config.tls || reach.notAfter == 0) return;
  links.notAfter[a] = reach.notAfter;
  const std::time_t now = client.clock();
  std::tm local{};
  if (reach.notAfter - now > kExpiryWarnSeconds || !plat::local_time(now, &local)) return;
  const int today = (local.tm_year + 1900) * 10000 + (local.tm_mon + 1) * 100 + local.tm_mday;
  if (links.expiryWarnedDay[a] == today) return;
  links.expiryWarnedDay[a] = today;
  std::tm end{};
  plat::local_time(static_cast<std::time_t>(reach.notAfter), &end);
  LOG_Print(LOG_CLI_WARNING,
            "ZELClient_Process el certificado del gateway en [%s] vence el %04d/%02d/%02d",
            address_text(config, a).c_str(), end.tm_year + 1900, end.tm_mon + 1, end.tm_mday);
}
