// Fuzz target: the command line. The input, cut at zero bytes into arguments, goes
// to ZELClient_Init; whatever it accepts fits its fields. Runs in a scratch
// directory (a '/' in an argument becomes '_', so a log named by -l stays there
// and is removed after each run), with standard output and getopt silenced.
#include <getopt.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "client/init.h"
#include "log/log.h"

#define CHECK(c) \
  if (!(c)) std::abort()

namespace {
std::filesystem::path g_scratch;
ZELClient g_client;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_scratch = std::filesystem::temp_directory_path() / ("zelfuzz-init-" + std::to_string(getpid()));
  std::filesystem::create_directories(g_scratch);
  std::filesystem::current_path(g_scratch);
  std::atexit([] { std::filesystem::remove_all(g_scratch); });
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  opterr = 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args = {"zelclient"};
  std::string arg;
  for (std::size_t i = 0; i < size && args.size() < 24; ++i) {
    const char c = static_cast<char>(data[i]);
    if (c == '\0') {
      args.push_back(arg);
      arg.clear();
    } else {
      arg += c == '/' ? '_' : c;
    }
  }
  args.push_back(arg);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  const int r = ZELClient_Init(g_client, static_cast<int>(args.size()), argv.data());
  const ZELClientConfig& c = g_client.config;
  CHECK(r == 0 || r == -1);
  if (r == 0) {
    CHECK(!c.name.empty() && c.name.size() <= 4 && g_client.sender.view() == c.name.view());
    CHECK(!c.rootPath.empty() && c.rootPath.size() <= 128);
    CHECK(c.gatewayHost.size() <= kHostMax && c.pharmacyId.size() <= 127);
    CHECK(c.terminalCount <= kMaxTerminals);
    for (int i = 0; i < c.terminalCount; ++i) CHECK(c.terminals[i].size() <= 15);
    CHECK(c.fixedLayout == 0 || c.fixedLayout == 1);
    SOCKET_End();
  }
  LOG_Close();
  for (const auto& e : std::filesystem::directory_iterator(g_scratch)) {
    std::filesystem::remove_all(e.path());
  }
  return 0;
}
