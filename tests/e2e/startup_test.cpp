// The real zelclient starting and stopping: the command lines it refuses and
// takes, its start-up lines and the stop file, and its log's rotation.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <sstream>

#include "testsupport.h"

namespace {

using namespace std::chrono_literals;

// A refused command line exits with 255 and writes nothing of the service's own;
// one it takes runs until the stop file (here there at once) ends it with 0: the
// stop file goes, a request waits for the next run, and a clean start warns of
// nothing but the stop file.
TEST(Startup, CommandLinesRefusedAndTaken) {
  const std::vector<std::string> base = {"-l", "{log},1,300", "-n", "AB", "-r", "{root}"};
  const auto with = [&](std::vector<std::string> more) {  // a later option overrides
    more.insert(more.begin(), base.begin(), base.end());
    return more;
  };
  const struct {
    std::vector<std::string> args;  // {root} and {log} stand for the run's own
    int status;
    bool logged;
    const char* said;  // on standard error: why (getopt's own, or the service's)
  } cases[] = {
      // clang-format off
      {{"-l", "{log},1,300", "-n", "AB"}, 255, false, "zelclient: -r ROOT is required"},
      {with({"-b", "x"}), 255, false, "zelclient: -b x: a reserved option"},
      {with({"-x", "1"}), 255, false, "option -- "}, {with({"-t"}), 255, false, "requires"},
      {with({"-g", "h:"}), 255, false, "zelclient: -g h:: the port is a number from 1 to 65535"},
      {with({"-n", "ABCDE"}), 255, false, "zelclient: -n ABCDE: at most 4 characters"},
      {with({"-g", std::string(64, 'h') + ":80"}), 255, false, "the host has at most 63"},
      {with({"-n", "ABCD", "-g", std::string(63, 'h') + ":65535", "-t", "caja1,caja2", "-T",
             "100"}), 0, true, ""},
      {{"-l", "{log}", "-n", "AB", "-r", "{root}"}, 0, false, ""},  // window 1..1: no start-up lines
      // clang-format on
  };
  for (const auto& c : cases) {
    zt::TempDir root;
    const std::string log = (root / "svc.log").string();
    zt::write_file(root / "ZELCLIENTSTOP.tmp", "");
    zt::write_file(root / "caja1in.txt", zt::kRequest);
    std::vector<std::string> argv = {zt::bin("zelclient")};
    for (std::string a : c.args) {
      if (a.rfind("{log}", 0) == 0) a = log + a.substr(5);
      argv.push_back(a == "{root}" ? root.str() : a);
    }
    SCOPED_TRACE(argv.back());
    zt::Child svc(argv, root.str(), {}, true);  // its working files in the root, removed with it
    EXPECT_EQ(svc.wait(), c.status);
    EXPECT_NE(svc.output().find(c.said), std::string::npos) << svc.output();
    const auto lines = zt::log_messages(zt::read_file(log));
    EXPECT_EQ(!lines.empty(), c.logged);
    EXPECT_EQ(zt::exists(root / "ZELCLIENTSTOP.tmp"), c.status != 0);
    EXPECT_EQ(zt::read_file(root / "caja1in.txt"), zt::kRequest);
    if (c.logged) {  // the gateway's name of 63 h resolves nowhere: said at start
      EXPECT_EQ(zt::count_with(lines, "WARNING\t") + zt::count_with(lines, "ERROR\t"), 2);
      EXPECT_EQ(zt::count_with(lines, "WARNING\tZELClient_Process encontro archivo de stop"), 1);
      EXPECT_EQ(zt::count_with(lines, "[" + std::string(63, 'h') + "] no se resuelve"), 1);
    }
  }
}

// Under systemd's journal the log goes to standard output, each line with its
// syslog priority and in UTF-8.
TEST(Startup, LogToTheJournal) {
  if (zt::kWindows) GTEST_SKIP() << "the journal is systemd's";
  zt::TempDir root;
  zt::write_file(root / "ZELCLIENTSTOP.tmp", "x");
  zt::write_file(root / "zelautoresp.txt", "");  // a life signal at the first pass
  zt::Child svc(
      {zt::bin("zelclient"), "-n", "AB", "-r", root.str(), "-g", "127.0.0.1:1", "-l", ",1,300"},
      root.str(), {"JOURNAL_STREAM=1:1"});
  EXPECT_EQ(svc.wait(), 0);
  std::istringstream out(svc.output());
  std::vector<std::string> raw;
  for (std::string line; std::getline(out, line);) raw.push_back(line.substr(0, 3));
  const auto lines = zt::log_messages(svc.output());
  const auto at = [&](const std::string& part) {  // the priority of the line holding part
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].find(part) != std::string::npos) return raw[i];
    }
    return std::string();
  };
  EXPECT_EQ(at("enviando se\xC3\xB1"
               "al de vida"),
            "<6>");  // in UTF-8
  EXPECT_EQ(at("encontro archivo de stop"), "<4>");
  EXPECT_EQ(at("MensajeDeVida conectandose"), "<3>");
}

