// Every crash point of a request's life. The service's request handling runs in a
// forked child whose file operations end it at the Nth change it makes to the file
// system (a creating open, a write, a rename, a removal, a truncation), for every
// N; a fresh run then starts on what it left. For each outcome (the gateway's
// answer, a local pre-authorisation, an error answer, and a restart that resumes
// a request taken before), the terminal must end with exactly one whole answer to
// its own request, numbers never repeat, the journal holds exactly the numbers
// published, and the gateway sees the request once at most: a crash between
// sending it and deciding its answer gives a local answer. Each outcome runs twice: the loop's
// own exchange, and the exchange on a worker (ZELCLIENT_CONCURRENCY above 1).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <tuple>

#include "client/exchange.h"
#include "client/init.h"
#include "client/lifecycle.h"
#include "client/probe.h"
#include "client/workdir.h"
#include "client/workers.h"
#include "faultyfiles.h"
#include "testsupport.h"

namespace {

namespace fs = std::filesystem;

const plat::FileOps& sys() {
  return plat::system_files();
}

enum class Outcome { Gateway, Local, Error, Resume };

struct Case {
  Outcome outcome = Outcome::Gateway;
  bool onWorker = false;
  zt::TempDir root, work;
  int gatewayPort = 0;
  std::string id;

  std::string request() const {
    return "|G01=1234|G04=" + id + (outcome == Outcome::Error ? "|G06=123" : "") + "|G99=000020|";
  }
  // One visit of the terminal by a run of the service; files: how it reaches them.
  void visit(const plat::FileOps& files) const {
    static ZELClient client;  // large: not on the stack
    client = ZELClient{};
    const std::string g = "127.0.0.1:" + std::to_string(gatewayPort);
    std::vector<std::string> args = {"zelclient", "-n",    "AB", "-r", root.str(),
                                     "-t",        "caja1", "-g", g};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    ASSERT_EQ(ZELClient_Init(client, static_cast<int>(argv.size()), argv.data()), 0);
    client.files = &files;
    ExchangeWorkers workers;
    ProbeBurst probes;
    if (onWorker) {
      client.config.concurrency = 2;
      zc::start_exchanges(client, workers, probes);
      ASSERT_NE(client.workers, nullptr);
    }
    zc::process_terminal(client, 0);
    while (zc::exchanges_in_flight(client) > 0) {
      plat::wake_sleep(10);
      zc::collect_exchanges(client);
    }
    zc::stop_exchanges(client);
    zc::close_workdir(client);
  }
  // Runs a visit in a child that ends before change n (0: never). Its exit status.
  int crash_at(int n) const {
    const pid_t pid = fork();
    if (pid == 0) {
      zt::g_faults.changesLeft = n - 1;
      visit(zt::faulty_files());
      _exit(zt::g_faults.changes > 90 ? 90 : zt::g_faults.changes);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

int relayed(const zt::Zelgateway& gateway) {
  return zt::count_with(zt::log_messages(gateway.child->output()), "type=1 ");
}

std::string case_name(const ::testing::TestParamInfo<std::tuple<Outcome, bool>>& info) {
  static const char* const kNames[] = {"Gateway", "Local", "Error", "Resume"};
  return std::string(kNames[static_cast<int>(std::get<0>(info.param))]) +
         (std::get<1>(info.param) ? "OnWorker" : "");
}

class CrashPoints : public ::testing::TestWithParam<std::tuple<Outcome, bool>> {};

TEST_P(CrashPoints, EveryChangeOfTheFileSystem) {
  const auto [outcome, onWorker] = GetParam();
  const int closed = zt::closed_port();
  setenv("ZELCLIENT_PROBE_HOSTS", ("127.0.0.1:" + std::to_string(closed)).c_str(), 1);
  const fs::path saved = fs::current_path();
  int total = -1;
  for (int n = 1; total < 0 || n <= total + 1; ++n) {
    Case c;
    c.outcome = outcome;
    c.onWorker = onWorker;
    c.id = "r" + std::to_string(n);
    fs::current_path(c.work.path());  // the working files are opened by bare name
    const zt::Zelgateway gateway({});
    ASSERT_GT(gateway.port, 0);
    c.gatewayPort = outcome == Outcome::Local ? closed : gateway.port;
    const bool resume = outcome == Outcome::Resume;
    zt::write_file(c.root / (resume ? "caja1in.zel" : "caja1in.txt"), c.request());
    if (total < 0) {
      total = c.crash_at(0);  // the run that ends well counts the changes
      ASSERT_GT(total, 2);
      continue;
    }
    const int status = c.crash_at(n);
    const bool crashed = status == 99;
    const bool sentBefore = relayed(gateway) == 1;
    // An empty decided file decided nothing: a crash came between its creation and its write.
    const bool decided = !zt::read_file(c.root / "caja1out.zel").empty() ||
                         !zt::read_file(c.root / "caja1aut.zel").empty();
    c.visit(sys());
    c.visit(sys());  // a second pass publishes whatever waited
    const std::string answer = zt::read_file(c.root / "caja1out.txt");
    SCOPED_TRACE("outcome " + std::to_string(static_cast<int>(outcome)) +
                 (onWorker ? " on a worker" : "") + ", crash before change " + std::to_string(n) +
                 (crashed ? "" : " (none)") + ": " + answer);
    EXPECT_EQ(answer.rfind("|F01=1234|F04=" + c.id + "|", 0), 0u);
    EXPECT_EQ(answer.back(), '|');
    for (const char* left : {"caja1in.txt", "caja1in.zel", "caja1out.zel", "caja1aut.zel"}) {
      EXPECT_FALSE(zt::exists(c.root / left)) << left;
    }
    // The gateway is asked once at most: a request it may have seen before the
    // crash, and whose answer was not decided, gets a local answer instead (the
    // gateway's, when its decision was recorded before the crash).
    const bool relays = outcome == Outcome::Gateway || outcome == Outcome::Resume;
    EXPECT_EQ(relayed(gateway), relays ? 1 : 0);
    const bool unanswered = crashed && sentBefore && !decided;
    const bool approved = answer.find("|F52=GW") != std::string::npos;
    EXPECT_TRUE(!relays || approved || unanswered);
    const std::string journal = zt::read_file(c.work / "zelautoresp.txt");
    std::smatch m;
    if (outcome == Outcome::Local || (relays && !approved)) {
      ASSERT_TRUE(std::regex_search(answer, m, std::regex("F52=[GI]\\d{4}(\\d{7})")));
      // One line, with the number published, the same whether a crash came
      // before it or not: the request as relayed, naming its terminal.
      EXPECT_EQ(journal, c.request() + "G06=|G41=caja1|G52=" + m.str(0).substr(4) + "|\r\n");
      EXPECT_GE(std::stol(zt::read_file(c.work / "nroaut.txt")), std::stol(m.str(1)));
    } else {
      EXPECT_EQ(journal, "");
    }
  }
  fs::current_path(saved);
  unsetenv("ZELCLIENT_PROBE_HOSTS");
}

INSTANTIATE_TEST_SUITE_P(Outcomes, CrashPoints,
                         ::testing::Combine(::testing::Values(Outcome::Gateway, Outcome::Local,
                                                              Outcome::Error, Outcome::Resume),
                                            ::testing::Bool()),
                         case_name);

}  // namespace
