// Terminals under load: one thread per terminal drops a request into the root
// directory, waits for its answer, collects it and drops the next, the way a
// point-of-sale terminal does. Every request carries a unique id in G04, which
// every answer (the gateway's and the local ones) carries back in F04.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testsupport.h"

namespace zt {

struct Exchange {
  std::string terminal;
  std::string id;      // G04 of the request
  std::string answer;  // the answer file's bytes; "" while none came
  bool answered = false;
};

class TerminalFleet {
 public:
  // Terminals named names, dropping into root; ids start with prefix.
  TerminalFleet(fs::path root, std::vector<std::string> names, std::string prefix);
  ~TerminalFleet();
  TerminalFleet(const TerminalFleet&) = delete;
  TerminalFleet& operator=(const TerminalFleet&) = delete;

  void start();
  // Stops dropping new requests and waits up to drain for the outstanding ones.
  void stop(std::chrono::milliseconds drain);

  std::vector<Exchange> exchanges();              // every request dropped, in order of dropping
  int mismatches() const { return mismatches_; }  // answers that were not the request's
  std::size_t answered() const { return answered_; }

  // An answer file is complete once the request file and the service's held
  // copy of it are gone and the answer file exists.
  static bool answer_ready(const fs::path& root, const std::string& terminal);
  static std::string request_text(const std::string& id);
  // The value of field name ("|name=value|") in text, or "".
  static std::string field(const std::string& text, const std::string& name);

 private:
  void run(std::size_t t);
  fs::path root_;
  std::vector<std::string> names_;
  std::string prefix_;
  std::atomic<bool> dropping_{false};
  std::atomic<bool> quit_{false};
  std::atomic<int> mismatches_{0};
  std::atomic<std::size_t> answered_{0};
  std::mutex mutex_;
  std::vector<Exchange> exchanges_;
  std::vector<std::thread> threads_;
};

}  // namespace zt
