// The platform layer's contract, one list for both builds (run natively and under
// Wine): what each open finds behind a name, the network calls' bounds, short reads
// and ends, the wake-up channel, and the named mutex's waits.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <fstream>
#include <thread>
#include <tuple>

#include "platform/tls.h"
#include "testsupport.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using plat::OpenMode;
using plat::Status;

// Each open mode against what a name holds: what is not a regular file is refused
// at once, and a file open elsewhere is held. (Links, pipes, hard links and an empty
// file just made are run end to end on Linux.)
TEST(PlatformFiles, WhatEachOpenFindsBehindAName) {
  zt::TempDir dir;
  zt::write_file(dir / "file", "x");
  fs::create_directory(dir / "dir");
  const std::tuple<const char*, OpenMode, Status> rows[] = {
      {"missing", OpenMode::ReadRegular, Status::NotFound},
      {"missing", OpenMode::ExclusiveRead, Status::NotFound},
      {"missing", OpenMode::Rewrite, Status::NotFound},
      {"file", OpenMode::ReadRegular, Status::Ok},
      {"file", OpenMode::ExclusiveRead, Status::Ok},
      {"file", OpenMode::CreateNew, Status::Exists},
      {"dir", OpenMode::ReadRegular, Status::Denied},
      {"dir", OpenMode::ExclusiveRead, Status::Denied},
  };
  const auto open = [&](const char* name, OpenMode mode) {  // what it returns, closed again
    plat::FileHandle f = plat::kNoFile;
    const Status s = plat::system_files().open((dir / name).string().c_str(), mode, &f);
    if (f != plat::kNoFile) plat::system_files().close(f);
    return s;
  };
  for (const auto& [name, mode, expected] : rows) {
    EXPECT_EQ(open(name, mode), expected) << name << " " << static_cast<int>(mode);
  }
  std::ifstream held(dir / "file");
  EXPECT_EQ(open("file", OpenMode::ExclusiveRead), Status::Busy);
}

// Names and dotted addresses give one IPv4 address; then one connection's life:
// reads bounded, short reads leaving the rest, the peer's close, then its reset.
TEST(PlatformNet, ResolveThenAConnectionsLife) {
  char why[128] = "";
  ASSERT_TRUE(plat::net_startup(why, sizeof why)) << why;
  using Address = std::array<std::uint8_t, 4>;
  const Address loopback = {127, 0, 0, 1};
  const std::pair<const char*, Address> names[] = {{"127.0.0.1", loopback},
                                                   {"localhost", loopback},
                                                   {"", loopback},
                                                   {"10.1.2.3", {10, 1, 2, 3}}};
  for (const auto& [host, expected] : names) {
    Address got{};
    EXPECT_EQ(plat::net_resolve(host, got.data()), plat::Resolve::Ok) << host;
    // Windows gives an empty host one of this machine's own addresses.
    EXPECT_TRUE(got == expected || (zt::kWindows && host[0] == '\0')) << host;
  }
  Address none{};
  EXPECT_NE(plat::net_resolve("nohost.invalid", none.data()), plat::Resolve::Ok);
#ifndef _WIN32
  // Descriptor 0 free: a socket is never given the value that reads as "no slot".
  const int stdinCopy = dup(0);
  close(0);
  const plat::SocketValue low = plat::net_socket();
  dup2(stdinCopy, 0);
  close(stdinCopy);
  EXPECT_GT(low, 0);
  plat::net_close(low);
#endif
  const plat::SocketValue listener = plat::net_socket();
  ASSERT_EQ(plat::net_bind_any(listener, 0), Status::Ok);
  ASSERT_EQ(plat::net_listen(listener, 4), Status::Ok);
  const auto port = static_cast<std::uint16_t>(plat::net_local_port(listener));
  const plat::SocketValue client = plat::net_socket();
  ASSERT_EQ(plat::net_connect(client, loopback.data(), port, 1000), Status::Ok);
  Address peer{};
  const plat::SocketValue server = plat::net_accept(listener, peer.data());
  ASSERT_NE(server, plat::kNoSocket);
  EXPECT_EQ(peer, loopback);
  char buf[8] = {};
  std::size_t n = 0;
  EXPECT_EQ(plat::net_wait_readable(client, 20), Status::TimedOut);
  EXPECT_EQ(plat::net_recv(client, buf, sizeof buf, 20, &n), Status::TimedOut);
  ASSERT_EQ(plat::net_send(server, "hello", 5, 1000, &n), Status::Ok);
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(plat::net_wait_readable(client, 1000), Status::Ok);
  ASSERT_EQ(plat::net_recv(client, buf, 3, 1000, &n), Status::Ok);
  EXPECT_EQ(n, 3u);
  ASSERT_EQ(plat::net_recv(client, buf + 3, sizeof buf - 3, 1000, &n), Status::Ok);
  EXPECT_EQ(std::string(buf, 3 + n), "hello");
  plat::net_shutdown(server, 1);
  EXPECT_EQ(plat::net_recv(client, buf, sizeof buf, 1000, &n), Status::Closed);
  plat::net_close(server);
  // Sends to a peer that has gone fail, at the latest once its reset is back.
  Status sent = Status::Ok;
  for (int i = 0; i < 100 && sent == Status::Ok; ++i, std::this_thread::sleep_for(5ms)) {
    sent = plat::net_send(client, "x", 1, 1000, &n);
  }
  EXPECT_EQ(sent, Status::Failed);
  plat::net_close(client);
  plat::net_close(listener);
}

