// zelclient: relays prescription-authorisation requests from terminal files to
// the gateway and writes the answers back.
#include "client/exchange.h"
#include "client/init.h"
#include "client/loop.h"
#include "client/observe.h"
#include "client/probe.h"
#include "client/workdir.h"
#include "client/workers.h"
#include "fileutil/dirwait.h"
#include "log/log.h"
#include "platform/platform.h"
#include "platform/service.h"
#include "socket/socket.h"

namespace {

int run(int argc, char** argv) {
  static ZELClient client;  // the whole state of the run, fixed in size
  static std::atomic<bool> stopSignal{false};
  plat::process_setup();
  plat::on_reopen(LOG_ReopenFlag());  // SIGHUP: the log file was moved away
  plat::on_terminate(&stopSignal);    // SIGTERM, SIGINT: a stop as the stop file's
  client.stopSignal = &stopSignal;
  const int init = ZELClient_Init(client, argc, argv);
  if (init != 0) return init > 0 ? 0 : -1;  // 1: --help or --version
  static ExchangeWorkers workers;
  static ProbeBurst probes;
  zc::start_exchanges(client, workers, probes);
  plat::service_running(client.config.rootPath.c_str());
  const int result = ZELClient_Process(client);
  zc::observe_run(client, Observed::Run::Stopped);
  zc::observe_flush(client);
  plat::service_stopping();
  zc::stop_exchanges(client);
  LOG_Print(LOG_CLI_DEBUG, "ZELClient_Exit Entry");
  FILE_DirWaitEnd();
  zc::close_workdir(client);
  SOCKET_End();
  LOG_Close();
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  return plat::run_as_service_or_console(argc, argv, run);
}
