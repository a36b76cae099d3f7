// The real zelclient starting and stopping: the command lines it refuses and
// takes, its start-up lines and the stop file.
#include <gtest/gtest.h>

#include "testsupport.h"

namespace {

using namespace std::chrono_literals;

// A refused command line exits with 255 and writes nothing of the service's own;
// one it takes runs until the stop file (here there at once) ends it with 0.
TEST(Startup, CommandLinesRefusedAndTaken) {
  const std::vector<std::string> base = {"-l", "{log},1,300", "-n", "AB", "-r", "{root}"};
  const auto with = [&](std::vector<std::string> more) {  // a later option overrides
    more.insert(more.begin(), base.begin(), base.end());
    return more;
  };
  const struct {
    std::vector<std::string> args;  // {root} and {log} stand for the run's own
    int status;
    bool logged;
  } cases[] = {
      // clang-format off
      {{"-l", "{log},1,300", "-n", "AB"}, 255, false}, {with({"-b", "x"}), 255, false},
      {with({"-x", "1"}), 255, false}, {with({"-t"}), 255, false}, {with({"-g", "h:"}), 255, false},
      {with({"-n", "ABCDE"}), 255, false}, {with({"-g", std::string(64, 'h') + ":80"}), 255, false},
      {with({"-n", "ABCD", "-g", std::string(63, 'h') + ":65535"}), 0, true},
      {{"-l", "{log}", "-n", "AB", "-r", "{root}"}, 0, false},  // window 1..1: no start-up lines
      // clang-format on
  };
  for (const auto& c : cases) {
    zt::TempDir root;
    const std::string log = (root / "svc.log").string();
    zt::write_file(root / "ZELCLIENTSTOP.tmp", "");
    std::vector<std::string> argv = {zt::bin("zelclient")};
    for (std::string a : c.args) {
      if (a.rfind("{log}", 0) == 0) a = log + a.substr(5);
      argv.push_back(a == "{root}" ? root.str() : a);
    }
    SCOPED_TRACE(argv.back());
    EXPECT_EQ(zt::run(argv), c.status);
    EXPECT_EQ(!zt::read_file(log).empty(), c.logged);
  }
}

TEST(Startup, LinesAndStopFile) {
  zt::TempDir root;
  const std::string log = (root / "svc.log").string();
  zt::write_file(root / "caja1in.txt", zt::kRequest);
  zt::write_file(root / "ZELCLIENTSTOP.tmp", "");
  zt::Child svc({zt::bin("zelclient"), "-n", "AB", "-r", root.str(), "-l", log + ",1,300", "-t",
                 "caja1,caja2", "-g", "gw.example:9000", "-T", "100"},
                root.str());
  ASSERT_EQ(svc.wait(), 0);
  EXPECT_FALSE(zt::exists(root / "ZELCLIENTSTOP.tmp"));
  EXPECT_EQ(zt::read_file(root / "caja1in.txt"), zt::kRequest);  // left for the next run

  const std::string pad(28, ' ');
  const auto lines = zt::log_messages(zt::read_file(log));
  const std::vector<std::string> startup = {"INFO\tInicializado con parametros: ",
                                            "INFO\t" + pad + "Name=[AB] ",
                                            "INFO\t" + pad + "HostGateway=[gw.example] ",
                                            "INFO\t" + pad + "PortGateway=[9000] ",
                                            "INFO\t" + pad + "RootPath=[" + root.str() + "] ",
                                            "INFO\t" + pad + "Terminals[0]=[caja1] ",
                                            "INFO\t" + pad + "Terminals[1]=[caja2] ",
                                            "INFO\t" + pad + "WaitTimeout=[100] "};
  ASSERT_GE(lines.size(), startup.size());
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 8), startup);
  EXPECT_TRUE(zt::contains_in_order(
      lines, {"INFO\tZELClient_Process Entry",
              "WARNING\tZELClient_Process encontro archivo de stop. Saliendo...",
              "DEBUG\tZELClient_Process Exit"}));
  EXPECT_EQ(lines.back(), "DEBUG\tZELClient_Exit Entry");
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) {
                            return l.rfind("WARNING\t", 0) == 0 || l.rfind("ERROR\t", 0) == 0;
                          }),
            1);  // the stop file's: a clean start warns of nothing
}

// One service per root: a second one refuses to start, and the first goes on.
TEST(Startup, SecondServiceOnTheRootIsRefused) {
  gw::Gateway gateway(gw::approver());
  zt::Service first(1, {"-g", ":" + std::to_string(gateway.port())});  // empty host: this machine
  first.start();
  const std::string log = (first.work / "second.log").string();
  EXPECT_EQ(zt::run({zt::bin("zelclient"), "-n", "CD", "-r", first.root.str(), "-l", log}), 255);
  EXPECT_EQ(
      zt::log_messages(zt::read_file(log)),
      std::vector<std::string>{"PANIC\tZELClient_Init otro zelclient ya atiende la carpeta [" +
                               first.root.str() + "]"});
  first.drop("caja1", zt::kRequest);
  EXPECT_NE(first.answer("caja1").find("|F52=GW"), std::string::npos);
  ASSERT_TRUE(first.stop());
}

}  // namespace
