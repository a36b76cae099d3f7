// Local answers in process, with the clock and the file operations of the client
// replaced: the worked example byte for byte, the yearly sequence, the faults
// that must never repeat a number, lose one, or tear a journal line, and an answer
// whose name is held.
#include <gtest/gtest.h>

#include "client/answers.h"
#include "client/lifecycle.h"
#include "faultyfiles.h"
#include "log/log.h"
#include "testsupport.h"

namespace {

namespace fs = std::filesystem;

std::time_t g_now;
std::time_t clock_now() {
  return g_now;
}
std::time_t in_year(int year) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = 5;
  t.tm_mday = 15;
  t.tm_hour = 12;
  return std::mktime(&t);
}

class LocalAnswers : public ::testing::Test {
 protected:
  void SetUp() override {
    zt::g_faults = zt::Faults{};
    g_now = in_year(2031);
    saved_ = fs::current_path();
    fs::current_path(work_.path());  // the working files are opened by bare name
    client_.config.rootPath.assign(root_.str());
    client_.config.terminals[0].assign("caja1");
    client_.config.terminalCount = 1;
    client_.files = &zt::faulty_files();
    client_.clock = clock_now;
    client_.request.assign("|G01=1234|G04=556677|G08=42|G99=000020|");
  }
  void TearDown() override { fs::current_path(saved_); }

  // The decided answer, as the request's lifecycle finds it.
  std::string answer(std::int16_t flag = 1) {
    fs::remove(root_ / "caja1aut.zel");
    ZELClient_GenAutoResponse(client_, 0, flag);
    return zt::read_file(root_ / "caja1aut.zel");
  }
  std::string work(const char* name) { return zt::read_file(work_ / name); }
  static std::string preauth(const std::string& number) {
    return "|F01=1234|F04=556677|F08=42|F41=caja1|F50=ND|F51=RECETA PRE-AUTORIZADA|F52=" + number +
           "|F99=000021|";
  }

  zt::TempDir root_, work_;
  fs::path saved_;
  ZELClient client_;
};

TEST_F(LocalAnswers, WorkedExampleByteForByte) {
  zt::write_file(work_ / "anio.txt", "2031\r\n");
  zt::write_file(work_ / "nroaut.txt", "16\r\n");
  EXPECT_EQ(answer(), preauth("G20310000017"));
  EXPECT_EQ(work("nroaut.txt"), "17\r\n");
  EXPECT_EQ(work("zelautoresp.txt"),
            "|G01=1234|G04=556677|G08=42|G99=000020|G52=G20310000017|\r\n");
  EXPECT_EQ(answer(0), preauth("I20310000018"));
  // The error answer: no number, no working file touched.
  ZELClient_GenErrorResponse(client_, 0, "ND", "Formato de Troquel invalido");
  EXPECT_EQ(zt::read_file(root_ / "caja1out.zel"),
            "|F01=1234|F04=556677|F08=42|F41=caja1|F50=ND|F51=Formato de Troquel invalido|"
            "F99=000021|");
  EXPECT_EQ(work("nroaut.txt"), "18\r\n");
}

// A clock put back across New Year: the old year goes on after its last number.
TEST_F(LocalAnswers, ClockPutBackNeverRepeatsANumber) {
  EXPECT_EQ(answer(), preauth("G20310000001"));
  g_now = in_year(2032);
  EXPECT_EQ(answer(), preauth("G20320000001"));
  g_now = in_year(2031);
  EXPECT_EQ(answer(), preauth("G20310000002"));
}

// The number is stored before the answer is written: an answer that cannot be
// written gives its number back and leaves no journal line.
TEST_F(LocalAnswers, UnwrittenAnswerGivesItsNumberBack) {
  zt::write_file(work_ / "anio.txt", "2031\r\n");
  zt::write_file(work_ / "nroaut.txt", "7\r\n");
  zt::g_faults.path = "caja1aut.zel";
  zt::g_faults.status = plat::Status::Denied;
  std::string log = (work_ / "svc.log").string() + ",1,300";
  LOG_Open(1, 1, log.data());
  EXPECT_EQ(answer(), "");
  LOG_Close();
  EXPECT_NE(zt::read_file(work_ / "svc.log").find("ZELClient_WriteFileOutput errno=[13]"),
            std::string::npos);
  EXPECT_EQ(work("nroaut.txt"), "7\r\n");
  EXPECT_EQ(work("zelautoresp.txt"), "");
  zt::g_faults.path.clear();
  EXPECT_EQ(answer(), preauth("G20310000008"));
}

// A number file that cannot be written never makes a number repeat in the run.
TEST_F(LocalAnswers, UnstoredNumbersNeverRepeat) {
  zt::write_file(work_ / "anio.txt", "2031\r\n");
  zt::write_file(work_ / "nroaut.txt", "4\r\n");
  zt::g_faults.path = "nroaut.txt";
  EXPECT_EQ(answer(), preauth("G20310000005"));
  EXPECT_EQ(answer(), preauth("G20310000006"));
  EXPECT_EQ(work("nroaut.txt"), "4\r\n");
}

// A full disk in the middle of a journal line takes the part written off again.
TEST_F(LocalAnswers, JournalHoldsWholeLinesOnly) {
  answer();
  const std::string before = work("zelautoresp.txt");
  zt::g_faults.writesLeft = 2;  // the two working files are written; the journal's write fails
  EXPECT_EQ(answer(), preauth("G20310000002"));
  EXPECT_EQ(work("zelautoresp.txt"), before);
}

// A decided answer whose name is held for a moment is tried again soon; one that
// is refused waits for the next change; either is published once it can be.
TEST_F(LocalAnswers, HeldAnswerNameIsTriedAgain) {
  zt::write_file(root_ / "caja1in.txt", "|G01=1234|G04=556677|G06=123|G99=000020|");
  zt::g_faults.path = "caja1out.txt";
  zt::g_faults.status = plat::Status::Busy;
  EXPECT_TRUE(ZELClient_ProcessTerminal(client_, 0));
  zt::g_faults.status = plat::Status::Denied;
  EXPECT_FALSE(ZELClient_ProcessTerminal(client_, 0));
  EXPECT_FALSE(zt::exists(root_ / "caja1out.txt"));
  zt::g_faults.path.clear();
  EXPECT_FALSE(ZELClient_ProcessTerminal(client_, 0));
  EXPECT_EQ(zt::read_file(root_ / "caja1out.txt").rfind("|F01=1234|F04=556677|F08=", 0), 0u);
  EXPECT_FALSE(zt::exists(root_ / "caja1out.zel"));
}

}  // namespace
