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

// A request held by another process is tried again after short pauses (1, 2, 4
// ... 1024 ms), even when no further change is signalled: on Linux the
// notification of a close can arrive a moment before the closing process has let
// go of the file, and a reader's close is no change at all. After the last pause
// the next change is awaited as usual, and it starts the series again.
constexpr int kHeldPauses = 11;

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
  const auto timeout = static_cast<std::uint32_t>(g_config.waitTimeout);
  int pauses = 0;  // short pauses in a row for a held request

  for (;;) {
    if (life_signal_step(start, &lifeTimer) == -1) return -1;
    if (stop_requested()) {
      LOG_Print(LOG_CLI_DEBUG, "ZELClient_Process Exit");
      return 0;
    }
    bool held = false;
    for (int i = 0; i < g_config.terminalCount; ++i) {
      if (ZELClient_ProcessTerminal(i, g_config.terminals[i].c_str(), &lifeTimer)) held = true;
    }
    std::uint32_t wait = timeout;
    if (held && pauses < kHeldPauses) {
      const std::uint32_t pause = 1u << pauses++;
      if (pause < wait) wait = pause;
    } else {
      pauses = 0;
    }
    if (firstWait) {
      if (FILE_DirWaitFirst(g_config.rootPath.c_str(), wait, change_filter(g_config.watchMode)) ==
          -1) {
        LOG_Print(LOG_CLI_ERROR, "ZELClient_Process FILE_DirWaitFirst");
        plat::sleep_ms(wait);
      }
      firstWait = false;
    } else if (FILE_DirWaitNext(wait) == -1) {
      plat::sleep_ms(wait);
    }
  }
}
