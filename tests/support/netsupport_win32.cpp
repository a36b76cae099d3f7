// The process-level network test helpers on Windows: console control events, checks
// in a second process of the test executable, the environment.
#define WIN32_LEAN_AND_MEAN
#include <gtest/gtest.h>
#include <process.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "netsupport.h"
#include "testsupport.h"

namespace zt {

namespace {

// Set in a child of in_child: "call;result-file;tag" (which in_child call of the
// test runs fn, where its result goes, the parent's run tag).
constexpr const char* kChildVariable = "ZEL_IN_CHILD";

struct ChildRole {
  bool child = false;
  int call = 0;
  std::string result_path;
  std::string tag;
};

const ChildRole& role() {
  static const ChildRole r = [] {
    ChildRole out;
    const char* v = std::getenv(kChildVariable);
    if (v == nullptr) return out;
    const std::string text = v;
    const auto first = text.find(';');
    const auto second = text.find(';', first + 1);
    if (first == std::string::npos || second == std::string::npos) return out;
    out.child = true;
    out.call = std::atoi(text.substr(0, first).c_str());
    out.result_path = text.substr(first + 1, second - first - 1);
    out.tag = text.substr(second + 1);
    return out;
  }();
  return r;
}

// The number of this in_child call within the running test: 0, 1, ...
int call_number() {
  static const ::testing::TestInfo* test = nullptr;
  static int calls = 0;
  const auto* now = ::testing::UnitTest::GetInstance()->current_test_info();
  if (now != test) {
    test = now;
    calls = 0;
  }
  return calls++;
}

std::string own_executable() {
  char path[MAX_PATH * 2] = {};
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  return n > 0 && n < sizeof path ? std::string(path, n) : std::string();
}

}  // namespace

void interrupt(int pid) {
  console_event(pid, false);
}

std::string run_tag() {
  return role().child ? role().tag : std::to_string(_getpid());
}

int in_child(const std::function<int()>& fn, std::chrono::milliseconds timeout) {
  const int call = call_number();
  if (role().child) {
    if (call != role().call) return 0;  // another child's check: the parent has its result
    std::fflush(nullptr);
    const int result = fn();
    if (FILE* f = std::fopen(role().result_path.c_str(), "w")) {
      std::fprintf(f, "%d", result);
      std::fclose(f);
    }
    std::fflush(nullptr);
    // Ends at once, as a forked child's _exit: no destructors, other threads stopped.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(result));
  }

  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  if (test == nullptr) return -1;
  const std::string result_path =
      (fs::temp_directory_path() /
       ("zelinchild-" + std::to_string(_getpid()) + "-" + std::to_string(call) + ".result"))
          .string();
  std::error_code ec;
  fs::remove(result_path, ec);
  const std::string filter =
      std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
  const std::string setting = std::string(kChildVariable) + "=" + std::to_string(call) + ";" +
                              result_path + ";" + run_tag();
  std::fflush(nullptr);
  Child child({own_executable(), filter}, "", {setting});
  const int status = child.wait(timeout);
  if (status < 0) {
    child.kill_now();
    fs::remove(result_path, ec);
    return -1;
  }
  const std::string result = read_file(result_path);
  fs::remove(result_path, ec);
  if (!result.empty()) return std::atoi(result.c_str());
  std::printf("in_child: the child run of %s ended (%d) before its check; its output:\n%s\n",
              test->name(), status, read_file(child.stdout_path()).c_str());
  return 256 + status;
}

void set_env(const std::string& name, const std::string& value) {
  // Windows keeps no empty variables: an empty value removes the variable.
  _putenv_s(name.c_str(), value.c_str());
}

void unset_env(const std::string& name) {
  _putenv_s(name.c_str(), "");
}

void remove_named_mutex(const std::string&) {
  // Nothing to do: a Windows mutex ends with the last handle to it.
}

}  // namespace zt
