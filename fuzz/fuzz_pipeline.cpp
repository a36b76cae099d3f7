// Fuzz target: a request's whole life in process, from the bytes of a request
// file to the bytes of the answer file, against the gateway stand-in answering
// with bytes chosen by the input, closing, or not there at all.
// Input: mode byte (% 3: answer, close, refused; bit 2: the fixed layout),
// request length (2 bytes, little-endian), the request file's bytes, the reply.
// Checked on every run: the request is taken and answered, whole (an empty file
// just made is left for its writer); the answer fits its file; and a local number
// that reached a terminal is never handed out again.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>

#include "client/init.h"
#include "client/lifecycle.h"
#include "log/log.h"
#include "testsupport.h"

#define CHECK(c) \
  if (!(c)) std::abort()

namespace fs = std::filesystem;

namespace {
fs::path g_root;
std::mutex g_mutex;
std::string g_reply;
bool g_answers = true;
long long g_highest = 0;
std::size_t g_journalSize = 0;
ZELClient g_client;
int g_gatewayPort = 0, g_closedPort = 0;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // In memory where there is some: the number file is flushed to the disk at every answer.
  const fs::path base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : fs::temp_directory_path();
  const fs::path scratch = base / ("zelfuzz-pipe-" + std::to_string(getpid()));
  g_root = scratch / "root";
  fs::create_directories(g_root);
  fs::create_directories(scratch / "work");
  fs::current_path(scratch / "work");
  std::atexit([] { fs::remove_all(g_root.parent_path()); });
  g_closedPort = zt::closed_port();
  setenv("ZELCLIENT_PROBE_HOSTS", ("127.0.0.1:" + std::to_string(g_closedPort)).c_str(), 1);
  setenv("ZELCLIENT_NET_TIMEOUT_MS", "500", 1);
  std::string args[] = {"zelclient", "-n", "AB", "-r", g_root.string(), "-t", "caja1", "-p", "-1"};
  char* argv[] = {args[0].data(), args[1].data(), args[2].data(), args[3].data(), args[4].data(),
                  args[5].data(), args[6].data(), args[7].data(), args[8].data()};
  CHECK(ZELClient_Init(g_client, 9, argv) == 0);
  // The gateway after the client: a start of the socket layer resets its table.
  static gw::Gateway gateway([](const gw::Received& r) {
    const std::lock_guard<std::mutex> lock(g_mutex);
    return r.type() != 0 && g_answers ? gw::answer({g_reply}) : gw::hang_up();
  });
  g_gatewayPort = gateway.port();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  std::size_t length = data[1] | static_cast<std::size_t>(data[2]) << 8;
  if (length > size - 3) length = size - 3;
  const std::string request(reinterpret_cast<const char*>(data) + 3, length);
  {
    const std::lock_guard<std::mutex> lock(g_mutex);
    g_reply.assign(reinterpret_cast<const char*>(data) + 3 + length, size - 3 - length);
    g_answers = data[0] % 3 == 0 && size > 3 + length;
  }
  g_client.config.gatewayPort = data[0] % 3 == 2 ? g_closedPort : g_gatewayPort;
  g_client.config.fixedLayout = (data[0] >> 2) & 1;
  zt::write_file(g_root / "caja1in.txt", request);
  zc::process_terminal(g_client, 0);

  const std::string answer = zt::read_file(g_root / "caja1out.txt");
  const bool left = fs::exists(g_root / "caja1in.txt");
  CHECK(left == request.empty());  // an empty file just made may be one being written
  CHECK(left || !answer.empty());  // every request taken is answered
  CHECK(!fs::exists(g_root / "caja1in.zel") && answer.size() <= 2 * 1024 + 2);
  // The journal holds the local numbers published: each new one is above the last.
  const std::string journal = zt::read_file("zelautoresp.txt");
  const std::size_t at = journal.rfind("G52=");
  if (at != std::string::npos && journal.size() > g_journalSize) {
    const long long number = std::atoll(journal.substr(at + 9, 7).c_str());
    CHECK(number > g_highest);
    g_highest = number;
  }
  g_journalSize = journal.size();
  fs::remove(g_root / "caja1in.txt");
  fs::remove(g_root / "caja1out.txt");
  return 0;
}
