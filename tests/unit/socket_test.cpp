// The socket layer against real TCP on 127.0.0.1: client opens, send and
// receive, the handle table, listening opens and accepts with the socket set,
// the time bounds, and multithreaded mode (in child processes, because the mode
// cannot be switched off again).
#include "socket/socket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <random>
#include <set>
#include <thread>

#include "log/log.h"
#include "netsupport.h"
#include "platform/platform.h"
#include "testsupport.h"

namespace {

using namespace std::chrono_literals;

std::string lookup_line_or_empty(const std::vector<std::string>& lines, const std::string& part) {
  for (const auto& l : lines) {
    if (l.find(part) != std::string::npos) return l;
  }
  return "";
}

class SocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zt::unset_env("ZELCLIENT_NET_TIMEOUT_MS");
    zt::unset_env("ZELCLIENT_PROBE_TIMEOUT_MS");
    start("");
  }
  void TearDown() override {
    SOCKET_End();
    LOG_Close();
    zt::unset_env("ZELCLIENT_NET_TIMEOUT_MS");
    zt::unset_env("ZELCLIENT_PROBE_TIMEOUT_MS");
  }
  // (Re)opens the log and starts the layer with the given options.
  void start(const char* options) {
    LOG_Close();
    logArg_ = (dir_ / "sock.log").string() + ",1,300";
    LOG_Open(1, 1, logArg_.data());
    ASSERT_EQ(SOCKET_Init(options), 0);
  }
  std::vector<std::string> lines() { return zt::log_messages(zt::read_file(dir_ / "sock.log")); }
  void mark() { mark_ = lines().size(); }
  std::vector<std::string> since_mark() {
    auto all = lines();
    return std::vector<std::string>(all.begin() + static_cast<long>(std::min(mark_, all.size())),
                                    all.end());
  }
  static int open(std::string text) { return SOCKET_Open(text.data(), 0); }
  // One SOCKET_Receive into a fresh buffer; data as a string, result in *rc.
  static std::string receive(int id, int* rc, int size = kReceiveMax) {
    std::vector<char> buf(8192, '\x7f');
    int len = -5;
    *rc = SOCKET_Receive(id, buf.data(), size, 0, &len);
    return *rc == 0 ? std::string(buf.data(), static_cast<std::size_t>(len)) : std::string();
  }
  static int send(int id, const std::string& data) {
    int len = static_cast<int>(data.size());
    return SOCKET_Send(id, data.data(), &len, 0);
  }

  zt::TempDir dir_;
  std::string logArg_;
  std::size_t mark_ = 0;
};

// A server connection that reads one request of n bytes and answers with reply.
std::function<void(int)> answering(std::size_t n, std::string reply) {
  return [n, reply](int fd) {
    zt::recv_upto(fd, n);
    zt::send_all(fd, reply);
  };
}

TEST_F(SocketTest, OpenCloseReusesLowestId) {
  zt::TcpServer server([](int fd) { zt::sees_close(fd); });
  mark();
  EXPECT_EQ(open(server.address()), 0);
  EXPECT_EQ(open(server.address()), 1);
  EXPECT_EQ(open(server.address()), 2);
  EXPECT_EQ(SOCKET_Close(0, 2), 0);
  EXPECT_EQ(open(server.address()), 0);
  const auto log = since_mark();
  EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + 3),
            (std::vector<std::string>{"INFO\tSOCKET_Open Entry",
                                      "INFO\tSOCKET_Open Name=[" + server.address() + "]",
                                      "INFO\tSOCKET_Open Conectado"}));
  EXPECT_NE(lookup_line_or_empty(log, "DEBUG\tSOCKET_Close cerrando Id=[0] Socket=["), "");
  for (int id : {0, 1, 2}) SOCKET_Close(id, 2);
  // Client connections are never members of the socket set.
  EXPECT_EQ(SOCKET_GetSet().count, 0u);
}

TEST_F(SocketTest, TextIsCutAtTheCommaAfterThePort) {
  zt::TcpServer server([](int fd) { zt::sees_close(fd); });
  std::string text = server.address() + ",xyz:1,2";
  const int id = SOCKET_Open(text.data(), 0);
  EXPECT_EQ(id, 0);
  EXPECT_STREQ(text.c_str(), server.address().c_str());
  EXPECT_TRUE(
      zt::contains_in_order(lines(), {"INFO\tSOCKET_Open Name=[" + server.address() + ",xyz:1,2]",
                                      "INFO\tSOCKET_Open Conectado"}));
  SOCKET_Close(id, 2);
}

