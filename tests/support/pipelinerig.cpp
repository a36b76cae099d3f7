#include "pipelinerig.h"

#include "client/answers.h"
#include "client/config.h"
#include "client/pipeline.h"
#include "client/probe.h"
#include "log/log.h"
#include "netsupport.h"
#include "platform/platform.h"
#include "socket/socket.h"

namespace zt {

namespace {

std::time_t g_fixedTime = 0;
std::time_t fixed_clock() {
  return g_fixedTime;
}

}  // namespace

PipelineRig::PipelineRig(int gatewayPort, int netTimeoutMs) {
  plat::process_setup();
  previousDir_ = fs::current_path();
  fs::current_path(work.path());
  requestFile = root / "caja1in.txt";
  answerFile = root / "caja1out.txt";

  const std::string probe = "127.0.0.1:" + std::to_string(closed_port());
  set_env("ZELCLIENT_PROBE_HOSTS", probe);
  set_env("ZELCLIENT_NET_TIMEOUT_MS", std::to_string(netTimeoutMs));
  set_env("ZELCLIENT_PROBE_TIMEOUT_MS", "300");
  SOCKET_Init(nullptr);
  ZELClient_LoadProbeHosts();
  ZELClient_ResetIssuedNumbers();

  g_config = ZELClientConfig{};
  g_config.name.assign("AB");
  g_config.gatewayHost.assign("127.0.0.1");
  g_config.gatewayPort = gatewayPort;
  g_config.rootPath.assign(root.str());
  g_config.terminals[0].assign("caja1");
  g_config.terminalCount = 1;
  logSpec_ = (work / "t.log").string() + ",1,300";
  std::string spec = logSpec_;
  LOG_Open(1, 300, spec.data());
}

PipelineRig::~PipelineRig() {
  LOG_Close();
  SOCKET_End();
  ZELClient_SetClock(nullptr);
  ZELClient_ResetIssuedNumbers();
  unset_env("ZELCLIENT_PROBE_HOSTS");
  unset_env("ZELCLIENT_NET_TIMEOUT_MS");
  unset_env("ZELCLIENT_PROBE_TIMEOUT_MS");
  ZELClient_LoadProbeHosts();
  fs::current_path(previousDir_);
}

std::string PipelineRig::run(const std::string& requestBytes) {
  write_file(requestFile, requestBytes);
  return run_in_place();
}

std::string PipelineRig::run_in_place() {
  std::time_t lifeTimer = 0;
  ZELClient_ProcessTerminal(0, "caja1", &lifeTimer);
  const std::string answer = read_file(answerFile);
  std::error_code ec;
  fs::remove(answerFile, ec);
  return answer;
}

std::vector<std::string> PipelineRig::take_lines() {
  LOG_Close();
  const fs::path path = work / "t.log";
  std::vector<std::string> lines = log_messages(read_file(path));
  std::error_code ec;
  fs::remove(path, ec);
  std::string spec = logSpec_;
  LOG_Open(1, 300, spec.data());
  return lines;
}

void PipelineRig::set_time(std::time_t t) {
  g_fixedTime = t;
  ZELClient_SetClock(fixed_clock);
}

std::time_t PipelineRig::local(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;
  return std::mktime(&t);
}

}  // namespace zt
