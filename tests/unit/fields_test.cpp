#include "tran/fields.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "log/log.h"
#include "testsupport.h"

namespace {

using Lines = std::vector<std::string>;

// Every test logs everything into its own file and can read the lines back.
class Fields : public ::testing::Test {
 protected:
  void SetUp() override {
    spec_ = (dir_ / "t.log").string() + ",1,300";
    LOG_Open(1, 300, spec_.data());
  }
  void TearDown() override { LOG_Close(); }
  Lines take_lines() {
    LOG_Close();
    Lines lines = zt::log_messages(zt::read_file(dir_ / "t.log"));
    std::filesystem::remove(dir_ / "t.log");
    spec_ = (dir_ / "t.log").string() + ",1,300";
    LOG_Open(1, 300, spec_.data());
    return lines;
  }
  zt::TempDir dir_;
  std::string spec_;
};

const std::string kEntry = "DEBUG\tZEL_TranGetField Entry";
const std::string kCopy = "DEBUG\tZEL_TranGetField copiando buffer";
const std::string kExit = "DEBUG\tZEL_TranGetField Exit";
std::string ret(const std::string& v) {
  return "DEBUG\tZEL_TranGetField Retorna=[" + v + "]";
}

TEST_F(Fields, GetFieldFindingRules) {
  struct Case {
    const char* source;
    const char* name;
    const char* expected;  // destination afterwards; it starts as "prev"
    Lines lines;
  } cases[] = {
      {"|G01=1234|G06=AAAA|G99=000020|", "G99", "000020", {kEntry, kCopy, ret("000020"), kExit}},
      // First occurrence is the start of a longer name.
      {"|G011=5|G01=7|", "G01", "5", {kEntry, kCopy, ret("5"), kExit}},
      // The name first occurs inside an earlier value: the next '=' belongs to a later field.
      {"|G01=xG04y|G04=9|", "G04", "9", {kEntry, kCopy, ret("9"), kExit}},
      {"|G01=xG04|G05=9|", "G04", "9", {kEntry, kCopy, ret("9"), kExit}},
      // Unclosed last field: no closing bar, destination untouched, no Retorna line.
      {"|G01=5", "G01", "prev", {kEntry, kExit}},
      {"|G02=5|", "G01", "prev", {kEntry, kExit}},
      {"|G01|", "G01", "prev", {kEntry, kExit}},
      // Empty value: empty text, Retorna but no copy line.
      {"|G01=|", "G01", "", {kEntry, ret(""), kExit}},
      {"|A=x=y|", "A", "x=y", {kEntry, kCopy, ret("x=y"), kExit}},
      {"|g01=1|G01=2|", "G01", "2", {kEntry, kCopy, ret("2"), kExit}},
      // Invalid input: only the Entry line.
      {"", "G01", "prev", {kEntry}},
      {"|G01=1|", "", "prev", {kEntry}},
  };
  for (const auto& c : cases) {
    zel::Text<20> dest("prev");
    zel::TextRef ref = dest.ref();
    const char* r = ZEL_TranGetField(c.source, c.name, &ref);
    const bool invalid = c.source[0] == '\0' || c.name[0] == '\0';
    EXPECT_EQ(r, invalid ? nullptr : dest.c_str()) << c.source;
    EXPECT_STREQ(dest.c_str(), c.expected) << c.source << " " << c.name;
    EXPECT_EQ(take_lines(), c.lines) << c.source << " " << c.name;
  }
  EXPECT_EQ(ZEL_TranGetField(nullptr, "G01", nullptr), nullptr);
  EXPECT_EQ(ZEL_TranGetField("|G01=1|", nullptr, nullptr), nullptr);
}

TEST_F(Fields, SharedValueBufferLastsUntilNextValidRead) {
  char* shared = ZEL_TranGetField("|G01=abc|", "G01", nullptr);
  ASSERT_NE(shared, nullptr);
  EXPECT_STREQ(shared, "abc");
  // Invalid input does not clear it.
  EXPECT_EQ(ZEL_TranGetField("", "G01", nullptr), nullptr);
  EXPECT_STREQ(shared, "abc");
  // A valid read with its own destination clears it.
  zel::Text<10> own;
  zel::TextRef ref = own.ref();
  ZEL_TranGetField("|G02=x|", "G02", &ref);
  EXPECT_STREQ(shared, "");
  EXPECT_STREQ(own.c_str(), "x");
  // A missing field returns the shared buffer empty.
  ZEL_TranGetField("|G01=abc|", "G01", nullptr);
  EXPECT_EQ(ZEL_TranGetField("|G01=abc|", "G09", nullptr), shared);
  EXPECT_STREQ(shared, "");
}

TEST_F(Fields, GetFieldRefusesWhatDoesNotFit) {
  // A value longer than its destination is refused, never cut.
  zel::Text<5> small("keep");
  zel::TextRef ref = small.ref();
  take_lines();
  EXPECT_EQ(ZEL_TranGetField("|G01=123456|", "G01", &ref), nullptr);
  EXPECT_STREQ(small.c_str(), "keep");
  const Lines lines = take_lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].rfind("ERROR\tZEL_TranGetField ", 0), 0u) << lines[1];
  EXPECT_NE(ZEL_TranGetField("|G01=12345|", "G01", &ref), nullptr);
  EXPECT_STREQ(small.c_str(), "12345");

  // The shared buffer holds 511 characters.
  const std::string v511(511, 'v');
  EXPECT_EQ(std::string(ZEL_TranGetField(("|A=" + v511 + "|").c_str(), "A", nullptr)), v511);
  EXPECT_EQ(ZEL_TranGetField(("|A=" + v511 + "w|").c_str(), "A", nullptr), nullptr);

  // A source over 4095 characters is refused.
  std::string source = "|A=1|";
  source += std::string(kGetFieldSourceMax - source.size(), 'x');
  EXPECT_STREQ(ZEL_TranGetField(source.c_str(), "A", nullptr), "1");
  source += 'x';
  EXPECT_EQ(ZEL_TranGetField(source.c_str(), "A", nullptr), nullptr);
}

