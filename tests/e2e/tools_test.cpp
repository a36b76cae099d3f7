// The tools against the real service: zelgateway in each mode, with its traffic
// lines, its stop and its refusals; zelterm playing a terminal.
#include <gtest/gtest.h>

#include "testsupport.h"

namespace {

using namespace std::chrono_literals;

using zt::Zelgateway;

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
      {{"-m", "approve"}, false, approval, "type=1 " + sent + "approved F52=GW0000000001"},
      {{"-m", "reject"}, false, zt::preauth('G', 1), "type=1 " + sent + "rejected"},
      // The probe that follows reaches zelgateway too: a connection without a packet.
      {{"-m", "close"},
       false,
       zt::preauth('G', 1),
       "type=1 " + sent + "closed without answer" + zt::kLineEnd + "incomplete packet: 0 bytes"},
      {{"-m", "delay", "-d", "150"},
       false,
       approval,
       "type=1 " + sent + "approved after a delay F52=GW0000000001"},
      {{"-m", "split", "-d", "200"},
       false,
       zt::preauth('G', 1),
       "type=1 " + sent + "approved in two pieces F52=GW0000000001"},
      {{"-m", "silent"},
       false,
       zt::preauth('G', 1),
       "type=1 " + sent + "holding the connection without answer"},
      {{},
       true,
       approval,
       "type=0 sender=[CLI1] message=[|G01=1234|G81=0001|] -> life signal, no answer"},
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
    svc.drop("caja1", zt::kRequest);
    EXPECT_EQ(svc.answer("caja1"), m.answer);
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

}  // namespace
