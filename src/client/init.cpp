#include "client/init.h"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client/gateway.h"
#include "client/inflight.h"
#include "client/observe.h"
#include "client/outage.h"
#include "client/probe.h"
#include "client/sequence.h"
#include "client/standin.h"
#include "client/workdir.h"
#include "common/number.h"
#include "fileutil/path.h"
#include "log/log.h"
#include "platform/service.h"

namespace {

constexpr const char* kOptions = "g:l:n:r:t:w:b:T:c:L:p:F:o:";
// getopt_long reads like GNU getopt on every platform, argument permutation
// included: MinGW's plain getopt stops at the first argument that is not an
// option, its getopt_long goes on past it. Its long options: --help, --version.
constexpr int kHelp = 1000, kVersion = 1001;
constexpr option kLongOptions[] = {{"help", no_argument, nullptr, kHelp},
                                   {"version", no_argument, nullptr, kVersion},
                                   {nullptr, 0, nullptr, 0}};

int next_option(int argc, char** argv) {
  return getopt_long(argc, argv, kOptions, kLongOptions, nullptr);
}

constexpr const char* kUsage =
    "usage: zelclient -n NAME -r ROOT [-g HOST[:PORT]] [-t T1,T2,...] [-l FILE[,MIN,MAX]]\n"
    "                 [-T MS] [-w MODE] [-c COUNT] [-p SECONDS] [-F ID] [-L 1]\n"
    "       zelclient --help | --version\n"
    "  Relays the prescription requests that terminals drop in ROOT to the gateway and\n"
    "  writes their answers back; see zelclient(1). -n: the client name (at most 4\n"
    "  characters); -r: the root directory (at most 128); -g: the gateway (localhost:8000);\n"
    "  -t: the terminals (at most 10, each at most 15 characters); -l: the log and its\n"
    "  level window; -T: the wait time-out in ms; -w: the change filter; -c: troqueles per\n"
    "  request; -p: the life-signal period in seconds (-1: none); -F: the pharmacy\n"
    "  identifier (at most 127); -L 1: answers in the fixed-width layout.\n";

// -g host or host:port; without a port the port keeps its value. A host longer
// than the socket layer can connect to, or a port outside 1..65535 (read by atoi
// rules, as every number here: "80x" is 80, "" and "x" are 0), refuses the
// option: accepted, either would send every request to a local answer.
const char* apply_gateway(ZELClientConfig& config, const char* arg) {
  config.gatewayTail = std::strchr(arg, ',') != nullptr;
  const char* colon = std::strchr(arg, ':');
  const std::size_t hostLen = colon ? static_cast<std::size_t>(colon - arg) : std::strlen(arg);
  if (!config.gatewayHost.assign(std::string_view(arg, hostLen))) {
    return "the host has at most 63 characters";
  }
  if (colon != nullptr) config.gatewayPort = zel::to_int(colon + 1);
  return config.gatewayPort >= kPortMin && config.gatewayPort <= kPortMax
             ? nullptr
             : "the port is a number from 1 to 65535";
}

// -t t1,t2,...: every piece, empty ones included, from entry 0. More than the
// table holds, or a name over its field, refuses the option.
const char* apply_terminals(ZELClientConfig& config, const char* arg) {
  std::uint16_t count = 0;
  const char* piece = arg;
  for (;;) {
    const char* comma = std::strchr(piece, ',');
    const std::size_t len = comma ? static_cast<std::size_t>(comma - piece) : std::strlen(piece);
    if (count == kMaxTerminals) return "at most 10 terminals";
    if (!config.terminals[count].assign(std::string_view(piece, len))) {
      return "a terminal name has at most 15 characters";
    }
    ++count;
    if (comma == nullptr) break;
    piece = comma + 1;
  }
  config.terminalCount = count;
  return nullptr;
}

// Applies one option: nullptr, or why it is refused.
const char* apply_option(ZELClientConfig& config, int letter, char* arg) {
  switch (letter) {
    case 'g':
      return apply_gateway(config, arg);
    case 'l':
      LOG_Open(1, 1, arg);
      return nullptr;
    case 'n':
      config.name.clear();
      return config.name.assign(arg) ? nullptr : "at most 4 characters";
    case 'r':
      return config.rootPath.assign(arg) ? nullptr : "at most 128 characters";
    case 't':
      return apply_terminals(config, arg);
    case 'w':
      config.watchMode = static_cast<std::int16_t>(zel::to_int(arg));
      return nullptr;
    case 'T':
      config.waitTimeout = zel::to_int(arg);
      return nullptr;
    case 'c':
      config.troquelLimit = zel::to_int(arg);
      return nullptr;
    case 'L':
      config.fixedLayout = zel::to_int(arg) == 1 ? 1 : 0;
      return nullptr;
    case 'p':
      config.lifePeriod = zel::to_int(arg);
      return nullptr;
    case 'F':
      return config.pharmacyId.assign(arg) ? nullptr : "at most 127 characters";
    case 'b':
    case 'o':
      return "a reserved option, with no setting behind it";
    default:  // '?': getopt has said why (an unknown letter, a missing argument)
      return "";
  }
}

// The one line that says why the command line is refused, on standard error (and
// on Windows in the Event Log entry of the refused start).
void refuse(int letter, const char* arg, const char* why) {
  zel::Text<400> text;
  if (letter == 0) {
    text.format("zelclient: %s", why);
  } else {
    text.format("zelclient: -%c %s: %s", letter, arg != nullptr ? arg : "", why);
  }
  plat::start_refused(text.c_str(), true);
}

void log_configuration(const ZELClientConfig& config) {
  const char* pad = "                            ";
  LOG_Print(LOG_CLI_INFO, "Inicializado con parametros: ");
  LOG_Print(LOG_CLI_INFO, "%sName=[%s] ", pad, config.name.c_str());
  LOG_Print(LOG_CLI_INFO, "%sHostGateway=[%s] ", pad, config.gatewayHost.c_str());
  LOG_Print(LOG_CLI_INFO, "%sPortGateway=[%d] ", pad, config.gatewayPort);
  LOG_Print(LOG_CLI_INFO, "%sRootPath=[%s] ", pad, config.rootPath.c_str());
  for (int i = 0; i < config.terminalCount; ++i) {
    LOG_Print(LOG_CLI_INFO, "%sTerminals[%d]=[%s] ", pad, i, config.terminals[i].c_str());
  }
  LOG_Print(LOG_CLI_INFO, "%sWaitTimeout=[%d] ", pad, config.waitTimeout);
}

}  // namespace

