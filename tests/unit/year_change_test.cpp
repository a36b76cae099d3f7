// A change of year while the service runs: the request pipeline in this process,
// the gateway down, and the clock of the local answers moved across New Year.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "netsupport.h"
#include "pipelinerig.h"
#include "terminals.h"

namespace {

using zt::PipelineRig;

std::string number_of(const std::string& answer) {
  return zt::TerminalFleet::field(answer, "F52");
}

const std::string kRequest = "|G01=1234|G04=556677|G08=42|G99=000020|";

TEST(YearChange, SequenceRestartsAtNewYearAndNeverRepeatsWithinAYear) {
  PipelineRig rig(zt::closed_port());
  struct Step {
    std::time_t at;
    const char* number;
  } steps[] = {
      {PipelineRig::local(2031, 12, 31, 23, 59, 58), "I20310000001"},
      {PipelineRig::local(2031, 12, 31, 23, 59, 59), "I20310000002"},
      // New Year during the run: the sequence starts again.
      {PipelineRig::local(2032, 1, 1, 0, 0, 0), "I20320000001"},
      {PipelineRig::local(2032, 1, 1, 0, 0, 1), "I20320000002"},
      // The clock is put back across New Year (a time correction): the numbers of
      // the old year must not start again at 1.
      {PipelineRig::local(2031, 12, 31, 23, 59, 59), "I20310000003"},
      {PipelineRig::local(2032, 1, 1, 0, 0, 2), "I20320000003"},
  };
  for (const auto& s : steps) {
    PipelineRig::set_time(s.at);
    EXPECT_EQ(number_of(rig.run(kRequest)), s.number);
  }
  EXPECT_EQ(zt::read_file(rig.work / "anio.txt"), "2032\r\n");
  EXPECT_EQ(zt::read_file(rig.work / "nroaut.txt"), "3\r\n");
}

}  // namespace
