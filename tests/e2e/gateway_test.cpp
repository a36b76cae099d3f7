// Runs the real zelgateway and drives it with the socket layer as a client (and
// with raw sockets for hand-made packets): every mode, the life signal, packets
// that arrive in pieces, concurrent connections, and a clean stop.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "log/log.h"
#include "netsupport.h"
#include "socket/socket.h"
#include "testsupport.h"
#include "tran/packet.h"

namespace {

using namespace std::chrono_literals;
using zt::bin;

const std::string kRequest = "|G01=1234|G04=556677|G08=42|G99=000020|G06=|G41=caja1|";

std::string frame(int type, const char* name, const std::string& message) {
  unsigned char out[4096] = {};
  const int n = ZEL_MakePacket(type, name, message.c_str(), out, sizeof out);
  return std::string(reinterpret_cast<char*>(out), static_cast<std::size_t>(n));
}

// A running zelgateway with its port.
class Gateway {
 public:
  explicit Gateway(std::vector<std::string> args) {
    args.insert(args.begin(), {bin("zelgateway"), "-p", "0"});
    child_ = std::make_unique<zt::Child>(args);
    zt::wait_until([&] { return out().find('\n') != std::string::npos; });
    const std::string first = out().substr(0, out().find('\n'));
    if (first.rfind("listening on port ", 0) == 0) port_ = std::stoi(first.substr(18));
  }
  // Stopped as an operator stops it: a gateway killed while it holds the socket
  // table's system-wide guard leaves the guard abandoned, and the next gateway's
  // first open would fail on it.
  ~Gateway() {
    if (!child_->running()) return;
    child_->terminate();
    if (child_->wait(5s) < 0) child_->kill_now();
  }
  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;
  int port() const { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  std::string out() const { return zt::read_file(child_->stdout_path()); }
  bool printed(const std::string& line, std::chrono::milliseconds timeout = 5s) const {
    return zt::wait_until([&] { return out().find(line + zt::kLineEnd) != std::string::npos; },
                          timeout);
  }
  zt::Child& child() { return *child_; }

 private:
  std::unique_ptr<zt::Child> child_;
  int port_ = 0;
};

class GatewayTest : public ::testing::Test {
 protected:
  void SetUp() override { SOCKET_Init(nullptr); }
  void TearDown() override { SOCKET_End(); }

