// The socket layer against real TCP on 127.0.0.1, single-threaded: the text forms
// of an open, the receive cap, the time bounds and their lines, the socket set,
// and ids outside the table. The peer is the layer's own listening socket, whose
// unaccepted connections complete in its queue and never read or answer.
#include "socket/socket.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "log/log.h"
#include "platform/platform.h"
#include "socket/socketset.h"
#include "testsupport.h"

namespace {

void set_bound(const char* ms) {
#ifdef _WIN32
  _putenv_s("ZELCLIENT_NET_TIMEOUT_MS", ms);  // "" removes it
#else
  if (ms[0] != '\0') setenv("ZELCLIENT_NET_TIMEOUT_MS", ms, 1);
  if (ms[0] == '\0') unsetenv("ZELCLIENT_NET_TIMEOUT_MS");
#endif
}

class SocketLayer : public ::testing::Test {
 protected:
  void SetUp() override {
    log_ = (dir_ / "sock.log").string() + ",1,300";
    LOG_Open(1, 1, log_.data());
    set_bound("200");
    ASSERT_EQ(SOCKET_Init(nullptr), 0);
    listener_ = SOCKET_Listen(0);
    ASSERT_NE(listener_, -1);
    port_ = SOCKET_GetLocalPort(listener_);
  }
  void TearDown() override {
    SOCKET_End();
    LOG_Close();
    set_bound("");
  }
  std::vector<std::string> lines() { return zt::log_messages(zt::read_file(dir_ / "sock.log")); }
  bool last_lines(const std::vector<std::string>& expected) {
    const auto l = lines();
    return l.size() >= expected.size() && std::equal(expected.begin(), expected.end(),
                                                     l.end() - static_cast<long>(expected.size()));
  }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

