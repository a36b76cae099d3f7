// What a terminal controls: the bytes of its request and the names in the shared
// root directory. Request bytes reach the log as data only, one line per call;
// a name made a link to a file elsewhere never gets that file read or written.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "client/pipeline.h"
#include "fakegateway.h"
#include "log/log.h"
#include "pipelinerig.h"

namespace {

using zt::approve;
using zt::FakeGateway;
using zt::GatewayReply;
using zt::kApproval;
using zt::Packet;

TEST(Security, ControlBytesAreLoggedAsDataOnOneLine) {
  zt::TempDir dir;
  std::string spec = (dir / "t.log").string() + ",1,300";
  LOG_Open(1, 1, spec.data());
  LOG_Print(57, "Envio:[%s]", "a\nb\r\x1b[2Jc\x7f\t%s%n\xF1");
  LOG_Close();
  EXPECT_EQ(zt::read_file(dir / "t.log").substr(20),
            std::string("INFO\tEnvio:[a\\x0Ab\\x0D\\x1B[2Jc\\x7F\\x09%s%n\xF1]") + zt::kLineEnd);
}

// A request that tries to write log lines of its own, and printf directives.
TEST(Security, RequestCannotForgeLogLines) {
  FakeGateway gateway(approve);
  zt::PipelineRig rig(gateway.port());
  const std::string forged = "2031/01/01 00:00:00\tERROR\tforged";
  rig.take_lines();
  EXPECT_EQ(rig.run("|G01=%n%s%x|G04=1\n" + forged + "\n|G99=000020|"), kApproval);
  bool sent = false;
  for (const auto& line : rig.take_lines()) {
    EXPECT_EQ(line.find("forged"), line.rfind("forged")) << line;
    EXPECT_NE(line, "ERROR\tforged");
    sent |= line.find(
                "Envio hacia el Gateway:[|G01=%n%s%x|G04=1\\x0A2031/01/01 00:00:00\\x09ERROR"
                "\\x09forged\\x0A|G99=000020|") != std::string::npos;
  }
  EXPECT_TRUE(sent);
}

// The answer file's name made a link to a file outside the root: the answer is
// refused, and the file the link points at stays as it was.
TEST(Security, AnswerIsNeverWrittenThroughALink) {
#ifdef _WIN32
  GTEST_SKIP() << "links in the root directory are a Linux concern: Windows terminals' shares "
                  "hold no links the service would follow";
#endif
  FakeGateway gateway(approve);
  for (const bool symbolic : {true, false}) {
    SCOPED_TRACE(symbolic ? "symbolic link" : "hard link");
    zt::PipelineRig rig(gateway.port());
    zt::TempDir elsewhere;
    const auto victim = elsewhere / "passwd";
    zt::write_file(victim, "root:x:0:0\n");
    if (symbolic) {
      std::filesystem::create_symlink(victim, rig.answerFile);
    } else {
      std::filesystem::create_hard_link(victim, rig.answerFile);
    }
    zt::write_file(rig.requestFile, "|G01=1234|G99=000020|");
    std::time_t lifeTimer = 0;
    rig.take_lines();
    ZELClient_ProcessTerminal(0, "caja1", &lifeTimer);
    EXPECT_EQ(zt::read_file(victim), "root:x:0:0\n");
    EXPECT_TRUE(zt::contains_in_order(
        rig.take_lines(),
        {"\tZELClient_WriteFileOutput abriendo archivo [" + rig.answerFile.string() + "] de output",
         "ERROR\tZELClient_WriteFileOutput errno=[13] error=[Given path is a directory, or file "
         "is read-only, but an open-for-writing operation was attempted]",
         "ERROR\tZELClient_Process WriteFileOutput"}));
  }
}

// The request file's name made a symbolic link to another file: it is not read,
// so nothing of that file travels to the gateway.
TEST(Security, RequestIsNeverReadThroughASymbolicLink) {
#ifdef _WIN32
  GTEST_SKIP() << "links in the root directory are a Linux concern: Windows terminals' shares "
                  "hold no links the service would follow";
#endif
  FakeGateway gateway(approve);
  zt::PipelineRig rig(gateway.port());
  zt::TempDir elsewhere;
  const auto secret = elsewhere / "secret";
  zt::write_file(secret, "|G01=secret|G99=000020|");
  std::filesystem::create_symlink(secret, rig.requestFile);
  EXPECT_EQ(rig.run_in_place(), "");
  EXPECT_TRUE(gateway.packets().empty());
  EXPECT_TRUE(zt::contains_in_order(
      rig.take_lines(),
      {"WARNING\tZELClient_Process ReadFileInput file [" + rig.requestFile.string() + "]"}));
}

}  // namespace
