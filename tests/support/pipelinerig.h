// Runs the request pipeline inside the test process, on real files and real TCP:
// a root directory for terminal caja1, a separate current directory for the
// working files, the whole log in a file, probes that find nothing, and the
// clock of the local answers in the test's hands.
#pragma once

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "testsupport.h"

namespace zt {

class PipelineRig {
 public:
  // The gateway at 127.0.0.1:gatewayPort; connections bounded by netTimeoutMs.
  explicit PipelineRig(int gatewayPort, int netTimeoutMs = 2000);
  ~PipelineRig();
  PipelineRig(const PipelineRig&) = delete;
  PipelineRig& operator=(const PipelineRig&) = delete;

  // Drops the request file's bytes, runs the pipeline once for caja1 and
  // returns the answer file ("" when there is none), which is then removed.
  std::string run(const std::string& requestBytes);
  // The same with whatever stands at the request file's name.
  std::string run_in_place();
  // The log lines written since the last call (without their timestamps).
  std::vector<std::string> take_lines();

  // The clock of the local answers from now on (nullptr: the system clock).
  static void set_time(std::time_t t);
  static std::time_t local(int year, int month, int day, int hour, int minute, int second);

  TempDir root;
  TempDir work;
  fs::path requestFile;
  fs::path answerFile;

 private:
  fs::path previousDir_;
  std::string logSpec_;
};

}  // namespace zt