TEST_F(Fields, HasField) {
  EXPECT_EQ(ZEL_TranHasField("|G01=1|", "G0"), 1);
  EXPECT_EQ(ZEL_TranHasField("|G01=xF52|", "F52"), 1);
  EXPECT_EQ(ZEL_TranHasField("|G01=1|", "G02"), 0);
  EXPECT_EQ(ZEL_TranHasField(nullptr, "G01"), 0);
  EXPECT_EQ(ZEL_TranHasField("|G01=1|", nullptr), 0);
}

TEST_F(Fields, DelField) {
  struct Case {
    const char* text;
    const char* name;
    int result;
    const char* expected;
  } cases[] = {
      {"|G01=1|G06=x|G08=2|", "G06", 0, "|G01=1|G08=2|"},
      {"|G01=1|G06=x|G08=2|", "G09", 0, "|G01=1|G06=x|G08=2|"},
      {"|G01=1|G06=x", "G06", 0, "|G01=1|G06=x"},  // unclosed last field stays
      {"|G011=5|G01=7|", "G01", 0, "|G01=7|"},
      {"|G01=1|", "", -1, "|G01=1|"},
      {"", "G01", -1, ""},
  };
  for (const auto& c : cases) {
    zel::Text<40> text(c.text);
    EXPECT_EQ(ZEL_TranDelField(text, c.name), c.result) << c.text;
    EXPECT_STREQ(text.c_str(), c.expected) << c.text;
  }
  zel::Text<10> text("|A=1|");
  EXPECT_EQ(ZEL_TranDelField(text, nullptr), -1);
  EXPECT_TRUE(take_lines().empty());  // writes no lines
}

