// zelterm: plays a point-of-sale terminal against a running zelclient. Writes a
// request file the way a terminal must (exclusively, then closed), waits for the
// answer file, prints its fields one per line in UTF-8, and deletes it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/cli.h"
#include "common/cp1252.h"
#include "common/number.h"
#include "fileutil/dirwait.h"
#include "fileutil/path.h"
#include "fileutil/textfile.h"
#include "platform/platform.h"

namespace {

constexpr int kExitTimeout = 1;
constexpr int kExitUsage = 2;
constexpr int kExitIo = 3;

struct Options {
  std::string root;
  std::string terminal;
  int timeoutMs = 30000;
  bool quiet = false;
  std::string requestFile;  // -f: the request text from a file
  std::string replayFile;   // -R: one request per line
  std::vector<std::string> fields;
};

void usage(std::FILE* out) {
  std::fprintf(
      out,
      "usage: zelterm -r ROOT -t TERMINAL [-w MS] [-q] FIELD=VALUE...\n"
      "       zelterm -r ROOT -t TERMINAL [-w MS] -f REQUEST_FILE\n"
      "       zelterm -r ROOT -t TERMINAL [-w MS] -R REQUESTS_FILE   (replay, one per line)\n"
      "  Writes ROOT/TERMINALin.txt, waits up to MS milliseconds (default 30000) for\n"
      "  ROOT/TERMINALout.txt, prints its fields one per line and deletes it.\n"
      "  Example: zelterm -r /srv/zelclient/farm -t caja1 G01=1234 G04=556677 G99=000020\n");
}

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    const char* v = nullptr;
    if (a == "-r" && (v = value())) {
      o.root = v;
    } else if (a == "-t" && (v = value())) {
      o.terminal = v;
    } else if (a == "-w" && (v = value())) {
      o.timeoutMs = zel::to_int(v);
    } else if (a == "-f" && (v = value())) {
      o.requestFile = v;
    } else if (a == "-R" && (v = value())) {
      o.replayFile = v;
    } else if (a == "-q") {
      o.quiet = true;
    } else if (a.find('=') != std::string::npos && a[0] != '-') {
      o.fields.push_back(a);
    } else {
      return false;
    }
  }
  const int sources = !o.fields.empty() + !o.requestFile.empty() + !o.replayFile.empty();
  return !o.root.empty() && !o.terminal.empty() && o.timeoutMs > 0 && sources == 1;
}

std::string join(const std::string& root, const std::string& name) {
  zel::Text<1024> path;
  if (!FILE_MakePath(path, {root.c_str(), name.c_str()})) return {};
  return path.c_str();
}

// Writes the request held exclusively, so the service never reads half of it.
bool write_request(const std::string& path, const std::string& text) {
  const plat::FileOps& fs = plat::system_files();
  plat::FileHandle f = plat::kNoFile;
  if (fs.open(path.c_str(), plat::OpenMode::LockedWrite, &f) != plat::Status::Ok) return false;
  std::string disk(text.size() * 2, '\0');
  disk.resize(zel::crlf_encode(text, disk.data()));
  const bool ok = fs.write(f, disk.data(), disk.size()) == plat::Status::Ok;
  return fs.close(f) == plat::Status::Ok && ok;
}

// Takes the answer once the service has written and closed it: it is non-empty
// only after the service holds it, and exclusive while the service writes.
bool take_answer(const std::string& path, std::string& answer) {
  std::error_code ec;
  if (std::filesystem::file_size(path, ec) == 0 || ec) return false;
  const plat::FileOps& fs = plat::system_files();
  plat::FileHandle f = plat::kNoFile;
  if (fs.open(path.c_str(), plat::OpenMode::LockedRead, &f) != plat::Status::Ok) return false;
  zel::CrLfReader reader;
  char raw[512];
  char text[sizeof raw + 1];
  answer.clear();
  std::size_t n = 0;
  while (fs.read(f, raw, sizeof raw, &n) == plat::Status::Ok && n > 0) {
    answer.append(text, reader.translate(raw, n, text));
  }
  answer.append(text, reader.finish(text));
  fs.close(f);
  fs.remove(path.c_str());
  return true;
}