TEST_F(SocketTest, PortTextRules) {
  zt::TcpServer server([](int fd) { zt::sees_close(fd); });
  // Cut to 16 bits: 65536 + port reaches the port.
  const int wrapped = open("127.0.0.1:" + std::to_string(65536 + server.port()));
  EXPECT_EQ(wrapped, 0);
  SOCKET_Close(wrapped, 2);
  EXPECT_TRUE(zt::wait_until([&] { return server.accepted() == 1; }));

  struct Case {
    std::string text;
    std::vector<std::string> tail;
  } cases[] = {
      {"127.0.0.1:abc", {"ERROR\tSOCKET_Open connect()"}},
      {"127.0.0.1:" + std::to_string(zt::closed_port()), {"ERROR\tSOCKET_Open connect()"}},
      {"", {}},
  };
  for (const auto& c : cases) {
    mark();
    EXPECT_EQ(open(c.text), -1) << c.text;
    std::vector<std::string> expected = {"INFO\tSOCKET_Open Entry",
                                         "INFO\tSOCKET_Open Name=[" + c.text + "]"};
    expected.insert(expected.end(), c.tail.begin(), c.tail.end());
    EXPECT_EQ(since_mark(), expected) << c.text;
  }
  mark();
  EXPECT_EQ(SOCKET_Open(nullptr, 0), -1);
  EXPECT_EQ(since_mark(),
            (std::vector<std::string>{"INFO\tSOCKET_Open Entry", "INFO\tSOCKET_Open Name=[]"}));
}

TEST_F(SocketTest, HostPartOf63IsResolvedWholeAndLongerIsRefused) {
  const std::string host63 = std::string(55, 'a') + ".invalid";
  ASSERT_EQ(host63.size(), 63u);
  mark();
  EXPECT_EQ(open(host63 + ":80"), -1);
  auto log = since_mark();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[2].rfind("ERROR\tSOCKET_Open ", 0), 0u);  // one of the lookup failure texts
  EXPECT_EQ(log[3], "ERROR\tSOCKET_Open resolviendo host [" + host63 + "]");

  std::string text = "a" + host63 + ":80,x";
  mark();
  EXPECT_EQ(SOCKET_Open(text.data(), 0), -1);
  EXPECT_EQ(since_mark(), (std::vector<std::string>{
                              "INFO\tSOCKET_Open Entry", "INFO\tSOCKET_Open Name=[" + text + "]",
                              "ERROR\tSOCKET_Open host demasiado largo [a" + host63 + "]"}));
  EXPECT_EQ(text, "a" + host63 + ":80,x");  // refused before anything was changed
}

TEST(NetResolve, DottedAddressesAndNames) {
  ASSERT_EQ(plat::net_startup(nullptr, 0), 0);
  const struct {
    const char* host;
    std::uint8_t addr[4];
  } cases[] = {
      {"127.0.0.1", {127, 0, 0, 1}},  // dotted: no lookup
      {"10.20.30.40", {10, 20, 30, 40}},
      {"127.1", {127, 0, 0, 1}},      // short form: the C library's own reading
      {"localhost", {127, 0, 0, 1}},  // a name: looked up
  };
  for (const auto& c : cases) {
    std::uint8_t addr[4] = {};
    ASSERT_EQ(plat::net_resolve(c.host, addr), 0) << c.host;
    EXPECT_EQ(std::vector<int>(addr, addr + 4), std::vector<int>(c.addr, c.addr + 4)) << c.host;
  }
  plat::net_cleanup();
}

TEST_F(SocketTest, FullTableClosesTheNewConnection) {
  zt::TcpServer server([](int fd) { zt::sees_close(fd); });
  for (int i = 0; i < kSocketSlots; ++i) ASSERT_EQ(HANDLE_Get(), i);
  EXPECT_EQ(HANDLE_Get(), -1);
  mark();
  EXPECT_EQ(open(server.address()), -1);
  EXPECT_EQ(since_mark().back(), "ERROR\tSOCKET_Open HANDLE_Get()");
  EXPECT_TRUE(zt::wait_until([&] { return server.accepted() == 1; }));

  HANDLE_Free(17);
  const int id = open(server.address());
  EXPECT_EQ(id, 17);
  SOCKET_Close(id, 2);
  EXPECT_EQ(HANDLE_Get(), 17);
}

