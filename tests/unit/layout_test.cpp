#include "client/layout.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

std::string z(std::size_t n) {
  return std::string(n, '0');
}

// The tail every result ends with when F52, F06 and F99 come from the input's defaults.
std::string layout(const std::string& in) {
  zel::Text<1024> text(in);
  EXPECT_TRUE(ZELClient_FixedLayout(text)) << in;
  return std::string(text.view());
}

TEST(FixedLayout, WorkedExamples) {
  EXPECT_EQ(layout("|F01=1234|F04=556677|F08=42|F41=caja1|F50=ND|F51=RECETA PRE-AUTORIZADA|"
                   "F52=G20310000017|F99=000021|"),
            "|F01=0000001234|F04=00000000000000556677|F08=0000000042|F41=caja1|F50=ND|F51="
            "RECETA PRE-AUTORIZADA" +
                std::string(29, ' ') + "|F52=G20310000017|F06=" + z(100) + "|F99=000021|\n");

  EXPECT_EQ(layout("|F10=x|F01=5|F20=y|F99=21|"),
            "|F10=x|F20=y|F01=0000000005|F04=" + z(20) + "|F08=" + z(10) + "|F50=00|F51=" +
                std::string(50, ' ') + "|F52=" + z(12) + "|F06=" + z(100) + "|F99=000021|\n");
}

TEST(FixedLayout, EmptyInputGivesEveryAlwaysField) {
  const std::string expected = "|F01=" + z(10) + "|F04=" + z(20) + "|F08=" + z(10) +
                               "|F50=" + z(2) + "|F51=" + std::string(50, ' ') + "|F52=" + z(12) +
                               "|F06=" + z(100) + "|F99=" + z(6) + "|\n";
  EXPECT_EQ(expected.size(), 252u);
  EXPECT_EQ(layout(""), expected);
}

TEST(FixedLayout, FieldRules) {
  struct Case {
    const char* in;
    const char* contains;
  } cases[] = {
      {"|F50=123|", "|F50=123|"},  // longer than its width: moved unchanged
      {"|F50=|", "|F50=00|"},      // empty value padded like a missing one
      {"|F99=21|", "|F99=000021|"},
      {"|F41=c1|F01=1|", "|F08=0000000000|F41=c1|F50=00|"},
      {"|F10=a|F01=1|F20=b|F30=c|", "|F10=a|F20=b|F30=c|F01=0000000001|"},
      // Last field unclosed and not F01: the appended F01 closes it.
      {"|F10=x|F99=7", "|F10=x|F01=0000000000|"},
  };
  for (const auto& c : cases) {
    const std::string out = layout(c.in);
    EXPECT_NE(out.find(c.contains), std::string::npos) << c.in << " -> " << out;
  }
  EXPECT_EQ(layout("|F01=1|").find("F41"), std::string::npos);
  const std::string f51(57, 'r');
  EXPECT_NE(layout("|F51=" + f51 + "|").find("|F51=" + f51 + "|"), std::string::npos);
  EXPECT_NE(layout("|F10=x|F99=7").find("|F99=000007|\n"), std::string::npos);
  // An unclosed last F01 reads as empty and stays where it is.
  const std::string unclosed = layout("|F10=x|F01=5");
  EXPECT_EQ(unclosed.rfind("|F10=x|F01=5|F01=0000000000|F04=", 0), 0u) << unclosed;
  EXPECT_EQ(unclosed.substr(unclosed.size() - 13), "|F99=000000|\n");
}

TEST(FixedLayout, IdempotentAndOneLineEnd) {
  const std::string once = layout("|F10=x|F01=5|F41=t|F51=hola|");
  EXPECT_EQ(layout(once), once);
  for (const char* ends : {"\r\n", "\n", "\r\n\r\n", "\n\r\r"}) {
    EXPECT_EQ(layout(std::string("|F10=x|F01=5|F41=t|F51=hola|") + ends), once) << ends;
  }
  // The first character is never stripped.
  zel::Text<1024> one("\n");
  ASSERT_TRUE(ZELClient_FixedLayout(one));
  EXPECT_EQ(one.view().substr(0, 6), "\n|F01=");
}

TEST(FixedLayout, RefusesWhatDoesNotFitAndKeepsTheText) {
  zel::Text<251> small;
  EXPECT_FALSE(ZELClient_FixedLayout(small));
  EXPECT_STREQ(small.c_str(), "");
  zel::Text<252> exact;
  EXPECT_TRUE(ZELClient_FixedLayout(exact));
  EXPECT_EQ(exact.size(), 252u);

  const std::string big = "|F10=" + std::string(800, 'x') + "|";
  zel::Text<1024> text(big);
  EXPECT_FALSE(ZELClient_FixedLayout(text));
  EXPECT_EQ(text.view(), big);
}

// Arbitrary field-like texts on buffers of many sizes: never out of bounds, and
// a text that is laid out is left laid out by a second pass.
TEST(FixedLayoutFuzz, ArbitraryTexts) {
  std::mt19937 rng(777);
  const char* pieces[] = {"|", "=", "F01", "F41", "F51", "F99", "F0", "x", "\r", "\n", "12"};
  for (int i = 0; i < 3000; ++i) {
    std::string in;
    const int n = static_cast<int>(rng() % 12);
    for (int k = 0; k < n; ++k) in += pieces[rng() % std::size(pieces)];
    char buf[600];
    const std::size_t cap = in.size() + rng() % 500;
    zel::TextRef text(buf, cap);
    text.assign(in);
    if (ZELClient_FixedLayout(text)) {
      ASSERT_LE(text.size(), cap);
      ASSERT_EQ(text.c_str()[text.size() - 1], '\n');
    } else {
      ASSERT_EQ(text.view(), in);
    }
  }
}

}  // namespace
