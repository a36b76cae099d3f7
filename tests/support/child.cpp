// Child processes: fork and exec on POSIX; on Windows CreateProcessA, each child
// in a console of its own (without a window) so that console events reach it
// alone. Standard output goes to a file, the environment gains the given entries.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <thread>

#include "testsupport.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <process.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace zt {
namespace {

std::string output_file(long pid) {
  static std::atomic<int> children{0};
  const std::string name = "zelchild-" + std::to_string(pid) + "-" + std::to_string(children++);
  return (fs::temp_directory_path() / name).string();
}

std::string name_of(const std::string& kv) {
  std::string name = kv.substr(0, kv.find('='));
  for (char& c : name)
    c = kWindows ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
  return name;
}

// The environment entries of this process, with those of env added or replacing them.
std::vector<std::string> environment(const std::vector<std::string>& own,
                                     const std::vector<std::string>& env) {
  std::vector<std::string> vars(env);
  for (const auto& v : own) {
    if (std::none_of(env.begin(), env.end(), [&](auto& kv) { return name_of(kv) == name_of(v); }))
      vars.push_back(v);
  }
  return vars;
}

}  // namespace

#ifdef _WIN32

Child::Child(const std::vector<std::string>& argv, const std::string& workdir,
             const std::vector<std::string>& env, bool errorsToo)
    : out_(output_file(_getpid())) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  HANDLE handles[3] = {
      CreateFileA("NUL", GENERIC_READ, share, &inherit, OPEN_EXISTING, 0, nullptr),
      CreateFileA(out_.c_str(), GENERIC_WRITE, share, &inherit, CREATE_ALWAYS, 0, nullptr),
      nullptr};
  DuplicateHandle(GetCurrentProcess(), errorsToo ? handles[1] : GetStdHandle(STD_ERROR_HANDLE),
                  GetCurrentProcess(), &handles[2], 0, TRUE, DUPLICATE_SAME_ACCESS);
  std::string command;  // the arguments hold no quotes
  for (const auto& a : argv) {
    const bool quoted = a.empty() || a.find_first_of(" \t") != std::string::npos;
    command += (command.empty() ? "" : " ") + (quoted ? "\"" + a + "\"" : a);
  }
  std::vector<std::string> own;
  char* block = GetEnvironmentStringsA();
  for (const char* p = block; *p != '\0'; p += std::strlen(p) + 1) own.emplace_back(p);
  FreeEnvironmentStringsA(block);
  auto vars = environment(own, env);
  std::sort(vars.begin(), vars.end(), [](auto& a, auto& b) { return name_of(a) < name_of(b); });
  std::string environment;
  for (const auto& v : vars) environment += v + '\0';
  environment += '\0';

  // The child inherits its three standard handles and nothing else: not the files
  // the test or its other threads hold open at the moment.
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<char> storage(size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
  InitializeProcThreadAttributeList(list, 1, 0, &size);
  UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles, sizeof handles,
                            nullptr, nullptr);
  STARTUPINFOEXA si{};
  si.StartupInfo.cb = sizeof si;
  si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  si.StartupInfo.hStdInput = handles[0];
  si.StartupInfo.hStdOutput = handles[1];
  si.StartupInfo.hStdError = handles[2];
  si.lpAttributeList = list;
  PROCESS_INFORMATION pi{};
  if (CreateProcessA(argv[0].c_str(), command.data(), nullptr, nullptr, TRUE,
                     CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, environment.data(),
                     workdir.empty() ? nullptr : workdir.c_str(), &si.StartupInfo, &pi)) {
    CloseHandle(pi.hThread);
    handle_ = pi.hProcess;
    pid_ = static_cast<int>(pi.dwProcessId);
  }
  DeleteProcThreadAttributeList(list);
  for (HANDLE h : handles) CloseHandle(h);
}

int Child::wait(std::chrono::milliseconds timeout) {
  DWORD code = 0;
  if (handle_ != nullptr && status_ < 0 &&
      WaitForSingleObject(handle_, static_cast<DWORD>(timeout.count())) == WAIT_OBJECT_0 &&
      GetExitCodeProcess(handle_, &code)) {
    status_ = static_cast<int>(code & 0xFF);  // as a POSIX exit status: exit(-1) gives 255
  }
  return status_;
}

void Child::kill() {
  if (running()) TerminateProcess(handle_, 128 + 9);
  wait(5s);
}

// Console events go through zel_win_helper, which attaches to the child's console.
// Wine sends only Ctrl+C: without any event, the child ends as if killed by SIGTERM.
void Child::terminate() {
  const auto event = [&](const char* which) {
    return run({bin("zel_win_helper"), "ctrl", std::to_string(pid_), which}) == 0;
  };
  if (running() && !event("break") && !event("c")) TerminateProcess(handle_, 128 + 15);
}

void Child::interrupt() {
  if (running()) run({bin("zel_win_helper"), "ctrl", std::to_string(pid_), "c"});
}

#else

Child::Child(const std::vector<std::string>& argv, const std::string& workdir,
             const std::vector<std::string>& env, bool errorsToo)
    : out_(output_file(getpid())) {
  // Everything is made before the fork: the child of a threaded process may only exec.
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> own;
  for (char** e = environ; *e != nullptr; ++e) own.emplace_back(*e);
  const auto vars = environment(own, env);
  std::vector<char*> envp;
  for (const auto& v : vars) envp.push_back(const_cast<char*>(v.c_str()));
  envp.push_back(nullptr);
  pid_ = fork();
  if (pid_ != 0) return;
  const int fd = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if ((!workdir.empty() && chdir(workdir.c_str()) != 0) || fd < 0 || dup2(fd, 1) < 0) _exit(127);
  if (errorsToo && dup2(fd, 2) < 0) _exit(127);
  execve(args[0], args.data(), envp.data());
  _exit(127);
}

int Child::wait(std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (int status = 0; pid_ > 0 && status_ < 0; std::this_thread::sleep_for(1ms)) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } else if (std::chrono::steady_clock::now() >= end) {
      break;
    }
  }
  return status_;
}

void Child::kill() {
  if (running()) ::kill(pid_, SIGKILL);
  wait(5s);
}

void Child::terminate() {
  if (running()) ::kill(pid_, SIGTERM);
}

void Child::interrupt() {
  if (running()) ::kill(pid_, SIGINT);
}

#endif

Child::~Child() {
  kill();
#ifdef _WIN32
  if (handle_ != nullptr) CloseHandle(handle_);
#endif
  std::error_code ec;
  fs::remove(out_, ec);
}

}  // namespace zt
