#include "client/loop.h"

#include <cstdio>

#include "client/gateway.h"
#include "client/init.h"
#include "client/journal.h"
#include "client/lifecycle.h"
#include "client/lifesignal.h"
#include "client/observe.h"
#include "client/outcomes.h"
#include "client/termfiles.h"
#include "fileutil/dirwait.h"
#include "fileutil/path.h"
#include "log/log.h"
#include "platform/service.h"
#include "socket/socket.h"

namespace {

constexpr const char* kStopFile = "ZELCLIENTSTOP.tmp";

// What a turn of the loop does. A pass sends the life signal when it is due,
// looks for the stop file and visits every terminal; it comes at a change in the
// root tree and at the wait time-out, and once at start. The visits alone come
// when a terminal asked for one (a file held, an answer waiting) or a worker is
// free again: the service's own timers, which neither send a life signal nor
// look for the stop file.
enum class Turn {
  First,    // the start: a pass, then the watch is set up
  Catchup,  // right after the watch is set up: what came meanwhile, without a life signal
  Pass,
  Visits,
  Lost,  // another service took the root
};

// While the root cannot be watched (missing, at start or later) it is looked for
// again this often, instead of after the whole wait time-out.
constexpr std::uint32_t kLookAgainMs = 1000;
constexpr std::uint32_t kForever = 0xFFFFFFFF;

std::uint32_t change_filter(std::int16_t watchMode) {
  switch (watchMode) {
    case 1:
      return kChangeFileName;
    case 2:
      return kChangeFileName | kChangeLastWrite;
    case 3:
      return kChangeFileName | kChangeAttributes | kChangeLastWrite;
    default:
      return kChangeLastWrite;
  }
}

bool stop_signalled(const ZELClient& client) {
  return client.stopSignal != nullptr && client.stopSignal->load();
}

// While the gateway is down and no life signal goes (no journal), it is looked for
// at the life signal's period all the same: a connection opened and closed, as
// the reachability probe does, so that its coming back is known before a request.
void look_for_gateway(ZELClient& client) {
  const int period = client.config.lifePeriod;
  if (client.outage.gateway != Outage::Gateway::Down || period == -1 ||
      client.clock() - client.lifeTimer < period) {
    return;
  }
  client.lifeTimer = client.clock();
  GatewayReach reach;
  const int id = zc::gateway_connect(client, client.links.lastAnswered.load(), reach);
  if (id != -1) SOCKET_Close(id, 2);
  zc::gateway_reached(client, reach, id != -1);
  if (id != -1) zc::observe_gateway(client, zc::Contact::Reached);
}

// Sends a life signal when the journal exists and the period has passed. The
// signal's sender name is kept for every packet framed after it. What it finds
// of the gateway (reached or not) is the gateway's state, as an exchange's is.
void life_signal_step(ZELClient& client, std::time_t start) {
  const std::time_t now = client.clock();
  const int period = client.config.lifePeriod;
  const bool due = period != -1 && now - client.lifeTimer >= period;
  // The journal is looked for when its answer can matter: a life signal or a look
  // for the gateway due, or the DEBUG line of a pass with a journal.
  if (!due && !LOG_Enabled(LOG_CLI_DEBUG)) return;
  if (!zc::journal_exists(client)) return look_for_gateway(client);
  LOG_Print(LOG_CLI_DEBUG, "ZELClient_Process transcurrieron %d segundos",
            static_cast<int>(now - start));
  if (due) {
    LOG_Print(LOG_CLI_INFO,
              "ZELClient_Process enviando se\xF1"
              "al de vida");
    std::printf(
        "Eviando se\xF1"
        "al de vida desde el client\n");
    std::fflush(stdout);
    const bool sent = ZELClient_EnviarMensaje_de_vida(client, kLifeSender);
    client.sender.assign(kLifeSender);
    client.lifeTimer = client.clock();
    zc::observe_gateway(client, sent ? zc::Contact::Reached : zc::Contact::Failed);
  }
}

// True when the stop file was found and deleted. Every terminal may write in the
// root, but only the service's own account or an administrator may stop it: a
// stop file of anyone else's (or one that is no regular file, a link to some
// file) is removed, with one WARNING naming its owner.
bool stop_requested(ZELClient& client) {
  Path stop;
  FILE_MakePath(stop, {client.config.rootPath.c_str(), kStopFile});
  if (client.files->exists(stop.c_str()) != plat::Status::Ok) return false;
  char owner[300] = "";
  if (plat::file_owner(stop.c_str(), owner, sizeof owner) != plat::Owner::Trusted) {
    const plat::Status removed = client.files->remove(stop.c_str());
    if (!client.stopRefusedLogged) {
      LOG_Print(LOG_CLI_WARNING,
                "ZELClient_Process archivo de stop de [%s], que no puede detener el servicio: %s",
                owner, removed == plat::Status::Ok ? "se borra" : "no se pudo borrar");
    }
    client.stopRefusedLogged = removed != plat::Status::Ok;
    return false;
  }
  client.stopRefusedLogged = false;
  LOG_Print(LOG_CLI_WARNING, "ZELClient_Process encontro archivo de stop. Saliendo...");
  const plat::Status removed = client.files->remove(stop.c_str());
  if (removed == plat::Status::Ok) return true;
  zc::log_delete_failure("ZELClient_Process", kStopFile, removed);
  return false;
}

// The end of the run, by the stop file or a signal: the exchanges in flight end
// within their bounds and their answers are decided; an answer that still waits
// for the root is kept in the working folder for the next start.
int end_run(ZELClient& client) {
  zc::observe_run(client, Observed::Run::Stopping);
  zc::observe_flush(client);
  zc::finish_exchanges(client);
  for (int i = 0; i < client.config.terminalCount; ++i) {
    const TerminalState& state = client.terminals[i];
    if (state.phase != Phase::Unwritten) continue;
    LOG_Print(LOG_CLI_WARNING, "ZELClient_Process la respuesta de [%s] sigue esperando: %s",
              client.config.terminals[i].c_str(),
              state.recorded == Recorded::Decided
                  ? "guardada en zelencurso.dat, se publica al volver a empezar"
                  : "no se pudo guardar, se pierde");
  }
  LOG_Print(LOG_CLI_DEBUG, "ZELClient_Process Exit");
  return 0;
}

// The terminals in table order, each at most one request; none is begun once a
// stop is asked for.
void visit_terminals(ZELClient& client) {
  client.slotWanted = false;
  for (int i = 0; i < client.config.terminalCount && !stop_signalled(client); ++i) {
    // With several exchanges in flight, each line tells whose it is.
    if (client.config.concurrency > 1) LOG_SetTag(client.config.terminals[i].c_str());
    zc::process_terminal(client, i);
  }
  LOG_SetTag(nullptr);
}

// The watch on the root directory, kept on the directory that the root path
// names: one that was removed, moved away, covered by a mount, or replaced is
// left, and the watch set up again on the one there now, whose lock is taken.
struct RootWatch {
  bool armed = false;
  bool missingLogged = false;  // the watch cannot be set up, and this was logged
};

// Before a pass: keeps the watch on the directory the root path names, or tries
// to set it up again while it cannot be. false when another service has taken the
// root meanwhile.
bool follow_root(ZELClient& client, RootWatch& watch) {
  const char* root = client.config.rootPath.c_str();
  if (watch.armed && FILE_DirWaitFollows()) return true;
  if (watch.armed) {
    LOG_Print(LOG_CLI_WARNING,
              "ZELClient_Process la carpeta [%s] ya no es la vigilada, se vigila de nuevo", root);
    FILE_DirWaitEnd();
    watch.armed = false;
  }
  if (!FILE_DirWaitAgain(root, change_filter(client.config.watchMode))) {
    zc::observe_run(client, Observed::Run::WaitingRoot);
    if (!watch.missingLogged) {
      LOG_Print(LOG_CLI_WARNING,
                "ZELClient_Process no se puede vigilar la carpeta [%s], se busca cada segundo",
                root);
      watch.missingLogged = true;
    }
    return true;
  }
  LOG_Print(LOG_CLI_INFO, "ZELClient_Process vigilando la carpeta [%s]", root);
  watch.armed = true;
  watch.missingLogged = false;
  if (client.observed.run != Observed::Run::Ready) zc::observe_run(client, Observed::Run::Ready);
  return zc::lock_root(client);
}

// While the root cannot be watched: it is looked for every second, and the next
// pass comes once it is there, or when the wait time-out has passed as a wait's
// would (so that the life signal keeps its rhythm).
Turn wait_for_root(ZELClient& client, RootWatch& watch, std::uint32_t timeoutMs) {
  const std::int64_t deadline = plat::monotonic_ms() + timeoutMs;
  for (;;) {
    if (!follow_root(client, watch)) return Turn::Lost;
    if (watch.armed || plat::monotonic_ms() >= deadline) return Turn::Pass;
    zc::observe_flush(client);  // the state file says so from the first moment
    plat::wake_sleep(timeoutMs < kLookAgainMs ? timeoutMs : kLookAgainMs);
    if (stop_signalled(client)) return Turn::Visits;
  }
}

// Waits for a change in the root tree, the time-out, the next visit a terminal
// asked for (visitMs, 0: none), a stop, or a worker's wake-up: its exchange is
// decided at once, and needs no pass. Meanwhile the operator's files are written
// when due and the watchdog is fed, with shorter waits of their own.
Turn wait_for_change(ZELClient& client, std::uint32_t timeoutMs, std::uint32_t visitMs,
                     std::uint32_t watchdogMs) {
  std::int64_t now = plat::monotonic_ms();
  const std::int64_t deadline = now + timeoutMs;
  std::int64_t visitAt = visitMs != 0 ? now + visitMs : -1;
  for (;;) {
    const std::uint32_t due = zc::observe_flush(client);
    if (watchdogMs != 0) plat::service_notify(plat::Notify::Watchdog, nullptr);
    now = plat::monotonic_ms();
    std::uint32_t wait = timeoutMs == kForever ? kForever
                         : deadline > now      ? static_cast<std::uint32_t>(deadline - now)
                                               : 0;
    if (visitAt >= 0 && visitAt - now < wait) {
      wait = visitAt > now ? static_cast<std::uint32_t>(visitAt - now) : 0;
    }
    if (due != 0 && due < wait) wait = due;
    if (watchdogMs != 0 && watchdogMs / 2 < wait) wait = watchdogMs / 2;
    switch (FILE_DirWaitNext(wait)) {
      case DirWait::Changed:
        return Turn::Pass;
      case DirWait::Failed:
        plat::wake_sleep(timeoutMs < kLookAgainMs ? timeoutMs : kLookAgainMs);
        return Turn::Pass;
      case DirWait::Woken: {
        if (stop_signalled(client)) return Turn::Visits;
        zc::collect_exchanges(client);
        if (client.slotWanted) return Turn::Visits;
        const std::uint32_t v = zc::next_visit(client);
        visitAt = v != 0 ? plat::monotonic_ms() + v : -1;
        break;
      }
      case DirWait::TimedOut:
        now = plat::monotonic_ms();
        if (timeoutMs != kForever && now >= deadline) return Turn::Pass;
        if (visitAt >= 0 && now >= visitAt) return Turn::Visits;
        break;
    }
  }
}

}  // namespace

