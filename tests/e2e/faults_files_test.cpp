// File faults against the real service: request files it cannot take or must
// refuse, answer files held by a terminal, the root directory removed, a full or
// read-only disk under the answers and under the working files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "mounts.h"
#include "service_fixture.h"
#include "terminals.h"

namespace {

using zt::approve;
using zt::FakeGateway;
using zt::GatewayReply;
using zt::kApproval;
using zt::Packet;
using zt::probes_to;
using zt::Service;

std::size_t requests_seen(FakeGateway& gateway) {
  std::size_t n = 0;
  for (const auto& p : gateway.packets()) n += p.type() != 0 ? 1 : 0;
  return n;
}

bool logged(Service& svc, const std::string& line) {
  for (const auto& l : svc.log()) {
    if (l == line) return true;
  }
  return false;
}

TEST(FileFaults, ReadOnlyRequestIsAnswered) {
  FakeGateway gateway(approve);
  Service svc(gateway.port());
  const std::string path = (svc.root / "caja1in.txt").string();
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0444);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, zt::kRequest, std::strlen(zt::kRequest)),
            static_cast<ssize_t>(std::strlen(zt::kRequest)));
  ::close(fd);
  EXPECT_EQ(svc.answer("caja1"), kApproval);
  EXPECT_FALSE(zt::exists(path));
  ASSERT_TRUE(svc.stop());
}

// Longer than the request buffer: refused whole and left in place, logged each
// time it is tried, while the other terminals are served; replaced, it is answered.
TEST(FileFaults, OverlongRequestStaysUntilReplaced) {
  FakeGateway gateway(approve);
  Service svc(gateway.port());
  svc.drop("caja1", "|G01=" + std::string(2000, '1') + "|G99=000020|");
  svc.drop("caja2", zt::kRequest);
  EXPECT_EQ(svc.answer("caja2"), kApproval);
  EXPECT_TRUE(zt::exists(svc.root / "caja1in.txt"));
  EXPECT_FALSE(zt::exists(svc.root / "caja1out.txt"));
  const std::string path = (svc.root / "caja1in.txt").string();
  EXPECT_TRUE(zt::contains_in_order(
      svc.log(),
      {"ERROR\tZELClient_ReadFileInput archivo [" + path + "] mayor a 1024 caracteres, no se lee",
       "WARNING\tZELClient_Process ReadFileInput file [" + path + "]"}));
  svc.drop("caja1", zt::kRequest);
  EXPECT_EQ(svc.answer("caja1"), kApproval);
  ASSERT_TRUE(svc.stop());
  EXPECT_EQ(requests_seen(gateway), 2u);
}

// A terminal still reading its previous answer: the new answer cannot be written
// and the terminal's file is left as it was; the service goes on.
TEST(FileFaults, AnswerFileHeldByTheTerminal) {
  FakeGateway gateway(approve);
  Service svc(gateway.port());
  const auto out = svc.root / "caja1out.txt";
  zt::write_file(out, "the previous answer");
#ifdef _WIN32
  zt::Child holder({zt::bin("zel_win_helper"), "hold", "r", out.string(), "1000"});
#else
  zt::Child holder({"/bin/sh", "-c", "exec 3<'" + out.string() + "'; sleep 1"});
#endif
  ASSERT_TRUE(holder.started());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  svc.drop("caja1", zt::kRequest);
  ASSERT_TRUE(
      zt::wait_until([&] { return logged(svc, "ERROR\tZELClient_Process WriteFileOutput"); }));
  EXPECT_EQ(zt::read_file(out), "the previous answer");
  EXPECT_TRUE(zt::contains_in_order(
      svc.log(), {"\tZELClient_WriteFileOutput abriendo archivo [" + out.string() + "] de output",
                  "ERROR\tZELClient_WriteFileOutput errno=[13] error=[Given path is a directory, "
                  "or file is read-only, but an open-for-writing operation was attempted]"}));
  EXPECT_EQ(holder.wait(), 0);
  std::filesystem::remove(out);
  svc.drop("caja1", zt::kRequest);
  EXPECT_EQ(svc.answer("caja1"), kApproval);
  ASSERT_TRUE(svc.stop());
}

