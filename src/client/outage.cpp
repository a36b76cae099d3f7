#include "client/outage.h"

#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "client/outcomes.h"
#include "fileutil/textfile.h"
#include "log/log.h"

namespace {

constexpr const char* kRecordFile = "zelstandin.txt";

int today(const ZELClient& client) {
  std::tm local{};
  if (!plat::local_time(client.clock(), &local)) return 0;
  return (local.tm_year + 1900) * 10000 + (local.tm_mon + 1) * 100 + local.tm_mday;
}

const char* gateway_text(Outage::Gateway g) {
  return g == Outage::Gateway::Up ? "up" : g == Outage::Gateway::Down ? "down" : "unknown";
}

// The day's entry, made in place of the oldest day when every entry is taken.
Outage::Day& day_of(Outage& o, int day) {
  Outage::Day* oldest = &o.days[0];
  for (Outage::Day& d : o.days) {
    if (d.day == day) return d;
    if (d.day < oldest->day) oldest = &d;
  }
  *oldest = Outage::Day{day, 0};
  return *oldest;
}

// One "key=value" line of the record; dias= lists "yyyymmdd:count" pairs.
void read_line(Outage& o, const char* key, const char* value) {
  const long long n = std::atoll(value);
  if (std::strcmp(key, "gateway") == 0) {
    o.gateway = std::strncmp(value, "up", 2) == 0     ? Outage::Gateway::Up
                : std::strncmp(value, "down", 4) == 0 ? Outage::Gateway::Down
                                                      : Outage::Gateway::Unknown;
  } else if (std::strcmp(key, "gateway_desde") == 0) {
    o.since = static_cast<std::time_t>(n);
  } else if (std::strcmp(key, "locales_caida") == 0 && n > 0) {
    o.local = static_cast<std::uint64_t>(n);
  } else if (std::strcmp(key, "dias") == 0) {
    for (const char* p = value; *p != '\0' && *p != '\r';) {
      char* end = nullptr;
      const long d = std::strtol(p, &end, 10);
      if (end == p || *end != ':') break;
      const long long count = std::strtoll(end + 1, &end, 10);
      if (d > 0 && count > 0)
        day_of(o, static_cast<int>(d)).count = static_cast<std::uint64_t>(count);
      p = *end == ',' ? end + 1 : end;
      if (*end != ',') break;
    }
  }
}

void save(ZELClient& client) {
  const Outage& o = client.outage;
  const int day = today(client);
  zel::Text<512> text;
  // caida_desde, dia and cuenta_dia as earlier versions wrote them.
  bool ok = text.format("gateway=%s\ngateway_desde=%lld\nlocales_caida=%" PRIu64
                        "\ncaida_desde=%lld\ndia=%d\ncuenta_dia=%" PRIu64 "\ndias=",
                        gateway_text(o.gateway), static_cast<long long>(o.since), o.local,
                        static_cast<long long>(o.outageSince), day, zc::outage_today(client));
  const char* comma = "";
  for (const Outage::Day& d : o.days) {
    if (d.day == 0) continue;
    ok = ok && text.appendf("%s%d:%" PRIu64, comma, d.day, d.count);
    comma = ",";
  }
  ok = ok && text.append('\n');
  const plat::Status s =
      ok ? FILE_ReplaceText(*client.files, kRecordFile, text.view()) : plat::Status::Invalid;
  if (s != plat::Status::Ok) {
    LOG_Print(LOG_CLI_ERROR, "ZELClient_Process no pudo guardar %s: %s", kRecordFile,
              zc::status_text(s));
  }
}

}  // namespace

void zc::outage_start(ZELClient& client) {
  Outage& o = client.outage;
  o = Outage{};
  char raw[768];
  bool whole = false;
  const long n = FILE_ReadRaw(*client.files, kRecordFile, raw, sizeof raw - 1, &whole);
  if (n <= 0) return;
  raw[n] = '\0';
  long long legacyDown = 0, legacyDay = 0, legacyCount = 0;
  for (char* line = raw; *line != '\0';) {
    char* end = std::strchr(line, '\n');
    if (end != nullptr) *end = '\0';
    if (char* eq = std::strchr(line, '='); eq != nullptr) {
      *eq = '\0';
      read_line(o, line, eq + 1);
      if (std::strcmp(line, "caida_desde") == 0) legacyDown = std::atoll(eq + 1);
      if (std::strcmp(line, "dia") == 0) legacyDay = std::atoll(eq + 1);
      if (std::strcmp(line, "cuenta_dia") == 0) legacyCount = std::atoll(eq + 1);
    }
    if (end == nullptr) break;
    line = end + 1;
  }
  o.outageSince = static_cast<std::time_t>(legacyDown > 0 ? legacyDown : 0);
  // A record of an earlier version: its outage's start and its day's count.
  if (o.gateway == Outage::Gateway::Unknown && legacyDown > 0) {
    o.gateway = Outage::Gateway::Down;
    o.since = static_cast<std::time_t>(legacyDown);
  }
  if (legacyDay > 0 && legacyCount > 0 && day_of(o, static_cast<int>(legacyDay)).count == 0) {
    day_of(o, static_cast<int>(legacyDay)).count = static_cast<std::uint64_t>(legacyCount);
  }
}

bool zc::outage_contact(ZELClient& client, Contact contact, Outage* before) {
  Outage& o = client.outage;
  *before = o;
  const Outage::Gateway now =
      contact == Contact::Failed ? Outage::Gateway::Down : Outage::Gateway::Up;
  const bool turned = o.gateway != now;
  if (turned) {
    o.gateway = now;
    o.since = client.clock();
  }
  if (contact == Contact::Failed && o.outageSince == 0) o.outageSince = client.clock();
  if (contact == Contact::Answered) {
    o.outageSince = 0;
    o.local = 0;
  }
  if (turned || before->outageSince != o.outageSince) save(client);
  return turned;
}

void zc::outage_local(ZELClient& client) {
  Outage& o = client.outage;
  ++o.local;
  ++day_of(o, today(client)).count;
  save(client);
}

std::uint64_t zc::outage_today(const ZELClient& client) {
  const int day = today(client);
  for (const Outage::Day& d : client.outage.days) {
    if (d.day == day) return d.count;
  }
  return 0;
}

long long zc::outage_minutes(const ZELClient& client) {
  const Outage& o = client.outage;
  return o.outageSince != 0 ? static_cast<long long>(client.clock() - o.outageSince) / 60 : 0;
}
