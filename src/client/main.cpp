// zelclient: relays prescription-authorisation requests from terminal files to
// the gateway and writes the answers back.
#include "client/init.h"
#include "client/loop.h"
#include "client/workers.h"
#include "fileutil/dirwait.h"
#include "log/log.h"
#include "platform/platform.h"
#include "socket/socket.h"

int main(int argc, char** argv) {
  static ZELClient client;  // the whole state of the run, fixed in size
  plat::process_setup();
  if (ZELClient_Init(client, argc, argv) != 0) return -1;
  static ExchangeWorkers workers;
  if (client.config.concurrency > 1 && workers.start(client, client.config.concurrency)) {
    client.workers = &workers;
  }
  const int result = ZELClient_Process(client);
  workers.stop();
  LOG_Print(LOG_CLI_DEBUG, "ZELClient_Exit Entry");
  FILE_DirWaitEnd();
  SOCKET_End();
  LOG_Close();
  return result;
}
