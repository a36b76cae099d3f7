// Inputs found by fuzzing, kept as readable cases: the request pipeline run in
// this process on real files, against a scripted gateway on 127.0.0.1.
#include <gtest/gtest.h>

#include <string>

#include "client/pipeline.h"
#include "fakegateway.h"
#include "pipelinerig.h"

namespace {

using zt::approve;
using zt::FakeGateway;
using zt::GatewayReply;
using zt::kApproval;
using zt::Packet;

// A request within the request buffer whose values make a local answer longer
// than an answer file may be. The answer used to be dropped before it reached
// the answer file: the terminal found nothing, or the previous request's answer.
// Now the answer file is emptied, as for an over-long gateway answer.
TEST(FuzzRegressions, OverlongLocalAnswerEmptiesTheAnswerFile) {
  FakeGateway gateway(approve);
  const std::string ones(950, '1');
  struct Case {
    const char* name;
    std::string request;
    int gatewayPort;
    std::string localLine;
  } cases[] = {
      // Edited request too long for the buffer: an error answer carrying G01.
      {"error answer", "|G01=" + std::string(1000, '1') + "|G99=000020|", gateway.port(),
       "ERROR\tZELClient_GenErrorResponse WriteFileOutput"},
      // Gateway down: a pre-authorisation answer carrying G01.
      {"pre-authorisation", "|G01=" + ones + "|G99=000020|", zt::closed_port(),
       "ERROR\tZELClient_GenAutoResponse WriteFileOutput"},
      // Values found inside one another: each is copied whole, together they are
      // several times the request's length.
      {"overlapping values", "|G01=G04=G08=G99=" + std::string(900, '7') + "|", gateway.port(),
       "ERROR\tZELClient_GenAutoResponse WriteFileOutput"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    zt::PipelineRig rig(c.gatewayPort);
    zt::write_file(rig.answerFile, "|F52=the previous answer|");
    zt::write_file(rig.requestFile, c.request);
    std::time_t lifeTimer = 0;
    rig.take_lines();
    ZELClient_ProcessTerminal(0, "caja1", &lifeTimer);
    EXPECT_FALSE(zt::exists(rig.requestFile));
    ASSERT_TRUE(zt::exists(rig.answerFile));
    EXPECT_EQ(zt::read_file(rig.answerFile), "");
    EXPECT_TRUE(zt::contains_in_order(
        rig.take_lines(),
        {"ERROR\tZELClient_WriteFileOutput respuesta mayor a 1024 caracteres, no se escribe en [" +
             rig.answerFile.string() + "]",
         c.localLine}));
    // No terminal holds a number: the next pre-authorisation starts the sequence.
    EXPECT_FALSE(zt::exists(rig.work / "nroaut.txt"));
  }
}

}  // namespace
