// Child processes on Windows: CreateProcessA, standard output into a file.
#define WIN32_LEAN_AND_MEAN
#include <process.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <thread>
#include <vector>

#include "testsupport.h"

namespace zt {
namespace {

// One argument quoted so that the C runtime's command-line parser gives it back.
std::string quote(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

std::string upper_name(const std::string& kv) {
  std::string name = kv.substr(0, kv.find('='));
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}

// The current environment with the given NAME=value entries added or replaced.
std::string environment_block(const std::vector<std::string>& env) {
  std::vector<std::string> vars;
  char* block = GetEnvironmentStringsA();
  for (const char* p = block; p != nullptr && *p != '\0'; p += std::strlen(p) + 1) {
    vars.emplace_back(p);
  }
  if (block != nullptr) FreeEnvironmentStringsA(block);
  for (const auto& kv : env) {
    const std::string name = upper_name(kv);
    std::erase_if(vars, [&](const std::string& v) { return upper_name(v) == name; });
    vars.push_back(kv);
  }
  std::sort(vars.begin(), vars.end(), [](const std::string& a, const std::string& b) {
    return upper_name(a) < upper_name(b);
  });
  std::string out;
  for (const auto& v : vars) out += v + '\0';
  return out + '\0';
}

}  // namespace

bool under_wine() {
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::string system_error_text(int code) {
  char text[512] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text,
                 sizeof text, nullptr);
  return text;
}

Child::Child(const std::vector<std::string>& argv, const std::string& workdir,
             const std::vector<std::string>& env) {
  out_ = child_output_path(_getpid());
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE in = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE out = CreateFileA(out_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE err = INVALID_HANDLE_VALUE;
  if (!DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_ERROR_HANDLE), GetCurrentProcess(),
                       &err, 0, TRUE, DUPLICATE_SAME_ACCESS)) {
    err = INVALID_HANDLE_VALUE;
  }
  std::string command;
  for (const auto& a : argv) command += (command.empty() ? "" : " ") + quote(a);
  std::string environment = env.empty() ? std::string() : environment_block(env);

  // The child inherits its three standard handles and nothing else: not the test's
  // open files (a log, a file a test holds) nor its sockets.
  HANDLE handles[3];
  DWORD count = 0;
  for (HANDLE h : {in, out, err}) {
    if (h != INVALID_HANDLE_VALUE && h != nullptr) handles[count++] = h;
  }
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<char> storage(size);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
  const bool listed = count > 0 && InitializeProcThreadAttributeList(attributes, 1, 0, &size) &&
                      UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                                handles, count * sizeof(HANDLE), nullptr, nullptr);
  STARTUPINFOEXA si{};
  si.StartupInfo.cb = sizeof si;
  si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  si.StartupInfo.hStdInput = in;
  si.StartupInfo.hStdOutput = out;
  si.StartupInfo.hStdError = err;
  si.lpAttributeList = listed ? attributes : nullptr;
  PROCESS_INFORMATION pi{};
  if (CreateProcessA(argv.empty() ? nullptr : argv[0].c_str(), command.data(), nullptr, nullptr,
                     TRUE, CREATE_NO_WINDOW | (listed ? EXTENDED_STARTUPINFO_PRESENT : 0),
                     env.empty() ? nullptr : environment.data(),
                     workdir.empty() ? nullptr : workdir.c_str(), &si.StartupInfo, &pi)) {
    CloseHandle(pi.hThread);
    handle_ = pi.hProcess;
    pid_ = static_cast<int>(pi.dwProcessId);
  }
  if (listed) DeleteProcThreadAttributeList(attributes);
  for (DWORD i = 0; i < count; ++i) CloseHandle(handles[i]);
}

Child::~Child() {
  if (running()) kill_now();
  if (handle_ != nullptr) CloseHandle(handle_);
  std::error_code ec;
  fs::remove(out_, ec);
}

int Child::wait(std::chrono::milliseconds timeout) {
  if (handle_ == nullptr) return -1;
  if (status_ >= 0) return status_;
  if (WaitForSingleObject(handle_, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  if (!GetExitCodeProcess(handle_, &code)) return -1;
  status_ = static_cast<int>(code & 0xFF);  // as a POSIX exit status: exit(-1) gives 255
  return status_;
}

bool Child::running() {
  return handle_ != nullptr && status_ < 0 && wait(std::chrono::milliseconds(0)) < 0;
}

void Child::kill_now() {
  if (handle_ != nullptr && status_ < 0) {
    TerminateProcess(handle_, 128 + 9);
    wait(std::chrono::seconds(5));
  }
}

void Child::terminate() {
  if (handle_ == nullptr || status_ >= 0) return;
  if (!console_event(pid_, true) && !console_event(pid_, false))
    TerminateProcess(handle_, 128 + 15);
}

bool console_event(int pid, bool ctrl_break) {
  Child sender({bin("zel_win_helper"), "ctrl", std::to_string(pid), ctrl_break ? "break" : "c"});
  return sender.wait() == 0;
}

}  // namespace zt