// Watches the root for changes; set up before the request is written, so that
// an answer that comes at once is not missed. false when it cannot be watched.
bool watch_root(const Options& o) {
  return FILE_DirWaitFirst(o.root.c_str(), 0, kChangeFileName | kChangeLastWrite) !=
         DirWait::Failed;
}

// Waits for the answer, woken by changes in the root; false on the time-out.
bool wait_answer(const Options& o, bool watching, const std::string& path, std::string& answer) {
  const std::int64_t end = plat::monotonic_ms() + o.timeoutMs;
  for (;;) {
    if (take_answer(path, answer)) return true;
    const std::int64_t left = end - plat::monotonic_ms();
    if (left <= 0) return false;
    // Woken by a change, and at least every 50 ms: an answer renamed into place is
    // not reported as a change everywhere (Wine's notifications miss it).
    const auto wait = static_cast<std::uint32_t>(left < 50 ? left : 50);
    if (!watching || FILE_DirWaitNext(wait) == DirWait::Failed) plat::sleep_ms(wait);
  }
}

void print_fields(const std::string& answer) {
  std::size_t at = 0;
  while (at < answer.size()) {
    const std::size_t bar = answer.find('|', at);
    const std::string field = answer.substr(at, bar == std::string::npos ? bar : bar - at);
    if (!field.empty() && field != "\n") std::printf("%s\n", zel::cp1252_to_utf8(field).c_str());
    if (bar == std::string::npos) break;
    at = bar + 1;
  }
}

// One request and its answer. Returns an exit status.
int exchange(const Options& o, bool watching, const std::string& request, bool print) {
  const std::string in = join(o.root, o.terminal + "in.txt");
  const std::string out = join(o.root, o.terminal + "out.txt");
  if (in.empty() || !write_request(in, request)) {
    std::fprintf(stderr, "zelterm: cannot write the request file %s: %s\n", in.c_str(),
                 std::strerror(errno));
    return kExitIo;
  }
  std::string answer;
  if (!wait_answer(o, watching, out, answer)) {
    std::fprintf(stderr,
                 "zelterm: no answer in %s within %d ms; is zelclient running on %s with "
                 "terminal %s?\n",
                 out.c_str(), o.timeoutMs, o.root.c_str(), o.terminal.c_str());
    return kExitTimeout;
  }
  if (print) print_fields(answer);
  return 0;
}

int replay(const Options& o, bool watching) {
  std::ifstream in(o.replayFile);
  if (!in) {
    std::fprintf(stderr, "zelterm: cannot read %s\n", o.replayFile.c_str());
    return kExitIo;
  }
  int sent = 0;
  int answered = 0;
  std::int64_t worst = 0;
  const std::int64_t start = plat::monotonic_ms();
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const std::int64_t t0 = plat::monotonic_ms();
    const int status = exchange(o, watching, line, !o.quiet);
    ++sent;
    if (status == 0) {
      ++answered;
      if (plat::monotonic_ms() - t0 > worst) worst = plat::monotonic_ms() - t0;
    } else if (status != kExitTimeout) {
      return status;
    }
  }
  const double seconds = static_cast<double>(plat::monotonic_ms() - start) / 1000.0;
  std::printf("replayed %d requests, %d answered, slowest %lld ms, %.1f requests/s\n", sent,
              answered, static_cast<long long>(worst), seconds > 0 ? answered / seconds : 0.0);
  return answered == sent ? 0 : kExitTimeout;
}

std::string request_from_fields(const std::vector<std::string>& fields) {
  std::string text;
  for (const auto& f : fields) {
    text += '|';
    text += zel::utf8_to_cp1252(f);
  }
  text += '|';
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (const int done = zel::help_or_version(argc, argv, "zelterm", usage); done >= 0) return done;
  plat::process_setup();
  Options o;
  if (!parse(argc, argv, o)) {
    usage(stderr);
    return kExitUsage;
  }
  const bool watching = watch_root(o);
  if (!o.replayFile.empty()) return replay(o, watching);
  std::string request;
  if (!o.requestFile.empty()) {
    std::ifstream in(o.requestFile, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "zelterm: cannot read %s\n", o.requestFile.c_str());
      return kExitIo;
    }
    request.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  } else {
    request = request_from_fields(o.fields);
  }
  return exchange(o, watching, request, !o.quiet);
}