TEST_F(SocketTest, SendAndReceiveOneReply) {
  zt::TcpServer server(answering(5, "0123456789reply"));
  const int id = open(server.address());
  ASSERT_EQ(id, 0);
  EXPECT_EQ(send(id, "hello"), 0);
  int rc = -1;
  EXPECT_EQ(receive(id, &rc), "0123456789reply");
  EXPECT_EQ(rc, 0);
  EXPECT_NE(lookup_line_or_empty(lines(), "INFO\tSOCKET_Receive recibio OK HandleId=[0] Socket=["),
            "");
  EXPECT_TRUE(
      zt::contains_in_order(lines(), {"INFO\tSOCKET_Receive Entry", "INFO\tSOCKET_Receive Exit"}));
  // Nothing to send: -1, length 0, no line, nothing on the wire.
  for (int length : {0, -3}) {
    int len = length;
    mark();
    EXPECT_EQ(SOCKET_Send(id, "x", &len, 0), -1);
    EXPECT_EQ(len, 0);
    EXPECT_TRUE(since_mark().empty());
  }
  SOCKET_Close(id, 2);
}

TEST_F(SocketTest, ReplyInTwoPiecesGivesTheFirstOnly) {
  std::promise<void> first_read;
  auto go = first_read.get_future().share();
  zt::TcpServer server([go](int fd) {
    zt::send_all(fd, "0123456789first");
    go.wait_for(5s);
    zt::send_all(fd, "second");
    zt::sees_close(fd);
  });
  const int id = open(server.address());
  int rc = -1;
  EXPECT_EQ(receive(id, &rc), "0123456789first");
  first_read.set_value();
  EXPECT_EQ(receive(id, &rc), "second");
  SOCKET_Close(id, 2);
}

TEST_F(SocketTest, HangUpAndUseAfterClose) {
  zt::TcpServer server([](int fd) { zt::send_all(fd, "0123456789"); });
  const int id = open(server.address());
  int rc = -1;
  EXPECT_EQ(receive(id, &rc), "0123456789");
  EXPECT_EQ(rc, 0);

  std::vector<char> buf(16, 'k');
  int len = 77;
  mark();
  EXPECT_EQ(SOCKET_Receive(id, buf.data(), 16, 0, &len), -1);
  EXPECT_EQ(len, 77);
  const auto hang = since_mark();
  ASSERT_EQ(hang.size(), 2u);
  EXPECT_EQ(hang[1].rfind("INFO\tSOCKET_Receive socket ", 0), 0u);
  EXPECT_NE(hang[1].find(" hung up"), std::string::npos);

  EXPECT_EQ(SOCKET_Close(id, 2), 0);
  mark();
  EXPECT_EQ(SOCKET_Receive(id, buf.data(), 16, 0, &len), -1);
  EXPECT_EQ(len, 77);
  EXPECT_EQ(since_mark(),
            (std::vector<std::string>{"INFO\tSOCKET_Receive Entry", "ERROR\tSOCKET_Receive recv"}));
  // Send on a free slot and an empty send: -1, length 0, no line.
  mark();
  len = 4;
  EXPECT_EQ(SOCKET_Send(id, "abcd", &len, 0), -1);
  EXPECT_EQ(len, 0);
  EXPECT_TRUE(since_mark().empty());
  EXPECT_EQ(SOCKET_Close(id, 2), 0);  // closing twice is harmless
  EXPECT_EQ(HANDLE_Get(), id);
}

TEST_F(SocketTest, ReceiveSizeIsLimitedToTheStagingBuffer) {
  const std::string big(6000, 'b');
  zt::TcpServer server([&big](int fd) {
    zt::send_all(fd, big);
    zt::sees_close(fd);
  });
  const int id = open(server.address());
  ASSERT_TRUE(zt::wait_until([&] { return server.accepted() == 1; }));
  std::this_thread::sleep_for(50ms);  // let the 6000 bytes arrive
  std::vector<char> buf(8192, 'z');
  int len = 0;
  ASSERT_EQ(SOCKET_Receive(id, buf.data(), 8192, 0, &len), 0);
  EXPECT_LE(len, kReceiveMax);
  EXPECT_GT(len, 0);
  EXPECT_EQ(std::count(buf.begin(), buf.end(), 'b'), len);

  for (int size : {0, -1}) {
    mark();
    EXPECT_EQ(SOCKET_Receive(id, buf.data(), size, 0, &len), -1);
    EXPECT_EQ(since_mark().back(), "ERROR\tSOCKET_Receive recv");
  }
  SOCKET_Close(id, 2);
}

