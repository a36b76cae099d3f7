// Field-list messages and the fixed-width layout: exact texts, and refusals that
// leave their buffers as they were. (Editing and packet framing are fuzzed
// against models, the frames the gateway receives checked end to end.)
#include <gtest/gtest.h>

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
  zel::Text<64> message("|G01=1|");  // a field needs a name
  EXPECT_EQ(ZEL_TranPutfield(message, "", "x"), -1);
  EXPECT_EQ(message.view(), "|G01=1|");
  zel::Text<8> empty;  // an empty text gets no closing bar
  EXPECT_EQ(ZEL_TranEnd(empty), 0);
  EXPECT_EQ(empty.view(), "");
}

TEST(Layout, FixedWidthsAndOrder) {
  zel::Text<1024> t("|F52=G20310000017|X=1|F01=1234|F41=caja1|F51=OK|\r\n");
  ASSERT_TRUE(ZELClient_FixedLayout(t));
  EXPECT_EQ(t.view(),
            "|X=1|F01=0000001234|F04=00000000000000000000|F08=0000000000|F41=caja1|"
            "F50=00|F51=OK" +
                std::string(48, ' ') + "|F52=G20310000017|F06=" + std::string(100, '0') +
                "|F99=000000|\n");
  zel::Text<400> plain("|F01=1|");  // no F41: none is added
  ASSERT_TRUE(ZELClient_FixedLayout(plain));
  EXPECT_EQ(plain.view().find("F41"), std::string::npos);
  const unsigned char header[4] = {0, 0, 0, 9};  // a packet's size is known from 4 bytes
  EXPECT_EQ(ZEL_PacketSize(header, 3), 0u);
  EXPECT_EQ(ZEL_PacketSize(header, 4), 13u);
  unsigned char frame[64];  // a packet needs a sender and a message
  for (const auto& [name, text] : {std::pair<const char*, const char*>{"AB", ""}, {"", "|G=1|"}}) {
    EXPECT_EQ(ZEL_MakePacket(1, name, text, frame, sizeof frame), -1);
  }
  ZELPacketHeader read;
  EXPECT_FALSE(ZEL_ReadPacketHeader(frame, kPacketHeaderSize - 1, &read));  // no header yet
  zel::Text<200> small("|F01=1|");
  EXPECT_FALSE(ZELClient_FixedLayout(small));  // the result would not fit: unchanged
  EXPECT_EQ(small.view(), "|F01=1|");
}

}  // namespace
