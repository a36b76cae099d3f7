// The real service under faults, one table: each row plays a scenario (a full
// disk, a second service, stops and kills with the gateway silent, roots
// replaced, a clock moved, limits across restarts), and every row is held to the
// same invariants: each request is answered once, with its own answer; no number
// twice in the answers or the journal, and every local one journalled; the
// gateway asked once at most per request; nothing left taken or decided; and
// while the service is left alone (an answer waiting included) it uses no CPU to
// speak of and writes no log line and no life signal.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "testsupport.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const char* const kFakeTime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";

// The gateway as a row sets it: answers (at once, or within the bound), holds
// every request silent, hangs up.
enum class Gate { Approve, Slow, Silent, HangUp };

struct Scene {
  std::atomic<Gate> gate{Gate::Approve};
  gw::Gateway gateway{[this](const gw::Received& r) {
    if (r.type() == 0 || gate == Gate::HangUp) return gw::hang_up();
    if (gate == Gate::Silent) return gw::hold();
    return gw::answer({gw::reply_packet(1, gw::approval_text(r.message(), 1))},
                      gate == Gate::Slow ? 250 : 0);
  }};
  zt::TempDir clockDir, logs;
  std::unique_ptr<zt::Service> svc;
  std::map<std::string, std::vector<std::string>> answers;  // by request (G04)
  int next = 0;

  Scene(std::vector<std::string> env, bool fakeClock) {
    env.push_back(zt::probe_hosts(zt::closed_port()));
    env.push_back("ZELCLIENT_NET_TIMEOUT_MS=400");
    if (fakeClock) {
      clock("2030-06-02 09:00:00");
      // (Under the address sanitizer, whose runtime then does not come first.)
      env.insert(env.end(),
                 {"LD_PRELOAD=" + std::string(kFakeTime), "FAKETIME_NO_CACHE=1",
                  "ASAN_OPTIONS=verify_asan_link_order=0", "FAKETIME_DONT_FAKE_MONOTONIC=1",
                  "FAKETIME_TIMESTAMP_FILE=" + (clockDir / "now").string()});
    }
    svc = std::make_unique<zt::Service>(gateway.port(), std::vector<std::string>{"-p", "0"}, env);
    svc->logWindow = "1,40";          // as shipped
    svc->logFile = logs / "svc.log";  // off the small disks
  }
  // The clock the service sees from now on (a fake clock's rows).
  void clock(const std::string& when) { zt::write_file(clockDir / "now", "@" + when + "\n"); }
  std::string drop(const std::string& terminal = "caja1") {
    const std::string id = std::to_string(++next);
    svc->drop(terminal, "|G01=1234|G04=" + id + "|G08=42|G99=000020|");
    return id;
  }
  // The terminal's answer, kept for the invariants; "" when none came.
  std::string take(const std::string& terminal = "caja1", std::chrono::milliseconds t = 10s) {
    const std::string a = svc->answer(terminal, t);
    if (a == zt::kNoAnswer) return "";
    answers[gw::field(a, "F04")].push_back(a);
    return a;
  }
  bool sent(std::size_t n) {  // requests that reached the gateway, life signals left out
    return zt::wait_until([&] { return zt::requests(gateway).size() >= n; });
  }
  std::string ask(const std::string& terminal = "caja1") {
    drop(terminal);
    return take(terminal);
  }
  int terminate() {
    svc->terminate();
    for (int i = 0; i < 100 && svc->running(); ++i) std::this_thread::sleep_for(50ms);
    return svc->running() ? -1 : 0;
  }
  // The service left alone for a second: no CPU to speak of, no log line, no
  // life signal (with -p 0, one would come at every pass).
  void quiet() {
    const auto ticks = [&] {
      std::istringstream stat(zt::read_file("/proc/" + std::to_string(svc->pid()) + "/stat"));
      std::string f;
      long total = 0;
      for (int i = 1; i <= 15 && stat >> f; ++i) total += i >= 14 ? std::stol(f) : 0;
      return total;
    };
    std::this_thread::sleep_for(200ms);
    const long before = ticks();
    const std::size_t lines = svc->log().size(), signals = gateway.received().size();
    std::this_thread::sleep_for(1s);
    EXPECT_LE(ticks() - before, 2);  // 2% of a core
    EXPECT_EQ(svc->log().size(), lines);
    EXPECT_EQ(gateway.received().size(), signals);
  }
  void fill(const fs::path& disk) {
    zt::run(
        {"/bin/dd", "if=/dev/zero", "of=" + (disk / "filler").string(), "bs=4k", "status=none"});
  }
};

