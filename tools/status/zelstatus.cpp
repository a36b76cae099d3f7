// zelstatus: what a zelclient says of itself in its state file, in words for a
// person and as a monitoring system's check (exit 0 OK, 1 WARNING, 2 CRITICAL,
// 3 UNKNOWN), and its journal of local pre-authorisations as CSV, to reconcile
// with the gateway.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/cli.h"
#include "common/cp1252.h"
#include "common/text.h"
#include "fileutil/path.h"
#include "platform/platform.h"
#include "process.h"
#include "tran/fields.h"

namespace {

constexpr int kOk = 0;
constexpr int kWarning = 1;
constexpr int kCritical = 2;
constexpr int kUnknown = 3;  // also a bad command line: a check that cannot tell
constexpr const char* kVerdicts[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

constexpr std::size_t kStateMax = 64 * 1024;  // the service writes under 1 KB
// Standard output is a text stream, which on Windows stores a line feed as CR LF
// itself; a CSV row ends with CR LF on both systems.
const char* const kRowEnd = plat::kTextLineEndBytes == 2 ? "\n" : "\r\n";

struct Options {
  std::string dir;
  bool csv = false;
  std::string day;                // YYYY/MM/DD
  std::string from, to;           // authorisation numbers
  std::vector<std::string> logs;  // "-": standard input
};

void usage(std::FILE* out) {
  std::fprintf(
      out,
      "usage: zelstatus DIR\n"
      "       zelstatus --csv DIR [--day YYYY/MM/DD] [--from NUMBER] [--to NUMBER]\n"
      "                 [--log FILE]...\n"
      "  DIR is zelclient's working directory. The first form reads DIR/zelclient.state and\n"
      "  prints a verdict line and the details; exit 0 OK, 1 WARNING (answers waiting),\n"
      "  2 CRITICAL (gateway down, service stopped or gone), 3 UNKNOWN (no readable state).\n"
      "  The second prints the journal DIR/zelautoresp.txt as CSV in UTF-8: pharmacy,\n"
      "  prescription, beneficiary, terminal, number, logged_at (the earliest time of the\n"
      "  causes record DIR/zelcausas.txt and the log lines, --log, '-' for standard input,\n"
      "  that show the number) and cause (from the causes record). --day keeps the\n"
      "  numbers first logged that day; --from and --to keep the\n"
      "  numbers in that range, by year and sequence (the letter G or I is not compared).\n");
}

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    const char* v = nullptr;
    if (a == "--csv") {
      o.csv = true;
    } else if (a == "--day" && (v = value())) {
      o.day = v;
    } else if (a == "--from" && (v = value())) {
      o.from = v;
    } else if (a == "--to" && (v = value())) {
      o.to = v;
    } else if (a == "--log" && (v = value())) {
      o.logs.emplace_back(v);
    } else if (o.dir.empty() && !a.empty() && a[0] != '-') {
      o.dir = a;
    } else {
      return false;
    }
  }
  const bool csvOnly = !o.day.empty() || !o.from.empty() || !o.to.empty() || !o.logs.empty();
  return !o.dir.empty() && (o.csv || !csvOnly);
}

std::string join(const std::string& dir, const char* name) {
  zel::Text<1024> path;
  if (!FILE_MakePath(path, {dir.c_str(), name})) return {};
  return path.c_str();
}

std::string plural(unsigned long long n, const char* one, const char* many) {
  return std::to_string(n) + ' ' + (n == 1 ? one : many);
}

