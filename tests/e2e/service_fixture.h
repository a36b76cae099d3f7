// Runs the real zelclient on a temporary root, with a separate working directory
// for its journal and number files, against a scripted gateway.
#pragma once

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "fakegateway.h"
#include "testsupport.h"

namespace zt {

class Service {
 public:
  // Starts zelclient with terminals caja1,caja2 on gateway_port plus extra args.
  Service(int gatewayPort, std::vector<std::string> extraArgs = {},
          std::vector<std::string> env = {}, bool start = true);
  ~Service();
  void start();

  // Drops a request the way a terminal does: write, then close.
  void drop(const std::string& terminal, const std::string& text);
  // Waits for the terminal's answer to be complete and returns it (then deletes it).
  std::string answer(const std::string& terminal, int timeoutMs = 10000);
  bool stop();  // stop file, then exit status 0
  void kill();  // SIGKILL: no chance to finish anything
  int pid() const;
  std::vector<std::string> log();
  std::string stdout_text();

  TempDir root;
  TempDir work;
  std::string logPath;
  std::string cwd;  // the service's current directory (working files); work by default

 private:
  // Windows: wakes the service's directory wait again by writing a file that is no
  // terminal's. Wine reports neither a file created empty nor the close of a file as
  // a last-write change, and a wait may end while the test still holds the file it
  // writes; Windows itself may report the write late.
  void nudge();

  std::vector<std::string> args_;
  std::vector<std::string> env_;
  std::unique_ptr<Child> child_;
};

// The answer a local pre-authorisation gives to the standard request below.
std::string preauth_answer(char letter, int number, const std::string& terminal = "caja1");
std::string current_year();

// A 51-character troquel record whose leading number is n (0: an all-zero record).
std::string troquel(int n);

extern const char* const kRequest;  // |G01=1234|G04=556677|G08=42|G99=000020|

// ZELCLIENT_PROBE_HOSTS naming three times the port on 127.0.0.1.
std::string probes_to(int port);

}  // namespace zt