TEST_F(SocketTest, IdsOutsideTheTableAreHarmless) {
  for (int id : {-1, -1000, kSocketSlots, 100000}) {
    EXPECT_EQ(SOCKET_Close(id, 2), 0);
    int len = 3;
    EXPECT_EQ(SOCKET_Send(id, "abc", &len, 0), -1);
    EXPECT_EQ(len, 0);
    char buf[4];
    EXPECT_EQ(SOCKET_Receive(id, buf, 4, 0, &len), -1);
    EXPECT_EQ(HANDLE_Free(id), id);
    EXPECT_EQ(SOCKET_GetLocalPort(id), -1);
  }
  EXPECT_EQ(HANDLE_Get(), 0);  // the table is as it was
}

TEST_F(SocketTest, ProbeOpensAndClosesWithoutSending) {
  zt::TcpServer server([](int fd) { EXPECT_TRUE(zt::sees_close(fd)); });
  const std::string open_text = server.address();
  mark();
  EXPECT_EQ(SOCKET_TestConnection(open_text.c_str()), 1);
  EXPECT_TRUE(zt::contains_in_order(
      since_mark(), {"DEBUG\tSOCKET_TestConnection Entry TestHost=[" + open_text + "]",
                     "INFO\tSOCKET_Open Conectado",
                     "DEBUG\tSOCKET_TestConnection conectado a [" + open_text + "] OK",
                     "DEBUG\tSOCKET_TestConnection Exit Retorna TRUE"}));
  EXPECT_EQ(HANDLE_Get(), 0);  // the probe's slot was freed

  const std::string closed = "127.0.0.1:" + std::to_string(zt::closed_port());
  mark();
  EXPECT_EQ(SOCKET_TestConnection(closed.c_str()), 0);
  EXPECT_EQ(since_mark(), (std::vector<std::string>{
                              "DEBUG\tSOCKET_TestConnection Entry TestHost=[" + closed + "]",
                              "INFO\tSOCKET_Open Entry", "INFO\tSOCKET_Open Name=[" + closed + "]",
                              "ERROR\tSOCKET_Open connect()",
                              "ERROR\tSOCKET_TestConnection conectandose a [" + closed + "]",
                              "DEBUG\tSOCKET_TestConnection Exit Retorna FALSE"}));
}

TEST_F(SocketTest, TimeBoundsEndEveryWait) {
  SOCKET_End();
  zt::set_env("ZELCLIENT_NET_TIMEOUT_MS", "200");
  start("");
  std::atomic<bool> done{false};
  zt::TcpServer silent([&done](int) { zt::wait_until([&] { return done.load(); }); });

  // Receive from a peer that never answers.
  int id = open(silent.address());
  ASSERT_EQ(id, 0);
  auto t0 = std::chrono::steady_clock::now();
  int rc = 0;
  receive(id, &rc);
  EXPECT_EQ(rc, -1);
  // The specified line, then the one that says it was the bound, not the peer.
  const auto timed_out = [this](const std::string& line, const std::string& step) {
    const auto l = lines();
    return l.size() >= 2 && l[l.size() - 2] == line &&
           l.back() == "ERROR\t" + step + " sin respuesta en 200 ms: tiempo de espera agotado";
  };
  EXPECT_TRUE(timed_out("ERROR\tSOCKET_Receive recv", "SOCKET_Receive"));

  // Send to a peer that never reads: the buffers fill, then the bound ends it.
  const std::string flood(32 << 20, 'f');
  int len = static_cast<int>(flood.size());
  EXPECT_EQ(SOCKET_Send(id, flood.data(), &len, 0), -1);
  EXPECT_GT(len, 0);
  EXPECT_LT(len, static_cast<int>(flood.size()));
  EXPECT_TRUE(timed_out("ERROR\tSOCKET_Send enviando", "SOCKET_Send"));
  SOCKET_Close(id, 2);

  // Connect to a listener whose queue is full.
  zt::StuckListener stuck(true);
  EXPECT_EQ(open(stuck.address()), -1);
  EXPECT_TRUE(timed_out("ERROR\tSOCKET_Open connect()", "SOCKET_Open connect()"));
  EXPECT_EQ(SOCKET_TestConnection(stuck.address().c_str()), 0);
  done = true;
  // Far below the 30 s default: the environment's bound was used.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);
}

TEST_F(SocketTest, ProbeBoundIsItsOwnAndNeverAboveTheGeneralOne) {
  zt::StuckListener stuck(true);
  struct Case {
    const char* net;
    const char* probe;
  } cases[] = {{"20000", "150"}, {"150", "20000"}};
  for (const auto& c : cases) {
    SOCKET_End();
    zt::set_env("ZELCLIENT_NET_TIMEOUT_MS", c.net);
    zt::set_env("ZELCLIENT_PROBE_TIMEOUT_MS", c.probe);
    start("");
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(SOCKET_TestConnection(stuck.address().c_str()), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s) << c.net << " " << c.probe;
  }
}