  // One exchange as the service makes it: open, send, one receive, close.
  // Returns the reply (empty when the receive failed).
  static std::string exchange(const Gateway& gw, const std::string& packet, int* rc) {
    std::string text = gw.address();
    const int id = SOCKET_Open(text.data(), 0);
    if (id < 0) return "open failed";
    int len = static_cast<int>(packet.size());
    SOCKET_Send(id, packet.data(), &len, 0);
    char reply[4096] = {};
    len = 0;
    *rc = SOCKET_Receive(id, reply, sizeof reply, 0, &len);
    SOCKET_Close(id, 2);
    return *rc == 0 ? std::string(reply, static_cast<std::size_t>(len)) : std::string();
  }
};

TEST_F(GatewayTest, AnswersByMode) {
  const std::string copied = "|F01=1234|F04=556677|F08=42|F41=caja1";
  struct Case {
    const char* mode;
    std::string answer;  // empty: no answer
    std::string outcome;
  } cases[] = {
      {"approve", copied + "|F50=00|F51=APROBADA|F52=GW0000000001|", "approved F52=GW0000000001"},
      {"reject", copied + "|F50=05|F51=RECHAZADA|", "rejected"},
      {"close", "", "closed without answer"},
  };
  for (const auto& c : cases) {
    Gateway gw({"-m", c.mode});
    ASSERT_GT(gw.port(), 0) << gw.out();
    int rc = 0;
    const std::string reply = exchange(gw, frame(3, "AB", kRequest), &rc);
    EXPECT_TRUE(gw.printed("type=3 sender=[AB..] message=[" + kRequest + "] -> " + c.outcome))
        << gw.out();
    if (c.answer.empty()) {
      EXPECT_EQ(rc, -1) << c.mode;
    } else {
      EXPECT_EQ(reply, frame(3, "GATE", c.answer)) << c.mode;
    }
  }
}

TEST_F(GatewayTest, LifeSignalGetsNoAnswer) {
  Gateway gw({});
  const std::string life = "|G01=1234|G81=0001|";
  std::string text = gw.address();
  const int id = SOCKET_Open(text.data(), 0);
  const std::string packet = frame(0, "CLI1", life);
  ASSERT_EQ(packet.size(), 29u);
  int len = static_cast<int>(packet.size());
  ASSERT_EQ(SOCKET_Send(id, packet.data(), &len, 0), 0);
  EXPECT_TRUE(gw.printed("type=0 sender=[CLI1] message=[" + life + "] -> life signal, no answer"));
  char buf[64];
  EXPECT_EQ(SOCKET_Receive(id, buf, sizeof buf, 0, &len), -1);  // closed without a reply
  SOCKET_Close(id, 2);
}

TEST_F(GatewayTest, DelayedAndSplitAnswers) {
  {
    Gateway gw({"-m", "delay", "-d", "150"});
    int rc = -1;
    const std::string reply = exchange(gw, frame(1, "ABCD", kRequest), &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_NE(reply.find("|F52=GW0000000001|"), std::string::npos);
  }
  {
    Gateway gw({"-m", "split", "-d", "300"});
    std::string text = gw.address();
    const int id = SOCKET_Open(text.data(), 0);
    const std::string packet = frame(1, "ABCD", kRequest);
    int len = static_cast<int>(packet.size());
    SOCKET_Send(id, packet.data(), &len, 0);
    char first[4096] = {}, second[4096] = {};
    int n1 = 0, n2 = 0;
    ASSERT_EQ(SOCKET_Receive(id, first, sizeof first, 0, &n1), 0);
    ASSERT_EQ(SOCKET_Receive(id, second, sizeof second, 0, &n2), 0);
    SOCKET_Close(id, 2);
    const std::string whole = std::string(first, n1) + std::string(second, n2);
    EXPECT_LT(n1, static_cast<int>(whole.size()));  // the service would see the first only
    EXPECT_EQ(whole.substr(0, 10), std::string("\0\0\0", 3) + static_cast<char>(whole.size() - 4) +
                                       std::string("\0\x01GATE", 6));
    EXPECT_NE(whole.find("|F52=GW0000000001|"), std::string::npos);
  }
}

TEST_F(GatewayTest, SilentGatewayIsEndedByTheClientsBound) {
  SOCKET_End();
  zt::set_env("ZELCLIENT_NET_TIMEOUT_MS", "300");
  SOCKET_Init(nullptr);
  zt::unset_env("ZELCLIENT_NET_TIMEOUT_MS");
  Gateway gw({"-m", "silent"});
  int rc = 0;
  exchange(gw, frame(1, "AB", kRequest), &rc);
  EXPECT_EQ(rc, -1);
  EXPECT_TRUE(gw.printed("type=1 sender=[AB..] message=[" + kRequest +
                         "] -> holding the connection without answer"));
  // A held connection does not keep the gateway from stopping.
  gw.child().terminate();
  EXPECT_EQ(gw.child().wait(), 0);
  EXPECT_TRUE(gw.printed("stopped"));
}

TEST_F(GatewayTest, HandMadePacketsInPiecesAndBadLengths) {
  Gateway gw({});
  // The length field is honoured across reads.
  const std::string packet = frame(1, "HAND", kRequest);
  const int fd = zt::raw_connect(gw.port());
  zt::send_all(fd, packet.substr(0, 3));
  std::this_thread::sleep_for(50ms);
  zt::send_all(fd, packet.substr(3, 20));
  std::this_thread::sleep_for(50ms);
  zt::send_all(fd, packet.substr(23));
  const std::string reply = zt::recv_upto(fd, 4096, 3s);
  EXPECT_NE(reply.find("|F41=caja1|F50=00|F51=APROBADA|F52=GW"), std::string::npos) << reply;
  zt::close_fd(fd);

  struct Case {
    std::string bytes;
    std::string line;
  } cases[] = {
      {std::string("\0\0\0\x02\0\x01", 6), "refused packet: length field 2"},
      {std::string("\0\0\x13\x88\0\x01", 6), "refused packet: length field 5000"},
      {std::string("\0\0\0\x20\0\x01"
                   "ABCDxyz",
                   13),
       "incomplete packet: 13 bytes"},
  };
  for (const auto& c : cases) {
    const int bad = zt::raw_connect(gw.port());
    zt::send_all(bad, c.bytes);
    zt::shutdown_send(bad);
    EXPECT_TRUE(zt::sees_close(bad)) << c.line;
    EXPECT_TRUE(gw.printed(c.line)) << gw.out();
    zt::close_fd(bad);
  }
}

TEST_F(GatewayTest, ConnectionsAreServedConcurrently) {
  Gateway gw({});
  const std::string packet = frame(1, "AB", kRequest);
  const int slow = zt::raw_connect(gw.port());
  zt::send_all(slow, packet.substr(0, 12));  // incomplete: its exchange waits for more
  const int fast = zt::raw_connect(gw.port());
  zt::send_all(fast, packet);
  EXPECT_NE(zt::recv_upto(fast, 4096, 3s).find("F52=GW0000000001"), std::string::npos);
  zt::send_all(slow, packet.substr(12));
  EXPECT_NE(zt::recv_upto(slow, 4096, 3s).find("F52=GW0000000002"), std::string::npos);
  zt::close_fd(slow);
  zt::close_fd(fast);
}

TEST_F(GatewayTest, StopsCleanlyOnSigintAndSigterm) {
  for (const bool interrupt : {true, false}) {
    zt::TempDir dir;
    const std::string log = (dir / "gw.log").string();
    Gateway gw({"-l", log});
    int rc = -1;
    exchange(gw, frame(1, "AB", kRequest), &rc);
    EXPECT_EQ(rc, 0);
    if (interrupt) {
      zt::interrupt(gw.child().pid());
    } else {
      gw.child().terminate();
    }
    EXPECT_EQ(gw.child().wait(), 0) << interrupt;
    EXPECT_TRUE(gw.printed("stopped"));
    const auto lines = zt::log_messages(zt::read_file(log));
    EXPECT_TRUE(zt::contains_in_order(
        lines,
        {"INFO\tSOCKET_Init multithreaded", "DEBUG\tSOCKET_Open tengo el Mutex",
         "INFO\tSOCKET_Open Esperando conexiones en el port 0 ...",
         "INFO\tSOCKET_Receive es server", "DEBUG\tSOCKET_Open libere el Mutex ClientId=[1]"}));
  }
}

TEST_F(GatewayTest, RefusesABadCommandLineAndABusyPort) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"-m", "maybe"}, {"-p", "70000"}, {"-p"}, {"-x", "1"}}) {
    std::vector<std::string> argv = {bin("zelgateway")};
    argv.insert(argv.end(), args.begin(), args.end());
    EXPECT_EQ(zt::run(argv), 2);
  }
  Gateway first({});
  EXPECT_EQ(zt::run({bin("zelgateway"), "-p", std::to_string(first.port())}), 1);
}

}  // namespace
