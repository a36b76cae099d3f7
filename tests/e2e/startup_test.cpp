// Runs the real zelclient: command-line refusal, start-up lines, stop file.
#include <gtest/gtest.h>

#include "testsupport.h"

namespace {

using zt::bin;

TEST(Startup, RefusedCommandLineExitsMinusOneAndLogsNothing) {
  zt::TempDir dir;
  const std::string log = (dir / "svc.log").string();
  const std::vector<std::vector<std::string>> cases = {
      {"-l", log + ",1,300", "-n", "AB"},
      {"-l", log + ",1,300", "-r", dir.str()},
      {"-l", log + ",1,300", "-n", "AB", "-r", dir.str(), "-b", "x"},
      {"-l", log + ",1,300", "-n", "TOOLONG", "-r", dir.str()},
  };
  for (auto args : cases) {
    args.insert(args.begin(), bin("zelclient"));
    EXPECT_EQ(zt::run(args), 255);
    EXPECT_EQ(zt::read_file(log), "");
  }
}

TEST(Startup, WritesConfigurationAndStopsOnStopFile) {
  zt::TempDir dir;
  const std::string log = (dir / "svc.log").string();
  zt::Child svc({bin("zelclient"), "-n", "AB", "-r", dir.str(), "-l", log + ",1,300", "-t",
                 "caja1,caja2", "-g", "gw.example:9000", "-T", "100"},
                dir.str());
  ASSERT_TRUE(zt::wait_until(
      [&] { return zt::read_file(log).find("Process Entry") != std::string::npos; }));
  zt::write_file(dir / "ZELCLIENTSTOP.tmp", "");
  ASSERT_EQ(svc.wait(), 0);
  EXPECT_FALSE(zt::exists(dir / "ZELCLIENTSTOP.tmp"));

  const std::string pad(28, ' ');
  const auto lines = zt::log_messages(zt::read_file(log));
  const std::vector<std::string> startup = {
      "INFO\tInicializado con parametros: ",
      "INFO\t" + pad + "Name=[AB] ",
      "INFO\t" + pad + "HostGateway=[gw.example] ",
      "INFO\t" + pad + "PortGateway=[9000] ",
      "INFO\t" + pad + "RootPath=[" + dir.str() + "] ",
      "INFO\t" + pad + "Terminals[0]=[caja1] ",
      "INFO\t" + pad + "Terminals[1]=[caja2] ",
      "INFO\t" + pad + "WaitTimeout=[100] ",
  };
  ASSERT_GE(lines.size(), startup.size());
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + startup.size()), startup);
  EXPECT_TRUE(zt::contains_in_order(
      lines, {"INFO\tZELClient_Process Entry",
              "WARNING\tZELClient_Process encontro archivo de stop. Saliendo...",
              "DEBUG\tZELClient_Process Exit", "DEBUG\tZELClient_Exit Entry"}));
  EXPECT_EQ(lines.back(), "DEBUG\tZELClient_Exit Entry");
}

TEST(Startup, BareLogFileWindowDropsStartupLines) {
  zt::TempDir dir;
  const std::string log = (dir / "svc.log").string();
  zt::write_file(dir / "ZELCLIENTSTOP.tmp", "");
  EXPECT_EQ(zt::run({bin("zelclient"), "-n", "AB", "-r", dir.str(), "-l", log, "-T", "50"}), 0);
  EXPECT_EQ(zt::read_file(log), "");
}

}  // namespace
