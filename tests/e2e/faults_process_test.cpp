// Process faults: the service killed (SIGKILL) while terminals keep it busy, then
// started again. Every request must end answered or still in place, no local
// authorisation number may be handed out twice, and the journal holds whole lines.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "service_fixture.h"
#include "terminals.h"

namespace {

using zt::FakeGateway;
using zt::GatewayReply;
using zt::Packet;
using zt::TerminalFleet;

// Approves two requests in three after a short delay, echoing G04 in F04; closes
// on the third, which the service then answers locally. Life signals get nothing.
FakeGateway::Script busy_gateway(std::atomic<int>* requests) {
  return [requests](const Packet& p) {
    if (p.type() == 0) return GatewayReply{};
    const int n = ++*requests;
    if (n % 3 == 0) return GatewayReply{};
    const std::string id = TerminalFleet::field(p.message(), "G04");
    return GatewayReply{
        {zt::reply_packet("|F01=1234|F04=" + id + "|F52=A" + std::to_string(n) + "|F99=000021|")},
        15};
  };
}

TEST(ProcessFaults, KilledDuringLoadLosesNothingAndRepeatsNoNumber) {
  std::atomic<int> requests{0};
  FakeGateway gateway(busy_gateway(&requests));
  zt::TcpServer probe([](int) {});
  const std::string p = "127.0.0.1:" + std::to_string(probe.port());
  const std::vector<std::string> terminals = {"caja1", "caja2", "caja3", "caja4", "caja5"};
  zt::Service svc(gateway.port(), {"-t", "caja1,caja2,caja3,caja4,caja5", "-p", "-1"},
                  {"ZELCLIENT_PROBE_HOSTS=" + p + "," + p + "," + p});
  TerminalFleet fleet(svc.root.path(), terminals, "k");
  fleet.start();

  std::mt19937 random(12345);
  const int kills = 4;
  for (int k = 0; k < kills; ++k) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200 + random() % 400));
    svc.kill();
    svc.start();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  fleet.stop(std::chrono::seconds(20));
  ASSERT_TRUE(svc.stop());

  // Every request answered (or, had it not been, still in place).
  const auto exchanges = fleet.exchanges();
  ASSERT_GT(exchanges.size(), 20u);
  std::size_t unanswered = 0;
  for (const auto& e : exchanges) {
    if (e.answered) continue;
    ++unanswered;
    EXPECT_TRUE(zt::exists(svc.root / (e.terminal + "in.txt")) ||
                zt::exists(svc.root / (e.terminal + "in.zel")))
        << e.id << " is neither answered nor in place";
  }
  EXPECT_EQ(unanswered, 0u);
  EXPECT_EQ(fleet.mismatches(), 0);

  // Local numbers: each reached one terminal only.
  std::set<std::string> issued;
  for (const auto& e : exchanges) {
    if (e.answer.find("|F51=RECETA PRE-AUTORIZADA|") == std::string::npos) continue;
    const std::string number = TerminalFleet::field(e.answer, "F52");
    EXPECT_TRUE(issued.insert(number).second) << number << " handed out twice";
  }
  EXPECT_FALSE(issued.empty());

  // The journal: whole lines only, each number once.
  const std::regex line(
      R"(\|G01=1234\|G04=k[0-9]+-[0-9]+\|G08=42\|G99=000020\|G06=\|G41=caja[1-5]\|G52=G([0-9]{4})([0-9]{7})\|\r)");
  std::istringstream journal(zt::read_file(svc.work / "zelautoresp.txt"));
  std::set<long> journaled;
  long highest = 0;
  for (std::string text; std::getline(journal, text);) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, line)) << "torn or malformed: " << text;
    const long number = std::stol(m[2]);
    EXPECT_TRUE(journaled.insert(number).second) << number << " journaled twice";
    highest = std::max(highest, number);
  }
  for (const auto& number : issued) EXPECT_LE(std::stol(number.substr(5)), highest);
  // A kill between storing a number and journaling it leaves a gap, never a repeat.
  const long stored = std::stol(zt::read_file(svc.work / "nroaut.txt"));
  EXPECT_GE(stored, highest);
  EXPECT_LE(stored, highest + kills);
  std::cout << "[ faults ] " << exchanges.size() << " requests, " << kills << " kills, "
            << issued.size() << " local answers\n";
}

// What a killed run leaves behind: a request taken but not answered. The next
// run answers it first, then the request file the terminal has dropped since.
TEST(ProcessFaults, RequestTakenByAKilledRunIsAnsweredAtStart) {
  std::atomic<int> requests{0};
  FakeGateway gateway([&](const Packet& p) {
    if (p.type() == 0) return GatewayReply{};
    ++requests;
    const std::string id = TerminalFleet::field(p.message(), "G04");
    return GatewayReply{{zt::reply_packet("|F04=" + id + "|F52=A1|")}, 0};
  });
  zt::Service svc(gateway.port(), {}, {}, false);
  const auto held = svc.root / "caja1in.zel";
  zt::write_file(held, TerminalFleet::request_text("taken"));
  zt::write_file(svc.root / "caja1in.txt", TerminalFleet::request_text("dropped"));
  svc.start();
  ASSERT_TRUE(zt::wait_until([&] { return requests == 2; }));
  EXPECT_EQ(svc.answer("caja1"), "|F04=dropped|F52=A1|");
  ASSERT_TRUE(svc.stop());
  EXPECT_FALSE(zt::exists(held));
  const auto packets = gateway.packets();
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(TerminalFleet::field(packets[0].message(), "G04"), "taken");
  EXPECT_EQ(TerminalFleet::field(packets[1].message(), "G04"), "dropped");
  EXPECT_TRUE(zt::contains_in_order(
      svc.log(), {"WARNING\tZELClient_Process retomando archivo [" + held.string() + "]"}));
}

}  // namespace