TEST_F(SocketTest, InvalidBoundIsReportedAndTheDefaultKept) {
  for (const char* value : {"abc", "0", "-5", "12x"}) {
    SOCKET_End();
    zt::set_env("ZELCLIENT_NET_TIMEOUT_MS", value);
    start("");
    EXPECT_EQ(lines().back(), std::string("WARNING\tSOCKET_Init valor invalido "
                                          "ZELCLIENT_NET_TIMEOUT_MS=[") +
                                  value + "], se usa 30000 ms");
  }
}

TEST_F(SocketTest, EmptyBoundIsReportedAndTheDefaultKept) {
  if (zt::kWindows) {
    GTEST_SKIP() << "Windows keeps no empty environment variables: setting one removes it, "
                    "and an unset bound is no invalid one";
  }
  SOCKET_End();
  zt::set_env("ZELCLIENT_NET_TIMEOUT_MS", "");
  start("");
  EXPECT_EQ(lines().back(),
            "WARNING\tSOCKET_Init valor invalido ZELCLIENT_NET_TIMEOUT_MS=[], se usa 30000 ms");
}

TEST_F(SocketTest, ListeningOpenAcceptAndTheSocketSet) {
  std::string text = "abc";  // not a number: port 0, the system picks one
  mark();
  const int lid = SOCKET_Open(text.data(), 0);
  ASSERT_EQ(lid, 0);
  EXPECT_EQ(since_mark(),
            (std::vector<std::string>{
                "INFO\tSOCKET_Open Entry", "INFO\tSOCKET_Open Name=[abc]", "INFO\t",
                "INFO\tSOCKET_Open Esperando conexiones en el port 0 ...", "INFO\t"}));
  const int port = SOCKET_GetLocalPort(lid);
  ASSERT_GT(port, 0);
  const SocketSet& set = SOCKET_GetSet();
  ASSERT_EQ(set.count, 1u);
  const int listener = set.members[0];
  EXPECT_EQ(SOCKET_GetHighest(), listener);

  const int c1 = zt::raw_connect(port);
  const int c2 = zt::raw_connect(port);
  std::vector<char> dest(8, 'd');
  int len = -1;
  mark();
  const int a1 = SOCKET_Receive(lid, dest.data(), 8, 0, &len);
  EXPECT_EQ(a1, 1);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(std::string(dest.begin(), dest.end()), "dddddddd");
  const auto log = since_mark();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0], "INFO\tSOCKET_Receive Entry");
  EXPECT_EQ(log[1], "INFO\tSOCKET_Receive es server");
  const int s1 = set.members[1];
  EXPECT_EQ(log[2], "INFO\tSOCKET_Receive accept OK Socket=[" + std::to_string(s1) + "]");
  EXPECT_EQ(log[3],
            "INFO\tSOCKET_Receive Nueva conexion desde el cliente [127.0.0.1] en el socket [" +
                std::to_string(s1) + "] ClientId=[1]");
  const int a2 = SOCKET_Receive(lid, dest.data(), 8, 0, &len);
  EXPECT_EQ(a2, 2);
  ASSERT_EQ(set.count, 3u);
  const int s2 = set.members[2];
  EXPECT_EQ(SOCKET_GetHighest(), std::max({listener, s1, s2}));

  // The accepted connection carries data both ways.
  zt::send_all(c2, "ping");
  int rc = -1;
  EXPECT_EQ(receive(a2, &rc), "ping");
  EXPECT_EQ(send(a2, "pong"), 0);
  EXPECT_EQ(zt::recv_upto(c2, 4), "pong");

  SOCKET_Close(a1, 2);
  EXPECT_TRUE(zt::sees_close(c1));
  ASSERT_EQ(set.count, 2u);
  EXPECT_EQ(set.members[0], listener);
  EXPECT_EQ(set.members[1], s2);

  SOCKET_Close(a2, 2);
  SOCKET_Close(lid, 2);
  EXPECT_EQ(set.count, 0u);
  zt::close_fd(c1);
  zt::close_fd(c2);
}