int ZELClient_Process(ZELClient& client) {
  LOG_Print(LOG_CLI_INFO, "ZELClient_Process Entry");
  plat::wake_open();  // workers, a stop signal and a service's stop request wake the waits
  plat::dirwatch_own(zc::own_change);
  const std::time_t start = client.clock();
  client.lifeTimer = client.clock();
  RootWatch watch;
  const auto waitTimeout = static_cast<std::uint32_t>(client.config.waitTimeout);
  const std::uint32_t watchdogMs = plat::service_watchdog_ms();

  Turn turn = Turn::First;
  for (;;) {
    // Each pass serves the directory the root path names now, under its lock.
    if ((turn == Turn::Pass && !follow_root(client, watch)) || turn == Turn::Lost) {
      zc::finish_exchanges(client);
      return -1;
    }
    if (turn == Turn::First || turn == Turn::Pass) life_signal_step(client, start);
    if (turn != Turn::Visits && stop_requested(client)) return end_run(client);
    zc::collect_exchanges(client);
    visit_terminals(client);
    if (stop_signalled(client)) {
      LOG_Print(LOG_CLI_WARNING, "ZELClient_Process se pidio detener el servicio. Saliendo...");
      return end_run(client);
    }
    if (turn == Turn::First) {
      // The watch is set up after the first pass and a catch-up follows at once:
      // a request dropped between the two would otherwise wait for the next
      // change or the whole time-out.
      watch.armed = FILE_DirWaitFirst(client.config.rootPath.c_str(), 0,
                                      change_filter(client.config.watchMode)) != DirWait::Failed;
      if (watch.armed) zc::observe_run(client, Observed::Run::Ready);
      if (!watch.armed) LOG_Print(LOG_CLI_ERROR, "ZELClient_Process FILE_DirWaitFirst");
      turn = Turn::Catchup;
      continue;
    }
    turn = watch.armed ? wait_for_change(client, waitTimeout, zc::next_visit(client), watchdogMs)
                       : wait_for_root(client, watch, waitTimeout);
  }
}
