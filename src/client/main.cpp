// zelclient: relays prescription-authorisation requests from terminal files to
// the gateway and writes the answers back.
#include "client/config.h"
#include "client/init.h"
#include "client/process.h"
#include "fileutil/dirwait.h"
#include "log/log.h"
#include "platform/platform.h"
#include "platform/service.h"
#include "socket/socket.h"

namespace {

int run(int argc, char** argv) {
  plat::process_setup();
  if (ZELClient_Init(argc, argv) != 0) return -1;
  plat::service_running(g_config.rootPath.c_str());
  const int result = ZELClient_Process();
  plat::service_stopping();
  LOG_Print(LOG_CLI_DEBUG, "ZELClient_Exit Entry");
  FILE_DirWaitEnd();
  SOCKET_End();
  LOG_Close();
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  return plat::run_as_service_or_console(argc, argv, run);
}
