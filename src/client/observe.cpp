#include "client/observe.h"

#include <cinttypes>
#include <cstdlib>

#include "client/gateway.h"
#include "client/metrics.h"
#include "client/outage.h"
#include "fileutil/textfile.h"
#include "log/log.h"
#include "platform/service.h"

namespace {

constexpr const char* kStateFile = "zelclient.state";
// Counters alone are written at most this often.
constexpr std::int64_t kCountersEveryMs = 1000;
// And everything at least this often.
constexpr std::int64_t kAliveEveryMs = 60000;

using Stamp = zel::Text<19>;

// A time as the log writes it; "" for none.
Stamp stamp(std::time_t t) {
  Stamp out;
  std::tm local{};
  char text[20] = {};
  if (t != 0 && plat::local_time(t, &local)) {
    std::strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S", &local);
  }
  out.assign(text);
  return out;
}

void changed(ZELClient& client, bool urgent) {
  client.observed.dirty = true;
  client.observed.urgent |= urgent;
}

int answers_waiting(const ZELClient& client) {
  int n = 0;
  for (int i = 0; i < client.config.terminalCount; ++i) {
    const Phase p = client.terminals[i].phase;
    n += p == Phase::Unwritten || p == Phase::Unpublished || p == Phase::UnpublishedBusy;
  }
  return n;
}

int in_flight(const ZELClient& client) {
  int n = 0;
  for (int i = 0; i < client.config.terminalCount; ++i) {
    n += client.terminals[i].phase == Phase::InFlight;
  }
  return n;
}

const char* run_name(Observed::Run run) {
  return run == Observed::Run::Ready         ? "ready"
         : run == Observed::Run::WaitingRoot ? "waiting_root"
         : run == Observed::Run::Stopping    ? "stopping"
         : run == Observed::Run::Stopped     ? "stopped"
                                             : "starting";
}

const char* gateway_name(Outage::Gateway g) {
  return g == Outage::Gateway::Up ? "up" : g == Outage::Gateway::Down ? "down" : "unknown";
}

// The state file: key=value lines, in the Windows text format like every file
// the service writes for operators.
bool write_state(ZELClient& client, int waiting) {
  const Observed& o = client.observed;
  const Outage& g = client.outage;
  zel::Text<1024> text;
  const bool fits =
      text.format("version=%s\npid=%ld\nstate=%s\nroot=%s\nstarted=%s\nupdated=%s\n", ZEL_VERSION,
                  plat::process_id(), run_name(o.run), client.config.rootPath.c_str(),
                  stamp(o.startedAt).c_str(), stamp(client.clock()).c_str()) &&
      text.appendf("gateway=%s\ngateway_since=%s\ngateway_down_local=%" PRIu64 "\n",
                   gateway_name(g.gateway), stamp(g.since).c_str(),
                   g.gateway == Outage::Gateway::Down ? g.local : 0) &&
      text.appendf("gateway_address=%s\n",
                   g.gateway == Outage::Gateway::Up
                       ? zc::address_text(client.config, client.links.lastAnswered.load()).c_str()
                       : "") &&
      text.appendf("answered_gateway=%" PRIu64 "\nanswered_local=%" PRIu64
                   "\nanswered_error=%" PRIu64
                   "\nanswers_waiting=%d\nexchanges_in_flight=%d\n"
                   "not_delivered=%" PRIu64 "\nrefused=%" PRIu64 "\n",
                   o.answeredGateway, o.answeredLocal, o.answeredError, waiting, in_flight(client),
                   o.notDelivered, o.refused) &&
      text.appendf(
          "last_number=%s\nlast_number_year=%.4s\nlast_answer=%s\n"
          "journal_year=%d\njournal_lines=%" PRIu64 "\n",
          o.lastNumber.c_str(), o.lastNumber.empty() ? "" : o.lastNumber.c_str() + 1,
          stamp(o.lastAnswerAt).c_str(), o.journalYear, o.journalLines);
  const StandIn& s = client.standin;
  const bool standin =
      text.appendf("standin=%s\nstandin_outage=%" PRIu64
                   "\nstandin_outage_max=%d\n"
                   "standin_day=%" PRIu64
                   "\nstandin_day_max=%d\nstandin_down_minutes=%lld\n"
                   "standin_down_minutes_max=%d\n",
                   s.off ? "off" : "on", g.local, s.maxPerOutage, zc::outage_today(client),
                   s.maxPerDay, zc::outage_minutes(client), s.maxMinutes);
  return fits && standin &&
         FILE_ReplaceTextQuick(*client.files, kStateFile, text.view()) == plat::Status::Ok;
}

// The service manager's one-line status.
void notify_status(const ZELClient& client, int waiting) {
  const Observed& o = client.observed;
  const Outage::Gateway g = client.outage.gateway;
  zel::Text<255> status;
  status.format("gateway %s; %" PRIu64 " por el gateway, %" PRIu64 " locales, %" PRIu64
                " errores; %d en espera",
                g == Outage::Gateway::Down ? "sin respuesta"
                : g == Outage::Gateway::Up ? "en linea"
                                           : "sin datos",
                o.answeredGateway, o.answeredLocal, o.answeredError, waiting);
  plat::service_notify(plat::Notify::Status, status.c_str());
}

}  // namespace

