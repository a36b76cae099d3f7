// The terminal files against the real service: requests taken by a run that is
// killed, or that cannot be taken, names made links, full disks and roots replaced.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <thread>

#include "testsupport.h"

namespace {

using namespace std::chrono_literals;
using zt::kRequest;
namespace fs = std::filesystem;

bool logged(const zt::Service& svc, const std::string& line) {
  return zt::wait_until([&] { return zt::contains_in_order(svc.log(), {line}); });
}
std::string in(const zt::Service& svc, const char* terminal) {
  return (svc.root / (std::string(terminal) + "in.txt")).string();
}

// Killed while the gateway holds its request: the request waits, taken, beside
// the terminal's name, and the next run answers it as a reply that never came,
// never asking the gateway again. Unless the terminal has asked again meanwhile:
// then the old request is dropped, shown in a WARNING, and the terminal gets the
// answer to its new one only.
TEST(Files, RequestTakenByAKilledRunAtRestart) {
  gw::Gateway gateway([&](const gw::Received& r) {  // holds every request but the third's
    if (gw::field(r.message(), "G04") != "3") return gw::hold();
    return gw::answer({gw::reply_packet(1, gw::approval_text(r.message(), 1))});
  });
  zt::Service svc(gateway.port(), {"-p", "-1"});
  const auto held = svc.root / "caja1in.zel";
  const std::string second = "|G01=1234|G04=2|G99=000020|";
  for (const bool newer : {false, true}) {
    svc.start();
    svc.drop("caja1", newer ? second : kRequest);
    ASSERT_TRUE(gateway.wait_received(newer ? 2 : 1, 10s));
    EXPECT_TRUE(zt::exists(held) && !zt::exists(in(svc, "caja1")));
    svc.kill();
    if (newer) svc.drop("caja1", "|G01=1234|G04=3|G99=000020|");
    svc.start();
    const std::string answer = svc.answer("caja1");
    EXPECT_EQ(gw::field(answer, "F04"), newer ? "3" : "556677");
    EXPECT_EQ(gw::field(answer, "F52").substr(0, 2), newer ? "GW" : "G2") << answer;
    ASSERT_TRUE(svc.stop());
  }
  EXPECT_EQ(zt::requests(gateway).size(), 3u);  // none asked twice
  EXPECT_TRUE(logged(svc, "WARNING\tZELClient_Process retomando archivo [" + held.string() +
                              "]: pudo llegar al gateway, no se envia de nuevo"));
  EXPECT_NE(zt::read_file(svc.work / "zelcausas.txt").find("|sin_respuesta|"), std::string::npos);
  EXPECT_TRUE(logged(svc,
                     "WARNING\tZELClient_Process descartando receta anterior, el terminal "
                     "ya escribio otra [" +
                         second + "]"));
}

// A request file that cannot be taken away (immutable) is answered once, not
// relayed again at every pass; once it can go, it goes without a second answer.
TEST(Files, UndeletableRequestIsAnsweredOnce) {
  if (zt::kWindows) GTEST_SKIP() << "the immutable attribute is a Linux file attribute";
  gw::Gateway gateway(gw::approver());
  zt::Service svc(gateway.port(), {"-p", "-1"});
  zt::write_file(in(svc, "caja1"), kRequest);
  if (zt::run({"/usr/bin/chattr", "+i", in(svc, "caja1")}) != 0) {
    GTEST_SKIP() << "chattr +i is not permitted on " << svc.root.str();
  }
  svc.start();
  const auto out = svc.root / "caja1out.txt";
  EXPECT_TRUE(zt::wait_until([&] { return !zt::read_file(out).empty(); }));
  zt::fs::remove(out);
  for (int i = 0; i < 3; ++i) {  // each a pass over both terminals
    EXPECT_NE(svc.ask("caja2", kRequest), zt::kNoAnswer);
  }
  EXPECT_TRUE(logged(svc, "ERROR\tZELClient_Process borrando archivo [" + in(svc, "caja1") +
                              "], no pudo accederlo"));
  EXPECT_EQ(zt::count_with(svc.log(), "receta ya respondida"), 1);  // once, not at every pass
  ASSERT_EQ(zt::run({"/usr/bin/chattr", "-i", in(svc, "caja1")}), 0);
  EXPECT_NE(svc.ask("caja2", kRequest), zt::kNoAnswer);
  EXPECT_TRUE(zt::wait_until([&] { return !zt::exists(in(svc, "caja1")); }));
  ASSERT_TRUE(svc.stop());
  EXPECT_EQ(zt::requests(gateway).size(), 5u);
  EXPECT_FALSE(zt::exists(out));
}

// Whoever writes in the root directory chooses what its names are: an answer file
// made a link never gets its target written, a request file made a symbolic link
// never gets its target read, and a pipe in a name of the service's own never
// stops it.
TEST(Files, NeverThroughALink) {
  if (zt::kWindows) GTEST_SKIP() << "links in the terminals' share are a Linux concern";
  gw::Gateway gateway(gw::approver());
  zt::Service svc(gateway.port());
  zt::TempDir elsewhere;
  zt::write_file(elsewhere / "passwd", "root:x:0:0\n");
  // Answer names made links: each is replaced by the answer, never written through.
  zt::fs::create_symlink(elsewhere / "passwd", svc.root / "caja1out.txt");
  zt::fs::create_hard_link(elsewhere / "passwd", svc.root / "caja2out.txt");
  // The service's own names made a link and a pipe: neither followed nor waited on.
  zt::write_file(elsewhere / "secret", "|G01=secret|G99=000020|");
  zt::fs::create_symlink(elsewhere / "secret", svc.root / "caja2in.zel");
  ASSERT_EQ(zt::run({"/usr/bin/mkfifo", (svc.root / "caja1out.zel").string()}), 0);
  svc.start();
  svc.drop("caja1", kRequest);
  svc.drop("caja2", kRequest);
  for (const char* t : {"caja1", "caja2"}) {
    // The link stands by the answer's name until the answer is renamed over it.
    zt::wait_until([&] {
      std::error_code ec;
      return !zt::fs::equivalent(svc.root / (std::string(t) + "out.txt"), elsewhere / "passwd", ec);
    });
    EXPECT_NE(svc.answer(t).find("|F52=GW"), std::string::npos) << t;
  }
  EXPECT_EQ(zt::read_file(elsewhere / "passwd"), "root:x:0:0\n");

  // A request name made a link is refused once, logged, and never relayed.
  const std::size_t before = svc.log().size();
  zt::fs::create_symlink(elsewhere / "secret", in(svc, "caja1"));
  EXPECT_NE(svc.ask("caja2", kRequest), zt::kNoAnswer);  // a pass over both terminals
  EXPECT_NE(svc.ask("caja2", kRequest), zt::kNoAnswer);
  ASSERT_TRUE(svc.stop());
  const auto lines = svc.log();
  EXPECT_EQ(std::count(lines.begin() + static_cast<long>(before), lines.end(),
                       "ERROR\tZELClient_Process [" + in(svc, "caja1") +
                           "] no es un archivo regular que se pueda leer, se deja"),
            1);
  EXPECT_EQ(zt::requests(gateway).size(), 4u);
}

// A full disk, under the root or under the working folder, loses nothing: an
// answer that cannot be written waits, its request taken, and is published once
// there is room (the gateway's never asked for again); a pre-authorisation is
// given only once its number is stored and journalled, else the error answer.
TEST(Files, FullDiskLosesNothing) {
  if (zt::kWindows) GTEST_SKIP() << "a small full file system is made with a Linux mount";
  std::atomic<bool> full{false};
  std::atomic<bool> approve{true};
  std::atomic<std::uint32_t> seen{0};
  gw::Gateway gateway([&](const gw::Received& r) {
    if (r.type() == 0) return gw::hang_up();
    ++seen;
    while (!full) std::this_thread::sleep_for(5ms);  // the request is taken: now the disk fills
    if (!approve) return gw::hang_up();
    return gw::answer({gw::reply_packet(1, gw::approval_text(r.message(), seen))});
  });
  const std::string numberFile = "41\r\n";
  const struct {
    bool underRoot, approves;
    std::string expected, journalled;
  } rows[] = {
      {true, true, "|F52=GW0000000001|", ""},
      {true, false, "|F52=I" + zt::current_year() + "0000042|",
       "G52=I" + zt::current_year() + "0000042|"},
      // The journal cannot take the line: the number is given back, then given once there is room.
      {false, false, "F51=Pre-autorizacion no registrada|",
       "G52=I" + zt::current_year() + "0000042|"},
  };
  for (const auto& row : rows) {
    zt::TempDir logs;
    zt::Service svc(gateway.port(), {"-p", "-1"}, {zt::probe_hosts(zt::closed_port())});
    svc.logFile = logs / "svc.log";
    const fs::path disk = row.underRoot ? svc.root.path() : svc.work.path();
    if (std::system(
            ("mount -t tmpfs -o size=64k zeltest " + disk.string() + " 2>/dev/null").c_str()) !=
        0) {
      GTEST_SKIP() << "no mounts here";
    }
    zt::write_file(svc.work / "anio.txt", zt::current_year() + "\r\n");
    zt::write_file(svc.work / "nroaut.txt", numberFile);
    zt::write_file(svc.work / "zelautoresp.txt", "");
    full = false;
    approve = row.approves;
    seen = 0;
    svc.start();
    svc.drop("caja1", kRequest);
    ASSERT_TRUE(zt::wait_until([&] { return seen == 1; }));
    zt::run(
        {"/bin/dd", "if=/dev/zero", "of=" + (disk / "filler").string(), "bs=4k", "status=none"});
    full = true;
    const std::string first = svc.answer("caja1", row.underRoot ? 1500ms : 10s);
    if (row.underRoot) {
      EXPECT_EQ(first, zt::kNoAnswer);  // waits, its request taken
      EXPECT_TRUE(zt::exists(svc.root / "caja1in.zel"));
      fs::remove(disk / "filler");
      EXPECT_NE(svc.answer("caja1").find(row.expected), std::string::npos) << row.expected;
    } else {
      EXPECT_NE(first.find(row.expected), std::string::npos) << first;
      EXPECT_EQ(zt::read_file(svc.work / "nroaut.txt"), numberFile);
      fs::remove(disk / "filler");
      EXPECT_NE(svc.ask("caja1", kRequest).find("|F52=I"), std::string::npos);
    }
    const std::string journal = zt::read_file(svc.work / "zelautoresp.txt");
    EXPECT_EQ(std::count(journal.begin(), journal.end(), '\n'), row.journalled.empty() ? 0 : 1);
    EXPECT_TRUE(row.journalled.empty() || journal.find(row.journalled) != std::string::npos)
        << journal;
    EXPECT_EQ(seen, row.underRoot ? 1u : 2u);  // the gateway is never asked again
    EXPECT_TRUE(svc.stop());
    const auto lines = svc.log();
    EXPECT_LE(zt::count_with(lines, "la respuesta espera"), 1);
    EXPECT_TRUE(!row.underRoot || zt::count_with(lines, "errno=[28]") > 0);  // the disk named full
    EXPECT_EQ(zt::run({"/bin/umount", disk.string()}), 0);
  }
}

// A working folder that takes no new file (immutable here; another owner's in the
// field): the number file is rewritten in place, so two runs never give one
// number twice, and the start says so.
TEST(Files, WorkingFolderThatTakesNoNewFile) {
  if (zt::kWindows) GTEST_SKIP() << "the immutable attribute is a Linux one";
  zt::TempDir logs;
  zt::Service svc(zt::closed_port(), {"-p", "-1"}, {zt::probe_hosts(zt::closed_port())});
  svc.logFile = logs / "svc.log";
  zt::write_file(svc.work / "anio.txt", zt::current_year() + "\r\n");
  zt::write_file(svc.work / "nroaut.txt", "41\r\n");
  zt::write_file(svc.work / "zelautoresp.txt", "");
  const std::string immutable = "chattr +i " + svc.work.str() + " 2>/dev/null";
  if (std::system(immutable.c_str()) != 0) GTEST_SKIP() << "no immutable attribute here";
  for (const int number : {42, 43}) {
    svc.start();
    EXPECT_EQ(svc.ask("caja1", kRequest), zt::preauth('I', number));
    EXPECT_TRUE(svc.stop());
  }
  EXPECT_EQ(zt::run({"/usr/bin/chattr", "-i", svc.work.str()}), 0);
  EXPECT_EQ(zt::read_file(svc.work / "nroaut.txt"), "43\r\n");
  EXPECT_TRUE(zt::contains_in_order(
      svc.log(), {"WARNING\tZELClient_Init la carpeta de trabajo no admite archivos nuevos: "
                  "anio.txt y nroaut.txt se reescriben en su lugar"}));
}

// A root that is missing at start, removed and made again, moved away, or covered
// by a mount: the service watches the directory the path names once it is there,
// takes its lock, answers its requests and obeys its stop file, well within the
// wait time-out.
TEST(Files, RootLateOrReplacedIsWatchedAgain) {
  gw::Gateway gateway(gw::approver());
  const auto mount = [](const zt::Service& svc) {
    return std::system(("mount -t tmpfs zeltest " + svc.root.str() + " 2>/dev/null").c_str()) == 0;
  };
  const std::function<bool(const zt::Service&)> replace[] = {
      nullptr,  // missing at start
      [](const zt::Service& svc) { return fs::remove_all(svc.root.path()) > 0; },
      [](const zt::Service& svc) {
        fs::rename(svc.root.path(), svc.work / "old");
        return true;
      },
      mount,
  };
  for (const auto& away : replace) {
    if (zt::kWindows && away) continue;  // a watched directory stays where it is on Windows
    zt::Service svc(gateway.port());
    if (!away) {
      fs::remove(svc.root.path());
      std::thread late([&] {
        std::this_thread::sleep_for(500ms);
        fs::create_directory(svc.root.path());
      });
      svc.start();  // returns once it watches
      late.join();
    } else {
      svc.start();
      if (!away(svc)) continue;  // no mounts here
      fs::create_directory(svc.root.path());
    }
    EXPECT_NE(svc.ask("caja1", kRequest), zt::kNoAnswer);
    EXPECT_TRUE(away || zt::count_with(svc.log(), "no se puede vigilar la carpeta") == 1);
    EXPECT_EQ(zt::run({zt::bin("zelclient"), "-n", "CD", "-r", svc.root.str()}), 255);
    EXPECT_TRUE(svc.stop());
    zt::run({"/bin/umount", svc.root.str()});  // where it was mounted
  }
}

}  // namespace