TEST_F(Fields, PutFieldAndEnd) {
  struct Case {
    const char* text;
    const char* name;
    const char* value;
    int result;
    const char* expected;
  } cases[] = {
      {"", "F01", "1234", 0, "|F01=1234"},
      {"|F01=1234", "F04", "", 0, "|F01=1234|F04="},
      {"|G99=000020|", "G06", "BBBB", 0, "|G99=000020|G06=BBBB"},
      {"|A=1", "A", "2", 0, "|A=1|A=2"},
      {"", "G81", "0001|", 0, "|G81=0001|"},
      {"|A=1", "", "x", -1, "|A=1"},
      {"|A=1", nullptr, "x", -1, "|A=1"},
      {"|A=1", "B", nullptr, -1, "|A=1"},
  };
  for (const auto& c : cases) {
    zel::Text<40> text(c.text);
    take_lines();
    EXPECT_EQ(ZEL_TranPutfield(text, c.name, c.value), c.result) << c.expected;
    EXPECT_STREQ(text.c_str(), c.expected);
    const Lines lines = take_lines();
    if (c.result == 0) {
      EXPECT_EQ(lines, (Lines{"DEBUG\tZEL_TranPutfield Entry",
                              std::string("DEBUG\tZEL_TranPutfield Tran=[") + c.expected + "]",
                              "DEBUG\tZEL_TranPutfield Exit"}));
    } else {
      EXPECT_EQ(lines, (Lines{"DEBUG\tZEL_TranPutfield Entry",
                              "ERROR\tZEL_TranPutfield valores de input invalidos"}));
    }
  }

  zel::Text<40> text("|A=1|");
  EXPECT_EQ(ZEL_TranEnd(text), 0);
  EXPECT_STREQ(text.c_str(), "|A=1||");
  zel::Text<40> empty;
  EXPECT_EQ(ZEL_TranEnd(empty), 0);
  EXPECT_STREQ(empty.c_str(), "");
}

TEST_F(Fields, PutFieldAndEndRefuseWhatDoesNotFit) {
  zel::Text<9> text("|A=1");
  EXPECT_EQ(ZEL_TranPutfield(text, "B", "234"), -1);  // "|B=234" needs 6, 5 left
  EXPECT_STREQ(text.c_str(), "|A=1");
  EXPECT_EQ(ZEL_TranPutfield(text, "B", "23"), 0);
  EXPECT_STREQ(text.c_str(), "|A=1|B=23");
  take_lines();
  EXPECT_EQ(ZEL_TranEnd(text), -1);
  EXPECT_STREQ(text.c_str(), "|A=1|B=23");
  const Lines lines = take_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("ERROR\tZEL_TranEnd ", 0), 0u);
}

TEST_F(Fields, WorkedExample) {
  zel::Text<1024> text("|G01=1234|G06=AAAA|G99=000020|");
  zel::Text<6> type;
  zel::TextRef ref = type.ref();
  ZEL_TranGetField(text.c_str(), "G99", &ref);
  EXPECT_STREQ(type.c_str(), "000020");
  EXPECT_EQ(ZEL_TranDelField(text, "G06"), 0);
  EXPECT_STREQ(text.c_str(), "|G01=1234|G99=000020|");
  EXPECT_EQ(ZEL_TranPutfield(text, "G06", "BBBB"), 0);
  EXPECT_EQ(ZEL_TranPutfield(text, "G41", "caja1"), 0);
  EXPECT_EQ(ZEL_TranEnd(text), 0);
  EXPECT_STREQ(text.c_str(), "|G01=1234|G99=000020|G06=BBBB|G41=caja1|");
}

// Arbitrary bytes through every operation, on buffers of every small size: no
// write past a buffer (the sanitizer build checks), results within capacity.
TEST(FieldsFuzz, ArbitraryInputStaysInBounds) {
  std::mt19937 rng(12345);
  const char alphabet[] = "|=AG01\r\nx";
  auto random_text = [&](std::size_t max) {
    std::string s(rng() % (max + 1), ' ');
    for (auto& ch : s) ch = alphabet[rng() % (sizeof alphabet - 1)];
    return s;
  };
  for (int i = 0; i < 20000; ++i) {
    const std::string source = random_text(40);
    const std::string name = random_text(3);
    const std::string value = random_text(8);
    zel::Text<12> dest;
    zel::TextRef ref = dest.ref();
    ZEL_TranGetField(source.c_str(), name.c_str(), &ref);
    ZEL_TranHasField(source.c_str(), name.c_str());
    char buf[32] = {};
    const std::size_t cap = rng() % 31;
    zel::TextRef text(buf, cap);
    text.assign(std::string_view(source).substr(0, cap));
    ZEL_TranPutfield(text, name.c_str(), value.c_str());
    ZEL_TranDelField(text, name.c_str());
    ZEL_TranEnd(text);
    ASSERT_LE(text.size(), cap);
    ASSERT_LE(dest.size(), 12u);
  }
}

}  // namespace
