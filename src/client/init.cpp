#include "client/init.h"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client/config.h"
#include "common/number.h"
#include "log/log.h"
#include "socket/socket.h"

namespace {

constexpr const char* kOptions = "g:l:n:r:t:w:b:T:c:L:p:F:o:";
// getopt_long with no long options reads like GNU getopt on every platform,
// argument permutation included: MinGW's plain getopt stops at the first argument
// that is not an option, its getopt_long goes on past it.
constexpr option kNoLongOptions[] = {{nullptr, 0, nullptr, 0}};

int next_option(int argc, char** argv) {
  return getopt_long(argc, argv, kOptions, kNoLongOptions, nullptr);
}

// -g host or host:port. A host longer than the socket layer can connect to
// refuses the option: accepted, it would send every request to a local answer.
bool apply_gateway(const char* arg) {
  const char* colon = std::strchr(arg, ':');
  const std::size_t hostLen = colon ? static_cast<std::size_t>(colon - arg) : std::strlen(arg);
  if (hostLen > static_cast<std::size_t>(kHostMax)) return false;
  g_config.gatewayHost.assign(std::string_view(arg, hostLen));
  if (colon == nullptr) return true;
  g_config.gatewayPort = zel::to_int(colon + 1);
  return true;
}

// -t t1,t2,...: every piece, empty ones included, from entry 0. More than the
// table holds, or a name over its field, refuses the option.
bool apply_terminals(const char* arg) {
  std::uint16_t count = 0;
  const char* piece = arg;
  for (;;) {
    const char* comma = std::strchr(piece, ',');
    const std::size_t len = comma ? static_cast<std::size_t>(comma - piece) : std::strlen(piece);
    if (count == kMaxTerminals || len > zel::Text<15>::capacity()) return false;
    g_config.terminals[count].clear();
    g_config.terminals[count].assign(std::string_view(piece, len));
    ++count;
    if (comma == nullptr) break;
    piece = comma + 1;
  }
  g_config.terminalCount = count;
  return true;
}

// Applies one option; false is a rejection.
bool apply_option(int letter, char* arg) {
  switch (letter) {
    case 'g':
      return apply_gateway(arg);
    case 'l':
      LOG_Open(1, 1, arg);
      return true;
    case 'n':
      g_config.name.clear();
      return g_config.name.assign(arg);
    case 'r':
      return g_config.rootPath.assign(arg);
    case 't':
      return apply_terminals(arg);
    case 'w':
      g_config.watchMode = static_cast<std::int16_t>(zel::to_int(arg));
      return true;
    case 'T':
      g_config.waitTimeout = zel::to_int(arg);
      return true;
    case 'c':
      g_config.troquelLimit = zel::to_int(arg);
      return true;
    case 'L':
      g_config.fixedLayout = zel::to_int(arg) == 1 ? 1 : 0;
      return true;
    case 'p':
      g_config.lifePeriod = zel::to_int(arg);
      return true;
    case 'F':
      return g_config.pharmacyId.assign(arg);
    default:  // 'b', 'o' (reserved) and '?' (unknown letter, missing argument)
      return false;
  }
}

void reset_config() {
  g_config.name.clear();
  g_config.rootPath.clear();
  g_config.gatewayHost.assign("localhost");
  for (auto& terminal : g_config.terminals) terminal.data()[0] = '\0';
  g_config.watchMode = 0;
  g_config.waitTimeout = 21600000;
}

void log_configuration() {
  const char* pad = "                            ";
  LOG_Print(LOG_CLI_INFO, "Inicializado con parametros: ");
  LOG_Print(LOG_CLI_INFO, "%sName=[%s] ", pad, g_config.name.c_str());
  LOG_Print(LOG_CLI_INFO, "%sHostGateway=[%s] ", pad, g_config.gatewayHost.c_str());
  LOG_Print(LOG_CLI_INFO, "%sPortGateway=[%d] ", pad, g_config.gatewayPort);
  LOG_Print(LOG_CLI_INFO, "%sRootPath=[%s] ", pad, g_config.rootPath.c_str());
  for (int i = 0; i < g_config.terminalCount; ++i) {
    LOG_Print(LOG_CLI_INFO, "%sTerminals[%d]=[%s] ", pad, i, g_config.terminals[i].c_str());
  }
  LOG_Print(LOG_CLI_INFO, "%sWaitTimeout=[%d] ", pad, g_config.waitTimeout);
}

}  // namespace

int ZELClient_Init(int argc, char** argv) {
  reset_config();
  optind = 0;  // GNU: restart the scan from the first argument

  bool rejected = false;
  int letter;
  while ((letter = next_option(argc, argv)) != -1) {
    if (!apply_option(letter, optarg)) {
      rejected = true;
      next_option(argc, argv);  // one more fetch, so getopt may report it
      break;
    }
  }

  if (rejected || g_config.name.empty() || g_config.rootPath.empty()) return -1;

  log_configuration();
  if (SOCKET_Init(nullptr) != 0) {
    // The service runs on, answering every request locally: say why, loudly.
    std::fprintf(stderr, "zelclient: %s; las recetas se responderan localmente\n",
                 SOCKET_InitError());
  }
  return 0;
}