// The invariants, whatever the row played.
void check(Scene& run) {
  for (const char* left : {"caja1in.zel", "caja2in.zel", "caja1out.zel", "caja1aut.zel",
                           "caja2out.zel", "caja2aut.zel", "ZELCLIENTSTOP.tmp"}) {
    EXPECT_FALSE(zt::exists(run.svc->root / left)) << left;
  }
  // The working folder's records are the service's alone; its state, anyone's to read.
  for (const auto& f : fs::directory_iterator(run.svc->work.path())) {
    const auto perms = fs::status(f).permissions();
    const bool state = f.path().filename() == "zelclient.state";
    EXPECT_EQ(perms & (fs::perms::group_all | fs::perms::others_all),
              state ? fs::perms::group_read | fs::perms::others_read : fs::perms::none)
        << f.path();
  }
  std::map<std::string, int> asked;
  for (const auto& r : zt::requests(run.gateway)) ++asked[gw::field(r.message(), "G04")];
  for (const auto& [id, n] : asked) EXPECT_LE(n, 1) << "request " << id << " asked twice";
  for (int id = 1; id <= run.next; ++id) {
    EXPECT_EQ(run.answers[std::to_string(id)].size(), 1u) << "request " << id;
  }
  std::string journal;  // with the journals an operator archived
  for (const auto& f : fs::directory_iterator(run.svc->work.path())) {
    if (f.path().filename().string().rfind("zelautoresp", 0) == 0) journal += zt::read_file(f);
  }
  // One record a line, its terminal and number the service's own.
  static const std::regex kLine("\\|[^\r\n]*\\|G41=caja[12]\\|G52=([GI]\\d{11})\\|\r");
  std::set<std::string> journalled;
  std::istringstream lines(journal);
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, kLine)) << line;
    EXPECT_EQ(line.find("|G41="), line.rfind("|G41=")) << line;
    EXPECT_EQ(line.find("|G52="), line.rfind("|G52=")) << line;
    EXPECT_TRUE(journalled.insert(m[1]).second) << "journalled twice: " << m[1];
  }
  std::set<std::string> given;
  for (const auto& [id, list] : run.answers) {
    for (const auto& a : list) {
      const std::string number = gw::field(a, "F52");
      if (number.empty() || number.rfind("GW", 0) == 0) continue;
      EXPECT_TRUE(given.insert(number).second) << "given twice: " << number;
      EXPECT_EQ(journalled.count(number), 1u) << "not journalled: " << number;
    }
  }
}

struct Row {
  const char* name;                // the test's
  const char* env;                 // one variable more, or ""
  enum { None, Root, Work } disk;  // a small disk of its own, mounted there
  bool fakeClock;
  void (*play)(Scene&);  // with the service started
};