// The root directory removed and made again: at once, the service goes on
// watching it; later, it sleeps the wait time-out and then watches the new one.
TEST(FileFaults, RootDirectoryRemovedAndRecreated) {
  FakeGateway gateway(approve);
  for (const int gapMs : {0, 400}) {
    SCOPED_TRACE(gapMs);
    Service svc(gateway.port(), {"-T", "1500"});
    svc.drop("caja1", zt::kRequest);
    EXPECT_EQ(svc.answer("caja1"), kApproval);
    std::filesystem::remove_all(svc.root.path());
    std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
    std::filesystem::create_directory(svc.root.path());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    svc.drop("caja1", zt::kRequest);
    EXPECT_EQ(svc.answer("caja1", 5000), kApproval);
    ASSERT_TRUE(svc.stop());
  }
}

// A request file that cannot be removed (immutable) is answered once, not relayed
// again on every pass; once it can be removed it goes without a second answer.
TEST(FileFaults, UndeletableRequestIsAnsweredOnce) {
  FakeGateway gateway(approve);
  Service svc(gateway.port(), {}, {}, false);
  const auto in = svc.root / "caja1in.txt";
  zt::write_file(in, zt::kRequest);
  if (zt::run({"/usr/bin/chattr", "+i", in.string()}) != 0) {
    GTEST_SKIP() << "the immutable attribute cannot be set on " << svc.root.str();
  }
  svc.start();
  EXPECT_EQ(svc.answer("caja1"), kApproval);
  for (int i = 0; i < 5; ++i) {
    svc.drop("caja2", zt::kRequest);  // wakes the service: a pass over both terminals
    EXPECT_EQ(svc.answer("caja2"), kApproval);
  }
  EXPECT_EQ(requests_seen(gateway), 6u);
  EXPECT_FALSE(zt::exists(svc.root / "caja1out.txt"));
  EXPECT_TRUE(logged(
      svc, "ERROR\tZELClient_Process borrando archivo [" + in.string() + "], no pudo accederlo"));
  // Once it can be taken, the request already answered is removed, not answered again.
  ASSERT_EQ(zt::run({"/usr/bin/chattr", "-i", in.string()}), 0);
  svc.drop("caja2", zt::kRequest);
  EXPECT_EQ(svc.answer("caja2"), kApproval);
  EXPECT_TRUE(zt::wait_until([&] { return !zt::exists(in); }));
  // A new request in the terminal's file is answered as usual.
  svc.drop("caja1", "|G01=77|G99=000020|");
  EXPECT_EQ(svc.answer("caja1"), kApproval);
  ASSERT_TRUE(svc.stop());
  EXPECT_EQ(requests_seen(gateway), 8u);
  EXPECT_FALSE(zt::exists(svc.root / "caja1out.txt"));
}

// The root directory's disk is full when an answer is written: the terminal finds
// an empty answer file, never a part of one, and a local number that reached no
// terminal is given again once there is room.
TEST(FileFaults, DiskFullUnderTheAnswers) {
  FakeGateway gateway(approve);
  zt::TcpServer probe([](int) {});
  for (const bool gatewayUp : {true, false}) {
    SCOPED_TRACE(gatewayUp ? "gateway answer" : "local answer");
    Service svc(gatewayUp ? gateway.port() : zt::closed_port(), {}, {probes_to(probe.port())},
                false);
    zt::TmpfsMount disk(svc.root.path(), 64 * 1024);
    if (!disk.ok()) GTEST_SKIP() << disk.reason();
    const auto out = svc.root / "caja1out.txt";
    zt::write_file(svc.root / "caja1in.txt", zt::kRequest);
    disk.fill();
    svc.start();
    ASSERT_TRUE(zt::wait_until([&] {
      return logged(svc,
                    "ERROR\tZELClient_WriteFileOutput errno=[28] error=[There is not enough space "
                    "left on the device for the operation.]");
    }));
    ASSERT_TRUE(zt::wait_until([&] { return !zt::exists(svc.root / "caja1in.zel"); }));
    EXPECT_TRUE(zt::exists(out));
    EXPECT_EQ(zt::read_file(out), "");
    EXPECT_FALSE(zt::exists(svc.work / "nroaut.txt"));  // put back: the file was not there

    disk.empty();
    std::filesystem::remove(out);
    svc.drop("caja1", zt::kRequest);
    EXPECT_EQ(svc.answer("caja1"), gatewayUp ? kApproval : zt::preauth_answer('G', 1));
    ASSERT_TRUE(svc.stop());
  }
}

// The journal line for the standard request from caja1 with local number n.
std::string journal_line(int n) {
  char number[16];
  std::snprintf(number, sizeof number, "%07d", n);
  return std::string(zt::kRequest) + "G06=|G41=caja1|G52=G" + zt::current_year() + number + "|\r\n";
}

