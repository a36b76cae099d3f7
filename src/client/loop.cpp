#include "client/loop.h"

#include <cstdio>

#include "client/init.h"
#include "client/journal.h"
#include "client/lifecycle.h"
#include "client/lifesignal.h"
#include "client/observe.h"
#include "client/outcomes.h"
#include "fileutil/dirwait.h"
#include "fileutil/path.h"
#include "log/log.h"
#include "platform/service.h"

namespace {

// A request file refused because another process held it is tried again soon,
// not only on the next change: the holder's close may be reported before the
// file is free, and then no further change would come for a whole time-out.
// The retry interval starts short and doubles while the file stays held.
constexpr std::uint32_t kRetryFirstMs = 10;
constexpr std::uint32_t kRetryMaxMs = 1000;

std::uint32_t next_retry(std::uint32_t retryMs, bool refused) {
  if (!refused) return 0;
  if (retryMs == 0) return kRetryFirstMs;
  return retryMs * 2 > kRetryMaxMs ? kRetryMaxMs : retryMs * 2;
}

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

// Sends a life signal when the journal exists and the period has passed. The
// signal's sender name is kept for every packet framed after it.
void life_signal_step(ZELClient& client, std::time_t start) {
  if (!zc::journal_exists(client)) return;
  const std::time_t now = client.clock();
  const std::time_t sinceLife = client.clock() - client.lifeTimer;
  LOG_Print(LOG_CLI_DEBUG, "ZELClient_Process transcurrieron %d segundos",
            static_cast<int>(now - start));
  const int period = client.config.lifePeriod;
  if (sinceLife >= period && period != -1) {
    LOG_Print(LOG_CLI_INFO,
              "ZELClient_Process enviando se\xF1"
              "al de vida");
    std::printf(
        "Eviando se\xF1"
        "al de vida desde el client\n");
    std::fflush(stdout);
    ZELClient_EnviarMensaje_de_vida(client, kLifeSender);
    client.sender.assign(kLifeSender);
    client.lifeTimer = client.clock();
  }
}

// True when the stop file was found and deleted.
bool stop_requested(ZELClient& client) {
  Path stop;
  FILE_MakePath(stop, {client.config.rootPath.c_str(), "ZELCLIENTSTOP.tmp"});
  if (client.files->exists(stop.c_str()) != plat::Status::Ok) return false;
  LOG_Print(LOG_CLI_WARNING, "ZELClient_Process encontro archivo de stop. Saliendo...");
  const plat::Status removed = client.files->remove(stop.c_str());
  if (removed == plat::Status::Ok) return true;
  zc::log_delete_failure("ZELClient_Process", "ZELCLIENTSTOP.tmp", removed);
  return false;
}

// While the root cannot be watched (missing, at start or later) it is looked for
// again this often, instead of after the whole wait time-out.
constexpr std::uint32_t kLookAgainMs = 1000;

// The watch on the root directory, kept on the directory that the root path
// names: one that was removed, moved away, covered by a mount, or replaced is
// left, and the watch set up again on the one there now, whose lock is taken.
struct RootWatch {
  bool armed = false;
  bool missingLogged = false;  // the watch cannot be set up, and this was logged
};

// Before a pass: keeps the watch on the directory the root path names, or tries
// to set it up again while it cannot be (the pass then comes after a short sleep:
// the service polls). false when another service has taken the root meanwhile.
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
  if (client.observed.run == Observed::Run::Starting) zc::observe_run(client, Observed::Run::Ready);
  return zc::lock_root(client);
}

// Waits for a change in the root tree, the time-out, or a worker's wake-up with
// an exchange that needs no pass (a terminal whose answer it is asks again with a
// change of its own). Meanwhile the operator's files are written when due and the
// watchdog is fed, with shorter waits of their own but no pass: the passes stay
// those of the changes and the time-out.
DirWait wait_for_change(ZELClient& client, std::uint32_t timeoutMs, std::uint32_t watchdogMs) {
  constexpr std::uint32_t kForever = 0xFFFFFFFF;
  const std::int64_t deadline = plat::monotonic_ms() + timeoutMs;
  for (;;) {
    const std::uint32_t due = zc::observe_flush(client);
    if (watchdogMs != 0) plat::service_notify(plat::Notify::Watchdog, nullptr);
    const std::int64_t now = plat::monotonic_ms();
    const std::uint32_t left = timeoutMs == kForever ? kForever
                               : deadline > now      ? static_cast<std::uint32_t>(deadline - now)
                                                     : 0;
    std::uint32_t wait = left;
    if (due != 0 && due < wait) wait = due;
    if (watchdogMs != 0 && watchdogMs / 2 < wait) wait = watchdogMs / 2;
    const DirWait woke = FILE_DirWaitNext(wait);
    if (woke == DirWait::Woken && !client.slotWanted && !zc::collect_exchanges(client)) continue;
    if (woke == DirWait::TimedOut && wait < left) continue;  // a bound of its own
    return woke;
  }
}

}  // namespace

int ZELClient_Process(ZELClient& client) {
  LOG_Print(LOG_CLI_INFO, "ZELClient_Process Entry");
  plat::wake_open();  // workers, and a service's stop request, wake the waits
  const std::time_t start = client.clock();
  client.lifeTimer = client.clock();
  bool firstWait = true;
  RootWatch watch;
  const auto waitTimeout = static_cast<std::uint32_t>(client.config.waitTimeout);
  const std::uint32_t watchdogMs = plat::service_watchdog_ms();
  std::uint32_t retryMs = 0;

  for (;;) {
    // Each pass serves the directory the root path names now, under its lock.
    if (!firstWait && !follow_root(client, watch)) {
      zc::finish_exchanges(client);
      return -1;
    }
    life_signal_step(client, start);
    if (stop_requested(client)) {
      zc::observe_run(client, Observed::Run::Stopping);
      zc::observe_flush(client);
      zc::finish_exchanges(client);
      LOG_Print(LOG_CLI_DEBUG, "ZELClient_Process Exit");
      return 0;
    }
    zc::collect_exchanges(client);
    client.slotWanted = false;
    bool refused = false;
    for (int i = 0; i < client.config.terminalCount; ++i) {
      // With several exchanges in flight, each line tells whose it is.
      if (client.config.concurrency > 1) LOG_SetTag(client.config.terminals[i].c_str());
      refused |= zc::process_terminal(client, i);
    }
    LOG_SetTag(nullptr);
    retryMs = next_retry(retryMs, refused);
    const std::uint32_t timeout = retryMs != 0 && retryMs < waitTimeout ? retryMs : waitTimeout;
    const std::uint32_t lookAgain = timeout < kLookAgainMs ? timeout : kLookAgainMs;
    if (firstWait) {
      // The first wait only sets the watch up and comes straight back: a request
      // dropped between the first pass and the watch would otherwise wait for the
      // next change or the whole time-out. Every later wait is a full one.
      firstWait = false;
      watch.armed = FILE_DirWaitFirst(client.config.rootPath.c_str(), 0,
                                      change_filter(client.config.watchMode)) != DirWait::Failed;
      if (watch.armed) zc::observe_run(client, Observed::Run::Ready);
      if (!watch.armed) LOG_Print(LOG_CLI_ERROR, "ZELClient_Process FILE_DirWaitFirst");
      continue;
    }
    if (!watch.armed) {
      plat::wake_sleep(lookAgain);
      continue;
    }
    if (wait_for_change(client, timeout, watchdogMs) == DirWait::Failed) {
      plat::wake_sleep(lookAgain);
    }
  }
}