// clang-format off
const Row kRows[] = {
  {"GatewayAnswersSlowSilentAndHangsUp", "", Row::None, false, [](Scene& r) {
    EXPECT_NE(r.ask().find("|F52=GW"), std::string::npos);
    r.gate = Gate::Slow;
    EXPECT_NE(r.ask().find("|F52=GW"), std::string::npos);
    r.gate = Gate::Silent;
    EXPECT_NE(r.ask("caja2").find("RECETA PRE-AUTORIZADA"), std::string::npos);
    r.gate = Gate::HangUp;
    r.ask();  // a request that brings a terminal, a number and a line end of its own:
    r.svc->drop("caja1", "|G01=1234|G04=" + std::to_string(++r.next) +
                             "|G41=x|G52=G20269999999|G02=a\r\nb|G99=000020|");
    EXPECT_EQ(gw::field(r.take(), "F52").substr(0, 1), "I");
  }},
  {"RootDiskFullThroughAStopAndARestart", "", Row::Root, false, [](Scene& r) {
    r.gate = Gate::Silent;
    r.drop();
    ASSERT_TRUE(r.sent(1));
    r.fill(r.svc->root.path());  // the reply never comes: the local answer cannot be written
    ASSERT_TRUE(zt::wait_until([&] { return zt::count_with(r.svc->log(), "espera") > 0; }));
    r.quiet();
    EXPECT_EQ(r.terminate(), 0);
    r.svc->start();
    r.quiet();
    fs::remove(r.svc->root / "filler");
    r.take();
    EXPECT_LE(zt::count_with(r.svc->log(), "la respuesta espera: no se pudo escribir"), 2);
  }},
  {"WorkingFolderDiskFull", "", Row::Work, false, [](Scene& r) {
    r.gate = Gate::HangUp;
    r.fill(r.svc->work.path());
    EXPECT_NE(r.ask().find("F51=Pre-autorizacion no registrada|"), std::string::npos);
    fs::remove(r.svc->work / "filler");
    EXPECT_NE(r.ask().find("|F52=I"), std::string::npos);
  }},
  {"SecondServiceOnTheWorkingFolder", "", Row::None, false, [](Scene& r) {
    zt::TempDir other;
    zt::Child second({zt::bin("zelclient"), "-n", "CD", "-r", other.str()}, r.svc->work.str(), {},
                     true);
    EXPECT_EQ(second.wait(), 255);
    EXPECT_NE(second.output().find("ya trabaja en la carpeta " + r.svc->work.str()),
              std::string::npos) << second.output();
    r.ask();
  }},
  {"StopFileAndSigtermWhileSilentOrIdle", "", Row::None, false, [](Scene& r) {
    r.gate = Gate::Silent;
    for (const bool signal : {false, true}) {
      r.drop();
      ASSERT_TRUE(zt::wait_until([&] { return zt::exists(r.svc->root / "caja1in.zel"); }));
      EXPECT_TRUE(signal ? r.terminate() == 0 : r.svc->stop());
      r.take("caja1", 100ms);  // the exchange ended within its bound, its answer written
      r.svc->start();
    }
    EXPECT_EQ(r.terminate(), 0);  // idle: the signal ends its wait
    r.svc->start();
  }},
  {"KilledWhileTheGatewayHolds", "", Row::None, false, [](Scene& r) {
    r.gate = Gate::Silent;
    r.drop();
    ASSERT_TRUE(r.sent(1));
    r.svc->kill();
    r.gate = Gate::Approve;
    r.svc->start();
    EXPECT_NE(r.take().find("RECETA PRE-AUTORIZADA"), std::string::npos);
  }},
  {"RootReplacedAndSpelledDot", "", Row::None, false, [](Scene& r) {
    fs::remove_all(r.svc->root.path());
    fs::create_directory(r.svc->root.path());
    r.ask();
    EXPECT_TRUE(r.svc->stop());
    zt::Child dot({zt::bin("zelclient"), "-n", "AB", "-r", ".", "-t", "caja1", "-g",
                   r.gateway.address(), "-p", "-1"}, r.svc->root.str());
    std::this_thread::sleep_for(300ms);
    zt::write_file(r.svc->root / "caja1in.txt", "|G01=1|G04=dot|G99=000020|");
    EXPECT_TRUE(zt::wait_until([&] { return zt::exists(r.svc->root / "caja1out.txt"); }, 1s));
    zt::write_file(r.svc->root / "ZELCLIENTSTOP.tmp", "x");
    EXPECT_EQ(dot.wait(), 0);
    fs::remove(r.svc->root / "caja1out.txt");
    r.svc->start();
  }},
  // The share is every account's: a stop file of another one's, or a link, stops
  // nothing; a request of 10 GiB (sparse) keeps no other terminal waiting.
  {"StopFilesOfOthersAndAHugeRequest", "", Row::None, false, [](Scene& r) {
    const fs::path stop = r.svc->root / "ZELCLIENTSTOP.tmp";
    zt::write_file(r.svc->root / "stop.part", "x");  // another account's, then in place
    EXPECT_EQ(zt::run({"/bin/chown", "65534", (r.svc->root / "stop.part").string()}), 0);
    fs::rename(r.svc->root / "stop.part", stop);
    // A write, which wakes the service; never a new file of ours, should the
    // service have removed that one already.
    std::fstream(stop, std::ios::in | std::ios::out | std::ios::app) << "x";
    ASSERT_TRUE(zt::wait_until([&] { return !zt::exists(stop); }));
    fs::create_symlink(r.svc->work / "zelautoresp.txt", stop);
    r.ask();  // a change: a pass, which finds the link
    EXPECT_FALSE(zt::exists(stop));
    EXPECT_EQ(zt::count_with(r.svc->log(), "que no puede detener el servicio"), 2);
    for (const bool growing : {false, true}) {  // a writer that keeps it growing holds it
      std::ofstream big(r.svc->root / "caja1in.txt");
      if (!growing) big.close();  // 10 GiB at once, sparse: read no further than 1025 bytes
      if (!growing) fs::resize_file(r.svc->root / "caja1in.txt", 10ull << 30);
      std::thread writer([&] {
        for (int i = 0; growing && i < 200; ++i) big << std::string(65536, 'x') << std::flush;
      });
      const auto started = std::chrono::steady_clock::now();
      EXPECT_NE(r.ask("caja2").find("|F52=GW"), std::string::npos);
      EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
      writer.join();
      if (growing) big.close();
      EXPECT_NE(r.svc->answer("caja1").find("|F51=Receta demasiado larga|"), std::string::npos);
    }
  }},
  // Files planted under the service's names while it was stopped: a decided answer
  // (a number never issued), a request "answered before": none is believed.
  {"PlantedFilesAtStart", "", Row::None, false, [](Scene& r) {
    EXPECT_TRUE(r.svc->stop());
    const std::string id = std::to_string(++r.next), next = std::to_string(r.next + 1);
    zt::write_file(r.svc->root / "caja1in.zel", "|G01=1234|G04=" + id + "|G08=42|G99=000020|");
    zt::write_file(r.svc->root / "caja1aut.zel", "|F01=1234|F04=" + id + "|F08=42|F41=caja1|F50="
                   "ND|F51=RECETA PRE-AUTORIZADA|F52=I20269999999\r\nX|sin_f52|F99=000021|");
    zt::write_file(r.svc->root / "caja2in.fin", "|G01=1234|G04=" + next + "|G08=42|G99=000020|");
    r.svc->start();
    EXPECT_NE(r.take().find("|F52=GW"), std::string::npos);  // relayed afresh, never believed
    r.drop("caja2");
    EXPECT_NE(r.take("caja2").find("|F52=GW"), std::string::npos);
    r.gate = Gate::HangUp;
    EXPECT_NE(r.ask().find("|F52=I" + zt::current_year() + "0000001|"), std::string::npos);
    EXPECT_EQ(zt::count_with(r.svc->log(), "no es del servicio: se aparta como"), 1);
    EXPECT_EQ(zt::read_file(r.svc->work / "zelcausas.txt").find("9999999"), std::string::npos);
  }},
  // Directories at the names of another terminal's answer cut it off from nothing;
  // a lock made a link never lets a service run unlocked.
  {"DirectoriesAtTheNamesAndALinkedLock", "", Row::None, false, [](Scene& r) {
    for (const char* name : {"caja2out.zel", "caja2out.txt", "caja1aut.zel"}) {
      fs::create_directory(r.svc->root / name);
    }
    EXPECT_NE(r.ask("caja2").find("|F52=GW"), std::string::npos);
    r.gate = Gate::HangUp;
    EXPECT_NE(r.ask("caja1").find("|F52=I"), std::string::npos);
    EXPECT_EQ(zt::count_with(r.svc->log(), "no es del servicio: se aparta como"), 3);
    EXPECT_TRUE(r.svc->stop());
    fs::remove(r.svc->root / "ZELCLIENT.lck");
    fs::create_symlink(r.svc->work / "zelautoresp.txt", r.svc->root / "ZELCLIENT.lck");
    zt::Child linked({zt::bin("zelclient"), "-n", "AB", "-r", r.svc->root.str()}, r.svc->work.str(),
                     {}, true);
    EXPECT_EQ(linked.wait(), 255);
    EXPECT_NE(linked.output().find("el bloqueo no es un archivo"), std::string::npos);
    fs::remove(r.svc->root / "ZELCLIENT.lck");
    r.svc->start();
  }},
  {"RecordsOfGarbage", "", Row::None, false, [](Scene& r) {
    EXPECT_TRUE(r.svc->stop());  // a disk's damage, or someone's hand: never believed blindly
    std::string garbage(9000, '\xff');
    for (std::size_t i = 0; i < garbage.size(); i += 7) garbage[i] = static_cast<char>(i);
    for (const char* f : {"zelencurso.dat", "zelstandin.txt", "zelnumeros.txt", "nroaut.txt"}) {
      zt::write_file(r.svc->work / f, garbage);
    }
    r.svc->start();
    r.gate = Gate::HangUp;
    EXPECT_NE(r.ask().find("RECETA PRE-AUTORIZADA"), std::string::npos);
  }},
  {"OutageLimitAcrossARestart", "ZELCLIENT_STANDIN_MAX_PER_OUTAGE=2", Row::None, false,
   [](Scene& r) {
    r.gate = Gate::HangUp;
    EXPECT_NE(r.ask().find("|F52=I"), std::string::npos);
    EXPECT_TRUE(r.svc->stop());
    r.svc->start();
    EXPECT_NE(r.ask().find("|F52=I"), std::string::npos);
    EXPECT_NE(r.ask().find("F51=Limite de pre-autorizaciones de la caida|"), std::string::npos);
  }},
  {"ClockBackAndForwardAndAYearsEnd", "ZELCLIENT_STANDIN_MAX_PER_DAY=2", Row::None, true,
   [](Scene& r) {
    r.gate = Gate::HangUp;
    const std::pair<const char*, const char*> steps[] = {  // the clock, the answer
        {"2030-06-02 10:00:00", "|F52=I20300000001|"}, {"2030-06-02 10:00:01", "|F52=I20300000002|"},
        {"2030-06-01 10:00:00", "|F52=I20300000003|"}, {"2030-06-02 10:00:02", "Limite diario"},
        {"2030-12-31 23:59:59", "|F52=I20300000004|"}, {"2031-01-01 00:00:01", "|F52=I20310000001|"},
        {"2030-12-31 23:59:58", "|F52=I20300000005|"}};
    int archived = 0;
    for (const auto& [when, expected] : steps) {
      EXPECT_TRUE(r.svc->stop());
      // The year file lost, the number file and the journal archived: the numbers go on.
      for (const char* gone : {"anio.txt", "nroaut.txt"}) fs::remove(r.svc->work / gone);
      std::error_code none;  // none after an answer without a number
      fs::rename(r.svc->work / "zelautoresp.txt",
                 r.svc->work / ("zelautoresp-" + std::to_string(++archived) + ".txt"), none);
      r.clock(when);
      r.svc->start();
      const std::string a = r.ask();
      EXPECT_NE(a.find(expected), std::string::npos) << when << a;
    }
  }},
};
// clang-format on

