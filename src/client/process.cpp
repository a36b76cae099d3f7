#include "client/process.h"

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "client/config.h"
#include "client/lifesignal.h"
#include "client/pipeline.h"
#include "fileutil/dirwait.h"
#include "fileutil/path.h"
#include "log/log.h"
#include "platform/platform.h"

namespace {

constexpr const char* kJournal = "zelautoresp.txt";

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

// Sends a life signal when the journal exists and the period has passed.
// Returns -1 only when the signal reports a failure.
int life_signal_step(std::time_t start, std::time_t* lifeTimer) {
  if (plat::file_access(kJournal, 0) != 0) return 0;
  const std::time_t now = std::time(nullptr);
  const std::time_t sinceLife = std::time(nullptr) - *lifeTimer;
  LOG_Print(LOG_CLI_DEBUG, "ZELClient_Process transcurrieron %d segundos",
            static_cast<int>(now - start));
  if (sinceLife >= g_config.lifePeriod && g_config.lifePeriod != -1) {
    LOG_Print(LOG_CLI_INFO,
              "ZELClient_Process enviando se\xF1"
              "al de vida");
    std::printf(
        "Eviando se\xF1"
        "al de vida desde el client\n");
    std::fflush(stdout);
    if (ZELClient_EnviarMensaje_de_vida() == -1) {
      LOG_Print(LOG_CLI_ERROR, "No se pudo enviar mensaje de vida ");
      return -1;
    }
    *lifeTimer = std::time(nullptr);
  }
  return 0;
}

// True when the stop file was found and deleted.
bool stop_requested() {
  zel::Text<256> stop;
  FILE_MakePath(stop, {g_config.rootPath.c_str(), "ZELCLIENTSTOP.tmp"});
  if (plat::file_access(stop.c_str(), 0) != 0) return false;
  LOG_Print(LOG_CLI_WARNING, "ZELClient_Process encontro archivo de stop. Saliendo...");
  if (plat::file_unlink(stop.c_str()) == 0) return true;
  if (errno == ENOENT) {
    LOG_Print(LOG_CLI_ERROR,
              "ZELClient_Process borrando archivo ZELCLIENTSTOP.tmp, ubicacion erronea");
  } else if (errno == EACCES) {
    LOG_Print(LOG_CLI_ERROR,
              "ZELClient_Process borrando archivo ZELCLIENTSTOP.tmp, no pudo accederlo");
  }
  return false;
}

}  // namespace

int ZELClient_Process() {
  LOG_Print(LOG_CLI_INFO, "ZELClient_Process Entry");
  const std::time_t start = std::time(nullptr);
  std::time_t lifeTimer = std::time(nullptr);
  bool firstWait = true;
  const auto waitTimeout = static_cast<std::uint32_t>(g_config.waitTimeout);
  std::uint32_t retryMs = 0;

  for (;;) {
    if (life_signal_step(start, &lifeTimer) == -1) return -1;
    if (stop_requested()) {
      LOG_Print(LOG_CLI_DEBUG, "ZELClient_Process Exit");
      return 0;
    }
    bool refused = false;
    for (int i = 0; i < g_config.terminalCount; ++i) {
      refused |= ZELClient_ProcessTerminal(i, g_config.terminals[i].c_str(), &lifeTimer);
    }
    retryMs = next_retry(retryMs, refused);
    const std::uint32_t timeout = retryMs != 0 && retryMs < waitTimeout ? retryMs : waitTimeout;
    if (firstWait) {
      // The first wait only sets the watch up and comes straight back: a request
      // dropped between the first pass and the watch would otherwise wait for the
      // next change or the whole time-out. Every later wait is a full one.
      if (FILE_DirWaitFirst(g_config.rootPath.c_str(), 0, change_filter(g_config.watchMode)) ==
          -1) {
        LOG_Print(LOG_CLI_ERROR, "ZELClient_Process FILE_DirWaitFirst");
        plat::sleep_ms(timeout);
      }
      firstWait = false;
    } else if (FILE_DirWaitNext(timeout) == -1) {
      plat::sleep_ms(timeout);
    }
  }
}
