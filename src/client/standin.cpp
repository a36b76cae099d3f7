#include "client/standin.h"

#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "client/answers.h"
#include "client/observe.h"
#include "client/outage.h"
#include "log/log.h"

namespace {

enum Limit : std::uint8_t { kOff = 1, kPerOutage = 2, kPerDay = 4, kMinutes = 8 };

struct LimitText {
  Limit limit;
  const char* name;    // in the WARNING
  const char* reason;  // the error answer's F51
};
constexpr LimitText kLimits[] = {
    {kOff, "ZELCLIENT_STANDIN=off", "Pre-autorizacion local deshabilitada"},
    {kPerOutage, "ZELCLIENT_STANDIN_MAX_PER_OUTAGE", "Limite de pre-autorizaciones de la caida"},
    {kPerDay, "ZELCLIENT_STANDIN_MAX_PER_DAY", "Limite diario de pre-autorizaciones"},
    {kMinutes, "ZELCLIENT_STANDIN_MAX_MINUTES", "Caida del gateway demasiado larga"},
};

// A whole number from 0 up; -1 (with a WARNING) for anything else; fallback when unset.
int env_count(const char* name, int fallback) {
  const char* value = std::getenv(name);
  if (value == nullptr) return fallback;
  char* end = nullptr;
  const long n = std::strtol(value, &end, 10);
  if (end == value || *end != '\0' || n < 0 || n > 1000000000) {
    LOG_Print(LOG_CLI_WARNING, "ZELClient_Init valor invalido %s=[%s], no se usa", name, value);
    return fallback;
  }
  return static_cast<int>(n);
}

// The first limit that keeps a stand-in answer from being given, or 0.
Limit reached(const ZELClient& client) {
  const StandIn& s = client.standin;
  const Outage& o = client.outage;
  if (s.off) return kOff;
  if (s.maxPerOutage >= 0 && o.outageSince != 0 &&
      o.local >= static_cast<std::uint64_t>(s.maxPerOutage)) {
    return kPerOutage;
  }
  if (s.maxPerDay >= 0 && zc::outage_today(client) >= static_cast<std::uint64_t>(s.maxPerDay)) {
    return kPerDay;
  }
  if (s.maxMinutes >= 0 && o.outageSince != 0 &&
      client.clock() - o.outageSince > static_cast<std::time_t>(s.maxMinutes) * 60) {
    return kMinutes;
  }
  return Limit{};
}

}  // namespace

void zc::standin_start(ZELClient& client) {
  StandIn& s = client.standin;
  const char* mode = std::getenv("ZELCLIENT_STANDIN");
  s.off = mode != nullptr && std::strcmp(mode, "off") == 0;
  if (mode != nullptr && !s.off && std::strcmp(mode, "on") != 0) {
    LOG_Print(LOG_CLI_WARNING, "ZELClient_Init valor invalido ZELCLIENT_STANDIN=[%s], no se usa",
              mode);
  }
  s.maxPerOutage = env_count("ZELCLIENT_STANDIN_MAX_PER_OUTAGE", -1);
  s.maxPerDay = env_count("ZELCLIENT_STANDIN_MAX_PER_DAY", -1);
  s.maxMinutes = env_count("ZELCLIENT_STANDIN_MAX_MINUTES", -1);
  s.retrySeconds = env_count("ZELCLIENT_GATEWAY_RETRY_S", 0);
}

void zc::standin_exchange(ZELClient& client, bool replied, std::int16_t reachable) {
  StandIn& s = client.standin;
  if (replied) {
    s.warned = 0;
    return;
  }
  s.reachable = reachable;
}

Decision::Kind zc::stand_in(ZELClient& client, int index, std::int16_t flag, Cause cause) {
  StandIn& s = client.standin;
  const Limit limit = reached(client);
  if (limit != Limit{}) {
    for (const LimitText& l : kLimits) {
      if (l.limit != limit) continue;
      if ((s.warned & limit) == 0) {
        zel::Text<160> text;
        text.format(
            "ZELClient_Process limite de pre-autorizaciones locales alcanzado (%s): se responde "
            "con error",
            l.name);
        zc::observe_warning(zc::Event::StandInLimit, text.c_str());
        s.warned |= limit;
      }
      return ZELClient_GenErrorResponse(client, index, "ND", l.reason);
    }
  }
  const Decision::Kind given = ZELClient_GenAutoResponse(client, index, flag, cause);
  if (given == Decision::Kind::Local) zc::outage_local(client);
  return given;
}