class Faults : public ::testing::TestWithParam<int> {};

TEST_P(Faults, KeepTheInvariants) {
  if (zt::kWindows) GTEST_SKIP() << "mounts, signals and a fake clock are Linux's";
  const Row& row = kRows[GetParam()];
  Scene run(row.env[0] != '\0' ? std::vector<std::string>{row.env} : std::vector<std::string>{},
            row.fakeClock);
  const fs::path disk = row.disk == Row::Root ? run.svc->root.path() : run.svc->work.path();
  const std::string mount = "mount -t tmpfs -o size=64k zeltest " + disk.string();
  if (row.disk != Row::None && std::system((mount + " 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "no mounts here";
  }
  if (row.fakeClock && !zt::exists(kFakeTime)) GTEST_SKIP() << "no faketime here";
  zt::write_file(run.svc->work / "zelautoresp.txt", "");  // life signals on
  fs::permissions(run.svc->work / "zelautoresp.txt",
                  fs::perms::owner_read | fs::perms::owner_write);
  run.svc->start();
  row.play(run);
  run.quiet();
  EXPECT_TRUE(run.svc->stop());
  check(run);
  if (row.disk != Row::None) {
    EXPECT_EQ(zt::run({"/bin/umount", disk.string()}), 0);
  }
}

std::string row_name(const ::testing::TestParamInfo<int>& param) {
  return kRows[param.param].name;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Faults, ::testing::Range(0, static_cast<int>(std::size(kRows))),
                         row_name);

}  // namespace