// The F52 numbers of the gateway's approvals that a log file holds, in order.
std::vector<int> approvals(const std::string& log) {
  static const std::regex kApproval("Recibio del Gateway:\\[.*F52=GW(\\d+)");
  std::vector<int> numbers;
  for (const auto& line : zt::log_messages(log)) {
    std::smatch m;
    if (std::regex_search(line, m, kApproval)) numbers.push_back(std::stoi(m[1]));
  }
  return numbers;
}

// Answers n requests of a terminal through the service.
void answer_requests(zt::Service& svc, int n, const std::string& terminal = "caja1") {
  for (int i = 0; i < n; ++i) {
    ASSERT_NE(svc.ask(terminal, zt::kRequest).find("|F52=GW"), std::string::npos);
  }
}

// Rotation by size: the oldest files go, each file stays within the limit and holds
// whole lines, and the lines that remain follow each other with none lost or doubled.
TEST(Startup, LogRotatesBySize) {
  gw::Gateway gateway(gw::approver());
  constexpr int kMax = 3000;  // about one and a half requests' lines
  // With workers, lines carry their terminal's name (here a long one), and count it.
  const std::string terminal(15, 't');
  zt::Service svc(gateway.port(), {"-t", terminal},
                  {"ZELCLIENT_LOG_MAX_BYTES=" + std::to_string(kMax), "ZELCLIENT_LOG_KEEP=2",
                   "ZELCLIENT_CONCURRENCY=2"});
  svc.start();
  answer_requests(svc, 12, terminal);
  ASSERT_TRUE(svc.stop());

  EXPECT_FALSE(zt::exists(svc.work / "svc.log.3"));
  const std::regex kWholeLine("\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d\t[A-Z]*\t[^\r]*\r?");
  std::vector<int> numbers;   // oldest file first
  std::size_t before = kMax;  // the size of the file before, which the first line did not fit
  for (const char* name : {"svc.log.2", "svc.log.1", "svc.log"}) {
    SCOPED_TRACE(name);
    const std::string log = zt::read_file(svc.work / name);
    ASSERT_FALSE(log.empty());
    EXPECT_LE(log.size(), static_cast<std::size_t>(kMax));
    EXPECT_GT(before + log.find('\n') + 1, static_cast<std::size_t>(kMax));
    before = log.size();
    EXPECT_EQ(log.substr(log.size() - std::strlen(zt::kLineEnd)), zt::kLineEnd);
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) EXPECT_TRUE(std::regex_match(line, kWholeLine));
    const auto more = approvals(log);
    numbers.insert(numbers.end(), more.begin(), more.end());
  }
  ASSERT_FALSE(numbers.empty());
  EXPECT_GT(numbers.front(), 1);  // rotated more often than files are kept
  EXPECT_EQ(numbers.back(), 12);
  for (std::size_t i = 1; i < numbers.size(); ++i) EXPECT_EQ(numbers[i], numbers[i - 1] + 1);
}

// SIGHUP after the file was moved away: the lines until then are in the moved file,
// the later ones in a new file of the old name, and the service runs on. A size
// limit of 0 is refused with a WARNING, first thing, and nothing rotates; so is a
// count of 0 files kept.
TEST(Startup, LogReopensOnHangup) {
  if (zt::kWindows) GTEST_SKIP() << "Windows has no hang-up signal; its log rotates by size";
  gw::Gateway gateway(gw::approver());
  zt::Service svc(gateway.port(), {}, {"ZELCLIENT_LOG_MAX_BYTES=0", "ZELCLIENT_LOG_KEEP=0"});
  svc.start();
  answer_requests(svc, 2);
  zt::fs::rename(svc.work / "svc.log", svc.work / "moved.log");
  answer_requests(svc, 2);
  ASSERT_EQ(zt::run({"/bin/kill", "-HUP", std::to_string(svc.pid())}), 0);
  answer_requests(svc, 2);
  EXPECT_TRUE(svc.running());
  ASSERT_TRUE(svc.stop());
  const std::string moved = zt::read_file(svc.work / "moved.log");
  const auto first = zt::log_messages(moved);
  ASSERT_GE(first.size(), 2u);
  EXPECT_EQ(first[0],
            "WARNING\tLOG_Open valor invalido ZELCLIENT_LOG_MAX_BYTES=[0] ignorado, no se rota "
            "por tama\xF1o");
  EXPECT_EQ(first[1], "WARNING\tLOG_Open valor invalido ZELCLIENT_LOG_KEEP=[0] ignorado, se usa 5");
  EXPECT_EQ(approvals(moved), (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(approvals(zt::read_file(svc.work / "svc.log")), (std::vector<int>{5, 6}));
  EXPECT_FALSE(zt::exists(svc.work / "svc.log.1"));
}

}  // namespace