TEST_F(SocketTest, HighestSocketIsSetNotRaisedByAListeningOpen) {
  // A connection with a high socket value, then a listening socket opened in a
  // lower descriptor freed just before.
  std::string a = "0";
  const int l1 = SOCKET_Open(a.data(), 0);
  const int c = zt::raw_connect(SOCKET_GetLocalPort(l1));
  int len;
  const int acc = SOCKET_Receive(l1, nullptr, 0, 0, &len);
  const int acceptedSocket = SOCKET_GetSet().members[1];
  SOCKET_Close(l1, 2);  // frees the lowest descriptor
  std::string b = "0,rest";
  const int l2 = SOCKET_Open(b.data(), 0);
  EXPECT_STREQ(b.c_str(), "0");
  const int newListener = SOCKET_GetSet().members[1];
  ASSERT_LT(newListener, acceptedSocket);
  EXPECT_EQ(SOCKET_GetHighest(), newListener);
  SOCKET_Close(acc, 2);
  SOCKET_Close(l2, 2);
  zt::close_fd(c);
}

TEST_F(SocketTest, ListeningFailuresLeaveTheSetAsItWas) {
  std::string text = "0";
  const int lid = SOCKET_Open(text.data(), 0);
  const int port = SOCKET_GetLocalPort(lid);
  const SocketSet& set = SOCKET_GetSet();

  // Port in use.
  std::string same = std::to_string(port);
  mark();
  EXPECT_EQ(SOCKET_Open(same.data(), 0), -1);
  EXPECT_EQ(since_mark().back(), "ERROR\tSOCKET_Open bind()");
  EXPECT_EQ(set.count, 1u);

  // Table full: an accept closes the new connection at once; a listening open fails.
  while (HANDLE_Get() != -1) {
  }
  const int c = zt::raw_connect(port);
  int len = 9;
  mark();
  EXPECT_EQ(SOCKET_Receive(lid, nullptr, 0, 0, &len), -1);
  EXPECT_EQ(len, 9);
  EXPECT_EQ(since_mark().back(), "ERROR\tSOCKET_Receive HANDLE_Get()");
  EXPECT_TRUE(zt::sees_close(c));
  EXPECT_EQ(set.count, 1u);
  std::string another = "0";
  EXPECT_EQ(SOCKET_Open(another.data(), 0), -1);
  EXPECT_EQ(lines().back(), "ERROR\tSOCKET_Open HANDLE_Get()");
  EXPECT_EQ(set.count, 1u);
  zt::close_fd(c);
  SOCKET_Close(lid, 2);
}

TEST_F(SocketTest, SetKeepsAtMost64Members) {
  std::string text = "0";
  const int lid = SOCKET_Open(text.data(), 0);
  const int port = SOCKET_GetLocalPort(lid);
  std::vector<int> clients, ids;
  for (int i = 0; i < 65; ++i) {
    clients.push_back(zt::raw_connect(port));
    int len;
    ids.push_back(SOCKET_Receive(lid, nullptr, 0, 0, &len));
    ASSERT_EQ(ids.back(), i + 1);
  }
  EXPECT_EQ(SOCKET_GetSet().count, 64u);
  for (int id : ids) SOCKET_Close(id, 2);
  SOCKET_Close(lid, 2);
  for (int fd : clients) zt::close_fd(fd);
}

TEST_F(SocketTest, PeerGoneDuringSendIsAnOrdinaryFailure) {
  // SIGPIPE keeps its default here (no process set-up): a send must not raise it.
  const int status = zt::in_child([] {
    zt::TcpServer server([](int) {});
    const int id = [&] {
      std::string t = server.address();
      return SOCKET_Open(t.data(), 0);
    }();
    if (id < 0) return 2;
    std::this_thread::sleep_for(100ms);  // the server has closed its end by now
    const std::string chunk(65536, 'x');
    for (int i = 0; i < 200; ++i) {
      int len = static_cast<int>(chunk.size());
      if (SOCKET_Send(id, chunk.data(), &len, 0) == -1) return 0;
    }
    return 3;
  });
  EXPECT_EQ(status, 0);
}

// ---- Multithreaded mode (each in its own child process) ----------------------

// In a child, failures are reported on stderr and in the exit status.
#define CHILD_CHECK(cond)                                             \
  do {                                                                \
    if (!(cond)) {                                                    \
      std::fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
      return __LINE__ % 200 + 1;                                      \
    }                                                                 \
  } while (0)

