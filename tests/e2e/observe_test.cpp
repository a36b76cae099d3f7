// What the operator sees of the real service: the gateway going down and coming
// back on its port (one WARNING each way), the state file, the metrics file and
// the service manager's notifications, over one run.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#ifndef _WIN32
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include "testsupport.h"

namespace {

using namespace std::chrono_literals;

// The service manager's end of the notification protocol: a datagram socket, read
// as the messages come (a queue left full would drop them).
class NotifySocket {
 public:
  explicit NotifySocket(const zt::fs::path& path) : path_(path.string()) {
#ifndef _WIN32
    fd_ = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    path_.copy(a.sun_path, sizeof a.sun_path - 1);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
    const timeval tick{0, 50000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
    reader_ = std::thread([this] {
      char buf[512];
      while (!done_) {
        const ssize_t n = recv(fd_, buf, sizeof buf, 0);
        const std::lock_guard<std::mutex> lock(mutex_);
        if (n > 0) messages_.emplace_back(buf, static_cast<std::size_t>(n));
      }
    });
#endif
  }
  ~NotifySocket() {
    done_ = true;
    if (reader_.joinable()) reader_.join();
#ifndef _WIN32
    if (fd_ >= 0) close(fd_);
#endif
  }
  std::string env() const {
    return "NOTIFY_SOCKET=" + path_;
  }
  std::vector<std::string> messages() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }

 private:
  std::string path_;
  int fd_ = -1;
  std::atomic<bool> done_{false};
  std::mutex mutex_;
  std::vector<std::string> messages_;
  std::thread reader_;
};

TEST(Observe, GatewayDownAndBackOnItsPort) {
  auto gateway = std::make_unique<gw::Gateway>(gw::approver());
  const int port = gateway->port();
  zt::TempDir sockets;
  NotifySocket notify(sockets / "notify");
  zt::Service svc(
      port, {"-p", "1", "-T", "500"},  // once there is a journal, a life signal a second
      {zt::probe_hosts(zt::closed_port()), notify.env(), "WATCHDOG_USEC=400000",
       "ZELCLIENT_METRICS_FILE=" + (sockets / "zel.prom").string(), "JOURNAL_STREAM=8:1"});
  svc.errorsToo = true;
  svc.start();
  const auto relay = [&](const char* expected) {
    EXPECT_NE(svc.ask("caja1", zt::kRequest).find(expected), std::string::npos) << expected;
  };
  relay("|F52=GW");
  gateway.reset();  // down: two local answers
  relay("|F52=I");
  relay("|F52=I");
  std::this_thread::sleep_for(300ms);  // the watchdog is fed while nothing happens
  gateway = std::make_unique<gw::Gateway>(gw::approver(), port);  // back, on the same port
  ASSERT_TRUE(gateway->listening());
  relay("|F52=GW");
  // A quiet outage and its end, no request asked: the life signals find both.
  const auto gateway_is = [&](const char* line) {
    return zt::wait_until([&] {
      return zt::read_file(svc.work / "zelclient.state").find(line) != std::string::npos;
    });
  };
  gateway.reset();
  EXPECT_TRUE(gateway_is("gateway=down\r\n"));
  gateway = std::make_unique<gw::Gateway>(gw::approver(), port);
  EXPECT_TRUE(gateway_is("gateway=up\r\n"));
  ASSERT_TRUE(svc.stop());

  const auto log = svc.log();
  EXPECT_EQ(zt::count_with(log, "WARNING\tZELClient_Process gateway sin respuesta desde "), 2);
  EXPECT_EQ(zt::count_with(log, "con 2 pre-autorizaciones locales entretanto"), 1);
  const std::string state = zt::read_file(svc.work / "zelclient.state");
  for (const char* line :
       {"state=stopped\r\n", "gateway=up\r\n", "answered_gateway=2\r\n", "answered_local=2\r\n",
        "answers_waiting=0\r\n", "exchanges_in_flight=0\r\n", "journal_lines=2\r\n", "updated=2"}) {
    EXPECT_NE(state.find(line), std::string::npos) << line << state;
  }
  const std::string metrics = zt::read_file(sockets / "zel.prom");
  for (const char* line : {"zelclient_requests_total{instance_name=\"AB\",outcome=\"local\"} 2\n",
                           "zelclient_gateway_up{instance_name=\"AB\"} 1\n",
                           "zelclient_exchange_duration_seconds_count{instance_name=\"AB\"} 4\n"}) {
    EXPECT_NE(metrics.find(line), std::string::npos) << line << metrics;
  }
  if (zt::kWindows) return;  // no service manager's socket or journal there
  // Under the journal, each change of the gateway is a line on standard error, at its priority.
  const auto events = zt::log_messages(svc.output());
  EXPECT_EQ(zt::count_with(events, "<4>zelclient: ZELClient_Process gateway sin respuesta"), 2);
  EXPECT_EQ(zt::count_with(events, "<5>zelclient: ZELClient_Process gateway responde"), 2);
  const auto sent = notify.messages();
  const auto at = [&](const std::string& m) { return std::find(sent.begin(), sent.end(), m); };
  ASSERT_EQ(zt::count_with(sent, "READY=1"), 1);  // once the root is watched, not again
  EXPECT_LT(at("READY=1"), at("STOPPING=1"));
  EXPECT_NE(at("STOPPING=1"), sent.end());
  EXPECT_GE(zt::count_with(sent, "WATCHDOG=1"), 2);
  EXPECT_GE(zt::count_with(sent, "STATUS=gateway sin respuesta"), 1);
}

}  // namespace
