// Fuzz target: the command line. The input is cut at zero bytes into arguments
// and handed to ZELClient_Init; whatever it accepts fits its fields. Runs in a
// scratch directory (a '/' in an argument becomes '_', so a log file named by
// -l stays there and is removed after each run) with standard output and
// getopt's diagnostics silenced.
#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "client/config.h"
#include "client/init.h"
#include "fuzz_common.h"
#include "socket/socket.h"

namespace {

std::string g_scratch;

// Removes the scratch directory when the fuzzer ends.
void remove_scratch() {
  std::error_code ec;
  std::filesystem::remove_all(g_scratch, ec);
}

constexpr std::size_t kMaxArgs = 24;

void empty_directory(const char* path) {
  DIR* dir = opendir(path);
  if (dir == nullptr) return;
  while (const dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") unlink(name.c_str());
  }
  closedir(dir);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string scratch = std::string(base) + "/zelfuzz-init-XXXXXX";
  if (mkdtemp(scratch.data()) == nullptr) std::abort();
  g_scratch = scratch;
  std::atexit(remove_scratch);
  if (chdir(scratch.c_str()) != 0) std::abort();
  const int null = open("/dev/null", O_WRONLY);
  dup2(null, 1);
  close(null);
  opterr = 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto args = zf::split(data, size, kMaxArgs);
  args.back() = args.back().substr(0, args.back().find('\0'));
  args.insert(args.begin(), "zelclient");
  for (auto& a : args) {
    for (auto& c : a) c = c == '/' ? '_' : c;
  }
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  g_config = ZELClientConfig{};
  const int r = ZELClient_Init(static_cast<int>(args.size()), argv.data());
  ZF_CHECK(r == 0 || r == -1);
  if (r == 0) {
    ZF_CHECK(!g_config.name.empty() && g_config.name.size() <= 4);
    ZF_CHECK(!g_config.rootPath.empty() && g_config.rootPath.size() <= 128);
    ZF_CHECK(g_config.gatewayHost.size() <= 127 && g_config.pharmacyId.size() <= 127);
    ZF_CHECK(g_config.terminalCount <= kMaxTerminals);
    for (int i = 0; i < g_config.terminalCount; ++i) {
      ZF_CHECK(g_config.terminals[i].size() <= 15);
    }
    GatewayAddress address;
    ZELClient_GatewayAddress(address);
    ZF_CHECK(address.size() > 0);  // the host and port always fit
    SOCKET_End();
  }
  LOG_Close();
  empty_directory(".");
  return 0;
}