// The lock is one the system drops when its holder ends, so a crash never leaves
// it behind.
bool zc::lock_root(ZELClient& client) {
  const char* root = client.config.rootPath.c_str();
  Path lock;
  if (!FILE_MakePath(lock, {root, "ZELCLIENT.lck"})) return true;
  if (client.rootLock != plat::kNoFile) client.files->close(client.rootLock);
  client.rootLock = plat::kNoFile;
  const plat::Status s = client.files->open(lock.c_str(), plat::OpenMode::Lock, &client.rootLock);
  char owner[64];
  // A lock name that someone made a link or a directory would have the service
  // run unlocked beside another: never.
  const bool foreign =
      s != plat::Status::Ok && s != plat::Status::Busy &&
      client.files->exists(lock.c_str()) == plat::Status::Ok &&
      plat::file_owner(lock.c_str(), owner, sizeof owner) == plat::Owner::NotRegular;
  if (s != plat::Status::Busy && !foreign) return true;
  client.rootLock = plat::kNoFile;
  const char* why = foreign ? "el bloqueo no es un archivo (un enlace o una carpeta), no se atiende"
                            : "otro zelclient ya atiende";
  zel::Text<300> text;
  text.format("zelclient: %s la carpeta %s", why, root);
  plat::start_refused(text.c_str());
  LOG_Print(0, "ZELClient_Init %s la carpeta [%s]", why, root);
  return false;
}

namespace {

// ZELCLIENT_CONCURRENCY: a whole number from 1 up; anything else keeps 1.
int concurrency() {
  const char* value = std::getenv("ZELCLIENT_CONCURRENCY");
  if (value == nullptr) return 1;
  char* end = nullptr;
  const long n = std::strtol(value, &end, 10);
  if (end == value || *end != '\0' || n < 1) {
    LOG_Print(LOG_CLI_WARNING, "ZELClient_Init valor invalido ZELCLIENT_CONCURRENCY=[%s], se usa 1",
              value);
    return 1;
  }
  return n > kMaxConcurrency ? kMaxConcurrency : static_cast<int>(n);
}

}  // namespace

int ZELClient_Init(ZELClient& client, int argc, char** argv) {
  ZELClientConfig& config = client.config;
  config = ZELClientConfig{};
  config.gatewayHost.assign("localhost");
  optind = 0;  // GNU: restart the scan from the first argument

  int letter;
  while ((letter = next_option(argc, argv)) != -1) {
    if (letter == kHelp || letter == kVersion) {
      std::printf(letter == kHelp ? "%s" : "zelclient %s\n",
                  letter == kHelp ? kUsage : ZEL_VERSION);
      return 1;
    }
    const char* why = apply_option(config, letter, optarg);
    if (why == nullptr) continue;
    if (why[0] != '\0') refuse(letter, optarg, why);
    next_option(argc, argv);  // one more fetch, so getopt may report it
    return -1;
  }
  if (config.name.empty() || config.rootPath.empty()) {
    refuse(0, nullptr,
           config.name.empty() ? "-n NAME is required (zelclient --help)"
                               : "-r ROOT is required (zelclient --help)");
    return -1;
  }
  if (plat::read_only_dir(config.rootPath.c_str())) {
    // Nothing could be answered there: under systemd, a root the unit does not
    // list as writable (ReadWritePaths=).
    refuse('r', config.rootPath.c_str(), "read-only file system (not writable by the service)");
    return -1;
  }
  if (!zc::gateway_start(client)) return -1;
  if (!zc::lock_workdir(client) || !zc::lock_root(client)) return -1;
  zc::inflight_open(client);

  client.sender = config.name;
  log_configuration(config);
  if (client.rootLock == plat::kNoFile) {
    LOG_Print(LOG_CLI_WARNING, "ZELClient_Init sin bloqueo de la carpeta [%s]",
              config.rootPath.c_str());
  }
  zc::sequence_start(client, client.clock());
  zc::observe_start(client);
  zc::outage_start(client);
  zc::standin_start(client);
  config.concurrency = concurrency();
  zc::load_probes(client);
  // Exchanges on several threads take the socket table's slots under its guard.
  if (SOCKET_Init(config.concurrency > 1 ? "T" : nullptr) != 0) {
    // The service runs on, answering every request locally: say why, loudly.
    std::fprintf(stderr, "zelclient: %s; las recetas se responderan localmente\n",
                 SOCKET_InitError());
  }
  // A gateway whose name does not resolve would be found only once prescriptions
  // start being pre-authorised locally: said at once (the service runs on).
  for (int i = 0; i < config.addressCount; ++i) {
    std::uint8_t address[4];
    const char* host = config.addresses[i].host.c_str();
    if (plat::net_resolve(host, address) != plat::Resolve::Ok) {
      LOG_Print(LOG_CLI_WARNING,
                "ZELClient_Init el nombre del gateway [%s] no se resuelve: las recetas se "
                "responderan localmente mientras siga asi",
                host);
    }
  }
  return 0;
}
