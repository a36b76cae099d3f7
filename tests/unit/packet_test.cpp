#include "tran/packet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "log/log.h"
#include "testsupport.h"

namespace {

std::string bytes(const unsigned char* p, int n) {
  return std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n));
}

TEST(MakePacket, ByteExactFrames) {
  // The name field is read as the client configuration holds it: 4 characters
  // and a terminator, cleared beyond.
  struct Case {
    int type;
    char name[5];
    std::string message;
    std::string expected;
  } cases[] = {
      {1, "ABCD", "|G01=1234|G99=00002|",
       std::string("\0\0\0\x1A\0\x01", 6) + "ABCD" + "|G01=1234|G99=00002|"},
      {0, "CLI1", "|G01=1234|G81=0001|",
       std::string("\0\0\0\x19\0\0", 6) + "CLI1" + "|G01=1234|G81=0001|"},
      {3, "ABCD", "x", std::string("\0\0\0\x07\0\x03", 6) + "ABCDx"},
      {65536 + 3, "ABCD", "x", std::string("\0\0\0\x07\0\x03", 6) + "ABCDx"},
      {-1, "ABCD", "x", std::string("\0\0\0\x07\xFF\xFF", 6) + "ABCDx"},
      {0x1234, "AB", "msg",
       std::string("\0\0\0\x09\x12\x34", 6) + std::string("AB\0\0", 4) + "msg"},
  };
  for (const auto& c : cases) {
    unsigned char out[4096] = {};
    const int n = ZEL_MakePacket(c.type, c.name, c.message.c_str(), out, sizeof out);
    ASSERT_EQ(n, static_cast<int>(c.message.size()) + 10) << c.message;
    EXPECT_EQ(bytes(out, n), c.expected) << c.message;
    EXPECT_EQ(out[n], 0);  // the terminator is not part of the packet
  }
  // The life packet for pharmacy 1234 is 29 bytes.
  unsigned char out[64] = {};
  EXPECT_EQ(ZEL_MakePacket(0, "CLI1", "|G01=1234|G81=0001|", out, sizeof out), 29);
  // A 1024-character request gives a 1034-byte packet with length field 1030.
  const std::string request(1024, 'r');
  std::vector<unsigned char> big(4096);
  EXPECT_EQ(ZEL_MakePacket(1, "ABCD", request.c_str(), big.data(), big.size()), 1034);
  EXPECT_EQ(bytes(big.data(), 4), std::string("\0\0\x04\x06", 4));
}

TEST(MakePacket, InvalidInputOrNoRoomWritesNothing) {
  const char name[5] = "ABCD";
  struct Case {
    const char* name;
    const char* message;
    std::size_t room;
  } cases[] = {
      {nullptr, "m", 64}, {"", "m", 64},     {name, nullptr, 64},
      {name, "", 64},     {name, "abc", 12},  // needs 13
      {name, "abc", 0},
  };
  for (const auto& c : cases) {
    unsigned char out[64];
    std::fill(std::begin(out), std::end(out), 0xEE);
    EXPECT_EQ(ZEL_MakePacket(1, c.name, c.message, out, c.room), -1);
    EXPECT_TRUE(
        std::all_of(std::begin(out), std::end(out), [](unsigned char b) { return b == 0xEE; }));
  }
  unsigned char exact[13];
  EXPECT_EQ(ZEL_MakePacket(1, name, "abc", exact, sizeof exact), 13);
}

TEST(MakePacket, LogsEntryAndExitOnBothPaths) {
  zt::TempDir dir;
  std::string logArg = (dir / "p.log").string() + ",1,300";
  LOG_Open(1, 1, logArg.data());
  unsigned char out[32];
  ZEL_MakePacket(1, "ABCD", "m", out, sizeof out);
  ZEL_MakePacket(1, "ABCD", "", out, sizeof out);
  LOG_Close();
  EXPECT_EQ(
      zt::log_messages(zt::read_file(dir / "p.log")),
      (std::vector<std::string>{"DEBUG\tZEL_MakePacket Entry", "DEBUG\tZEL_MakePacket Exit",
                                "DEBUG\tZEL_MakePacket Entry", "DEBUG\tZEL_MakePacket Exit"}));
}

}  // namespace