// Every line of a journal of standard requests from caja1 is whole; returns how
// many there are.
std::size_t whole_journal_lines(const std::string& journal) {
  const std::regex line(
      R"(\|G01=1234\|G04=556677\|G08=42\|G99=000020\|G06=\|G41=caja1\|G52=G[0-9]{11}\|\r)");
  std::istringstream in(journal);
  std::size_t n = 0;
  for (std::string text; std::getline(in, text); ++n) {
    EXPECT_TRUE(std::regex_match(text, line)) << "torn or malformed: " << text;
  }
  EXPECT_TRUE(journal.empty() || journal.back() == '\n');
  return n;
}

struct WorkDisk {
  explicit WorkDisk(Service& svc) : svc_(svc) {
    svc.cwd = (svc.work / "disk").string();
    std::filesystem::create_directory(svc.cwd);
    disk = std::make_unique<zt::TmpfsMount>(svc.cwd, 64 * 1024);
  }
  std::string file(const std::string& name) { return zt::read_file(svc_.cwd + "/" + name); }
  void write(const std::string& name, const std::string& bytes) {
    zt::write_file(svc_.cwd + "/" + name, bytes);
  }
  Service& svc_;
  std::unique_ptr<zt::TmpfsMount> disk;
};

// The disk of the working files is full: the year, number and journal cannot be
// written. Numbers go on without repeating; once there is room the number file
// catches up, and the journal never holds a torn line.
TEST(FileFaults, DiskFullUnderTheWorkingFiles) {
  zt::TcpServer probe([](int) {});
  Service svc(zt::closed_port(), {}, {probes_to(probe.port())}, false);
  WorkDisk work(svc);
  if (!work.disk->ok()) GTEST_SKIP() << work.disk->reason();
  work.write("anio.txt", zt::current_year() + "\r\n");
  work.write("nroaut.txt", "41\r\n");
  // A journal whose last page has room for part of a line only.
  std::string journal;
  for (int n = 1; journal.size() + journal_line(n).size() <= 4096 - 30; ++n) {
    journal += journal_line(n);
  }
  work.write("zelautoresp.txt", journal);
  work.disk->fill();
  svc.start();

  for (int n = 42; n <= 44; ++n) {
    svc.drop("caja1", zt::kRequest);
    EXPECT_EQ(svc.answer("caja1"), zt::preauth_answer('G', n));
  }
  EXPECT_EQ(work.file("nroaut.txt"), "41\r\n");
  EXPECT_TRUE(logged(svc,
                     "ERROR\tZELClient_GenAutoResponse no pudo guardar el numero 42 en "
                     "nroaut.txt"));
  EXPECT_TRUE(logged(svc, "ERROR\tZELClient_GenAutoResponse no pudo escribir en zelautoresp.txt"));

  work.disk->empty();
  svc.drop("caja1", zt::kRequest);
  EXPECT_EQ(svc.answer("caja1"), zt::preauth_answer('G', 45));
  ASSERT_TRUE(svc.stop());
  EXPECT_EQ(work.file("nroaut.txt"), "45\r\n");
  const std::string after = work.file("zelautoresp.txt");
  EXPECT_EQ(after.rfind(journal, 0), 0u);  // what was there is untouched
  EXPECT_GE(whole_journal_lines(after), whole_journal_lines(journal) + 1);
}

// The working files' directory cannot be written at all: every answer still gets
// a number of its own, and the stored number is left as it was.
TEST(FileFaults, ReadOnlyWorkingDirectory) {
  zt::TcpServer probe([](int) {});
  Service svc(zt::closed_port(), {}, {probes_to(probe.port())}, false);
  WorkDisk work(svc);
  if (!work.disk->ok()) GTEST_SKIP() << work.disk->reason();
  work.write("anio.txt", zt::current_year() + "\r\n");
  work.write("nroaut.txt", "7\r\n");
  if (!work.disk->remount_readonly()) GTEST_SKIP() << "cannot remount the tmpfs read-only";
  svc.start();
  for (int n = 8; n <= 10; ++n) {
    svc.drop("caja1", zt::kRequest);
    EXPECT_EQ(svc.answer("caja1"), zt::preauth_answer('G', n));
  }
  ASSERT_TRUE(svc.stop());
  EXPECT_EQ(work.file("nroaut.txt"), "7\r\n");
  EXPECT_FALSE(zt::exists(svc.cwd + "/zelautoresp.txt"));
}

}  // namespace
