#include "client/answers.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "client/config.h"
#include "log/log.h"
#include "platform/platform.h"
#include "testsupport.h"

namespace {

using Lines = std::vector<std::string>;

std::time_t g_now = 0;
std::time_t test_clock() {
  return g_now;
}

// Noon of the first of July of year, local time: that year in every time zone.
std::time_t mid_year(int year) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = 6;
  t.tm_mday = 1;
  t.tm_hour = 12;
  t.tm_isdst = -1;
  return std::mktime(&t);
}

const char* kExample = "|G01=1234|G04=556677|G08=42|G99=000020|";
const std::string kAnswer17 =
    "|F01=1234|F04=556677|F08=42|F41=caja1|F50=ND|F51=RECETA PRE-AUTORIZADA|F52=G20310000017|"
    "F99=000021|";

// Runs in a fresh current directory (the working files) with a separate root
// (the terminal files), the clock in 2031 and the whole log in a file.
class LocalAnswers : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::process_setup();
    previousDir_ = std::filesystem::current_path();
    std::filesystem::current_path(work_.path());
    g_now = mid_year(2031);
    ZELClient_SetClock(test_clock);
    ZELClient_ResetIssuedNumbers();
    g_config.rootPath.assign(root_.str());
    g_config.terminals[0].assign("caja1");
    g_config.fixedLayout = 0;
    spec_ = (root_ / "t.log").string() + ",1,300";
    LOG_Open(1, 300, spec_.data());
  }
  void TearDown() override {
    LOG_Close();
    ZELClient_SetClock(nullptr);
    std::filesystem::current_path(previousDir_);
  }
  Lines take_lines() {
    LOG_Close();
    Lines lines = zt::log_messages(zt::read_file(root_ / "t.log"));
    std::filesystem::remove(root_ / "t.log");
    LOG_Open(1, 300, spec_.data());
    return lines;
  }
  // One pre-authorisation answer for request; returns the answer file.
  std::string answer(const std::string& request, std::int16_t flag = 1) {
    g_request.assign(request);
    ZELClient_GenAutoResponse(0, flag);
    return zt::read_file(root_ / "caja1out.txt");
  }
  static std::string number_in(const std::string& answer) {
    const auto at = answer.find("|F52=");
    return at == std::string::npos ? "" : answer.substr(at + 5, answer.find('|', at + 1) - at - 5);
  }
  static bool has_error(const Lines& lines) {
    for (const auto& l : lines) {
      if (l.rfind("ERROR\t", 0) == 0) return true;
    }
    return false;
  }
  std::string work(const std::string& name) { return zt::read_file(work_ / name); }

  zt::TempDir work_;
  zt::TempDir root_;
  std::filesystem::path previousDir_;
  std::string spec_;
};

TEST_F(LocalAnswers, WorkedExampleByteForByte) {
  zt::write_file(work_ / "anio.txt", "2031\r\n");
  zt::write_file(work_ / "nroaut.txt", "16\r\n");
  take_lines();
  EXPECT_EQ(answer(kExample), kAnswer17);
  EXPECT_EQ(work("zelautoresp.txt"),
            "|G01=1234|G04=556677|G08=42|G99=000020|G52=G20310000017|\r\n");
  EXPECT_EQ(work("nroaut.txt"), "17\r\n");
  EXPECT_EQ(work("anio.txt"), "2031\r\n");  // read as the bare year: no change of year
  const Lines lines = take_lines();
  EXPECT_FALSE(has_error(lines));
  EXPECT_TRUE(zt::contains_in_order(
      lines,
      {"DEBUG\tZELClient_GenAutoResponse Entry", "DEBUG\tZELClient_GenAutoResponse CodeFarm=[1234]",
       "DEBUG\tZELClient_GenAutoResponse NroReceta=[556677]",
       "DEBUG\tZELClient_GenAutoResponse NroBenp=[42]",
       "DEBUG\tZELClient_GenAutoResponse TipoTran=[000020]",
       "DEBUG\tZELClient_WriteFileOutput Entry", "DEBUG\tZELClient_WriteFileOutput Exit",
       "DEBUG\tZELClient_GenAutoResponse Exit"}));
  EXPECT_EQ(lines.back(), "DEBUG\tZELClient_GenAutoResponse Exit");
}

