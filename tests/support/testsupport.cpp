#include "testsupport.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace zt {

TempDir::TempDir() {
  std::random_device random;
  std::error_code ec;
  do {
    path_ = fs::temp_directory_path() / ("zeltest-" + std::to_string(random()));
  } while (!fs::create_directory(path_, ec));
}

TempDir::~TempDir() {
  if (keep_) return;
  std::error_code ec;
  // Give back the permissions a test took away, so that everything can go.
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

bool try_read(const fs::path& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  out = s.str();
  return true;
}

std::string read_file(const fs::path& path) {
  std::string text;
  try_read(path, text);
  return text;
}

void write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool exists(const fs::path& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

long open_descriptors(int pid) {
  if (kWindows) return -1;
  const std::string fds = "/proc/" + (pid == 0 ? "self" : std::to_string(pid)) + "/fd";
  std::error_code ec;
  return static_cast<long>(std::distance(fs::directory_iterator(fds, ec), {}));
}

std::vector<std::string> log_messages(const std::string& log) {
  std::vector<std::string> lines;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto tab = line.find('\t');
    lines.push_back(tab == std::string::npos ? line : line.substr(tab + 1));
  }
  return lines;
}

int count_with(const std::vector<std::string>& lines, const std::string& part) {
  return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
    return l.find(part) != std::string::npos;
  }));
}

bool contains_in_order(const std::vector<std::string>& lines,
                       const std::vector<std::string>& expected) {
  std::size_t at = 0;
  for (const auto& line : lines) at += at < expected.size() && line == expected[at];
  return at == expected.size();
}

bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return pred();
}

std::string bin(const std::string& name) {
  return std::string(ZEL_BIN_DIR) + "/" + name + (kWindows ? ".exe" : "");
}

int run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
  Child child(argv);
  const int status = child.wait(timeout);
  if (status < 0) child.kill();
  return status;
}

const char* const kRequest = "|G01=1234|G04=556677|G08=42|G99=000020|";
const char* const kNoAnswer = "(no answer)";

std::string current_year() {
  const std::time_t now = std::time(nullptr);
  char year[8];
  std::strftime(year, sizeof year, "%Y", std::localtime(&now));
  return year;
}

std::string preauth(char letter, int number, const std::string& terminal) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%07d", number);
  return "|F01=1234|F04=556677|F08=42|F41=" + terminal +
         "|F50=ND|F51=RECETA PRE-AUTORIZADA|F52=" + letter + current_year() + digits +
         "|F99=000021|";
}

int closed_port() {
  // A port that a listener asking for any free port is never given, so that no
  // gateway of a test running beside this one comes to listen on it: one below
  // the ephemeral range (from 32768 on Linux, 49152 on Windows), free now.
  std::random_device seed;
  std::uniform_int_distribution<int> pick(20000, 29999);
  for (int tries = 0; tries < 50; ++tries) {
    const gw::Gateway probe([](const gw::Received&) { return gw::hang_up(); }, pick(seed));
    if (probe.listening()) return probe.port();
  }
  const gw::Gateway gone([](const gw::Received&) { return gw::hang_up(); });
  return gone.port();
}

std::string probe_hosts(int port) {
  const std::string p = "127.0.0.1:" + std::to_string(port);
  return "ZELCLIENT_PROBE_HOSTS=" + p + "," + p + "," + p;
}

FullListener::FullListener() : listener_(plat::net_socket()) {
  plat::net_bind_any(listener_, 0);
  plat::net_listen(listener_, 0);  // a queue of one, filled by the two below
  port_ = plat::net_local_port(listener_);
  const std::uint8_t loopback[4] = {127, 0, 0, 1};
  for (auto& q : queued_) {
    q = plat::net_socket();
    plat::net_connect(q, loopback, static_cast<std::uint16_t>(port_), 200);
  }
}

FullListener::~FullListener() {
  for (const auto q : queued_) plat::net_close(q);
  plat::net_close(listener_);
}

std::vector<gw::Received> requests(const gw::Gateway& gateway) {
  std::vector<gw::Received> out;
  for (auto& r : gateway.received()) {
    if (r.whole() && r.type() != 0) out.push_back(r);
  }
  return out;
}

Service::Service(int gatewayPort, std::vector<std::string> args, std::vector<std::string> env)
    : args_(std::move(args)), env_(std::move(env)) {
  args_.insert(args_.begin(), {bin("zelclient"), "-n", "AB", "-r", root.str(), "-t", "caja1,caja2",
                               "-g", "127.0.0.1:" + std::to_string(gatewayPort), "-T", "30000"});
}

Service::~Service() {
  if (running()) stop();
}

void Service::start() {
  std::vector<std::string> argv = args_;
  argv.insert(argv.end(), {"-l", logFile.string() + "," + logWindow});
  const std::size_t logged = read_file(logFile).size();  // a restart appends
  child_ = std::make_unique<Child>(argv, work.str(), env_, errorsToo);
  // Ready once its state file, this run's, says it watches the root; or, where no
  // state file can be written, once a change (nudged) reaches its log.
  const std::string mine = "pid=" + std::to_string(child_->pid());
  wait_until([&] {
    nudge();
    return wait_until(
               [&] {
                 const std::string state = read_file(work / "zelclient.state");
                 return (state.find(mine) != std::string::npos &&
                         state.find("state=ready") != std::string::npos) ||
                        read_file(logFile).find("WaitForSingleObject OK", logged) !=
                            std::string::npos;
               },
               kWindows ? 200ms : 30ms) ||
           !child_->running();
  });
}

void Service::drop(const std::string& terminal, const std::string& text) {
  write_file(root / (terminal + "in.txt"), text);
}

bool Service::answered(const std::string& terminal) const {
  return zt::exists(root / (terminal + "out.txt")) && !zt::exists(root / (terminal + "in.txt")) &&
         !zt::exists(root / (terminal + "in.zel"));
}

std::string Service::answer(const std::string& terminal, std::chrono::milliseconds timeout) {
  int polls = 0;
  const fs::path out = root / (terminal + "out.txt");
  std::string text;
  // Read as a terminal reads it, until it opens: on Windows the rename that
  // publishes it holds the new name for a moment, and an open then fails.
  if (!wait_until(
          [&] {
            if (kWindows && ++polls % 100 == 0) nudge();
            std::error_code ec;  // a directory planted at the name is no answer
            return answered(terminal) && fs::is_regular_file(out, ec) && try_read(out, text);
          },
          timeout)) {
    return kNoAnswer;
  }
  std::error_code ec;
  fs::remove(out, ec);
  return text;
}

bool Service::stop() {
  // Made whole under another name: on Windows a file still open cannot be deleted.
  write_file(root / "stop.part", "");
  fs::rename(root / "stop.part", root / "ZELCLIENTSTOP.tmp");
  for (int i = 0; i < 40; ++i) {
    const int status = child_->wait(250ms);
    if (status >= 0) return status == 0;
    nudge();
  }
  return false;
}

void Service::kill() {
  child_->kill();
}

}  // namespace zt
