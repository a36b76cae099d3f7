// The tools against the real service: zelgateway in each mode, with its traffic
// lines, its stop and its refusals; zelterm playing a terminal; zelstatus checking
// a state file and printing the journal.
#include <gtest/gtest.h>

#include <ctime>

#include "testsupport.h"

namespace {

using namespace std::chrono_literals;

using zt::Zelgateway;

// Every program says its usage and its version when asked, and nothing else.
TEST(Tools, HelpAndVersion) {
  for (const char* tool : {"zelclient", "zelgateway", "zelterm", "zelstatus"}) {
    for (const char* ask : {"--help", "--version"}) {
      zt::Child child({zt::bin(tool), ask});
      EXPECT_EQ(child.wait(), 0) << tool << ask;
      EXPECT_EQ(child.output().rfind(
                    ask[2] == 'h' ? "usage: " + std::string(tool) : std::string(tool) + " 0.", 0),
                0u)
          << child.output();
    }
  }
}

// Each mode seen by the service, and by an operator on zelgateway's standard output.
TEST(Zelgateway, ModesAgainstTheService) {
  const std::string approval =
      "|F01=1234|F04=556677|F08=42|F41=caja1|F50=00|F51=APROBADA|F52=GW0000000001|";
  const std::string sent =
      "sender=[AB..] message=[" + std::string(zt::kRequest) + "G06=|G41=caja1|] -> ";
  const struct {
    std::vector<std::string> args;
    bool journal;  // a journal: life signals (-p 0) go first, and change the sender
    std::string answer;
    std::string printed;
  } modes[] = {
      // clang-format off
      {{"-m", "approve"}, false, approval, "type=1 " + sent + "approved F52=GW0000000001"},
      {{"-m", "reject"}, false, zt::preauth('G', 1), "type=1 " + sent + "rejected"},
      // The probe that follows reaches zelgateway too: a connection without a packet.
      {{"-m", "close"}, false, zt::preauth('G', 1),
       "type=1 " + sent + "closed without answer" + zt::kLineEnd + "incomplete packet: 0 bytes"},
      {{"-m", "delay", "-d", "150"}, false, approval,
       "type=1 " + sent + "approved after a delay F52=GW0000000001"},
      {{"-m", "split", "-d", "200"}, false, approval,
       "type=1 " + sent + "approved in two pieces F52=GW0000000001"},
      {{"-m", "silent"}, false, zt::preauth('G', 1),
       "type=1 " + sent + "holding the connection without answer"},
      {{}, true, approval,
       "type=0 sender=[CLI1] message=[|G01=1234|G81=0001|] -> life signal, no answer"},
      // clang-format on
  };
  bool interrupt = false;
  for (const auto& m : modes) {
    SCOPED_TRACE(m.printed);
    zt::TempDir dir;
    std::vector<std::string> args = m.args;
    args.insert(args.end(), {"-l", (dir / "gw.log").string()});
    Zelgateway gateway(args);
    zt::Service svc(gateway.port, {"-F", "1234"},
                    {"ZELCLIENT_NET_TIMEOUT_MS=1000", zt::probe_hosts(gateway.port)});
    if (m.journal) zt::write_file(svc.work / "zelautoresp.txt", "");
    svc.start();
    EXPECT_EQ(svc.ask("caja1", zt::kRequest), m.answer);
    ASSERT_TRUE(svc.stop());
    EXPECT_TRUE(gateway.printed(m.printed)) << gateway.child->output();
    EXPECT_TRUE(!m.journal || gateway.child->output().find("type=1 sender=[CLI1] message=[") !=
                                  std::string::npos);
    // SIGINT or SIGTERM (Ctrl+C or Ctrl+Break) stops it cleanly, a held connection too.
    (interrupt = !interrupt) ? gateway.child->interrupt() : gateway.child->terminate();
    EXPECT_EQ(gateway.child->wait(), 0);
    EXPECT_TRUE(gateway.printed("stopped"));
    // Started again at once on its port, where the connections it closed wait in TIME_WAIT.
    EXPECT_EQ(Zelgateway({"-p", std::to_string(gateway.port)}).port, gateway.port);
    EXPECT_TRUE(zt::contains_in_order(
        zt::log_messages(zt::read_file(dir / "gw.log")),
        {"INFO\tSOCKET_Init multithreaded", "DEBUG\tSOCKET_Open libere el Mutex ClientId=[1]"}));
  }
}

// A bad command line exits with 2, a port in use with 1.
TEST(Zelgateway, Refusals) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"-m", "maybe"}, {"-p", "70000"}, {"-p"}, {"-x", "1"}}) {
    std::vector<std::string> argv = {zt::bin("zelgateway")};
    argv.insert(argv.end(), args.begin(), args.end());
    EXPECT_EQ(zt::run(argv), 2);
  }
  const Zelgateway gateway({});
  EXPECT_EQ(zt::run({zt::bin("zelgateway"), "-p", std::to_string(gateway.port)}), 1);
}