TEST_F(LocalAnswers, SequenceThroughTheYears) {
  const std::string enoent =
      "ERROR\tZELClient_GenAutoResponse borrando archivo nroaut.txt, ubicacion erronea";
  // First answer ever: the year file is created, the number file was not there.
  EXPECT_EQ(number_in(answer(kExample)), "G20310000001");
  EXPECT_EQ(work("anio.txt"), "2031\r\n");
  EXPECT_EQ(work("nroaut.txt"), "1\r\n");
  EXPECT_TRUE(zt::contains_in_order(take_lines(), {enoent}));
  // Same year: the next number, and no error line.
  EXPECT_EQ(number_in(answer(kExample)), "G20310000002");
  EXPECT_FALSE(has_error(take_lines()));
  // New year: number 1 again, the old number file deleted without an error.
  g_now = mid_year(2032);
  EXPECT_EQ(number_in(answer(kExample, 0)), "I20320000001");
  EXPECT_EQ(work("anio.txt"), "2032\r\n");
  EXPECT_EQ(work("nroaut.txt"), "1\r\n");
  EXPECT_FALSE(has_error(take_lines()));
  EXPECT_EQ(work("zelautoresp.txt"), std::string(kExample) + "G52=G20310000001|\r\n" + kExample +
                                         "G52=G20310000002|\r\n" + kExample +
                                         "G52=I20320000001|\r\n");
}

TEST_F(LocalAnswers, StoredFilesAsFound) {
  struct Case {
    const char* year;    // nullptr: no file
    const char* number;  // nullptr: no file
    const char* expected;
  } cases[] = {
      {"2031\r\n", "", "G20310000001"},
      {"2031\r\n", "abc\r\n", "G20310000001"},
      {"2031\r\n", "  +41xyz\r\n", "G20310000042"},
      {"2031\r\n", "-5\r\n", "G20310000001"},  // no signed numbers
      {"2031", "9\n", "G20310000010"},
      {"20310\r\n", "9\r\n", "G20310000001"},  // a longer first line is another year
      {"2030\r\n", "9\r\n", "G20310000001"},
      {nullptr, "9\r\n", "G20310000001"},
      {"2031\r\n", "9999999\r\n", "G203110000000"},  // past 7 digits the number grows
  };
  for (const auto& c : cases) {
    std::filesystem::remove(work_ / "anio.txt");
    std::filesystem::remove(work_ / "nroaut.txt");
    ZELClient_ResetIssuedNumbers();
    if (c.year) zt::write_file(work_ / "anio.txt", c.year);
    if (c.number) zt::write_file(work_ / "nroaut.txt", c.number);
    EXPECT_EQ(number_in(answer(kExample)), c.expected) << (c.number ? c.number : "-");
  }
}

TEST_F(LocalAnswers, AnswerFields) {
  struct Case {
    std::string request;
    std::string answer;
  } cases[] = {
      {"|G01=1|G04=2|G08=3|G99=000010|",
       "|F01=1|F04=2|F08=3|F41=caja1|F50=ND|F51=RECETA "
       "PRE-AUTORIZADA|F52=G20310000001|F99=000031|"},
      {"|G01=1|G08=3|G99=00002|",
       "|F01=1|F04=|F08=3|F41=caja1|F50=ND|F51=RECETA PRE-AUTORIZADA|F52=G20310000002|F99=000031|"},
      {"",
       "|F01=|F04=|F08=|F41=caja1|F50=ND|F51=RECETA PRE-AUTORIZADA|F52=G20310000003|F99=000031|"},
      // Values past their usual widths are copied whole, never cut.
      {"|G01=" + std::string(30, '1') + "|G99=000020|",
       "|F01=" + std::string(30, '1') +
           "|F04=|F08=|F41=caja1|F50=ND|F51=RECETA PRE-AUTORIZADA|F52=G20310000004|F99=000021|"},
  };
  for (const auto& c : cases) EXPECT_EQ(answer(c.request), c.answer);
  g_request.assign("|G01=1|G08=3|");
  take_lines();
  ZELClient_GenAutoResponse(0, 1);
  EXPECT_TRUE(
      zt::contains_in_order(take_lines(), {"DEBUG\tZELClient_GenAutoResponse NroReceta=[]"}));
}

TEST_F(LocalAnswers, MultiLineRequestJournaledToItsFirstLine) {
  answer("|G01=1|G99=000020|\r\n|G04=2|\n");
  EXPECT_EQ(work("zelautoresp.txt"), "|G01=1|G99=000020|\r|G52=G20310000001|\r\n");
  std::filesystem::remove(work_ / "zelautoresp.txt");
  answer("|G01=1|G99=000020|\n|G04=2|\n");
  EXPECT_EQ(work("zelautoresp.txt"), "|G01=1|G99=000020|G52=G20310000002|\r\n");
}

TEST_F(LocalAnswers, FixedLayoutApplies) {
  g_config.fixedLayout = 1;
  const std::string out = answer(kExample);
  EXPECT_EQ(out.rfind("|F01=0000001234|F04=00000000000000556677|F08=0000000042|F41=caja1|", 0), 0u);
  EXPECT_EQ(out.substr(out.size() - 14), "|F99=000021|\r\n");
}

