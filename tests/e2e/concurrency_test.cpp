// Exchanges of different terminals in flight together (ZELCLIENT_CONCURRENCY):
// they overlap only when asked, each terminal gets its own answer, and failures
// together wait for one probe. (Faults of several in flight are soaked.)
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <set>

#include "platform/platform.h"
#include "testsupport.h"

namespace {

using namespace std::chrono_literals;

const std::vector<std::string> kTerminals = {"caja1", "caja2", "caja3", "caja4"};

std::string request(const std::string& id) {
  return "|G01=1234|G04=" + id + "|G08=42|G99=000020|";
}

// A gateway that holds each request until all four are in flight (or a second
// has passed), then approves it, and counts how many it held at once at most.
struct Barrier {
  std::mutex m;
  std::condition_variable cv;
  int held = 0, most = 0, approved = 0;
  gw::Act operator()(const gw::Received& r) {
    if (r.type() != 1) return gw::hang_up();
    std::unique_lock<std::mutex> lock(m);
    most = std::max(most, ++held);
    cv.notify_all();
    cv.wait_for(lock, 1s, [&] { return held == 4; });
    --held;
    return gw::answer({gw::reply_packet(1, gw::approval_text(r.message(), ++approved))});
  }
};

TEST(Concurrency, ExchangesOverlapOnlyWhenAsked) {
  for (const int n : {1, 2, 4}) {
    Barrier barrier;
    gw::Gateway gateway([&](const gw::Received& r) { return barrier(r); });
    zt::Service svc(gateway.port(), {"-t", "caja1,caja2,caja3,caja4", "-p", "-1"},
                    {"ZELCLIENT_CONCURRENCY=" + std::to_string(n)});
    svc.start();
    for (const auto& t : kTerminals) svc.drop(t, request(t));
    for (const auto& t : kTerminals) {
      const std::string answer = svc.answer(t);
      EXPECT_EQ(gw::field(answer, "F04"), t);  // its own answer
      EXPECT_NE(answer.find("|F52=GW"), std::string::npos) << answer;
    }
    ASSERT_TRUE(svc.stop());
    EXPECT_EQ(barrier.most, n) << "concurrency " << n;
    // With several exchanges in flight, each line of one tells whose it is.
    const auto log = svc.log();
    const bool tagged = std::any_of(log.begin(), log.end(), [](const std::string& l) {
      return l.rfind("INFO\t[caja3] ZELClient_Process Recibio del Gateway:[", 0) == 0;
    });
    EXPECT_EQ(tagged, n > 1);
  }
}

// Exchanges that fail together wait for one reachability probe, which here takes
// its whole bound (its listener's queue is full), and each gets a number of its own.
TEST(Concurrency, OneProbeForABurstOfFailures) {
  const int refused = zt::closed_port();  // also starts the socket layer
  const zt::FullListener full;
  const int port = full.port();
  ASSERT_GT(port, 0);
  zt::Service svc(
      refused, {"-t", "caja1,caja2,caja3,caja4", "-p", "-1"},
      {"ZELCLIENT_CONCURRENCY=4", "ZELCLIENT_PROBE_TIMEOUT_MS=300", zt::probe_hosts(port)});
  svc.start();
  for (const auto& t : kTerminals) svc.drop(t, request(t));
  std::set<std::string> numbers;
  for (const auto& t : kTerminals) numbers.insert(gw::field(svc.answer(t), "F52"));
  ASSERT_TRUE(svc.stop());
  EXPECT_EQ(numbers.size(), 4u);
  for (const auto& n : numbers) EXPECT_EQ(n.rfind("I" + zt::current_year(), 0), 0u) << n;
  const auto log = svc.log();
  EXPECT_EQ(zt::count_with(log, "SOCKET_TestConnection Entry"), 3);  // one probe: its three hosts
}

}  // namespace
