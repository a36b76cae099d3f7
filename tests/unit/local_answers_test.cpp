// Local answers in process, with the clock and the file operations of the client
// replaced: the worked example byte for byte, the yearly sequence, and the faults
// that must never repeat a number, lose one, or tear a journal line.
#include <gtest/gtest.h>

#include "client/answers.h"
#include "testsupport.h"

namespace {

namespace fs = std::filesystem;

// File operations that fail as told, in front of the system's.
struct Faults {
  std::string path;  // writing opens and renames onto paths holding this fail; "" none
  plat::Status status = plat::Status::NoSpace;
  int writesLeft = -1;  // the write after this many fails (with a part written); -1 never
};
Faults g_faults;

const plat::FileOps& sys() {
  return plat::system_files();
}
bool hit(const char* path) {
  return !g_faults.path.empty() && std::string(path).find(g_faults.path) != std::string::npos;
}
plat::Status open_f(const char* path, plat::OpenMode m, plat::FileHandle* f) {
  return m != plat::OpenMode::Read && hit(path) ? g_faults.status : sys().open(path, m, f);
}
plat::Status write_f(plat::FileHandle f, const char* b, std::size_t n) {
  if (g_faults.writesLeft == 0) {
    sys().write(f, b, n / 2);  // a full disk takes part of it
    return plat::Status::NoSpace;
  }
  if (g_faults.writesLeft > 0) --g_faults.writesLeft;
  return sys().write(f, b, n);
}
plat::Status rename_f(const char* from, const char* to) {
  return hit(to) ? g_faults.status : sys().rename(from, to);
}
const plat::FileOps kFaulty = {open_f,         sys().read,     write_f,      sys().size,
                               sys().truncate, sys().sync,     sys().close,  sys().exists,
                               sys().readable, sys().writable, sys().remove, rename_f,
                               sys().sync_dir};

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
    g_faults = Faults{};
    g_now = in_year(2031);
    saved_ = fs::current_path();
    fs::current_path(work_.path());  // the working files are opened by bare name
    client_.config.rootPath.assign(root_.str());
    client_.config.terminals[0].assign("caja1");
    client_.config.terminalCount = 1;
    client_.files = &kFaulty;
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

TEST_F(LocalAnswers, EachYearStartsAtOne) {
  EXPECT_EQ(answer(), preauth("G20310000001"));  // nothing stored yet
  EXPECT_EQ(work("anio.txt"), "2031\r\n");
  EXPECT_EQ(answer(), preauth("G20310000002"));
  g_now = in_year(2032);
  EXPECT_EQ(answer(), preauth("G20320000001"));
  // The clock put back across New Year: the old year goes on after its last number.
  g_now = in_year(2031);
  EXPECT_EQ(answer(), preauth("G20310000003"));
}

// The number is stored before the answer is written: an answer that cannot be
// written gives its number back (the journal still records the attempt).
TEST_F(LocalAnswers, UnwrittenAnswerGivesItsNumberBack) {
  zt::write_file(work_ / "anio.txt", "2031\r\n");
  zt::write_file(work_ / "nroaut.txt", "7\r\n");
  g_faults.path = "caja1aut.zel";
  g_faults.status = plat::Status::Denied;
  EXPECT_EQ(answer(), "");
  EXPECT_EQ(work("nroaut.txt"), "7\r\n");
  g_faults.path.clear();
  EXPECT_EQ(answer(), preauth("G20310000008"));
}

// A number file that cannot be written never makes a number repeat in the run.
TEST_F(LocalAnswers, UnstoredNumbersNeverRepeat) {
  zt::write_file(work_ / "anio.txt", "2031\r\n");
  zt::write_file(work_ / "nroaut.txt", "4\r\n");
  g_faults.path = "nroaut.txt";
  EXPECT_EQ(answer(), preauth("G20310000005"));
  EXPECT_EQ(answer(), preauth("G20310000006"));
  EXPECT_EQ(work("nroaut.txt"), "4\r\n");
}

// A full disk in the middle of a journal line takes the part written off again.
TEST_F(LocalAnswers, JournalHoldsWholeLinesOnly) {
  answer();
  const std::string before = work("zelautoresp.txt");
  g_faults.writesLeft = 2;  // the two working files are written; the journal's write fails
  EXPECT_EQ(answer(), preauth("G20310000002"));
  EXPECT_EQ(work("zelautoresp.txt"), before);
}

}  // namespace
