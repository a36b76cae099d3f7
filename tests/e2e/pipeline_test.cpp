// The request pipeline end to end: the real zelclient, real files, a scripted
// gateway on 127.0.0.1.
#include <gtest/gtest.h>

#include <memory>

#include "service_fixture.h"

namespace {

using zt::approve;
using zt::FakeGateway;
using zt::GatewayReply;
using zt::kApproval;
using zt::Packet;
using zt::probes_to;
using zt::Service;

struct Outcome {
  const char* name;
  std::string request;
  FakeGateway::Script script;
  bool gatewayDown;
  bool probesAnswer;
  std::string answer;
  std::vector<std::string> logLines;  // in this order
  std::size_t packetsSent;
};

TEST(Pipeline, OutcomeTable) {
  const std::string g1 = zt::preauth_answer('G', 1);
  const std::string i1 = zt::preauth_answer('I', 1);
  const std::string errorFormat =
      "|F01=1234|F04=556677|F08=42|F41=caja1|F50=ND|F51=Formato de Troquel invalido|F99=000021|";
  const std::string errorCount =
      "|F01=1234|F04=556677|F08=42|F41=caja1|F50=ND|F51=N\xFAmero de Troqueles invalido|"
      "F99=000021|";
  const std::string withTroqueles = "|G01=1234|G04=556677|G08=42|G06=" + zt::troquel(1) +
                                    zt::troquel(2) + zt::troquel(3) + "|G99=000020|";
  const std::vector<Outcome> outcomes = {
      {"reply with F52",
       zt::kRequest,
       approve,
       false,
       true,
       kApproval,
       {"INFO\tZELClient_Process Envio hacia el Gateway:[|G01=1234|G04=556677|G08=42|G99=000020|"
        "G06=|G41=caja1|]",
        "INFO\tZELClient_Process Recibio del Gateway:[" + kApproval + "]",
        "INFO\tHubo una validacion, se reinicializa timer de vida"},
       1},
      {"reply without F52",
       zt::kRequest,
       [](const Packet&) {
         return GatewayReply{{zt::reply_packet("|F50=00|")}, 0};
       },
       false,
       true,
       g1,
       {"INFO\tHubo una validacion, se reinicializa timer de vida",
        "ERROR\tZELClient_Process no existe campo F52 en el mensaje de respuesta"},
       1},
      {"invalid transaction type",
       "|G01=1234|G04=556677|G08=42|G99=20|",
       approve,
       false,
       true,
       "|F01=1234|F04=556677|F08=42|F41=caja1|F50=ND|F51=RECETA PRE-AUTORIZADA|F52=G" +
           zt::current_year() + "0000001|F99=000031|",
       {"ERROR\tZELClient_Process Tipo de transaccion invalido"},
       0},
      {"troquel list of no width",
       "|G01=1234|G04=556677|G08=42|G06=" + std::string(100, '1') + "|G99=000020|",
       approve,
       false,
       true,
       errorFormat,
       {"ERROR\tZELClient_Process Formato de Troquel invalido"},
       0},
      {"too many troqueles",
       withTroqueles,
       approve,
       false,
       true,
       errorCount,
       {"ERROR\tZELClient_Process N\xFAmero de Troqueles invalido"},
       0},
      {"gateway closes without answering",
       zt::kRequest,
       [](const Packet&) { return GatewayReply{}; },
       false,
       true,
       g1,
       {"ERROR\tZELClient_Process SOCKET_Receive"},
       1},
      {"gateway down, probes answer",
       zt::kRequest,
       approve,
       true,
       true,
       g1,
       {"ERROR\tZELClient_Process conectandose al gateway en [127.0.0.1:"},
       0},
      {"gateway down, no probe answers", zt::kRequest, approve, true, false, i1, {}, 0},
  };

  for (const auto& o : outcomes) {
    SCOPED_TRACE(o.name);
    FakeGateway gateway(o.script);
    zt::TcpServer probe([](int) {});
    const int gatewayPort = o.gatewayDown ? zt::closed_port() : gateway.port();
    Service svc(gatewayPort, {}, {probes_to(o.probesAnswer ? probe.port() : zt::closed_port())});
    svc.drop("caja1", o.request);
    EXPECT_EQ(svc.answer("caja1"), o.answer);
    ASSERT_TRUE(svc.stop());
    EXPECT_FALSE(zt::exists(svc.root / "caja1in.txt"));
    // A local pre-authorisation creates the journal, which starts life signals (type 0).
    std::size_t requests = 0;
    for (const auto& p : gateway.packets()) requests += p.type() != 0 ? 1 : 0;
    EXPECT_EQ(requests, o.packetsSent);
    auto lines = svc.log();
    // Prefix match for the last expected line of the gateway-down row (port varies).
    for (auto& line : lines) {
      if (line.rfind("ERROR\tZELClient_Process conectandose al gateway en [127.0.0.1:", 0) == 0) {
        line = "ERROR\tZELClient_Process conectandose al gateway en [127.0.0.1:";
      }
    }
    EXPECT_TRUE(zt::contains_in_order(lines, o.logLines));
  }
}

TEST(Pipeline, PacketBytesAndTypes) {
  FakeGateway gateway(approve);
  Service svc(gateway.port(), {"-c", "2"});
  // Type 1, CR LF stripped, all-zero record dropped, G06 rewritten at the end. A
  // number of 2^32 is a troquel like any other (a wrapping atoi would read 0).
  const std::string big = "4294967296" + std::string(41, 'X');
  svc.drop("caja1", "|G01=1234|G06=" + zt::troquel(7) + zt::troquel(0) + big + "|G99=000020|\r\n");
  EXPECT_EQ(svc.answer("caja1"), kApproval);
  svc.drop("caja2", "|G01=9|G99=000010|G41=own|");
  EXPECT_EQ(svc.answer("caja2"), kApproval);
  ASSERT_TRUE(svc.stop());

  const auto packets = gateway.packets();
  ASSERT_EQ(packets.size(), 2u);
  const std::string first = "|G01=1234|G99=000020|G06=" + zt::troquel(7) + big + "|G41=caja1|";
  EXPECT_EQ(packets[0].message(), first);
  EXPECT_EQ(packets[0].type(), 1);
  EXPECT_EQ(packets[0].sender(), std::string("AB\0\0", 4));
  const std::size_t len = first.size() + 6;
  EXPECT_EQ(packets[0].raw.substr(0, 4),
            std::string({0, 0, static_cast<char>(len >> 8), static_cast<char>(len & 0xFF)}));
  EXPECT_EQ(packets[1].type(), 3);
  EXPECT_EQ(packets[1].message(), "|G01=9|G99=000010|G41=own|G06=|G41=caja2|");
}

TEST(Pipeline, TroquelWidthsAndLimit) {
  struct Case {
    std::string list;
    int limit;
    bool forwarded;
  } cases[] = {
      {std::string(104, '2'), 2, true},  // two records of 52
      {std::string(106, '3'), 2, true},  // two records of 53
      {zt::troquel(1) + zt::troquel(2) + zt::troquel(3), 3, true},
      {zt::troquel(1) + zt::troquel(2) + zt::troquel(3), 2, false},
      {std::string(300, '0') + std::string(6, '0'), 2, false},  // longer than the list buffer
  };
  for (const auto& c : cases) {
    FakeGateway gateway(approve);
    Service svc(gateway.port(), {"-c", std::to_string(c.limit)});
    svc.drop("caja1", "|G01=1234|G06=" + c.list + "|G99=000020|");
    const std::string answer = svc.answer("caja1");
    ASSERT_TRUE(svc.stop());
    EXPECT_EQ(gateway.packets().size(), c.forwarded ? 1u : 0u) << c.list.size();
    EXPECT_EQ(answer == kApproval, c.forwarded) << answer;
  }
}

TEST(Pipeline, NeverAnsweringGatewayIsBounded) {
  FakeGateway gateway([](const Packet&) { return GatewayReply{{}, 60000}; });
  zt::TcpServer probe([](int) {});
  Service svc(
      gateway.port(), {},
      {"ZELCLIENT_NET_TIMEOUT_MS=300", "ZELCLIENT_PROBE_TIMEOUT_MS=300", probes_to(probe.port())});
  svc.drop("caja1", zt::kRequest);
  EXPECT_EQ(svc.answer("caja1"), zt::preauth_answer('G', 1));
  ASSERT_TRUE(svc.stop());
}

TEST(Pipeline, ReplyInTwoPiecesKeepsTheFirst) {
  FakeGateway gateway([](const Packet&) {
    const std::string whole = zt::reply_packet(kApproval);
    return GatewayReply{{whole.substr(0, 20), whole.substr(20)}, 0};
  });
  zt::TcpServer probe([](int) {});
  Service svc(gateway.port(), {}, {probes_to(probe.port())});
  svc.drop("caja1", zt::kRequest);
  // The first piece holds no F52: a local answer.
  EXPECT_EQ(svc.answer("caja1"), zt::preauth_answer('G', 1));
  ASSERT_TRUE(svc.stop());
}

TEST(Pipeline, TwoTerminalsInTableOrder) {
  FakeGateway gateway(approve);
  Service svc(gateway.port(), {}, {}, false);
  svc.drop("caja2", "|G01=2|G99=000020|");
  svc.drop("caja1", "|G01=1|G99=000020|");
  svc.start();
  EXPECT_EQ(svc.answer("caja1"), kApproval);
  EXPECT_EQ(svc.answer("caja2"), kApproval);
  ASSERT_TRUE(svc.stop());
  const auto packets = gateway.packets();
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_NE(packets[0].message().find("G41=caja1"), std::string::npos);
  EXPECT_NE(packets[1].message().find("G41=caja2"), std::string::npos);
}

TEST(Pipeline, StopFileAtStartLeavesRequests) {
  FakeGateway gateway(approve);
  Service svc(gateway.port(), {}, {}, false);
  svc.drop("caja1", zt::kRequest);
  zt::write_file(svc.root / "ZELCLIENTSTOP.tmp", "");
  zt::Child child({zt::bin("zelclient"), "-n", "AB", "-r", svc.root.str(), "-t", "caja1"},
                  svc.work.str());
  EXPECT_EQ(child.wait(), 0);
  EXPECT_TRUE(zt::exists(svc.root / "caja1in.txt"));
  EXPECT_TRUE(gateway.packets().empty());
}

// Starts a process that holds path open ("<" reading, ">>" writing) for ms
// milliseconds; returns once it holds the file.
std::unique_ptr<zt::Child> hold(const zt::fs::path& path, const std::string& how, int ms) {
  const zt::fs::path ready = path.string() + ".held";
#ifdef _WIN32
  auto holder = std::make_unique<zt::Child>(
      std::vector<std::string>{zt::bin("zel_win_helper"), "hold", how == "<" ? "r" : "a",
                               path.string(), std::to_string(ms), ready.string()});
#else
  auto holder = std::make_unique<zt::Child>(
      std::vector<std::string>{"/bin/sh", "-c",
                               "exec 3" + how + "'" + path.string() + "'; : >'" + ready.string() +
                                   "'; sleep " + std::to_string(ms / 1000.0)});
#endif
  EXPECT_TRUE(zt::wait_until([&] { return zt::exists(ready); }));
  std::error_code ec;
  std::filesystem::remove(ready, ec);
  return holder;
}

TEST(Pipeline, RequestHeldOpenIsAnsweredOnceClosed) {
  FakeGateway gateway(approve);
  Service svc(gateway.port());
  // A terminal still holding its file for writing: the service must leave it.
  auto holder = hold(svc.root / "caja1in.txt", ">>", 500);
  svc.drop("caja1", zt::kRequest);
  EXPECT_EQ(svc.answer("caja1"), kApproval);
  EXPECT_EQ(holder->wait(), 0);
  ASSERT_TRUE(svc.stop());
  EXPECT_TRUE(zt::contains_in_order(svc.log(), {"WARNING\tZELClient_Process ReadFileInput file [" +
                                                (svc.root / "caja1in.txt").string() + "]"}));
}

TEST(Pipeline, RequestHeldWithoutWritingIsRetriedSoon) {
  // Closing a file opened only for reading reports no change, and a close may be
  // reported before the file is free: a refused request must be retried all the
  // same, long before the wait time-out (30 s here).
  FakeGateway gateway(approve);
  Service svc(gateway.port(), {}, {}, false);
  svc.drop("caja1", zt::kRequest);
  auto holder = hold(svc.root / "caja1in.txt", "<", 400);
  svc.start();
  EXPECT_EQ(svc.answer("caja1", 5000), kApproval);
  EXPECT_EQ(holder->wait(), 0);
  ASSERT_TRUE(svc.stop());
}

TEST(Pipeline, EmptyRequestFileIsTakenOnceItStaysEmpty) {
  FakeGateway gateway(approve);
  Service svc(gateway.port());
  // Empty when first seen, it may be a file being created: it is taken only when
  // it is still empty a second later, and then answered as before.
  svc.drop("caja1", "");
  EXPECT_EQ(svc.answer("caja1"),
            "|F01=|F04=|F08=|F41=caja1|F50=ND|F51=RECETA PRE-AUTORIZADA|F52=G" +
                zt::current_year() + "0000001|F99=000031|");
  ASSERT_TRUE(svc.stop());
}

TEST(Pipeline, LifeSignalBeforeRequests) {
  FakeGateway gateway(approve);
  Service svc(gateway.port(), {"-F", "1234", "-p", "0"}, {}, false);
  zt::write_file(svc.work / "zelautoresp.txt", "");
  svc.start();
  ASSERT_TRUE(gateway.wait_packets(1));
  svc.drop("caja1", zt::kRequest);
  EXPECT_EQ(svc.answer("caja1"), kApproval);
  ASSERT_TRUE(svc.stop());

  const auto packets = gateway.packets();
  ASSERT_GE(packets.size(), 2u);
  const std::string life = std::string("\0\0\0\x19\0\0CLI1", 10) + "|G01=1234|G81=0001|";
  EXPECT_EQ(packets[0].raw, life);
  bool requestSeen = false;
  for (const auto& p : packets) {
    if (p.type() == 1) {
      requestSeen = true;
      EXPECT_EQ(p.sender(), "CLI1");
    }
  }
  EXPECT_TRUE(requestSeen);
  EXPECT_NE(svc.stdout_text().find("Eviando se\xF1"
                                   "al de vida desde el client" +
                                   std::string(zt::kLineEnd)),
            std::string::npos);
  EXPECT_TRUE(zt::contains_in_order(svc.log(), {"INFO\tZELClient_Process enviando se\xF1"
                                                "al de vida",
                                                "DEBUG\tZELClient_Enviar Mensage de vida Entry"}));
}

TEST(Pipeline, NoLifeSignalWithoutJournalOrWhenOff) {
  FakeGateway gateway(approve);
  {
    Service svc(gateway.port(), {"-p", "0"});
    ASSERT_TRUE(svc.stop());
    for (const auto& line : svc.log()) EXPECT_EQ(line.find("transcurrieron"), std::string::npos);
  }
  {
    Service svc(gateway.port(), {"-p", "-1"}, {}, false);
    zt::write_file(svc.work / "zelautoresp.txt", "");
    svc.start();
    ASSERT_TRUE(svc.stop());
    bool elapsedLogged = false;
    for (const auto& line : svc.log()) {
      elapsedLogged |= line.find("transcurrieron") != std::string::npos;
    }
    EXPECT_TRUE(elapsedLogged);
  }
  EXPECT_TRUE(gateway.packets().empty());
}

}  // namespace
