// Local answers in process, with the clock and the file operations of the client
// replaced: the yearly sequence bounded by the journal, the faults that must never
// repeat a number, give one unrecorded, or lose an answer, and an answer whose
// name is held.
#include <gtest/gtest.h>

#include "client/answers.h"
#include "client/inflight.h"
#include "client/lifecycle.h"
#include "client/observe.h"
#include "client/termfiles.h"
#include "client/workdir.h"
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
    zc::inflight_open(client_);
  }
  void TearDown() override {
    zc::close_workdir(client_);
    fs::current_path(saved_);
  }

  // The decided answer, as the request's lifecycle finds it.
  std::string answer(std::int16_t flag = 1) {
    fs::remove(root_ / "caja1aut.zel");
    ZELClient_GenAutoResponse(client_, 0, flag, Cause::NoReply);
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

// A clock put back across New Year: the old year goes on after its last number.
TEST_F(LocalAnswers, ClockPutBackNeverRepeatsANumber) {
  EXPECT_EQ(answer(), preauth("G20310000001"));
  g_now = in_year(2032);
  EXPECT_EQ(answer(), preauth("G20320000001"));
  g_now = in_year(2031);
  EXPECT_EQ(answer(), preauth("G20310000002"));
}

// The journal bounds the sequence: no restore of the number or year file, nor a
// clock set back a year and forward again, makes a journalled number come again.
TEST_F(LocalAnswers, JournalBoundsTheSequence) {
  const struct {
    const char* year;
    const char* number;  // nullptr: no number file
    const char* expected;
  } rows[] = {
      {"2031\r\n", "30\r\n", "G20310000050"},       // a backup's older number file
      {"2031\r\n", nullptr, "G20310000050"},        // the number file deleted
      {"2031\r\n", "", "G20310000050"},             // emptied by a crash
      {"2030\r\n", "99\r\n", "G20310000050"},       // the clock was a year back
      {"2031\r\n", " \t\r50\r\n", "G20310000051"},  // ahead of the journal, read as atoi reads
  };
  const long descriptors = zt::open_descriptors();
  for (const auto& row : rows) {
    for (IssuedNumber& i : client_.issued) i = IssuedNumber{};  // a new run
    fs::remove(work_ / "zelnumeros.txt");                       // the journal alone bounds
    zt::write_file(work_ / "zelautoresp.txt",
                   "|G01=1|G52=G20310000041|\r\n|G01=2|G52=I20310000049|\r\n"
                   "|G01=3|G52=G20300000099|\r\n");
    zt::write_file(work_ / "anio.txt", row.year);
    fs::remove(work_ / "nroaut.txt");
    if (row.number != nullptr) zt::write_file(work_ / "nroaut.txt", row.number);
    EXPECT_EQ(answer(), preauth(row.expected)) << row.year << " " << row.number;
  }
  EXPECT_EQ(zt::open_descriptors(), descriptors);  // each read of the journal closed
}

// A record of the sequence that is there and cannot be read bounds nothing: no
// number is given (counting from the others could repeat one), and the ERROR names it.
TEST_F(LocalAnswers, UnreadableRecordGivesNoNumber) {
  std::string log = (work_ / "svc.log").string() + ",1,300";
  LOG_Open(1, 1, log.data());
  for (const char* record : {"anio.txt", "nroaut.txt", "zelautoresp.txt", "zelnumeros.txt"}) {
    for (const char* f : {"anio.txt", "nroaut.txt", "zelautoresp.txt", "zelnumeros.txt"}) {
      zt::write_file(work_ / f, std::string(f) == "anio.txt" ? "2031\r\n" : "");
    }
    for (IssuedNumber& i : client_.issued) i = IssuedNumber{};  // a new run
    zt::g_faults.readPath = record;
    zt::g_faults.status = plat::Status::Denied;
    fs::remove(root_ / "caja1out.zel");
    EXPECT_EQ(answer(), "") << record;
    EXPECT_NE(zt::read_file(root_ / "caja1out.zel").find("|F51=Pre-autorizacion no registrada|"),
              std::string::npos);
    EXPECT_EQ(work("nroaut.txt"), "") << record;
    EXPECT_NE(zt::read_file(work_ / "svc.log").find(std::string("no se puede leer ") + record),
              std::string::npos);
  }
  LOG_Close();
}

// A number is given only once stored and journalled: in place when the folder
// takes no new file, else not at all (an error answer, the number file as it was).
TEST_F(LocalAnswers, NumberGivenOnlyWhenRecorded) {
  const std::string refused =
      "|F01=1234|F04=556677|F08=42|F41=caja1|F50=ND|F51=Pre-autorizacion no registrada|"
      "F99=000021|";
  const struct {
    const char* path;              // refused with Denied
    int writesLeft;                // then a write fails, half written
    std::string expected, number;  // number "": none before, none after
  } rows[] = {
      {"nroaut.txt.tmp", -1, preauth("G20310000005"), "5\r\n"},  // rewritten in place
      {"nroaut.txt", -1, refused, "4\r\n"},                      // neither way
      {"", 3, refused, "4\r\n"},  // the journal line fails: the number is given back
      {"", 3, refused, ""},       // the same, where there was no number file
  };
  for (const auto& row : rows) {
    zt::write_file(work_ / "anio.txt", "2031\r\n");
    fs::remove(work_ / "nroaut.txt");
    fs::remove(work_ / "zelnumeros.txt");  // written with each number: one write more
    if (!row.number.empty()) zt::write_file(work_ / "nroaut.txt", "4\r\n");
    zt::write_file(work_ / "zelautoresp.txt", "|G52=G20310000004|\r\n");
    zt::g_faults.path = row.path;
    zt::g_faults.status = plat::Status::Denied;
    zt::g_faults.writesLeft = row.writesLeft;
    fs::remove(root_ / "caja1out.zel");
    const std::string local = answer();
    EXPECT_EQ(local.empty() ? zt::read_file(root_ / "caja1out.zel") : local, row.expected);
    EXPECT_EQ(work("nroaut.txt"), row.number) << row.path;
    EXPECT_EQ(work("zelautoresp.txt").size() > 22, local == preauth("G20310000005"));
    EXPECT_FALSE(zt::exists(work_ / "nroaut.txt.tmp"));
    zt::g_faults = zt::Faults{};
  }
}

// An answer that cannot be written waits, its request taken, and is written,
// journalled and published once it can be; or discarded, its number named, when
// the terminal asks again first; or, when the journal then refuses its line, not
// given: the error answer.
TEST_F(LocalAnswers, UnwrittenAnswerWaits) {
  const std::string request = "|G01=1234|G04=556677|G08=42|G99=000020|";
  client_.standin = StandIn{};  // the gateway known down: answered locally, never asked
  client_.standin.retrySeconds = 3600;
  client_.standin.failedAtMs[0].store(plat::monotonic_ms());
  client_.standin.reachable = 1;
  client_.sender.assign("AB");
  std::string log = (work_ / "svc.log").string() + ",1,300";
  LOG_Open(1, 1, log.data());
  zt::write_file(work_ / "anio.txt", "2031\r\n");
  zt::write_file(work_ / "nroaut.txt", "7\r\n");
  for (const int then : {0, 1, 2}) {  // published; asked again first; the journal refuses it
    zt::write_file(root_ / "caja1in.txt", request);
    zt::g_faults.path = "caja1aut.zel";
    EXPECT_TRUE(zc::process_terminal(client_, 0));
    EXPECT_TRUE(zc::process_terminal(client_, 0));  // still full: tried again soon
    EXPECT_TRUE(zt::exists(root_ / "caja1in.zel"));
    EXPECT_FALSE(zt::exists(root_ / "caja1out.txt"));
    zt::g_faults.path = then == 2 ? "zelautoresp.txt" : "";
    if (then == 1) zt::write_file(root_ / "caja1in.txt", request);
    client_.terminals[0].retryAtMs = 0;  // its second has passed
    EXPECT_FALSE(zc::process_terminal(client_, 0));
    const std::string out = zt::read_file(root_ / "caja1out.txt");
    EXPECT_TRUE(then == 2 ? out.find("|F51=Pre-autorizacion no registrada|") != std::string::npos
                          : out == preauth(then == 1 ? "G20310000010" : "G20310000008"))
        << out;
    zt::g_faults.path.clear();
    EXPECT_FALSE(zt::exists(root_ / "caja1in.zel"));
    EXPECT_FALSE(zt::exists(root_ / "caja1aut.zel"));  // a discarded one is not left to publish
    fs::remove(root_ / "caja1out.txt");
  }
  LOG_Close();
  // 9 waited and was never delivered: a gap, named, never journalled.
  const std::string relayed = request + "G06=|G41=caja1|";
  EXPECT_EQ(work("zelautoresp.txt"),
            relayed + "G52=G20310000008|\r\n" + relayed + "G52=G20310000010|\r\n");
  EXPECT_NE(zt::read_file(work_ / "svc.log").find("numero [G20310000009] no entregado"),
            std::string::npos);
}

// A request that can be neither taken nor removed is answered once, and a new one
// written by its name is answered too.
TEST_F(LocalAnswers, RequestThatCannotGoIsAnsweredOnce) {
  zt::g_faults.path = "caja1in.zel";
  zt::g_faults.removePath = "caja1in.txt";
  zt::g_faults.status = plat::Status::Denied;
  for (const auto& [id, answered] : {std::pair{"1", "1"}, {"1", ""}, {"2", "2"}}) {
    zt::write_file(root_ / "caja1in.txt", "|G01=1234|G04=" + std::string(id) + "|G06=1|G99=1|");
    zc::process_terminal(client_, 0);
    EXPECT_EQ(gw::field(zt::read_file(root_ / "caja1out.txt"), "F04"), answered);
    fs::remove(root_ / "caja1out.txt");
  }
}

// A local answer decided before a crash and missing from the journal, which takes
// no line now: its number is not given, and the request gets the error answer.
TEST_F(LocalAnswers, RecoveredAnswerThatCannotBeRecordedIsNotGiven) {
  const std::string request = "|G01=1234|G04=556677|G08=42|G99=000020|";
  zt::write_file(root_ / "caja1in.zel", request);
  zt::write_file(root_ / "caja1aut.zel", preauth("G20310000009"));
  zt::write_file(work_ / "zelautoresp.txt", "|G01=1|G52=G20310000008|\r\n");
  TerminalState& state = client_.terminals[0];  // decided and recorded by the run that ended
  state.request = zc::request_checksum(request);
  state.decision.kind = Decision::Kind::Local;
  state.decision.text.assign(preauth("G20310000009"));
  state.decision.journal.assign(request);
  state.decision.number.assign("G20310000009");
  ASSERT_TRUE(zc::inflight_decided(client_, 0));
  zc::close_workdir(client_);
  state = TerminalState{};
  zc::inflight_open(client_);
  zt::g_faults.path = "zelautoresp.txt";
  zt::g_faults.status = plat::Status::Denied;
  const long descriptors = zt::open_descriptors();
  EXPECT_FALSE(zc::process_terminal(client_, 0));
  EXPECT_EQ(zt::open_descriptors(), descriptors);  // the journal looked through, and closed
  EXPECT_NE(zt::read_file(root_ / "caja1out.txt").find("|F51=Pre-autorizacion no registrada|"),
            std::string::npos);
  EXPECT_FALSE(zt::exists(root_ / "caja1aut.zel"));
  EXPECT_FALSE(zt::exists(root_ / "caja1in.zel"));
}

// A decided answer whose name is held for a moment is tried again soon; one that
// is refused waits for the next change; either is published once it can be.
TEST_F(LocalAnswers, HeldAnswerNameIsTriedAgain) {
  // The second time a local answer waits, and the terminal asks again meanwhile:
  // the waiting one is discarded, never left to be published.
  const long descriptors = zt::open_descriptors();
  for (const bool askAgain : {false, true}) {
    zt::write_file(root_ / "caja1in.txt", askAgain ? "|G01=1234|G04=556677|G99=000099|"
                                                   : "|G01=1234|G04=556677|G06=123|G99=000020|");
    zt::g_faults.path = "caja1out.txt";
    zt::g_faults.status = plat::Status::Busy;
    zc::observe_start(client_);
    zc::observe_flush(client_);
    EXPECT_TRUE(zc::process_terminal(client_, 0));
    zc::observe_flush(client_);  // an answer now waiting is shown at once, not a second later
    EXPECT_NE(work("zelclient.state").find("\nanswers_waiting=1"), std::string::npos);
    EXPECT_TRUE(zc::process_terminal(client_, 0));  // still held: tried again soon
    zt::g_faults.status = plat::Status::Denied;
    EXPECT_FALSE(zc::process_terminal(client_, 0));
    EXPECT_FALSE(zt::exists(root_ / "caja1out.txt"));
    zt::g_faults.path.clear();
    if (askAgain) zt::write_file(root_ / "caja1in.txt", "|G01=1234|G04=2|G06=123|G99=000020|");
    EXPECT_FALSE(zc::process_terminal(client_, 0));
    EXPECT_EQ(zt::read_file(root_ / "caja1out.txt")
                  .rfind(askAgain ? "|F01=1234|F04=2|F08=" : "|F01=1234|F04=556677|F08=", 0),
              0u);
    for (const char* left : {"caja1out.zel", "caja1aut.zel"})
      EXPECT_FALSE(zt::exists(root_ / left));
    EXPECT_EQ(client_.observed.notDelivered, askAgain ? 1u : 0u);  // counted for the operator
    fs::remove(root_ / "caja1out.txt");
  }
  EXPECT_EQ(zt::open_descriptors(), descriptors);  // every answer file closed
  // A file left by the decided answer's name is replaced, not written into.
  const std::string stale = (root_ / "caja1out.zel").string();
  zt::write_file(stale, "|F01=stale and longer|");
  EXPECT_EQ(zc::write_answer_file(client_, stale.c_str(), "|F01=1|").stage,
            AnswerWrite::Stage::Done);
  EXPECT_EQ(zt::read_file(stale), "|F01=1|");
}

}  // namespace
