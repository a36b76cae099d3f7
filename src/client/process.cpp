// Placeholder loop until the request pipeline lands: polls for the stop file at
// the wait time-out.
#include "client/process.h"

#include <cerrno>

#include "client/config.h"
#include "fileutil/path.h"
#include "log/log.h"
#include "platform/platform.h"

int ZELClient_Process() {
  LOG_Print(LOG_CLI_INFO, "ZELClient_Process Entry");
  for (;;) {
    zel::Text<256> stop;
    FILE_MakePath(stop, {g_config.rootPath.c_str(), "ZELCLIENTSTOP.tmp"});
    if (plat::file_access(stop.c_str(), 0) == 0) {
      LOG_Print(LOG_CLI_WARNING, "ZELClient_Process encontro archivo de stop. Saliendo...");
      if (plat::file_unlink(stop.c_str()) == 0) {
        LOG_Print(LOG_CLI_DEBUG, "ZELClient_Process Exit");
        return 0;
      }
      if (errno == ENOENT) {
        LOG_Print(LOG_CLI_ERROR,
                  "ZELClient_Process borrando archivo ZELCLIENTSTOP.tmp, ubicacion erronea");
      } else if (errno == EACCES) {
        LOG_Print(LOG_CLI_ERROR,
                  "ZELClient_Process borrando archivo ZELCLIENTSTOP.tmp, no pudo accederlo");
      }
    }
    plat::sleep_ms(static_cast<std::uint32_t>(g_config.waitTimeout));
  }
}
