#include "client/init.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "client/config.h"
#include "common/number.h"
#include "log/log.h"

namespace {

// Runs ZELClient_Init on a copy of args (getopt may permute them).
int init(std::vector<std::string> args) {
  args.insert(args.begin(), "zelclient");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int r = ZELClient_Init(static_cast<int>(args.size()), argv.data());
  LOG_Close();
  return r;
}

TEST(Init, RefusedCommandLines) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"-n", "AB"},
      {"-r", "/tmp"},
      {"-n", "AB", "-r", "/tmp", "-b", "x"},
      {"-o", "x", "-n", "AB", "-r", "/tmp"},
      {"-n", "AB", "-r", "/tmp", "-z"},
      {"-n", "AB", "-r"},
      {"-n", "ABCDE", "-r", "/tmp"},
      {"-n", "AB", "-r", std::string(129, 'r')},
      {"-n", "AB", "-r", "/tmp", "-g", std::string(64, 'h') + ":80"},
      {"-n", "AB", "-r", "/tmp", "-g", std::string(64, 'h')},
      {"-n", "AB", "-r", "/tmp", "-F", std::string(128, 'f')},
      {"-n", "AB", "-r", "/tmp", "-t", "a," + std::string(16, 't')},
      {"-n", "AB", "-r", "/tmp", "-t", "0,1,2,3,4,5,6,7,8,9,10"},
  };
  for (const auto& c : cases) {
    std::string shown;
    for (const auto& a : c) shown += a.substr(0, 20) + " ";
    EXPECT_EQ(init(c), -1) << shown;
  }
}

TEST(Init, AcceptsLimitsExactly) {
  ASSERT_EQ(init({"-n", "ABCD", "-r", std::string(128, 'r'), "-g", std::string(63, 'h'), "-F",
                  std::string(127, 'f'), "-t", std::string(15, 't') + ",1,2,3,4,5,6,7,8,9"}),
            0);
  EXPECT_STREQ(g_config.name.c_str(), "ABCD");
  EXPECT_EQ(g_config.terminalCount, 10);
  EXPECT_EQ(g_config.terminals[0].size(), 15u);
}

TEST(Init, DefaultsAndReset) {
  ASSERT_EQ(init({"-n", "AB", "-r", "/farm", "-g", "gw:81", "-T", "5", "-w", "2"}), 0);
  ASSERT_EQ(init({"-n", "AB", "-r", "/farm"}), 0);
  EXPECT_STREQ(g_config.gatewayHost.c_str(), "localhost");
  EXPECT_EQ(g_config.waitTimeout, 21600000);
  EXPECT_EQ(g_config.watchMode, 0);
  // The port is not reset between parses: it keeps the last value given.
  EXPECT_EQ(g_config.gatewayPort, 81);
  // A short name leaves zero bytes after it in the 4-byte field.
  const char* name = g_config.name.c_str();
  EXPECT_EQ(name[2], '\0');
  EXPECT_EQ(name[3], '\0');
}

TEST(Init, GatewayForms) {
  struct Case {
    const char* arg;
    const char* host;
    int port;
  } cases[] = {{"gateway:80", "gateway", 80},
               {"gateway", "gateway", 80},  // keeps the previous port
               {"gateway:", "gateway", 0},
               {":80", "", 80},
               {"h:12x", "h", 12},
               {"h:a:b", "h", 0}};
  for (const auto& c : cases) {
    ASSERT_EQ(init({"-n", "AB", "-r", "/farm", "-g", c.arg}), 0) << c.arg;
    EXPECT_STREQ(g_config.gatewayHost.c_str(), c.host) << c.arg;
    EXPECT_EQ(g_config.gatewayPort, c.port) << c.arg;
  }
}

TEST(Init, TerminalsAndNumbers) {
  ASSERT_EQ(init({"-n", "AB", "-r", "/farm", "-t", "01,,03", "-L", "1", "-c", "3", "-p", "-1", "-w",
                  "70000", "extra-arg"}),
            0);
  EXPECT_EQ(g_config.terminalCount, 3);
  EXPECT_STREQ(g_config.terminals[0].c_str(), "01");
  EXPECT_STREQ(g_config.terminals[1].c_str(), "");
  EXPECT_STREQ(g_config.terminals[2].c_str(), "03");
  EXPECT_EQ(g_config.fixedLayout, 1);
  EXPECT_EQ(g_config.troquelLimit, 3);
  EXPECT_EQ(g_config.lifePeriod, -1);
  EXPECT_EQ(g_config.watchMode, static_cast<std::int16_t>(70000));

  ASSERT_EQ(init({"-n", "AB", "-r", "/farm", "-t", "a,b,c,d", "-t", "x", "-L", "2"}), 0);
  EXPECT_EQ(g_config.terminalCount, 1);
  EXPECT_STREQ(g_config.terminals[0].c_str(), "x");
  EXPECT_EQ(g_config.fixedLayout, 0);
  ASSERT_EQ(init({"-n", "AB", "-r", "/farm", "-L", "x"}), 0);
  EXPECT_EQ(g_config.fixedLayout, 0);
}

// Arguments that are not options are skipped wherever they stand, on every platform.
TEST(Init, StrayArgumentsAnywhere) {
  ASSERT_EQ(init({"-n", "AB", "stray", "-r", "/farm", "other", "-t", "k1,k2", "-c", "5"}), 0);
  EXPECT_STREQ(g_config.rootPath.c_str(), "/farm");
  EXPECT_EQ(g_config.terminalCount, 2);
  EXPECT_EQ(g_config.troquelLimit, 5);
}

// Numbers beyond the int range saturate, as the Windows runtime's atoi does; they
// never wrap around to a small value.
TEST(Init, NumbersSaturate) {
  const struct {
    const char* text;
    int value;
  } cases[] = {{"4294967296", INT_MAX},
               {"4294967297", INT_MAX},
               {"-4294967296", INT_MIN},
               {"2147483647", INT_MAX},
               {"-2147483648", INT_MIN},
               {"2147483648", INT_MAX},
               {" \t+12x", 12},
               {"-0", 0},
               {"x1", 0},
               {"", 0}};
  for (const auto& c : cases) EXPECT_EQ(zel::to_int(c.text), c.value) << c.text;
  ASSERT_EQ(init({"-n", "AB", "-r", "/farm", "-L", "4294967297", "-T", "4294967296"}), 0);
  EXPECT_EQ(g_config.fixedLayout, 0);
  EXPECT_EQ(g_config.waitTimeout, INT_MAX);
}

}  // namespace
