// The command line, read alike on Linux and Windows: refusals, limits, the
// gateway's forms, arguments that are not options wherever they stand, and the
// Windows service's option file split into arguments.
#include "client/init.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <tuple>
#include <vector>

#include "log/log.h"
#include "platform/optionfile.h"
#include "testsupport.h"

namespace {

ZELClient g_client;

int init(std::vector<std::string> args) {
  static const zt::TempDir work;  // a run holds its working folder: each process has its own
  std::filesystem::current_path(work.path());
  args.insert(args.begin(), "zelclient");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int r = ZELClient_Init(g_client, static_cast<int>(args.size()), argv.data());
  LOG_Close();
  return r;
}

TEST(CommandLine, RefusedRatherThanCut) {
  // (The binary's refusals of a missing or unknown option, -b, -n and -g over
  // their fields, and of an empty -g port, are run end to end.)
  const std::vector<std::vector<std::string>> refused = {
      {},
      {"-o", "x", "-n", "AB", "-r", "/f"},
      {"-n", "AB", "-r", std::string(129, 'r')},
      {"-n", "AB", "-r", "/f", "-F", std::string(128, 'f')},
      {"-n", "AB", "-r", "/f", "-t", "a," + std::string(16, 't')},
      {"-n", "AB", "-r", "/f", "-t", "0,1,2,3,4,5,6,7,8,9,10"},
      {"-n", "AB", "-r", "/f", "-g", "gw:65536"},
  };
  for (const auto& args : refused) EXPECT_EQ(init(args), -1) << args.size();
  ASSERT_EQ(init({"-n", "ABCD", "-r", std::string(128, 'r'), "-g", std::string(63, 'h'), "-F",
                  std::string(127, 'f'), "-t", std::string(15, 't') + ",1,2,3,4,5,6,7,8,9"}),
            0);
  EXPECT_EQ(g_client.config.terminalCount, 10);
  EXPECT_EQ(g_client.sender.view(), "ABCD");
}

TEST(CommandLine, ValuesAndDefaults) {
  ASSERT_EQ(init({"-n", "AB", "stray", "-r", "/farm", "other", "-t", "01,,03", "-c", "3", "-p",
                  "-1", "-w", "70000", "-L", "4294967297", "-T", "4294967296"}),
            0);
  const ZELClientConfig& c = g_client.config;
  EXPECT_EQ(c.rootPath.view(), "/farm");  // after an argument that is no option
  EXPECT_EQ(c.terminalCount, 3);
  EXPECT_EQ(c.terminals[1].view(), "");
  EXPECT_EQ(c.terminals[2].view(), "03");
  EXPECT_EQ(c.troquelLimit, 3);
  EXPECT_EQ(c.lifePeriod, -1);
  EXPECT_EQ(c.watchMode, static_cast<std::int16_t>(70000));
  EXPECT_EQ(c.fixedLayout, 0);  // saturates, never wraps around to 1
  EXPECT_EQ(c.waitTimeout, INT_MAX);
  EXPECT_EQ(c.gatewayHost.view(), "localhost");
  EXPECT_EQ(c.gatewayPort, 8000);
  const struct {
    const char* arg;
    const char* host;
    int port;
  } gateways[] = {{"gw:80", "gw", 80},
                  {"gw", "gw", 8000},
                  {"gw:1", "gw", 1},
                  {":81", "", 81},
                  {"h:\r 12x", "h", 12}};
  for (const auto& g : gateways) {
    ASSERT_EQ(init({"-n", "AB", "-r", "/farm", "-g", g.arg, "-L", "1"}), 0) << g.arg;
    EXPECT_EQ(g_client.config.gatewayHost.view(), g.host) << g.arg;
    EXPECT_EQ(g_client.config.gatewayPort, g.port) << g.arg;
    EXPECT_EQ(g_client.config.fixedLayout, 1);
  }
}

// Each case: the file's text, the arguments already there (program name, the service's
// command line), and those it adds joined by |, or the error text (for the Event Log).
TEST(OptionFile, ArgumentsOrTheReasonForTheRefusal) {
  const std::string full = "-n FARM\n" + std::string(plat::kOptionFileMax - 8, '#');
  const std::tuple<std::string, int, std::string> cases[] = {
      {"\xEF\xBB\xBF-n FARM\r\n", 0, "-n|FARM"},
      {"# comment\n\n \t\r\n  -r \t \"D:\\ter minales\" \r\n-nFARM\r\n-T\t5000", 0,
       "-r|D:\\ter minales|-nFARM|-T|5000"},
      {"-n \"FARM\n-F \"\"x\"\n-L \"", 0, "-n|\"FARM|-F|\"x|-L|\""},
      {"-n FARM\n\n# x\n-r\r\n", 0, "zelclient.conf, line 4: the option -r has no value"},
      {"-r \"\"\n", 0, "zelclient.conf, line 1: the option -r has no value"},
      {"-n FARM\nr D:\\x\n", 0,
       "zelclient.conf, line 2: an option such as -n NAME, or a setting such as "
       "ZELCLIENT_CONCURRENCY=10, is expected"},
      {"- n FARM", 0,
       "zelclient.conf, line 1: an option such as -n NAME, or a setting such as "
       "ZELCLIENT_CONCURRENCY=10, is expected"},
      {"ZELCLIENT_A=1\r\n-n F\n ZELCLIENT_LOG_MAX_BYTES=10 \n", 0,
       "-n|F|ZELCLIENT_A=1|ZELCLIENT_LOG_MAX_BYTES=10"},
      {"ZELCLIENT_=1", 0,
       "zelclient.conf, line 1: an option such as -n NAME, or a setting such as "
       "ZELCLIENT_CONCURRENCY=10, is expected"},
      {"-n FARM\n-LX", 93, "-n|FARM|-LX"},
      {"-n FARM\n-LX", 94, "zelclient.conf holds more than 96 options"},
      {full, 0, "-n|FARM"},
      {full + "#", 0, "zelclient.conf is longer than 8192 bytes"},
  };
  for (const auto& [file, before, expected] : cases) {
    std::vector<char> text(file.begin(), file.end());
    text.insert(text.end(), {'?', '!'});  // room for the terminator, then a guard
    plat::OptionArgs args;
    args.count = before;
    char err[256] = "";
    const bool ok = plat::parse_option_file(text.data(), file.size(), args, err, sizeof err);
    std::string got = ok ? "" : err;
    for (int i = before; ok && i < args.count; ++i) {
      got += (i > before ? "|" : "") + std::string(args.items[i]);
    }
    for (int i = 0; ok && i < args.settingCount; ++i) got += "|" + std::string(args.settings[i]);
    EXPECT_EQ(got, expected) << file.substr(0, 40);
    EXPECT_EQ(text.back(), '!');
  }
}

}  // namespace
