#include "service_fixture.h"

#include <cstdio>
#include <thread>

namespace zt {

const char* const kRequest = "|G01=1234|G04=556677|G08=42|G99=000020|";
std::string probes_to(int port) {
  const std::string p = "127.0.0.1:" + std::to_string(port);
  return "ZELCLIENT_PROBE_HOSTS=" + p + "," + p + "," + p;
}

Service::Service(int gatewayPort, std::vector<std::string> extraArgs, std::vector<std::string> env,
                 bool startNow)
    : env_(std::move(env)) {
  logPath = (work / "svc.log").string();
  cwd = work.str();
  args_ = {bin("zelclient"),
           "-n",
           "AB",
           "-r",
           root.str(),
           "-t",
           "caja1,caja2",
           "-g",
           "127.0.0.1:" + std::to_string(gatewayPort),
           "-T",
           "30000",
           "-l",
           logPath + ",1,300"};
  args_.insert(args_.end(), extraArgs.begin(), extraArgs.end());
  if (startNow) start();
}

void Service::start() {
  const std::size_t logged = read_file(logPath).size();  // a restart appends to the log
  child_ = std::make_unique<Child>(args_, cwd, env_);
  // The service watches the root once its first pass is over. Nudge the root
  // until a change is seen, so that nothing the test drops afterwards is missed.
  wait_until([&] {
    nudge();
    return wait_until(
               [&] {
                 return read_file(logPath).find("WaitForSingleObject OK", logged) !=
                        std::string::npos;
               },
               std::chrono::milliseconds(kWindows ? 200 : 30)) ||
           !child_->running();
  });
}

void Service::nudge() {
  write_file(root / "zelnudge.tmp", "x");
}

Service::~Service() {
  if (child_ && child_->running()) stop();
}

void Service::drop(const std::string& terminal, const std::string& text) {
  // Written under a temporary name and renamed, or written in place: terminals do
  // the latter, so do that (the change notification must cope with it).
  FILE* f = std::fopen((root / (terminal + "in.txt")).string().c_str(), "wb");
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
}

std::string Service::answer(const std::string& terminal, int timeoutMs) {
  const fs::path path = root / (terminal + "out.txt");
  std::string text;
  int polls = 0;
  wait_until(
      [&] {
        if (kWindows && ++polls % 100 == 0) nudge();  // about every half second
        text = read_file(path);
        return !text.empty() && (text.back() == '|' || text.back() == '\n');
      },
      std::chrono::milliseconds(timeoutMs));
  std::error_code ec;
  fs::remove(path, ec);
  return text;
}

bool Service::stop() {
  write_file(root / "ZELCLIENTSTOP.tmp", "");
  if (!kWindows) return child_->wait() == 0;
  for (int i = 0; i < 40; ++i) {
    const int status = child_->wait(std::chrono::milliseconds(250));
    if (status >= 0) return status == 0;
    nudge();
  }
  return false;
}

void Service::kill() {
  child_->kill_now();
}

int Service::pid() const {
  return child_->pid();
}

std::vector<std::string> Service::log() {
  return log_messages(read_file(logPath));
}

std::string Service::stdout_text() {
  return read_file(child_->stdout_path());
}

std::string current_year() {
  const std::time_t now = std::time(nullptr);
  char year[8];
  std::strftime(year, sizeof year, "%Y", std::localtime(&now));
  return year;
}

std::string preauth_answer(char letter, int number, const std::string& terminal) {
  char numberText[16];
  std::snprintf(numberText, sizeof numberText, "%07d", number);
  return "|F01=1234|F04=556677|F08=42|F41=" + terminal +
         "|F50=ND|F51=RECETA PRE-AUTORIZADA|F52=" + std::string(1, letter) + current_year() +
         numberText + "|F99=000021|";
}

std::string troquel(int n) {
  std::string record = n == 0 ? std::string(51, '0') : std::to_string(n);
  record.resize(51, 'X');
  return record;
}

}  // namespace zt
