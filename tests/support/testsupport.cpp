#include "testsupport.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace zt {

TempDir::TempDir() {
  std::random_device rd;
  const fs::path base = fs::temp_directory_path();
  for (;;) {
    fs::path candidate = base / ("zeltest-" + std::to_string(rd()));
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) {
      path_ = candidate;
      return;
    }
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  // Restore permissions that a test took away, so that everything can be removed.
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

bool exists(const fs::path& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

std::vector<std::string> log_messages(const std::string& log) {
  std::vector<std::string> lines;
  std::istringstream in(log);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto tab = line.find('\t');
    lines.push_back(tab == std::string::npos ? line : line.substr(tab + 1));
  }
  return lines;
}

bool contains_in_order(const std::vector<std::string>& lines,
                       const std::vector<std::string>& expected) {
  std::size_t at = 0;
  for (const auto& line : lines) {
    if (at < expected.size() && line == expected[at]) ++at;
  }
  return at == expected.size();
}

bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pred();
}

std::string bin(const std::string& name) {
#ifdef _WIN32
  return std::string(ZEL_BIN_DIR) + "/" + name + ".exe";
#else
  return std::string(ZEL_BIN_DIR) + "/" + name;
#endif
}

std::string child_output_path(long pid) {
  static int counter = 0;
  return (fs::temp_directory_path() /
          ("zelchild-" + std::to_string(pid) + "-" + std::to_string(counter++) + ".out"))
      .string();
}

int run(const std::vector<std::string>& argv, const std::string& workdir,
        std::chrono::milliseconds timeout) {
  Child child(argv, workdir);
  const int status = child.wait(timeout);
  if (status < 0) child.kill_now();
  return status;
}

}  // namespace zt
