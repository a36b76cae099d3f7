// zelterm against the real service: a round trip, a replay, and a time-out.
#include <gtest/gtest.h>

#include "service_fixture.h"

namespace {

// Standard output as text: Windows writes its line ends as CR LF.
std::string output(const zt::Child& child) {
  std::string text = zt::read_file(child.stdout_path());
  std::erase(text, '\r');
  return text;
}

using zt::FakeGateway;
using zt::GatewayReply;
using zt::Packet;

GatewayReply approve(const Packet&) {
  return {{zt::reply_packet("|F01=1234|F51=APROBADA|F52=A0001|")}, 0};
}

TEST(Zelterm, RoundTripPrintsFieldsAndDeletesTheAnswer) {
  FakeGateway gateway(approve);
  zt::Service svc(gateway.port());
  zt::Child term({zt::bin("zelterm"), "-r", svc.root.str(), "-t", "caja1", "-w", "5000", "G01=1234",
                  "G99=000020"});
  ASSERT_EQ(term.wait(), 0);
  EXPECT_EQ(output(term), "F01=1234\nF51=APROBADA\nF52=A0001\n");
  EXPECT_FALSE(zt::exists(svc.root / "caja1out.txt"));
  ASSERT_TRUE(gateway.wait_packets(1));
  EXPECT_EQ(gateway.packets()[0].message(), "|G01=1234|G99=000020|G06=|G41=caja1|");
  ASSERT_TRUE(svc.stop());
}

TEST(Zelterm, LocalAnswerIsDecodedForTheConsole) {
  FakeGateway gateway(approve);
  zt::Service svc(gateway.port());
  const std::string record(51, '1');
  zt::Child term({zt::bin("zelterm"), "-r", svc.root.str(), "-t", "caja2", "-w", "5000", "G01=1",
                  "G06=" + record + record + record, "G99=000020"});
  ASSERT_EQ(term.wait(), 0);
  EXPECT_NE(output(term).find("F51=N\xC3\xBAmero de Troqueles invalido\n"), std::string::npos);
  ASSERT_TRUE(svc.stop());
}

TEST(Zelterm, ReplayAndTimeOut) {
  FakeGateway gateway(approve);
  zt::Service svc(gateway.port());
  zt::write_file(svc.work / "requests.txt", "|G01=1|G99=000020|\n|G01=2|G99=000010|\n");
  zt::Child replay({zt::bin("zelterm"), "-r", svc.root.str(), "-t", "caja1", "-q", "-R",
                    (svc.work / "requests.txt").string()});
  ASSERT_EQ(replay.wait(), 0);
  EXPECT_EQ(output(replay).rfind("replayed 2 requests, 2 answered", 0), 0u);
  // A terminal the service does not know gets no answer: exit 1 after the time-out.
  zt::Child lost({zt::bin("zelterm"), "-r", svc.root.str(), "-t", "caja9", "-w", "300", "G01=1"});
  EXPECT_EQ(lost.wait(), 1);
  EXPECT_EQ(zt::run({zt::bin("zelterm"), "-r", svc.root.str()}), 2);
  ASSERT_TRUE(svc.stop());
}

}  // namespace