  zt::TempDir dir_;
  std::string log_;
  int listener_ = -1;
  int port_ = 0;
};

TEST_F(SocketLayer, TextFormsOfAnOpen) {
  std::string text = address() + ",rest";
  const int id = SOCKET_Open(text.data(), 0);
  EXPECT_GE(id, 0);
  EXPECT_STREQ(text.c_str(), address().c_str());  // cut at the comma after the port
  SOCKET_Close(id, 2);
  // A host of kHostMax characters is looked up; a longer one is refused, unchanged.
  for (const int n : {kHostMax, kHostMax + 1}) {
    const std::string host = std::string(static_cast<std::size_t>(n) - 8, 'h') + ".invalid";
    std::string hostText = host + ":80,x";
    EXPECT_EQ(SOCKET_Open(hostText.data(), 0), -1);
    EXPECT_STREQ(hostText.c_str(), (host + (n > kHostMax ? ":80,x" : ":80")).c_str());
    const std::string refused = "ERROR\tSOCKET_Open host demasiado largo [" + host + "]";
    EXPECT_EQ(lines().back() == refused, n > kHostMax);
    EXPECT_EQ(SOCKET_Connect(host.c_str(), 80), -1);  // the same bound for a host and port
    EXPECT_EQ(lines().back() == refused, n > kHostMax);
  }
  std::string listening = "0,xyz";
  const int l = SOCKET_Open(listening.data(), 0);
  EXPECT_GE(l, 0);
  EXPECT_STREQ(listening.c_str(), "0");
  EXPECT_TRUE(
      last_lines({"INFO\t", "INFO\tSOCKET_Open Esperando conexiones en el port 0 ...", "INFO\t"}));
  std::string empty;
  EXPECT_EQ(SOCKET_Open(empty.data(), 0), -1);
  EXPECT_EQ(SOCKET_TestConnection(address().c_str()), 1);
  EXPECT_EQ(SOCKET_TestConnection("127.0.0.1:1"), 0);
  EXPECT_EQ(SOCKET_TestConnection("nohost.invalid:80"), 0);  // a name nobody knows
}

// Every wait is bounded, and the log tells a time-out from a refusal.
TEST_F(SocketLayer, SilentPeersEndInTheBound) {
  // (A receive's bound is run end to end, against a silent gateway.)
  const int id = SOCKET_Connect("127.0.0.1", port_);
  ASSERT_GE(id, 0);
  char buf[8] = {};
  int got = -5;
  const std::string flood(32 << 20, 'f');
  int len = static_cast<int>(flood.size());
  EXPECT_EQ(SOCKET_Send(id, flood.data(), &len, 0), -1);
  EXPECT_GT(len, 0);
  EXPECT_LT(len, static_cast<int>(flood.size()));
  EXPECT_TRUE(last_lines({"ERROR\tSOCKET_Send enviando",
                          "ERROR\tSOCKET_Send sin respuesta en 200 ms: tiempo de espera agotado"}));
  EXPECT_EQ(SOCKET_Receive(id, buf, 0, 0, &got), -1);  // a size of 0 fails at once
  len = 0;
  EXPECT_EQ(SOCKET_Send(id, buf, &len, 0), -1);  // and so does a send of nothing
  EXPECT_EQ(lines().back(), "ERROR\tSOCKET_Receive recv");
  SOCKET_Close(id, 2);
  // Ids outside the table are free slots: nothing outside it is touched.
  EXPECT_EQ(SOCKET_Close(-1, 2), 0);
  EXPECT_EQ(SOCKET_Close(kSocketSlots, 2), 0);
  len = 1;
  EXPECT_EQ(SOCKET_Send(kSocketSlots, "x", &len, 0), -1);
  EXPECT_EQ(len, 0);
}

// A connection not made within its first wait goes on being made: it is waited
// for again within what is left of the bound, and one never made frees its slot.
TEST_F(SocketLayer, AConnectionWaitedForInTwoSteps) {
  auto full = std::make_unique<zt::FullListener>();
  ASSERT_GT(full->port(), 0);
  bool pending = false;
  const int id = SOCKET_ConnectBegin("127.0.0.1", full->port(), 20, &pending);
  ASSERT_GE(id, 0);
  EXPECT_TRUE(pending);
  EXPECT_EQ(SOCKET_ConnectFinish(id, 20), -1);
  EXPECT_TRUE(last_lines({"ERROR\tSOCKET_Open connect()",
                          "ERROR\tSOCKET_Open connect() sin respuesta en 200 ms: tiempo de espera "
                          "agotado"}));
  // Its slot is free again, and a full table gives none.
  std::vector<int> taken;
  for (int got = 0; (got = HANDLE_Get()) != -1 && taken.size() <= kSocketSlots;) {
    taken.push_back(got);
  }
  EXPECT_EQ(taken.size(), kSocketSlots - 1u);  // the listener holds one
  EXPECT_EQ(taken.front(), id);
  const std::size_t members = SOCKET_GetSet().count;
  EXPECT_EQ(SOCKET_Listen(0), -1);  // a listener refused leaves the socket set as it was
  EXPECT_EQ(SOCKET_GetSet().count, members);
  for (const int t : taken) HANDLE_Free(t);
  full.reset();
  // Made within the first wait: not pending; a silent peer's reply is not there.
  const int made = SOCKET_ConnectBegin("127.0.0.1", port_, 20, &pending);
  ASSERT_GE(made, 0);
  EXPECT_FALSE(pending);
  EXPECT_EQ(lines().back(), "INFO\tSOCKET_Open Conectado");
  EXPECT_EQ(SOCKET_WaitReadable(made, 10), -1);
  SOCKET_Close(made, 2);
}

// The socket set keeps the listener and the connections accepted on it, in order,
// and a closed connection gives its slot back.
TEST_F(SocketLayer, AcceptAndTheSocketSet) {
  const int client = SOCKET_Connect("127.0.0.1", port_);
  int zero = -1;
  const int server = SOCKET_Receive(listener_, nullptr, 0, 0, &zero);
  ASSERT_GE(server, 0);
  EXPECT_EQ(zero, 0);
  const SocketSet& set = SOCKET_GetSet();
  ASSERT_EQ(set.count, 2u);
  EXPECT_GE(SOCKET_GetHighest(), set.members[1]);
  const auto listening = set.members[0];
  SOCKET_Close(server, 2);
  EXPECT_EQ(set.count, 1u);
  EXPECT_EQ(set.members[0], listening);
  SOCKET_Close(client, 2);
  // Every close gives its slot back, single-threaded and guarded: more connections
  // than the table holds, one at a time.
  for (const char* mode : {"", "T"}) {
    ASSERT_EQ(SOCKET_Init(mode), 0);
    const int listener = SOCKET_Listen(0);
    const int port = SOCKET_GetLocalPort(listener);
    for (int i = 0; i <= kSocketSlots; ++i) {
      const int c = SOCKET_Connect("127.0.0.1", port);
      const int s = SOCKET_Receive(listener, nullptr, 0, 0, &zero);
      ASSERT_TRUE(c >= 0 && s >= 0) << mode << " " << i;
      SOCKET_Close(s, 2);
      SOCKET_Close(c, 2);
    }
    SOCKET_Close(listener, 2);
  }
}

}  // namespace