TEST_F(SocketTest, OptionsTextSwitchesMultithreadedModeOnUpperCaseT) {
  struct Case {
    const char* options;
    bool multithreaded;
  } cases[] = {{"xTx", true}, {"T", true}, {"t", false}, {nullptr, false}, {"", false}};
  for (const auto& c : cases) {
    const int status = zt::in_child([&] {
      SOCKET_End();
      LOG_Close();
      std::string logArg = (dir_ / "mt.log").string() + ",1,300";
      std::remove((dir_ / "mt.log").string().c_str());
      LOG_Open(1, 1, logArg.data());
      CHILD_CHECK(SOCKET_Init(c.options) == 0);
      const auto log = zt::log_messages(zt::read_file(dir_ / "mt.log"));
      const bool said =
          std::find(log.begin(), log.end(), "INFO\tSOCKET_Init multithreaded") != log.end();
      CHILD_CHECK(said == c.multithreaded);
      // Multithreaded mode keeps no socket set.
      std::string text = "0";
      const int lid = SOCKET_Open(text.data(), 0);
      CHILD_CHECK(lid == 0);
      CHILD_CHECK(SOCKET_GetSet().count == (c.multithreaded ? 0u : 1u));
      SOCKET_Close(lid, 2);
      return 0;
    });
    EXPECT_EQ(status, 0) << (c.options == nullptr ? "(none)" : c.options);
  }
}

TEST_F(SocketTest, MultithreadedOpensGetDistinctIds) {
  // The server lives in the child: a fork must not copy another thread's locks.
  const int status = zt::in_child([&] {
    zt::TcpServer server([](int fd) { zt::sees_close(fd); });
    const std::string address = server.address();
    start("T");
    constexpr int kThreads = 4, kEach = 10;
    std::vector<int> ids(kThreads * kEach, -2);
    std::vector<std::thread> threads;
    std::promise<void> go;
    auto ready = go.get_future().share();
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        ready.wait();
        for (int i = 0; i < kEach; ++i) {
          std::string text = address;
          ids[t * kEach + i] = SOCKET_Open(text.data(), 0);
        }
      });
    }
    go.set_value();
    for (auto& th : threads) th.join();
    const std::set<int> distinct(ids.begin(), ids.end());
    CHILD_CHECK(distinct.size() == ids.size());
    CHILD_CHECK(*distinct.begin() == 0 && *distinct.rbegin() == kThreads * kEach - 1);
    for (int id : ids) SOCKET_Close(id, 2);
    // Every allocation and every release went through the guard. (Lines written
    // by several threads at once may share a line of the file: count the texts.)
    const std::string log = zt::read_file(dir_ / "sock.log");
    const auto count = [&log](const std::string& part) {
      int n = 0;
      for (auto at = log.find(part); at != std::string::npos; at = log.find(part, at + 1)) ++n;
      return n;
    };
    for (int id = 0; id < kThreads * kEach; ++id) {
      const std::string n = std::to_string(id);
      CHILD_CHECK(count("SOCKET_Open libere el Mutex HandleId=[" + n + "]") == 1);
      CHILD_CHECK(count("SOCKET_Close libere el Mutex, free HandleId=[" + n + "]") == 1);
    }
    CHILD_CHECK(count("SOCKET_Open tengo el Mutex") == kThreads * kEach);
    CHILD_CHECK(count("SOCKET_Close tengo el Mutex") == kThreads * kEach);
    CHILD_CHECK(HANDLE_Get() == 0);
    return 0;
  });
  EXPECT_EQ(status, 0);
}

TEST_F(SocketTest, MultithreadedGuardLinesAndAccept) {
  const int status = zt::in_child([&] {
    start("T");
    std::string text = "0";
    const int lid = SOCKET_Open(text.data(), 0);
    CHILD_CHECK(lid == 0);
    const int c = zt::raw_connect(SOCKET_GetLocalPort(lid));
    int len = 5;
    const int acc = SOCKET_Receive(lid, nullptr, 0, 0, &len);
    CHILD_CHECK(acc == 1 && len == 0);
    SOCKET_Close(acc, 2);
    CHILD_CHECK(zt::sees_close(c));
    CHILD_CHECK(zt::contains_in_order(
        lines(),
        {"DEBUG\tSOCKET_Open OpenMutex OK", "DEBUG\tSOCKET_Open tengo el Mutex",
         "DEBUG\tSOCKET_Open libere el Mutex HandleId=[0]",
         "INFO\tSOCKET_Open Esperando conexiones en el port 0 ...",
         "INFO\tSOCKET_Receive es server", "DEBUG\tSOCKET_Open OpenMutex OK",
         "DEBUG\tSOCKET_Open tengo el Mutex", "DEBUG\tSOCKET_Open libere el Mutex ClientId=[1]",
         "DEBUG\tSOCKET_Close OpenMutex OK", "DEBUG\tSOCKET_Close tengo el Mutex",
         "DEBUG\tSOCKET_Close libere el Mutex, free HandleId=[1]"}));
    CHILD_CHECK(SOCKET_GetSet().count == 0);
    SOCKET_Close(lid, 2);
    zt::close_fd(c);
    return 0;
  });
  EXPECT_EQ(status, 0);
}

