// Fuzz target: the whole request pipeline, from the bytes of a request file to
// the bytes of the answer file, against a gateway on 127.0.0.1 that answers
// with bytes chosen by the input (or closes, or is not there at all).
//
// Input: mode, flags, request length (2 bytes, little-endian), the request
// file's bytes, then the gateway's reply bytes (header included).
//   mode % 3: 0 the gateway answers, 1 it closes without answering, 2 refused;
//   flags: bit 0 the fixed layout (-L 1), bits 1-3 the troquel limit (-c).
//
// Checked on every run: a request that fits is consumed and answered, one that
// does not stays in place unanswered; an answer file never holds more than the
// request buffer; and a local authorisation number that reached an answer file
// is never handed out again.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "client/answers.h"
#include "client/config.h"
#include "client/pipeline.h"
#include "client/probe.h"
#include "fuzz_common.h"
#include "platform/platform.h"
#include "socket/socket.h"

namespace {

std::string g_scratch;

// Removes the scratch directory when the fuzzer ends.
void remove_scratch() {
  std::error_code ec;
  std::filesystem::remove_all(g_scratch, ec);
}

enum Mode { kAnswer = 0, kClose = 1, kRefused = 2 };

std::string g_root;
int g_gatewayPort = 0;
int g_closedPort = 0;
std::mutex g_scriptMutex;
std::string g_scriptReply;
bool g_answers = true;
long long g_issuedMax = 0;  // highest local number that reached an answer file

int listen_loopback(int* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0) {
    std::abort();
  }
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  *port = ntohs(addr.sin_port);
  return fd;
}

// The scripted gateway: reads one packet (as long as its length field says, or
// until the client stops sending), then answers with the script's bytes or closes.
void gateway(int listener) {
  for (;;) {
    const int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) continue;
    std::string packet;
    char buf[4096];
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 1000) <= 0) break;
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      packet.append(buf, static_cast<std::size_t>(n));
      if (packet.size() >= 4) {
        const auto* b = reinterpret_cast<const unsigned char*>(packet.data());
        const std::size_t want =
            (std::size_t{b[0]} << 24 | std::size_t{b[1]} << 16 | std::size_t{b[2]} << 8 | b[3]) + 4;
        if (packet.size() >= want) break;
      }
    }
    std::string reply;
    bool answers;
    {
      std::lock_guard<std::mutex> lock(g_scriptMutex);
      reply = g_scriptReply;
      answers = g_answers;
    }
    if (answers && !reply.empty()) send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
    close(fd);
  }
}

std::string read_all(const std::string& path, bool* exists) {
  std::ifstream in(path, std::ios::binary);
  *exists = static_cast<bool>(in);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Request text as the service reads it: CR LF pairs joined.
std::string as_read(const std::string& raw) {
  std::string text;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
    text += raw[i];
  }
  return text;
}

// The local number in the journal's last line ("...G52=<letter><year><number>|").
long long last_journal_number(const std::string& journal) {
  const std::size_t at = journal.rfind("G52=");
  if (at == std::string::npos || journal.size() < at + 4 + 5) return -1;
  return std::atoll(journal.c_str() + at + 4 + 5);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  plat::process_setup();
  const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string scratch = std::string(base) + "/zelfuzz-pipeline-XXXXXX";
  if (mkdtemp(scratch.data()) == nullptr) std::abort();
  g_scratch = scratch;
  std::atexit(remove_scratch);
  g_root = scratch + "/root";
  const std::string work = scratch + "/work";
  if (mkdir(g_root.c_str(), 0700) != 0 || mkdir(work.c_str(), 0700) != 0 ||
      chdir(work.c_str()) != 0) {
    std::abort();
  }

  const int listener = listen_loopback(&g_gatewayPort);
  std::thread(gateway, listener).detach();
  const int closed = listen_loopback(&g_closedPort);
  close(closed);  // nothing listens there any more: connections are refused at once

  const std::string probes = "127.0.0.1:" + std::to_string(g_closedPort);
  setenv("ZELCLIENT_PROBE_HOSTS", probes.c_str(), 1);
  setenv("ZELCLIENT_NET_TIMEOUT_MS", "2000", 1);
  setenv("ZELCLIENT_PROBE_TIMEOUT_MS", "200", 1);
  SOCKET_Init(nullptr);
  ZELClient_LoadProbeHosts();

  g_config.name.assign("AB");
  g_config.gatewayHost.assign("127.0.0.1");
  g_config.rootPath.assign(g_root);
  g_config.terminals[0].assign("caja1");
  g_config.terminalCount = 1;
  zf::open_null_log();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const int mode = data[0] % 3;
  const int flags = data[1];
  std::size_t requestLength = data[2] | static_cast<std::size_t>(data[3]) << 8;
  if (requestLength > size - 4) requestLength = size - 4;
  const std::string request(reinterpret_cast<const char*>(data) + 4, requestLength);
  const std::string reply(reinterpret_cast<const char*>(data) + 4 + requestLength,
                          size - 4 - requestLength);

  g_config.fixedLayout = flags & 1;
  g_config.troquelLimit = (flags >> 1) & 7;
  g_config.gatewayPort = mode == kRefused ? g_closedPort : g_gatewayPort;
  {
    std::lock_guard<std::mutex> lock(g_scriptMutex);
    g_scriptReply = reply;
    g_answers = mode == kAnswer;
  }

  const std::string in = g_root + "/caja1in.txt";
  const std::string out = g_root + "/caja1out.txt";
  {
    std::ofstream f(in, std::ios::binary | std::ios::trunc);
    f.write(request.data(), static_cast<std::streamsize>(request.size()));
  }
  std::time_t lifeTimer = 0;
  ZELClient_ProcessTerminal(0, "caja1", &lifeTimer);

  bool inThere = false;
  bool outThere = false;
  read_all(in, &inThere);
  const std::string answer = read_all(out, &outThere);
  // A zero byte ends the text of its chunk only: sizes are modelled without one.
  const bool plain = request.find('\0') == std::string::npos;
  ZF_CHECK(inThere != outThere);  // either left in place or consumed and answered
  // Left in place: a request too long for the buffer, or an empty file just made
  // (it may be one a terminal is still creating).
  if (plain) {
    const std::size_t length = as_read(request).size();
    ZF_CHECK(inThere == (length > kRequestCapacity || request.empty()));
  }
  ZF_CHECK(answer.size() <= 2 * kRequestCapacity + 2);

  bool journalThere = false;
  const std::string journal = read_all("zelautoresp.txt", &journalThere);
  if (journalThere) {
    const long long number = last_journal_number(journal);
    ZF_CHECK(number > 0);
    ZF_CHECK(number > g_issuedMax);  // never a number that already reached a terminal
    const std::string authorisation = journal.substr(journal.rfind("G52=") + 4, 12);
    if (answer.find("F52=" + authorisation) != std::string::npos) g_issuedMax = number;
    unlink("zelautoresp.txt");
  }
  unlink(in.c_str());
  unlink(out.c_str());
  return 0;
}
