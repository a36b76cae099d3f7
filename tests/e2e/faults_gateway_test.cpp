// Gateway faults against the real service: a gateway that closes, answers in
// pieces, answers too much, answers garbage, never answers, or goes away and
// comes back. Every faulty exchange ends in one answer for the terminal, and the
// service answers the next request normally.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "service_fixture.h"
#include "terminals.h"

namespace {

using zt::approve;
using zt::FakeGateway;
using zt::GatewayReply;
using zt::kApproval;
using zt::Packet;
using zt::probes_to;
using zt::Service;

std::string header_of(std::size_t textLength) {
  return zt::reply_packet(std::string(textLength, 'x')).substr(0, 10);
}

struct Fault {
  const char* name;
  GatewayReply reply;   // to the first request; later ones are approved
  std::string answer;   // what the terminal then finds
  std::string logLine;  // logged for the fault
};

TEST(GatewayFaults, EachFaultGetsOneAnswerAndTheServiceGoesOn) {
  const std::string local = zt::preauth_answer('G', 1);
  const std::string big(5000, 'x');
  const std::string binary = "|F01=1234|F52=A\x01\x02\x7f\xff\xfe|F99=\x1b[2J|";
  const Fault faults[] = {
      {"accepts and closes", {}, local, "ERROR\tZELClient_Process SOCKET_Receive"},
      {"header and text in two pieces",
       {{header_of(kApproval.size()), kApproval}, 0},
       local,
       "ERROR\tZELClient_Process no existe campo F52 en el mensaje de respuesta"},
      // One read takes 4095 bytes at most: the text is longer than an answer may be.
      {"4096 bytes and more, F52 first",
       {{zt::reply_packet("|F01=1234|F52=A0001|" + big + "|")}, 0},
       "",
       "ERROR\tZELClient_Process WriteFileOutput"},
      {"F52 past the first 4095 bytes",
       {{zt::reply_packet("|F01=" + big.substr(0, 4090) + "|F52=A0001|")}, 0},
       local,
       "ERROR\tZELClient_Process no existe campo F52 en el mensaje de respuesta"},
      {"zero bytes before the text",
       {{zt::reply_packet(std::string("\0\0", 2) + kApproval)}, 0},
       local,
       "ERROR\tZELClient_Process no existe campo F52 en el mensaje de respuesta"},
      {"garbage without F52",
       {{std::string("\xff\xfe\x01\x02garbage\x80\x81\x82 and more garbage\x7f", 33)}, 0},
       local,
       "ERROR\tZELClient_Process no existe campo F52 en el mensaje de respuesta"},
      // Binary bytes, escape sequences included, travel as data to the terminal; the
      // log shows the control bytes as \xNN.
      {"binary bytes with F52",
       {{zt::reply_packet(binary)}, 0},
       binary,
       "INFO\tZELClient_Process Recibio del Gateway:[|F01=1234|F52=A\\x01\\x02\\x7F\xff\xfe|F99="
       "\\x1B[2J|]"},
      // Held past the service's bound; the gateway is free again for the next one.
      {"never answers", {{}, 800}, local, "ERROR\tZELClient_Process SOCKET_Receive"},
  };
  zt::TcpServer probe([](int) {});
  for (const auto& f : faults) {
    SCOPED_TRACE(f.name);
    std::atomic<int> requests{0};
    FakeGateway gateway([&](const Packet& p) {
      if (p.type() == 0) return GatewayReply{};
      return ++requests == 1 ? f.reply : GatewayReply{{zt::reply_packet(kApproval)}, 0};
    });
    Service svc(gateway.port(), {"-p", "-1"},
                {"ZELCLIENT_NET_TIMEOUT_MS=500", probes_to(probe.port())});
    svc.drop("caja1", zt::kRequest);
    ASSERT_TRUE(
        zt::wait_until([&] { return zt::TerminalFleet::answer_ready(svc.root.path(), "caja1"); }));
    const auto out = svc.root / "caja1out.txt";
    EXPECT_EQ(zt::read_file(out), f.answer);  // complete: the request is released
    std::filesystem::remove(out);
    svc.drop("caja1", zt::kRequest);
    EXPECT_EQ(svc.answer("caja1"), kApproval);
    ASSERT_TRUE(svc.stop());
    EXPECT_TRUE(zt::contains_in_order(svc.log(), {f.logLine}));
    EXPECT_EQ(requests, 2);
  }
}

// The gateway stopped and started again on its port while terminals keep the
// service busy: requests made meanwhile are answered locally, the others by the
// gateway, each exactly once.
TEST(GatewayFaults, GatewayRestartsDuringARun) {
  const FakeGateway::Script approveEcho = [](const Packet& p) {
    if (p.type() == 0) return GatewayReply{};
    const std::string id = zt::TerminalFleet::field(p.message(), "G04");
    return GatewayReply{
        {zt::reply_packet("|F01=1234|F04=" + id + "|F51=APROBADA|F52=A1|F99=000021|")}, 0};
  };
  const int port = zt::closed_port();
  auto gateway = std::make_unique<FakeGateway>(approveEcho, port);
  zt::TcpServer probe([](int) {});
  Service svc(port, {"-t", "caja1,caja2,caja3", "-p", "-1"}, {probes_to(probe.port())});
  zt::TerminalFleet fleet(svc.root.path(), {"caja1", "caja2", "caja3"}, "r");
  fleet.start();
  for (int round = 0; round < 2; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    gateway.reset();  // connections are refused from now on
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    gateway = std::make_unique<FakeGateway>(approveEcho, port);
    ASSERT_EQ(gateway->port(), port);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  fleet.stop(std::chrono::seconds(10));
  ASSERT_TRUE(svc.stop());

  std::size_t approved = 0;
  std::size_t local = 0;
  for (const auto& e : fleet.exchanges()) {
    EXPECT_TRUE(e.answered) << e.id;
    EXPECT_EQ(zt::TerminalFleet::field(e.answer, "F04"), e.id) << e.answer;
    approved += e.answer.find("|F51=APROBADA|") != std::string::npos;
    local += e.answer.find("|F51=RECETA PRE-AUTORIZADA|") != std::string::npos;
  }
  EXPECT_EQ(fleet.mismatches(), 0);
  EXPECT_EQ(approved + local, fleet.exchanges().size());
  EXPECT_GT(approved, 0u);
  EXPECT_GT(local, 0u);
}

// The socket layer's table guard is the service's own: an object that some other
// user's run left on the system, here one that nobody can use, does not keep the
// service from reaching the gateway.
TEST(GatewayFaults, LeftoverGuardObjectDoesNotStopRelaying) {
  if (zt::kWindows) GTEST_SKIP() << "a Windows mutex without Global\\ lives in the session";
  const std::filesystem::path leftover = "/dev/shm/zelsock.mutex";
  std::error_code ec;
  const bool made = std::filesystem::create_directory(leftover, ec);
  FakeGateway gateway(approve);
  Service svc(gateway.port());
  svc.drop("caja1", zt::kRequest);
  EXPECT_EQ(svc.answer("caja1"), kApproval);
  ASSERT_TRUE(svc.stop());
  if (made) std::filesystem::remove(leftover, ec);
}

}  // namespace