TEST_F(LocalAnswers, FailedAnswerWriteKeepsTheNumberAndJournals) {
  g_config.rootPath.assign((root_ / "missing").string());
  struct Case {
    const char* before;  // nullptr: no number file
  } cases[] = {{nullptr}, {"16\r\n"}, {" 16 and more\r\n"}};
  for (const auto& c : cases) {
    std::filesystem::remove(work_ / "zelautoresp.txt");
    zt::write_file(work_ / "anio.txt", "2031\r\n");
    if (c.before) zt::write_file(work_ / "nroaut.txt", c.before);
    take_lines();
    g_request.assign(kExample);
    ZELClient_GenAutoResponse(0, 1);
    const std::string expected = c.before ? "G20310000017" : "G20310000001";
    if (c.before) {
      EXPECT_EQ(work("nroaut.txt"), c.before);  // restored byte for byte
    } else {
      EXPECT_FALSE(zt::exists(work_ / "nroaut.txt"));
    }
    EXPECT_EQ(work("zelautoresp.txt"), std::string(kExample) + "G52=" + expected + "|\r\n");
    EXPECT_TRUE(zt::contains_in_order(
        take_lines(), {"ERROR\tZELClient_WriteFileOutput errno=[2] error=[File or path not found.]",
                       "ERROR\tZELClient_GenAutoResponse WriteFileOutput"}));
  }
  // The number reached no terminal: once the answer can be written, it is given again.
  g_config.rootPath.assign(root_.str());
  EXPECT_EQ(number_in(answer(kExample)), "G20310000017");
  EXPECT_EQ(work("nroaut.txt"), "17\r\n");
}

// The number is stored before the answer file exists: a terminal can never hold
// a number that the number file does not yet account for.
TEST_F(LocalAnswers, NumberStoredBeforeTheAnswerAppears) {
  zt::write_file(work_ / "anio.txt", "2031\r\n");
  zt::write_file(work_ / "nroaut.txt", "16\r\n");
  std::string seen;
  std::atomic<bool> watching{false};
  std::thread watcher([&] {
    const auto answerFile = root_ / "caja1out.txt";
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    watching = true;
    while (!zt::exists(answerFile) && std::chrono::steady_clock::now() < end) {
    }
    seen = zt::read_file(work_ / "nroaut.txt");
  });
  while (!watching) std::this_thread::yield();
  answer(kExample);
  watcher.join();
  EXPECT_EQ(seen, "17\r\n");
}

TEST_F(LocalAnswers, ErrorAnswer) {
  g_request.assign(kExample);
  take_lines();
  ZELClient_GenErrorResponse(0, "ND", "Formato de Troquel invalido");
  EXPECT_EQ(zt::read_file(root_ / "caja1out.txt"),
            "|F01=1234|F04=556677|F08=42|F41=caja1|F50=ND|F51=Formato de Troquel invalido|"
            "F99=000021|");
  const Lines lines = take_lines();
  EXPECT_TRUE(zt::contains_in_order(lines, {"DEBUG\tZELClient_GenErrorResponse Entry",
                                            "DEBUG\tZELClient_GenErrorResponse CodeFarm=[1234]",
                                            "DEBUG\tZELClient_GenErrorResponse NroReceta=[556677]",
                                            "DEBUG\tZELClient_GenErrorResponse NroBenp=[42]",
                                            "DEBUG\tZELClient_GenErrorResponse TipoTran=[000020]",
                                            "DEBUG\tZELClient_GenErrorResponse Exit"}));
  EXPECT_FALSE(has_error(lines));
  // No number issued, no working file touched.
  EXPECT_TRUE(std::filesystem::is_empty(work_.path()));

  g_config.rootPath.assign((root_ / "missing").string());
  ZELClient_GenErrorResponse(0, "ND", "N\xFAmero de Troqueles invalido");
  EXPECT_TRUE(
      zt::contains_in_order(take_lines(), {"ERROR\tZELClient_GenErrorResponse WriteFileOutput",
                                           "DEBUG\tZELClient_GenErrorResponse Exit"}));
}

TEST_F(LocalAnswers, TerminalOutsideTheTable) {
  g_request.assign(kExample);
  ZELClient_GenAutoResponse(kMaxTerminals, 1);
  ZELClient_GenErrorResponse(-1, "ND", "x");
  EXPECT_TRUE(std::filesystem::is_empty(work_.path()));
  const Lines lines = take_lines();
  EXPECT_TRUE(has_error(lines));
}