// A wake-up from another thread ends a sleep early; without one it ends at its bound.
TEST(PlatformWake, EndsASleepEarlyElseAtItsBound) {
  ASSERT_TRUE(plat::wake_open());
  EXPECT_FALSE(plat::wake_sleep(20));
  std::thread waker([] { plat::wake(); });
  EXPECT_TRUE(plat::wake_sleep(10000));
  waker.join();
}

// A thread that ends holding the guard leaves it abandoned: the next wait says so
// once, and the guard serves again. Held by another thread, a wait ends at its
// bound, its milliseconds carried into seconds, neither at once nor never.
TEST(PlatformMutex, AbandonedContendedAndRefused) {
  char why[128];
  ASSERT_TRUE(plat::named_mutex_create("zeltest.guard", why, sizeof why));
  plat::MutexHandle m = plat::named_mutex_open("zeltest.guard");
  ASSERT_NE(m, nullptr);
  std::thread([&] {
    EXPECT_EQ(plat::named_mutex_wait(m, 1000), plat::WaitOutcome::Signalled);
  }).join();
  EXPECT_EQ(plat::named_mutex_wait(m, 1000), plat::WaitOutcome::Abandoned);
  plat::named_mutex_release(m);
  EXPECT_EQ(plat::named_mutex_wait(m, 1000), plat::WaitOutcome::Signalled);
  plat::named_mutex_release(m);
  std::atomic<int> step{0};
  std::thread holder([&] {
    EXPECT_EQ(plat::named_mutex_wait(m, 1000), plat::WaitOutcome::Signalled);
    step = 1;
    while (step == 1) std::this_thread::sleep_for(1ms);
    plat::named_mutex_release(m);
  });
  while (step == 0) std::this_thread::sleep_for(1ms);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(plat::named_mutex_wait(m, 999), plat::WaitOutcome::Timeout);
  EXPECT_GE(std::chrono::steady_clock::now() - started, 900ms);
  step = 2;
  holder.join();
  plat::named_mutex_close(m);
  EXPECT_FALSE(plat::named_mutex_create(std::string(300, 'n').c_str(), why, sizeof why));
  EXPECT_EQ(plat::named_mutex_open(""), nullptr);  // never created
}

}  // namespace

// A pin is the SHA-256 of a key, in hex or base64, and nothing near it: a pin
// read wrong pins another key, or none.
TEST(PlatformTls, PinSpellings) {
  const std::string hex = "00ff10aB" + std::string(56, '7');
  const std::string b64 = "AP8Qq3d3d3d3d3d3d3d3d3d3d3d3d3d3d3d3d3d3d3c=";  // the same 32 bytes
  // clang-format off
  const std::pair<std::string, bool> rows[] = {
      {hex, true}, {b64, true},
      {hex.substr(1), false}, {hex + "0", false}, {"+" + hex.substr(1), false},
      {hex.substr(0, 63) + "g", false}, {b64.substr(0, 43) + "A", false},
      {b64.substr(0, 42) + "d=", false}, {b64.substr(0, 42) + "!=", false}, {"", false}};
  // clang-format on
  unsigned char a[32], b[32];
  for (const auto& [text, ok] : rows) EXPECT_EQ(plat::tls_pin_parse(text.c_str(), a), ok) << text;
  ASSERT_TRUE(plat::tls_pin_parse(hex.c_str(), a) && plat::tls_pin_parse(b64.c_str(), b));
  EXPECT_EQ(std::memcmp(a, b, 32), 0);
  EXPECT_EQ(a[0], 0x00);
  EXPECT_EQ(a[1], 0xff);
  EXPECT_EQ(a[3], 0xab);
}