// zelterm plays a terminal: one request and its answer's fields, a local answer
// decoded for the console, a replay, the time-out for a terminal nobody serves.
TEST(Zelterm, RoundTripReplayAndTimeOut) {
  gw::Gateway gateway(gw::approver());
  zt::Service svc(gateway.port());
  svc.start();
  const auto term = [&](std::vector<std::string> args, int status) {
    args.insert(args.begin(), {zt::bin("zelterm"), "-r", svc.root.str()});
    zt::Child child(args);
    EXPECT_EQ(child.wait(), status);
    std::string out = child.output();
    std::erase(out, '\r');
    return out;
  };
  EXPECT_EQ(term({"-t", "caja1", "-w", "5000", "G01=1234", "G99=000020"}, 0),
            "F01=1234\nF04=\nF08=\nF41=caja1\nF50=00\nF51=APROBADA\nF52=GW0000000001\n");
  EXPECT_FALSE(zt::exists(svc.root / "caja1out.txt"));
  ASSERT_FALSE(zt::requests(gateway).empty());
  EXPECT_EQ(zt::requests(gateway)[0].message(), "|G01=1234|G99=000020|G06=|G41=caja1|");
  const std::string record(51, '1');
  EXPECT_NE(
      term({"-t", "caja2", "-w", "5000", "G01=1", "G06=" + record + record + record, "G99=000020"},
           0)
          .find("F51=N\xC3\xBAmero de Troqueles invalido\n"),
      std::string::npos);
  zt::write_file(svc.work / "requests.txt", "|G01=1|G99=000020|\n|G01=2|G99=000010|\n");
  EXPECT_EQ(term({"-t", "caja1", "-q", "-R", (svc.work / "requests.txt").string()}, 0)
                .rfind("replayed 2 requests, 2 answered", 0),
            0u);
  term({"-t", "caja9", "-w", "300", "G01=1"}, 1);
  term({}, 2);
  ASSERT_TRUE(svc.stop());
}

// zelstatus with its exit status and standard output (line ends as stored).
std::pair<int, std::string> zelstatus(std::vector<std::string> args) {
  args.insert(args.begin(), zt::bin("zelstatus"));
  zt::Child child(args);
  const int status = child.wait();
  return {status, child.output()};
}

// The check's verdict, first word and reason, for each state and for the process
// that wrote it running (a real zelclient), gone (a child waited for) or another
// program's; then the real service's own state file, ready and stopped.
TEST(Zelstatus, CheckVerdicts) {
  zt::Service svc(zt::closed_port());
  svc.start();
  zt::Child ended({zt::bin("zelclient")});  // a refused command line
  ASSERT_EQ(ended.wait(), 255);
  const Zelgateway other({});
  const int alive = svc.pid(), gone = ended.pid(), foreign = other.child->pid();
  const std::string at = "2026/12/07 15:50:20";
  const struct {
    int pid;
    std::string lines;  // the state's own, after pid=
    int status;
    std::string first;
  } rows[] = {
      {alive, "state=ready\ngateway=up\nanswers_waiting=0", 0,
       "OK - ready, gateway up since " + at},
      {alive, "state=ready\ngateway=up\nanswers_waiting=2", 1,
       "WARNING - 2 answers waiting to be published"},
      {alive, "state=ready\ngateway=down\ngateway_down_local=3\nanswers_waiting=1", 2,
       "CRITICAL - gateway down since " + at +
           ", 3 local pre-authorisations; 1 answer waiting to be published"},
      {gone, "state=ready\ngateway=up\nanswers_waiting=0", 2, "CRITICAL - not running: process"},
      {foreign, "state=ready\ngateway=up\nanswers_waiting=0", 2, "CRITICAL - not running"},
      {alive, "state=stopped\ngateway=up\nanswers_waiting=0\nupdated=" + at, 2,
       "CRITICAL - stopped at " + at},
      {alive, "state=maybe\ngateway=up\nanswers_waiting=0", 3, "UNKNOWN - "},
      {0, "", 3, "UNKNOWN - cannot read "},  // no state file
      // Not written for three minutes: a living service writes it every minute.
      {alive, "state=ready\ngateway=up\nanswers_waiting=0\nupdated=" + at, 2,
       "CRITICAL - hung: its state was last written at " + at},
  };
  char now[32];
  const std::time_t t = std::time(nullptr);
  std::strftime(now, sizeof now, "%Y/%m/%d %H:%M:%S", std::localtime(&t));
  for (const auto& r : rows) {
    SCOPED_TRACE(r.lines);
    zt::TempDir dir;
    const std::string text = "version=0.1.0\npid=" + std::to_string(r.pid) + "\nupdated=" + now +
                             "\n" + r.lines + "\ngateway_since=" + at + "\nlater_key=x\n";
    if (r.pid != 0) zt::write_file(dir / "zelclient.state", text);
    const auto [status, out] = zelstatus({dir.str()});
    EXPECT_EQ(status, r.status);
    EXPECT_EQ(out.rfind("ZELCLIENT " + r.first, 0), 0u) << out;
  }
  EXPECT_EQ(zelstatus({svc.work.str()})
                .second.rfind(
                    std::string("ZELCLIENT OK - ready, gateway not asked yet") + zt::kLineEnd, 0),
            0u);
  ASSERT_TRUE(svc.stop());
  EXPECT_EQ(zelstatus({svc.work.str()}).first, 2);
  EXPECT_EQ(zelstatus({}).first, 3);
}