TEST_F(SocketTest, MultithreadedGuardHeldElsewhereFailsOpenAndKeepsClosedSlot) {
  // The server lives in the child: a fork must not copy another thread's locks.
  const int status = zt::in_child([&] {
    zt::TcpServer server([](int fd) { zt::sees_close(fd); });
    const std::string address = server.address();
    start("T");
    std::string text = address;
    const int kept = SOCKET_Open(text.data(), 0);
    CHILD_CHECK(kept == 0);

    // Another thread holds the guard for longer than the 1000 ms wait.
    std::promise<void> held, finished;
    auto done = finished.get_future().share();
    std::thread holder([&] {
      plat::MutexHandle m = plat::named_mutex_open("zelsock.mutex");
      plat::named_mutex_wait(m, 5000);
      held.set_value();
      done.wait_for(5s);
      plat::named_mutex_release(m);
      plat::named_mutex_close(m);
    });
    held.get_future().wait();
    int opened = -2;
    std::thread opener([&] {
      std::string t = address;
      opened = SOCKET_Open(t.data(), 0);
    });
    SOCKET_Close(kept, 2);
    opener.join();
    finished.set_value();
    holder.join();
    CHILD_CHECK(opened == -1);
    const auto log = lines();
    CHILD_CHECK(zt::contains_in_order(log, {"ERROR\tSOCKET_Open WaitForSingleObject",
                                            "DEBUG\tSOCKET_Open libere el Mutex HandleId=[-1]",
                                            "ERROR\tSOCKET_Open HANDLE_Get()"}));
    CHILD_CHECK(
        zt::contains_in_order(log, {"ERROR\tSOCKET_Close WaitForSingleObject",
                                    "DEBUG\tSOCKET_Close libere el Mutex, free HandleId=[0]"}));
    // The closed slot stays taken until the table is reset.
    std::string again = address;
    const int next = SOCKET_Open(again.data(), 0);
    CHILD_CHECK(next == 1);
    SOCKET_Close(next, 2);
    return 0;
  });
  EXPECT_EQ(status, 0);
}

// ---- The platform's named mutex ------------------------------------------

class NamedMutexTest : public ::testing::Test {
 protected:
  void SetUp() override { zt::remove_named_mutex(name_); }
  void TearDown() override { zt::remove_named_mutex(name_); }
  std::string name_ = "zelsock.test." + zt::run_tag();  // the same in in_child's child
};

TEST_F(NamedMutexTest, WaitOutcomes) {
  EXPECT_EQ(plat::named_mutex_open(name_.c_str()), nullptr);  // not created yet
  ASSERT_TRUE(plat::named_mutex_create(name_.c_str(), nullptr, 0));
  ASSERT_TRUE(plat::named_mutex_create(name_.c_str(), nullptr, 0));  // an existing one is accepted
  plat::MutexHandle m = plat::named_mutex_open(name_.c_str());
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(plat::named_mutex_wait(m, 100), plat::WaitOutcome::Signalled);

  std::thread other([&] {
    plat::MutexHandle m2 = plat::named_mutex_open(name_.c_str());
    EXPECT_EQ(plat::named_mutex_wait(m2, 50), plat::WaitOutcome::Timeout);
    plat::named_mutex_release(m2);  // not the owner: harmless
    plat::named_mutex_close(m2);
  });
  other.join();
  plat::named_mutex_release(m);

  // An owner thread that ends while holding it leaves it abandoned, once.
  std::thread owner([&] {
    plat::MutexHandle mc = plat::named_mutex_open(name_.c_str());
    EXPECT_EQ(plat::named_mutex_wait(mc, 100), plat::WaitOutcome::Signalled);
    plat::named_mutex_close(mc);
  });
  owner.join();
  EXPECT_EQ(plat::named_mutex_wait(m, 1000), plat::WaitOutcome::Abandoned);
  plat::named_mutex_release(m);
  EXPECT_EQ(plat::named_mutex_wait(m, 1000), plat::WaitOutcome::Signalled);
  plat::named_mutex_release(m);
  plat::named_mutex_close(m);
}

}  // namespace
