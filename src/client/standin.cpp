#include "client/standin.h"

#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "client/answers.h"
#include "fileutil/textfile.h"
#include "log/log.h"

namespace {

constexpr const char* kRecordFile = "zelstandin.txt";

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

bool limited(const StandIn& s) {
  return s.off || s.maxPerOutage >= 0 || s.maxPerDay >= 0 || s.maxMinutes >= 0;
}

int today(const ZELClient& client) {
  std::tm local{};
  if (!plat::local_time(client.clock(), &local)) return 0;
  return (local.tm_year + 1900) * 10000 + (local.tm_mon + 1) * 100 + local.tm_mday;
}

void save(ZELClient& client) {
  const StandIn& s = client.standin;
  if (!limited(s)) return;
  zel::Text<128> text;
  text.format("dia=%d\ncuenta_dia=%" PRIu64 "\ncaida_desde=%lld\n", s.day, s.dayCount,
              static_cast<long long>(s.downSince));
  const plat::Status st = FILE_ReplaceText(*client.files, kRecordFile, text.view());
  if (st != plat::Status::Ok) {
    LOG_Print(LOG_CLI_ERROR, "ZELClient_Process no pudo guardar %s", kRecordFile);
  }
}

// The value of key in the record's text, or 0.
long long record_value(const char* text, const char* key) {
  const char* at = std::strstr(text, key);
  return at != nullptr ? std::atoll(at + std::strlen(key)) : 0;
}

// The first limit that keeps a stand-in answer from being given, or 0.
Limit reached(ZELClient& client) {
  StandIn& s = client.standin;
  const int day = today(client);
  if (day != s.day) {
    s.day = day;
    s.dayCount = 0;
  }
  if (s.off) return kOff;
  if (s.maxPerOutage >= 0 && s.outageCount >= static_cast<std::uint64_t>(s.maxPerOutage)) {
    return kPerOutage;
  }
  if (s.maxPerDay >= 0 && s.dayCount >= static_cast<std::uint64_t>(s.maxPerDay)) return kPerDay;
  if (s.maxMinutes >= 0 && s.downSince != 0 &&
      client.clock() - s.downSince > static_cast<std::time_t>(s.maxMinutes) * 60) {
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
  s.day = today(client);
  char raw[256] = {};
  bool whole = false;
  if (limited(s) && FILE_ReadRaw(*client.files, kRecordFile, raw, sizeof raw - 1, &whole) > 0) {
    if (record_value(raw, "dia=") == s.day) {
      s.dayCount = static_cast<std::uint64_t>(record_value(raw, "cuenta_dia="));
    }
    s.downSince = static_cast<std::time_t>(record_value(raw, "caida_desde="));
  }
}

bool zc::gateway_known_down(const ZELClient& client) {
  const StandIn& s = client.standin;
  return s.retrySeconds > 0 && s.failedAtMs >= 0 &&
         plat::monotonic_ms() - s.failedAtMs < static_cast<std::int64_t>(s.retrySeconds) * 1000;
}

void zc::standin_exchange(ZELClient& client, bool replied, std::int16_t reachable) {
  StandIn& s = client.standin;
  if (replied) {
    s.failedAtMs = -1;
    s.outageCount = 0;
    s.warned = 0;
    if (s.downSince != 0) {
      s.downSince = 0;
      save(client);
    }
    return;
  }
  s.failedAtMs = plat::monotonic_ms();
  s.reachable = reachable;
  if (s.downSince == 0) {
    s.downSince = client.clock();
    save(client);
  }
}

Decision::Kind zc::stand_in(ZELClient& client, int index, std::int16_t flag, Cause cause) {
  StandIn& s = client.standin;
  const Limit limit = reached(client);
  if (limit != Limit{}) {
    for (const LimitText& l : kLimits) {
      if (l.limit != limit) continue;
      if ((s.warned & limit) == 0) {
        LOG_Print(LOG_CLI_WARNING,
                  "ZELClient_Process limite de pre-autorizaciones locales alcanzado (%s): se "
                  "responde con error",
                  l.name);
        s.warned |= limit;
      }
      return ZELClient_GenErrorResponse(client, index, "ND", l.reason);
    }
  }
  const Decision::Kind given = ZELClient_GenAutoResponse(client, index, flag, cause);
  if (given == Decision::Kind::Local) {
    ++s.outageCount;
    ++s.dayCount;
    save(client);
  }
  return given;
}