// The journal as CSV: values quoted where they must be, a line without G41, the
// earliest log line showing a number as its time (a longer number is another
// one), and the filters by number range and by day.
TEST(Zelstatus, JournalAsCsv) {
  zt::TempDir dir;
  zt::write_file(dir / "zelautoresp.txt",
                 "|G01=1234|G04=556677|G08=42|G99=000020|G06=|G41=caja1|G52=G20260000017|\r\n"
                 "|G01=1234|G04=5,6|G08=4\"\xD1|G99=000020|G06=|G52=I20260000018|\r\n"
                 "|G01=77|G04=1|G08=|G99=000010|G06=|G41=caja2|G52=G20260000019|\r\n"
                 "|G01==HYPERLINK(1)|G04=G08=\x1b|G08=@1|G41=caja1|G52=G20260000020|\r\n");
  const std::string log = (dir / "zelclient.log").string();
  zt::write_file(log,
                 "2026/12/08 09:00:00\tWARNING\tZELClient_Process descartando respuesta numero "
                 "[G20260000017] no entregado\n"
                 "2026/12/07 15:50:20\tDEBUG\tZEL_TranPutfield Tran=[|F52=G20260000017]\n"
                 "2026/12/07 08:00:00\tDEBUG\tZEL_TranPutfield Tran=[|F52=G202600000170]\n"
                 "2026/12/09 10:00:00\tINFO\tG20260000017\n"  // no line of the service's
                 "2026/12/07 09:30:00\tINFO\t[caja2] ZELClient_Process respuesta para [caja2]: "
                 "pre-autorizacion local [G20260000019]\n"
                 "2026/12/01 10:00:00\tINFO\tZELClient_Process Envio hacia el Gateway:[|F52="
                 "G20260000018|]\n");
  // The causes record beside the journal gives a number its cause and its time.
  zt::write_file(dir / "zelcausas.txt", "I20260000018|sin_respuesta|2026/12/07 12:00:00\r\n");
  const std::string head = "pharmacy,prescription,beneficiary,terminal,number,logged_at,cause\r\n";
  const std::string first = "1234,556677,42,caja1,G20260000017,2026/12/07 15:50:20,\r\n";
  const std::string second =
      "1234,\"5,6\",\"4\"\"\xC3\x91\",,I20260000018,2026/12/07 12:00:00,sin_respuesta\r\n";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out;
  } cases[] = {
      {{"--from", "G20260000017", "--to", "20260000018", "--log", log}, 0, head + first + second},
      {{"--day", "2026/12/07", "--log", log},
       0,
       head + first + second + "77,1,,caja2,G20260000019,2026/12/07 09:30:00,\r\n"},
      // G08 read as the service reads it (found first in G04); no formula and no
      // control byte goes out as it is.
      {{"--from", "G20260000020"},
       0,
       head + "'=HYPERLINK(1),G08=\\x1B,\\x1B,caja1,G20260000020,,\r\n"},
      {{"--day", "2026/12/07"}, 0, head + second},
      {{"--from", "G2026"}, 3, ""},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"--csv", dir.str()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    EXPECT_EQ(zelstatus(args), std::make_pair(c.status, c.out)) << c.args[0];
  }
}

}  // namespace
