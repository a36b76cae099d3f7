// Stand-in as the owner sets it, on the real service against a gateway that goes
// down and comes back: the limits per outage, per day (across a restart) and off,
// and the window in which a gateway known down is not asked.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <thread>

#include "testsupport.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kLocal = "|F50=ND|F51=RECETA PRE-AUTORIZADA|F52=I";

// A gateway that answers while up, and hangs up on every request while down.
struct Switchable {
  std::atomic<bool> up{false};
  std::atomic<int> asked{0};
  gw::Gateway gateway{[this](const gw::Received& r) {
    if (r.type() == 0) return gw::hang_up();
    ++asked;
    return up ? gw::answer({gw::reply_packet(1, gw::approval_text(r.message(), asked))})
              : gw::hang_up();
  }};
};

TEST(StandIn, LimitsCountOnlyWhatTheGatewayCouldNotAnswer) {
  const struct {
    std::string env;
    // What each request gets while down ('L' local, 'E' error answer), '|' the
    // gateway up for one request, 'R' a restart of the service, 'W' a second's wait.
    std::string script;
    const char* reason;  // the error answer's
    std::string limit;   // the one limit the metrics show, "" for none
  } rows[] = {
      {"ZELCLIENT_STANDIN_MAX_PER_OUTAGE=3", "LLLEE|LLLE",
       "Limite de pre-autorizaciones de la caida",
       "answers_limit{instance_name=\"AB\",period=\"outage\"} 3"},
      {"ZELCLIENT_STANDIN_MAX_PER_DAY=2", "LRLE|E", "Limite diario de pre-autorizaciones",
       "answers_limit{instance_name=\"AB\",period=\"day\"} 2"},
      {"ZELCLIENT_STANDIN=off", "EE", "Pre-autorizacion local deshabilitada", ""},
      {"ZELCLIENT_STANDIN_MAX_MINUTES=0", "LWRE|L", "Caida del gateway demasiado larga",
       "outage_limit_seconds{instance_name=\"AB\"} 0"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.env);
    Switchable gateway;
    zt::Service svc(
        gateway.gateway.port(), {"-p", "-1"},
        {zt::probe_hosts(zt::closed_port()), row.env, "ZELCLIENT_METRICS_FILE=zel.prom"});
    svc.start();
    int locals = 0;
    for (const char step : row.script) {
      if (step == 'W') std::this_thread::sleep_for(1100ms);
      if (step == 'R') {
        ASSERT_TRUE(svc.stop());
        svc.start();
      }
      if (step == 'R' || step == 'W') continue;
      gateway.up = step == '|';
      const std::string answer = svc.ask("caja1", zt::kRequest);
      if (step == '|') {
        EXPECT_NE(answer.find("|F52=GW"), std::string::npos) << answer;
      } else if (step == 'L') {
        EXPECT_NE(answer.find(kLocal), std::string::npos) << answer;
        ++locals;
      } else {
        EXPECT_NE(answer.find(std::string("|F51=") + row.reason + "|"), std::string::npos)
            << answer;
        EXPECT_EQ(answer.find("F52"), std::string::npos) << answer;
      }
    }
    ASSERT_TRUE(svc.stop());
    const std::string journal = zt::read_file(svc.work / "zelautoresp.txt");
    EXPECT_EQ(std::count(journal.begin(), journal.end(), '\n'), locals);
    EXPECT_EQ(std::atoi(zt::read_file(svc.work / "nroaut.txt").c_str()), locals);
    // Every local answer's cause is recorded: the gateway hung up after the request was sent.
    const std::string causes = zt::read_file(svc.work / "zelcausas.txt");
    EXPECT_EQ(std::count(causes.begin(), causes.end(), '\n'), locals);
    EXPECT_EQ(causes.find("sin_conexion"), std::string::npos) << causes;
    // The metrics show the one limit set, with its value.
    const std::string metrics = zt::read_file(svc.work / "zel.prom");
    EXPECT_EQ(zt::count_with(zt::log_messages(metrics), "limit"), row.limit.empty() ? 0 : 3)
        << metrics;
    EXPECT_TRUE(row.limit.empty() ||
                metrics.find("zelclient_standin_" + row.limit + "\n") != std::string::npos);
  }
}

// A gateway that holds every request silent: the first request waits the bound,
// the next ones in the window are answered at once without asking, and the first
// after the window asks again.
TEST(StandIn, GatewayKnownDownIsNotAskedAgainWithinItsWindow) {
  std::atomic<int> asked{0};
  gw::Gateway silent([&](const gw::Received& r) {
    if (r.type() != 0) ++asked;
    return gw::hold();
  });
  zt::Service svc(silent.port(), {"-p", "-1"},
                  {zt::probe_hosts(zt::closed_port()), "ZELCLIENT_NET_TIMEOUT_MS=1000",
                   "ZELCLIENT_GATEWAY_RETRY_S=2"});
  svc.start();
  for (int i = 0; i < 4; ++i) {
    const auto started = std::chrono::steady_clock::now();
    EXPECT_NE(svc.ask("caja1", zt::kRequest).find(kLocal), std::string::npos);
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_TRUE(i == 0 || took < 800ms);  // loosely: no network bound waited
  }
  EXPECT_EQ(asked, 1);
  std::this_thread::sleep_for(2100ms);
  EXPECT_NE(svc.ask("caja1", zt::kRequest).find(kLocal), std::string::npos);
  EXPECT_EQ(asked, 2);
  ASSERT_TRUE(svc.stop());
  const std::string causes = zt::read_file(svc.work / "zelcausas.txt");
  EXPECT_EQ(std::count(causes.begin(), causes.end(), '\n'), 5);
  EXPECT_NE(causes.find("|sin_respuesta|"), std::string::npos);
  EXPECT_NE(causes.find("|gateway_caido|"), std::string::npos);
}

}  // namespace