void zc::observe_start(ZELClient& client) {
  client.observed.startedAt = client.clock();
  const char* instance = std::getenv("ZELCLIENT_INSTANCE");
  if (instance == nullptr || !client.config.instance.assign(instance)) {
    client.config.instance.assign(client.config.name.view());
  }
  const char* metrics = std::getenv("ZELCLIENT_METRICS_FILE");
  if (metrics != nullptr && !client.config.metricsFile.assign(metrics)) {
    LOG_Print(LOG_CLI_WARNING, "ZELClient_Init ZELCLIENT_METRICS_FILE demasiado largo, no se usa");
  }
  changed(client, true);
}

void zc::observe_run(ZELClient& client, Observed::Run run) {
  client.observed.run = run;
  changed(client, true);
  if (run == Observed::Run::Ready) plat::service_notify(plat::Notify::Ready, nullptr);
  if (run == Observed::Run::Stopping) plat::service_notify(plat::Notify::Stopping, nullptr);
}

void zc::observe_answer(ZELClient& client, const Decision& decision) {
  Observed& o = client.observed;
  o.lastAnswerAt = client.clock();
  if (decision.kind == Decision::Kind::Gateway) ++o.answeredGateway;
  if (decision.kind == Decision::Kind::Error) ++o.answeredError;
  if (decision.kind == Decision::Kind::Local) {
    ++o.answeredLocal;
    o.lastNumber = decision.number;
    if (decision.taken.year > o.journalYear) {
      o.journalYear = decision.taken.year;
      o.journalLines = 0;
    }
    if (decision.taken.year == o.journalYear) ++o.journalLines;
  }
  changed(client, false);
}

void zc::observe_exchange(ZELClient& client, bool replied, std::int64_t ms) {
  Observed& o = client.observed;
  const double seconds = static_cast<double>(ms) / 1000.0;
  int b = 0;
  while (b < kExchangeBuckets && seconds > kBucketBounds[b]) ++b;
  ++o.exchangeBuckets[b];
  o.exchangeSeconds += seconds;
  changed(client, false);
  zc::observe_gateway(client, replied ? Contact::Answered : Contact::Failed);
}

void zc::observe_gateway(ZELClient& client, Contact contact) {
  const std::time_t now = client.clock();
  if (contact == Contact::Answered) client.observed.lastGatewayAt = now;
  Outage before;
  if (!zc::outage_contact(client, contact, &before)) return;
  zel::Text<255> text;
  if (contact == Contact::Failed) {
    text.format("ZELClient_Process gateway sin respuesta desde %s, se responde localmente",
                stamp(now).c_str());
    // With several addresses, which were tried.
    for (int i = 0; i < client.config.addressCount && client.config.addressCount > 1; ++i) {
      text.appendf("%s[%s]", i == 0 ? " (sin respuesta en " : " ni en ",
                   zc::address_text(client.config, i).c_str());
      if (i + 1 == client.config.addressCount) text.append(')');
    }
    zc::observe_warning(Event::GatewayDown, text.c_str());
  } else if (before.gateway == Outage::Gateway::Down) {
    text.format("ZELClient_Process gateway responde de nuevo tras %lld segundos, con %" PRIu64
                " pre-autorizaciones locales entretanto",
                static_cast<long long>(now - before.since), before.local);
    if (client.config.addressCount > 1) {
      text.appendf(", en [%s]",
                   zc::address_text(client.config, client.links.lastAnswered.load()).c_str());
    }
    LOG_Print(LOG_CLI_WARNING, "%s", text.c_str());
    plat::service_event(false, static_cast<unsigned>(Event::GatewayUp), text.c_str());
  }
  changed(client, true);
}

void zc::observe_warning(Event id, const char* text) {
  LOG_Print(LOG_CLI_WARNING, "%s", text);
  plat::service_event(true, static_cast<unsigned>(id), text);
}

void zc::observe_discard(ZELClient& client) {
  ++client.observed.notDelivered;
  changed(client, false);
}

void zc::observe_refused(ZELClient& client) {
  ++client.observed.refused;
  changed(client, false);
}

std::uint32_t zc::observe_flush(ZELClient& client) {
  Observed& o = client.observed;
  const int waiting = answers_waiting(client);
  if (waiting != o.waitingWritten) changed(client, true);
  const std::int64_t now = plat::monotonic_ms();
  // A service that lives says so at least this often, changes or none, so that one
  // that does not (killed, hung) is seen: its files' time stops moving.
  if (o.writtenAtMs >= 0 && now - o.writtenAtMs >= kAliveEveryMs) changed(client, false);
  if (!o.dirty) {
    return o.writtenAtMs < 0 ? 0
                             : static_cast<std::uint32_t>(kAliveEveryMs - (now - o.writtenAtMs));
  }
  if (!o.urgent && o.writtenAtMs >= 0 && now - o.writtenAtMs < kCountersEveryMs) {
    return static_cast<std::uint32_t>(kCountersEveryMs - (now - o.writtenAtMs));
  }
  const bool written =
      write_state(client, waiting) && zc::write_metrics(client, waiting, in_flight(client));
  notify_status(client, waiting);
  if (!written && !o.writeFailed) {
    LOG_Print(LOG_CLI_WARNING, "ZELClient_Process no se pudo escribir el estado (%s o %s)",
              kStateFile,
              client.config.metricsFile.empty() ? "-" : client.config.metricsFile.c_str());
  }
  // A file that could not be replaced (held by a reader on Windows, a full disk)
  // is tried again a second later.
  o.writeFailed = !written;
  o.dirty = !written;
  o.urgent = false;
  o.writtenAtMs = now;
  o.waitingWritten = waiting;
  return written ? 0 : static_cast<std::uint32_t>(kCountersEveryMs);
}