// The year file cannot be written (here: a directory stands in its place). The
// number file must survive, or every answer would get number 1 again.
TEST_F(LocalAnswers, YearFileNotWritableKeepsTheNumberFile) {
  std::filesystem::create_directory(work_ / "anio.txt");
  zt::write_file(work_ / "nroaut.txt", "5\r\n");
  EXPECT_EQ(number_in(answer(kExample)), "G20310000006");
  EXPECT_EQ(number_in(answer(kExample)), "G20310000007");
  EXPECT_EQ(work("nroaut.txt"), "7\r\n");
  const Lines lines = take_lines();
  int yearErrors = 0;
  for (const auto& l : lines) {
    yearErrors += l.rfind("ERROR\tZELClient_GenAutoResponse no pudo guardar el anio", 0) == 0;
    EXPECT_EQ(l.find("borrando archivo"), std::string::npos) << l;
  }
  EXPECT_EQ(yearErrors, 2);
}

// The number file cannot be written (a directory in its place): the numbers
// issued in this run still never repeat.
TEST_F(LocalAnswers, NumberFileNotWritableNeverRepeats) {
  zt::write_file(work_ / "anio.txt", "2031\r\n");
  std::filesystem::create_directory(work_ / "nroaut.txt");
  EXPECT_EQ(number_in(answer(kExample)), "G20310000001");
  EXPECT_EQ(number_in(answer(kExample)), "G20310000002");
  EXPECT_EQ(number_in(answer(kExample)), "G20310000003");
  int numberErrors = 0;
  for (const auto& l : take_lines()) {
    numberErrors += l.rfind("ERROR\tZELClient_GenAutoResponse no pudo guardar el numero", 0) == 0;
  }
  EXPECT_EQ(numberErrors, 3);
  // A new year starts its own sequence.
  g_now = mid_year(2032);
  std::filesystem::remove(work_ / "nroaut.txt");
  EXPECT_EQ(number_in(answer(kExample)), "G20320000001");
}

TEST_F(LocalAnswers, ReadOnlyNumberFileNeverRepeats) {
#ifndef _WIN32
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
#endif
  using std::filesystem::perms;
  zt::write_file(work_ / "anio.txt", "2031\r\n");
  zt::write_file(work_ / "nroaut.txt", "5\r\n");
  std::filesystem::permissions(work_ / "nroaut.txt",
                               perms::owner_read | perms::group_read | perms::others_read);
  EXPECT_EQ(number_in(answer(kExample)), "G20310000006");
  EXPECT_EQ(number_in(answer(kExample)), "G20310000007");
  EXPECT_EQ(work("nroaut.txt"), "5\r\n");
  std::filesystem::permissions(work_ / "nroaut.txt", perms::owner_write,
                               std::filesystem::perm_options::add);
  if (zt::kWindows) {
    GTEST_SKIP() << "the read-only directory case: a Windows directory's read-only attribute "
                    "does not keep files from being made in it";
  }
  // A read-only directory: the year cannot be stored, the number file stays.
  g_now = mid_year(2032);
  std::filesystem::permissions(work_.path(),
                               perms::owner_write | perms::group_write | perms::others_write,
                               std::filesystem::perm_options::remove);
  EXPECT_EQ(number_in(answer(kExample)), "G20320000006");
  std::filesystem::permissions(work_.path(), perms::owner_write,
                               std::filesystem::perm_options::add);
}

// A reader looking at the number and year files at any moment sees a whole
// number or year, never an empty or partial file.
TEST_F(LocalAnswers, FilesAreNeverSeenEmpty) {
  zt::write_file(work_ / "anio.txt", "2031\r\n");
  zt::write_file(work_ / "nroaut.txt", "0\r\n");
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::atomic<int> reads{0};
  const auto watch = [&](const std::string& name, const std::regex& whole) {
    while (!stop) {
      // On Windows an open may be refused while the file is being replaced: a look
      // that did not happen, not an empty file.
      errno = 0;
      FILE* f = std::fopen((work_ / name).string().c_str(), "rb");
      if (f == nullptr && zt::kWindows && errno == EACCES) continue;
      std::string content;
      char buf[64];
      for (std::size_t n; f != nullptr && (n = std::fread(buf, 1, sizeof buf, f)) > 0;) {
        content.append(buf, n);
      }
      if (f != nullptr) std::fclose(f);
      if (!std::regex_match(content, whole)) ++bad;
      ++reads;
    }
  };
  // The number file, within one year.
  std::thread numbers(watch, "nroaut.txt", std::regex("[0-9]+\r\n"));
  for (int i = 1; i <= 100; ++i) answer(kExample);
  stop = true;
  numbers.join();
  // The year file, at a change of year on every answer.
  stop = false;
  std::thread years(watch, "anio.txt", std::regex("20(31|32)\r\n"));
  for (int i = 0; i < 100; ++i) {
    g_now = mid_year(i % 2 ? 2031 : 2032);
    answer(kExample);
  }
  stop = true;
  years.join();
  EXPECT_EQ(bad, 0);
  EXPECT_GT(reads, 0);
}

}  // namespace
