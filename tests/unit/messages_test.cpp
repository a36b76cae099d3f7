// Field-list messages, packet framing and the fixed-width layout: exact texts
// and bytes, and refusals that leave their buffers as they were.
#include <gtest/gtest.h>

#include <cstring>

#include "client/layout.h"
#include "tran/fields.h"
#include "tran/packet.h"

namespace {

std::string get(const char* source, const char* name, std::size_t cap = 64) {
  char buf[512] = "unchanged";
  zel::TextRef dest(buf, cap);
  return ZEL_TranGetField(source, name, &dest) ? dest.c_str() : "(refused)";
}

TEST(Fields, FirstOccurrenceAsAPlainSubstring) {
  const struct {
    const char* source;
    const char* name;
    std::string value;
  } cases[] = {
      {"|G01=1234|G04=55|", "G04", "55"}, {"|G01=1|G01=2|", "G01", "1"}, {"|G04=|", "G04", ""},
      {"|G04=55", "G04", "unchanged"},  // no closing bar
      {"|G041=5|G04=7|", "G04", "5"},   // found inside another name first
      {"|G01=1|", "G99", "unchanged"},    {"", "G01", "(refused)"},
  };
  for (const auto& c : cases) EXPECT_EQ(get(c.source, c.name), c.value) << c.source;
  EXPECT_EQ(get("|G01=123456|", "G01", 5), "(refused)");  // never cut to fit
  EXPECT_EQ(get(std::string(4096, 'x').c_str(), "G01"), "(refused)");
  EXPECT_EQ(ZEL_TranHasField("|F01=x F52|", "F52"), 1);
  EXPECT_EQ(ZEL_TranHasField("|F01=x|", "F52"), 0);
}

TEST(Fields, EditingInPlace) {
  zel::Text<22> t("|G01=1|G06=abc|G99=20|");
  EXPECT_EQ(ZEL_TranDelField(t, "G06"), 0);
  EXPECT_EQ(t.view(), "|G01=1|G99=20|");
  EXPECT_EQ(ZEL_TranPutfield(t, "G41", "c1"), 0);  // no second bar after the closing one
  EXPECT_EQ(ZEL_TranEnd(t), 0);
  EXPECT_EQ(t.view(), "|G01=1|G99=20|G41=c1|");
  EXPECT_EQ(ZEL_TranPutfield(t, "G52", "toolong"), -1);  // would not fit: unchanged
  EXPECT_EQ(ZEL_TranEnd(t), 0);
  EXPECT_EQ(t.view(), "|G01=1|G99=20|G41=c1||");
  EXPECT_EQ(ZEL_TranEnd(t), -1);
  zel::Text<8> empty;
  EXPECT_EQ(ZEL_TranPutfield(empty, "G01", "1"), 0);
  EXPECT_EQ(empty.view(), "|G01=1");
}

TEST(Packet, BytesOfTheHeaderAndRefusals) {
  unsigned char out[64];
  std::memset(out, 0xEE, sizeof out);
  ASSERT_EQ(ZEL_MakePacket(1, "AB", "|G01=1|", out, sizeof out), 17);
  const unsigned char header[] = {0, 0, 0, 13, 0, 1, 'A', 'B', 0, 0};
  EXPECT_EQ(std::memcmp(out, header, sizeof header), 0);
  EXPECT_EQ(std::memcmp(out + 10, "|G01=1|", 7), 0);
  ZELPacketHeader h{};
  ASSERT_TRUE(ZEL_ReadPacketHeader(out, 17, &h));
  EXPECT_EQ(h.length, 13u);
  EXPECT_EQ(h.type, 1);
  EXPECT_EQ(ZEL_PacketSize(out, 4), 17u);
  EXPECT_EQ(ZEL_PacketSize(out, 3), 0u);
  EXPECT_FALSE(ZEL_ReadPacketHeader(out, 9, &h));
  ASSERT_EQ(ZEL_MakePacket(0x0103, "CLIENT", "m", out, sizeof out), 11);  // 4 name bytes
  EXPECT_EQ(std::memcmp(out + 4,
                        "\x01\x03"
                        "CLIE",
                        6),
            0);
  EXPECT_EQ(ZEL_MakePacket(1, "", "m", out, sizeof out), -1);
  EXPECT_EQ(ZEL_MakePacket(1, "AB", "", out, sizeof out), -1);
  std::memset(out, 0xEE, sizeof out);
  EXPECT_EQ(ZEL_MakePacket(1, "AB", "12345", out, 14), -1);  // needs 15
  EXPECT_EQ(out[0], 0xEE);
}

TEST(Layout, FixedWidthsAndOrder) {
  zel::Text<1024> t("|F52=G20310000017|X=1|F01=1234|F41=caja1|F51=OK|\r\n");
  ASSERT_TRUE(ZELClient_FixedLayout(t));
  EXPECT_EQ(t.view(),
            "|X=1|F01=0000001234|F04=00000000000000000000|F08=0000000000|F41=caja1|"
            "F50=00|F51=OK" +
                std::string(48, ' ') + "|F52=G20310000017|F06=" + std::string(100, '0') +
                "|F99=000000|\n");
  zel::Text<200> small("|F01=1|");
  EXPECT_FALSE(ZELClient_FixedLayout(small));  // the result would not fit: unchanged
  EXPECT_EQ(small.view(), "|F01=1|");
}

}  // namespace