// A whole decimal number, digits only, at most 18 of them.
bool parse_count(std::string_view s, std::uint64_t& out) {
  if (s.empty() || s.size() > 18) return false;
  out = 0;
  for (const char c : s) {
    if (c < '0' || c > '9') return false;
    out = out * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return true;
}

// ---- Reading files ----------------------------------------------------------

// Calls line() with each line of f, its line end (LF or CR LF) taken off, one
// read of 1 MB at a time; a last line without its line end counts too. false on
// a read error.
template <class F>
bool each_line(std::FILE* f, F&& line) {
  std::vector<char> buf(std::size_t{1} << 20);
  std::size_t kept = 0;
  const auto emit = [&](const char* p, std::size_t n) {
    if (n > 0 && p[n - 1] == '\r') --n;
    line(std::string_view(p, n));
  };
  for (;;) {
    if (kept == buf.size()) buf.resize(buf.size() * 2);  // one line longer than the buffer
    const std::size_t n = std::fread(buf.data() + kept, 1, buf.size() - kept, f);
    const std::size_t end = kept + n;
    const char* p = buf.data();
    std::size_t at = 0;
    while (const void* lf = std::memchr(p + at, '\n', end - at)) {
      const auto stop = static_cast<std::size_t>(static_cast<const char*>(lf) - p);
      emit(p + at, stop - at);
      at = stop + 1;
    }
    if (n == 0) {
      if (at < end) emit(p + at, end - at);
      return std::ferror(f) == 0;
    }
    std::memmove(buf.data(), buf.data() + at, end - at);
    kept = end - at;
  }
}

// Opens a file to read; a file being renamed into place cannot be opened for a
// moment on Windows, so a failure other than a missing file is tried again.
std::FILE* open_read(const std::string& path) {
  std::FILE* f = nullptr;
  for (int attempt = 0; attempt < 10; ++attempt) {
    f = std::fopen(path.c_str(), "rb");
    if (f != nullptr || errno == ENOENT) break;
    plat::sleep_ms(20);
  }
  return f;
}

// ---- The state file and the check -----------------------------------------

using State = std::map<std::string, std::string, std::less<>>;

std::string get(const State& s, const char* key, const char* none = "") {
  const auto it = s.find(key);
  return it == s.end() || it->second.empty() ? none : it->second;
}

// Reads key=value lines; other keys than ours are kept and never looked at.
// Returns "" or what is wrong with the file.
std::string read_state(const std::string& path, State& s) {
  std::FILE* f = open_read(path);
  if (f == nullptr) return std::string("cannot read ") + path + ": " + std::strerror(errno);
  std::string wrong;
  std::size_t bytes = 0;
  int number = 0;
  const bool read = each_line(f, [&](std::string_view line) {
    ++number;
    bytes += line.size() + 1;
    const std::size_t eq = line.find('=');
    if (!wrong.empty() || line.empty()) return;
    if (bytes > kStateMax) {
      wrong = "larger than 64 KB";
    } else if (eq == std::string_view::npos || eq == 0) {
      wrong = "line " + std::to_string(number) + " is no key=value line";
    } else {
      s[std::string(line.substr(0, eq))] = std::string(line.substr(eq + 1));
    }
  });
  std::fclose(f);
  if (!read) return "cannot read " + path;
  if (wrong.empty()) {
    std::uint64_t n = 0;
    const std::string state = get(s, "state");
    const std::string gateway = get(s, "gateway");
    if (!parse_count(get(s, "pid"), n) || n == 0 || n > 0x7FFFFFFF) {
      wrong = "no valid pid";
    } else if (state != "starting" && state != "ready" && state != "stopping" &&
               state != "stopped") {
      wrong = "no valid state";
    } else if (gateway != "up" && gateway != "down" && gateway != "unknown") {
      wrong = "no valid gateway";
    } else if (!parse_count(get(s, "answers_waiting"), n) ||
               !parse_count(get(s, "gateway_down_local", "0"), n)) {
      wrong = "no valid answers_waiting or gateway_down_local";
    }
  }
  return wrong.empty() ? "" : path + " is malformed: " + wrong;
}

// Reasons are added worst first, and all of them said.
struct Verdict {
  int code = kOk;
  std::string why;
  void add(int c, const std::string& text) {
    code = c > code ? c : code;
    why += (why.empty() ? "" : "; ") + text;
  }
};

// A time as the service writes it ("YYYY/MM/DD HH:MM:SS", local time); 0 for none.
std::time_t local_time_of(const std::string& text) {
  std::tm t{};
  if (std::sscanf(text.c_str(), "%d/%d/%d %d:%d:%d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour,
                  &t.tm_min, &t.tm_sec) != 6) {
    return 0;
  }
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  t.tm_isdst = -1;
  const std::time_t at = std::mktime(&t);
  return at == static_cast<std::time_t>(-1) ? 0 : at;
}

// The state of a service that has not written it for this long is not believed:
// it writes it at least once a minute while it lives.
constexpr std::time_t kStaleSeconds = 180;

Verdict judge(const State& s, bool running) {
  Verdict v;
  const std::string state = get(s, "state");
  const std::string written = get(s, "updated", "an unknown time");
  if (state == "stopped") {
    v.add(kCritical, "stopped at " + written);
    return v;
  }
  if (!running) {
    v.add(kCritical, "not running: process " + get(s, "pid") + " is gone, its state (" + state +
                         ") was written at " + written);
    return v;
  }
  // A living service writes its state at least once a minute.
  const std::time_t at = local_time_of(get(s, "updated"));
  if (at != 0 && std::time(nullptr) - at > kStaleSeconds) {
    v.add(kCritical, "hung: its state was last written at " + written);
  }
  std::uint64_t waiting = 0;
  std::uint64_t local = 0;
  parse_count(get(s, "answers_waiting"), waiting);
  parse_count(get(s, "gateway_down_local", "0"), local);
  const std::string gateway = get(s, "gateway");
  const std::string since = get(s, "gateway_since", "an unknown time");
  if (gateway == "down") {
    v.add(kCritical, "gateway down since " + since + ", " +
                         plural(local, "local pre-authorisation", "local pre-authorisations"));
  }
  if (waiting > 0) {
    v.add(kWarning, plural(waiting, "answer", "answers") + " waiting to be published");
  }
  if (state == "waiting_root") {
    v.add(kWarning, "its root " + get(s, "root") + " is missing: looked for every second");
  }
  if (state == "starting") {
    v.add(kWarning,
          "starting since " + get(s, "started", written.c_str()) + ", not yet watching its root");
  }
  if (state == "stopping") v.add(kWarning, "stopping since " + written);
  if (v.why.empty()) {
    v.add(kOk,
          gateway == "up" ? "ready, gateway up since " + since : "ready, gateway not asked yet");
  }
  return v;
}

// A counter of the state file in words: "3 answers"; a missing one is 0.
std::string counted(const State& s, const char* key, const char* one, const char* many) {
  std::uint64_t n = 0;
  parse_count(get(s, key, "0"), n);
  return plural(n, one, many);
}

void print_details(const State& s, bool running) {
  const auto line = [](const char* label, const std::string& text) {
    std::printf("%-12s %s\n", label, zel::cp1252_to_utf8(text).c_str());
  };
  line("service:", get(s, "state") + ", started " + get(s, "started", "at an unknown time") +
                       " (zelclient " + get(s, "version", "?") + ", process " + get(s, "pid") +
                       (get(s, "state") == "stopped" ? ")"
                        : running                    ? " running)"
                                                     : " gone)"));
  line("root:", get(s, "root", "unknown"));
  const std::string gateway = get(s, "gateway");
  line("gateway:",
       gateway == "unknown"
           ? "not asked yet"
           : gateway + " since " + get(s, "gateway_since", "?") +
                 (gateway == "up" ? ""
                                  : ", " +
                                        counted(s, "gateway_down_local", "local pre-authorisation",
                                                "local pre-authorisations") +
                                        " meanwhile"));
  const std::string last = get(s, "last_answer");
  line("answered:", get(s, "answered_gateway", "0") + " by the gateway, " +
                        get(s, "answered_local", "0") + " locally, " +
                        get(s, "answered_error", "0") + " with an error" +
                        (last.empty() ? "" : "; the last at " + last));
  line("waiting:", counted(s, "answers_waiting", "answer", "answers") + " to publish, " +
                       counted(s, "exchanges_in_flight", "exchange", "exchanges") + " in flight");
  line("dropped:", counted(s, "not_delivered", "answer", "answers") + " not delivered, " +
                       counted(s, "refused", "request name", "request names") + " refused");
  line("last number:", get(s, "last_number", "none"));
  line("journal:",
       counted(s, "journal_lines", "line", "lines") + " of " + get(s, "journal_year", "this year"));
  line("written:", get(s, "updated", "unknown"));
}

int check(const Options& o) {
  const std::string path = join(o.dir, "zelclient.state");
  State s;
  const std::string wrong = path.empty() ? "directory name too long" : read_state(path, s);
  if (!wrong.empty()) {
    std::printf("ZELCLIENT UNKNOWN - %s\n", zel::cp1252_to_utf8(wrong).c_str());
    return kUnknown;
  }
  const bool running =
      get(s, "state") != "stopped" && zs::zelclient_running(std::stol(get(s, "pid")));
  const Verdict v = judge(s, running);
  std::printf("ZELCLIENT %s - %s\n", kVerdicts[v.code], v.why.c_str());
  print_details(s, running);
  return v.code;
}

// ---- The journal as CSV -------------------------------------------------------

// An authorisation number by what orders it: the year, then the sequence; the
// letter before them (G or I, who could be reached) is not part of the order.
struct Ordinal {
  std::uint64_t year = 0, sequence = 0;
  auto operator<=>(const Ordinal&) const = default;
};

// "G20260000017", or without its letter; at least one digit after the year.
bool parse_number(std::string_view s, Ordinal& out) {
  if (!s.empty() && s[0] >= 'A' && s[0] <= 'Z') s.remove_prefix(1);
  return s.size() >= 5 && parse_count(s.substr(0, 4), out.year) &&
         parse_count(s.substr(4), out.sequence);
}

// A log line's time "YYYY/MM/DD HH:MM:SS" as the number YYYYMMDDHHMMSS; 0 when
// the line does not start with one and a tab.
std::uint64_t log_time(std::string_view line) {
  static constexpr char kShape[] = "0000/00/00 00:00:00\t";
  if (line.size() < sizeof kShape - 1) return 0;
  std::uint64_t t = 0;
  for (std::size_t i = 0; i + 1 < sizeof kShape; ++i) {
    const char c = line[i];
    if (kShape[i] != '0' && c != kShape[i]) return 0;
    if (kShape[i] != '0') continue;
    if (c < '0' || c > '9') return 0;
    t = t * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return t;
}

std::string time_text(std::uint64_t t) {
  if (t == 0) return {};
  char text[32];
  std::snprintf(text, sizeof text, "%04u/%02u/%02u %02u:%02u:%02u",
                static_cast<unsigned>(t / 10000000000), static_cast<unsigned>(t / 100000000 % 100),
                static_cast<unsigned>(t / 1000000 % 100), static_cast<unsigned>(t / 10000 % 100),
                static_cast<unsigned>(t / 100 % 100), static_cast<unsigned>(t % 100));
  return text;
}

// "YYYY/MM/DD" as YYYYMMDD; 0 when it is no day.
std::uint64_t parse_day(const std::string& day) {
  const std::uint64_t t = log_time(day + " 00:00:00\t");
  const std::uint64_t month = t / 100000000 % 100, mday = t / 1000000 % 100;
  return day.size() == 10 && month >= 1 && month <= 12 && mday >= 1 && mday <= 31 ? t / 1000000 : 0;
}

using FirstLogged = std::unordered_map<std::string, std::uint64_t>;

// The local authorisation number the service's own lines about one show (a
// letter, then the year and the sequence: 11 digits or more), with the earliest
// time of such a line: the answer's line ("pre-autorizacion local [...]"), the F52
// a local answer is given (the last put of a field list being built), or the
// number a WARNING names ("numero [...]"); a terminal's tag before the text, with
// several exchanges at once, is passed over. Request and reply texts, which also
// reach the log, never give a number its time.
void scan_log(std::string_view line, FirstLogged& first) {
  const std::uint64_t t = log_time(line);
  if (t == 0) return;
  const std::size_t message = line.find('\t', 20);
  if (message == std::string_view::npos) return;
  std::string_view text = line.substr(message + 1);
  const std::size_t tag = text.rfind('[', 0) == 0 ? text.find("] ") : std::string_view::npos;
  if (tag != std::string_view::npos) text.remove_prefix(tag + 2);
  std::size_t at = std::string_view::npos;
  if (text.rfind("ZEL_TranPutfield ", 0) == 0 && text.rfind("|F52=") != std::string_view::npos) {
    at = text.rfind("|F52=") + 5;
  } else if (text.rfind("ZELClient_Process ", 0) == 0) {
    for (const std::string_view mark : {" numero [", " pre-autorizacion local ["}) {
      const std::size_t found = text.find(mark);
      if (found != std::string_view::npos) at = found + mark.size();
    }
  }
  if (at == std::string_view::npos || at >= text.size()) return;
  if (text[at] != 'G' && text[at] != 'I') return;
  std::size_t end = at + 1;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
  if (end - at - 1 < 11) return;
  const auto [it, added] = first.try_emplace(std::string(text.substr(at, end - at)), t);
  if (!added && t < it->second) it->second = t;
}

using Causes = std::unordered_map<std::string, std::string>;

// A line of the causes record beside the journal, "number|cause|YYYY/MM/DD HH:MM:SS":
// why the local answer was given, and when (its time counts as a log line's).
void scan_cause(std::string_view line, Causes& causes, FirstLogged& first) {
  const std::size_t a = line.find('|');
  const std::size_t b = a == std::string_view::npos ? a : line.find('|', a + 1);
  if (b == std::string_view::npos) return;
  const std::string number(line.substr(0, a));
  causes[number] = std::string(line.substr(a + 1, b - a - 1));
  const std::uint64_t t = log_time(std::string(line.substr(b + 1)) + "\t");
  if (t != 0) first[number] = t;  // the record's time wins over any log line's
}

// The journal line's fields: the request's G01, G04 and G08, read as the service
// reads them for its answers (the first occurrence of the name), so that the CSV
// and the answer name the same prescription; and the last G41 and G52, which are
// the service's own (appended after the terminal's fields).
struct Row {
  std::string pharmacy, prescription, beneficiary;
  std::string_view terminal, number;
};

Row parse_row(std::string_view line) {
  Row r;
  const std::string text(line);
  for (const auto& [name, into] : {std::pair{"G01", &r.pharmacy}, std::pair{"G04", &r.prescription},
                                   std::pair{"G08", &r.beneficiary}}) {
    zel::Text<kSharedValueCapacity> value;
    zel::TextRef ref = value;
    if (ZEL_TranGetField(text.c_str(), name, &ref) != nullptr) *into = value.c_str();
  }
  while (!line.empty()) {
    const std::size_t bar = line.find('|');
    const std::string_view field = line.substr(0, bar);
    line = bar == std::string_view::npos ? std::string_view() : line.substr(bar + 1);
    if (field.size() < 4 || field[3] != '=') continue;
    const std::string_view name = field.substr(0, 3), value = field.substr(4);
    if (name == "G41") r.terminal = value;
    if (name == "G52") r.number = value;
  }
  return r;
}

// A CSV value (RFC 4180), in UTF-8: quoted when it holds a comma, a quote or a
// line break, its quotes doubled. A value that a spreadsheet would take for a
// formula (it begins with =, +, -, @, a tab or a carriage return) begins with a
// quote instead, and no control byte goes out as it is: shown as \xNN.
void put_value(std::string& out, std::string_view value) {
  std::string shown =
      !value.empty() && std::string_view("=+-@\t\r").find(value[0]) != std::string_view::npos ? "'"
                                                                                              : "";
  for (const char c : value) {
    char escaped[4];
    shown.append(escaped, zel::escape_control(static_cast<unsigned char>(c), escaped));
  }
  const std::string v = zel::cp1252_to_utf8(shown);
  if (v.find_first_of(",\"\r\n") == std::string::npos) {
    out += v;
    return;
  }
  out += '"';
  for (const char c : v) out.append(c == '"' ? 2 : 1, c);
  out += '"';
}

bool fail(const std::string& text) {
  std::fprintf(stderr, "zelstatus: %s\n", zel::cp1252_to_utf8(text).c_str());
  return false;
}

bool csv(const Options& o) {
  Ordinal from{0, 0}, to{UINT64_MAX, UINT64_MAX};
  const std::uint64_t day = o.day.empty() ? 0 : parse_day(o.day);
  if (!o.day.empty() && day == 0) return fail("--day " + o.day + ": not a day YYYY/MM/DD");
  FirstLogged first;
  Causes causes;
  if (std::FILE* c = open_read(join(o.dir, "zelcausas.txt"))) {
    each_line(c, [&](std::string_view line) { scan_cause(line, causes, first); });
    std::fclose(c);
  }
  if (day != 0 && o.logs.empty() && causes.empty()) {
    return fail(
        "--day needs --log or the causes record: a journal line holds no day, only they "
        "show when its number was given");
  }
  if (!o.from.empty() && !parse_number(o.from, from)) {
    return fail("--from " + o.from + ": not an authorisation number (G20260000017)");
  }
  if (!o.to.empty() && !parse_number(o.to, to)) {
    return fail("--to " + o.to + ": not an authorisation number (G20260000017)");
  }
  for (const std::string& log : o.logs) {
    std::FILE* f = log == "-" ? stdin : open_read(log);
    if (f == nullptr) return fail("cannot read " + log + ": " + std::strerror(errno));
    const bool read = each_line(f, [&](std::string_view line) { scan_log(line, first); });
    if (f != stdin) std::fclose(f);
    if (!read) return fail("cannot read " + log);
  }
  const std::string path = join(o.dir, "zelautoresp.txt");
  std::FILE* f = path.empty() ? nullptr : open_read(path);
  if (f == nullptr) return fail("cannot read the journal " + path + ": " + std::strerror(errno));
  std::string out = "pharmacy,prescription,beneficiary,terminal,number,logged_at,cause";
  out += kRowEnd;
  std::uint64_t undated = 0;
  const bool ranged = !o.from.empty() || !o.to.empty();
  const bool read = each_line(f, [&](std::string_view line) {
    if (line.empty()) return;
    const Row r = parse_row(line);
    Ordinal n;
    if (ranged && (!parse_number(r.number, n) || n < from || to < n)) return;
    const auto it = r.number.empty() ? first.end() : first.find(std::string(r.number));
    const std::uint64_t t = it == first.end() ? 0 : it->second;
    if (day != 0 && t == 0) ++undated;
    if (day != 0 && t / 1000000 != day) return;
    for (const std::string_view v : {std::string_view(r.pharmacy), std::string_view(r.prescription),
                                     std::string_view(r.beneficiary), r.terminal, r.number}) {
      put_value(out, v);
      out += ',';
    }
    out += time_text(t);
    out += ',';
    const auto cause = r.number.empty() ? causes.end() : causes.find(std::string(r.number));
    if (cause != causes.end()) put_value(out, cause->second);
    out += kRowEnd;
    if (out.size() > (std::size_t{1} << 16)) {
      std::fwrite(out.data(), 1, out.size(), stdout);
      out.clear();
    }
  });
  std::fclose(f);
  std::fwrite(out.data(), 1, out.size(), stdout);
  if (!read) return fail("cannot read the journal " + path);
  if (undated > 0) {
    fail(plural(undated, "journal line has", "journal lines have") +
         " no time in the log and no day: left out by --day");
  }
  return std::fflush(stdout) == 0 || fail("cannot write the output");
}

}  // namespace

int main(int argc, char** argv) {
  if (const int done = zel::help_or_version(argc, argv, "zelstatus", usage); done >= 0) return done;
  try {
    Options o;
    if (!parse(argc, argv, o)) {
      usage(stderr);
      return kUnknown;
    }
    return o.csv ? (csv(o) ? kOk : kUnknown) : check(o);
  } catch (const std::exception& e) {  // memory, mostly: a journal far beyond any real one
    std::fprintf(stderr, "zelstatus: %s\n", e.what());
    return kUnknown;
  }
}
