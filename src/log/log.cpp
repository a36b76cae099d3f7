#include "log/log.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "common/cp1252.h"
#include "common/number.h"
#include "common/text.h"
#include "platform/platform.h"

namespace {

FILE* g_stream = nullptr;
// What LOG_Enabled reads: the stream itself may change under the line lock.
bool g_open = false;
int g_lower = 1;
int g_upper = 300;
// The service's exchange workers and the tools on the socket layer write from
// several threads, whose lines must not interleave.
std::mutex g_lineLock;
// The tag of the calling thread's lines ("" none), e.g. the terminal whose
// exchange it runs, so lines of exchanges in flight together can be told apart.
thread_local const char* t_tag = "";

// The file and its rotation, changed under the line lock once lines are written.
// A longer name than the room here is one the system would not open either.
constexpr int kDefaultKeep = 5;
constexpr int kMaxKeep = 999;
char g_path[4096] = "";        // "": no file to reopen (standard output by choice)
std::uint64_t g_maxBytes = 0;  // 0: no rotation by size
int g_keep = kDefaultKeep;
bool g_rotating = false;   // g_maxBytes is set and the file is a regular one
std::uint64_t g_size = 0;  // bytes in the file: its size at open, plus each line
std::atomic<bool> g_reopen{false};
char g_from[sizeof g_path + 12];  // FILE.N, with room for any int N
char g_to[sizeof g_path + 12];

void close_file_stream() {
  if (g_stream != nullptr && g_stream != stdout) std::fclose(g_stream);
}

// A whole number from 1 to limit, digits only; 0 for anything else.
std::uint64_t whole_number(const char* text, std::uint64_t limit) {
  std::uint64_t v = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return 0;
    const auto d = static_cast<std::uint64_t>(*c - '0');
    if (v > (limit - d) / 10) return 0;
    v = v * 10 + d;
  }
  return v;
}

enum class Opened { File, Special, Failed };

// Opens g_path for appending, or else standard output, where the count starts
// again: a rotation tries the file again after another g_maxBytes, not at every
// line. Special: open, but no regular file (a device, a pipe, a link), which is
// never renamed.
Opened open_file() {
  // A log made anew is the service's alone: it shows requests and replies.
  plat::FileHandle made = plat::kNoFile;
  if (plat::system_files().open(g_path, plat::OpenMode::Append, &made) == plat::Status::Ok) {
    plat::system_files().close(made);
  }
  g_stream = std::fopen(g_path, "a");
  if (g_stream == nullptr) {
    g_stream = stdout;
    g_size = 0;
    return Opened::Failed;
  }
  plat::FileHandle f = plat::kNoFile;
  const bool regular =
      plat::system_files().open(g_path, plat::OpenMode::ReadRegular, &f) == plat::Status::Ok;
  if (regular) plat::system_files().close(f);
  const long at = std::fseek(g_stream, 0, SEEK_END) == 0 ? std::ftell(g_stream) : -1;
  g_rotating = regular && g_maxBytes > 0;
  // A size the stream cannot tell (over 2 GiB on Windows) is past any limit.
  g_size = at >= 0 ? static_cast<std::uint64_t>(at) : g_maxBytes;
  return regular ? Opened::File : Opened::Special;
}

// Standard output read by systemd's journal (JOURNAL_STREAM): each line then
// starts with its syslog priority, and its text is UTF-8, as the journal reads it
// (a log file keeps Windows-1252).
bool to_journal() {
  static const bool journal = std::getenv("JOURNAL_STREAM") != nullptr;
  return g_stream == stdout && journal;
}

// The syslog priority of a level: crit, err, warning, info, debug.
int priority(int level) {
  return level == 0 ? 2 : level < 24 ? 3 : level < 44 ? 4 : level < 64 ? 6 : 7;
}

// Messages carry bytes from requests and replies. A control byte among them (a
// line feed, a carriage return, an escape sequence) is written as \xNN, so that
// one call always makes one line and nothing acts on a terminal showing the log.
void write_message(const char* message, std::size_t n, bool utf8) {
  char out[512];
  std::size_t o = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(message[i]);
    if (utf8 && c >= 0x80) {
      char wide[3];
      const std::size_t k = zel::cp1252_to_utf8(c, wide);
      std::memcpy(out + o, wide, k);
      o += k;
    } else {
      char shown[4];
      const std::size_t k = zel::escape_control(c, shown);
      std::memcpy(out + o, shown, k);
      o += k;
    }
    if (o > sizeof out - 4) {
      std::fwrite(out, 1, o, g_stream);
      o = 0;
    }
  }
  if (o > 0) std::fwrite(out, 1, o, g_stream);
}

// The bytes a line takes in the file: the control bytes of the message escaped, and
// the line feed as the text stream stores it.
std::size_t line_bytes(const char* stamp, const char* name, const char* tag, const char* message,
                       std::size_t n) {
  std::size_t bytes = std::strlen(stamp) + 1 + std::strlen(name) + 1 + n + plat::kTextLineEndBytes;
  if (tag[0] != '\0') bytes += std::strlen(tag) + 3;
  char shown[4];
  for (std::size_t i = 0; i < n; ++i) {
    bytes += zel::escape_control(static_cast<unsigned char>(message[i]), shown) - 1;
  }
  return bytes;
}

void put_line(int level, const char* stamp, const char* name, const char* tag, const char* message,
              std::size_t n) {
  g_size += line_bytes(stamp, name, tag, message, n);
  const bool journal = to_journal();
  if (journal) std::fprintf(g_stream, "<%d>", priority(level));
  std::fprintf(g_stream, "%s\t", stamp);
  std::fprintf(g_stream, "%s\t", name);
  if (tag[0] != '\0') std::fprintf(g_stream, "[%s] ", tag);
  write_message(message, n, journal);
  std::fputc('\n', g_stream);
}

// A WARNING of the log's own about its file, written under the line lock.
void warn(const char* stamp, const char* format, ...) ZEL_PRINTF_LIKE(2, 3);
void warn(const char* stamp, const char* format, ...) {
  if (!LOG_Enabled(LOG_FILE_WARNING)) return;
  char message[sizeof g_to * 2 + 128];
  va_list ap;
  va_start(ap, format);
  const int n = std::vsnprintf(message, sizeof message, format, ap);
  va_end(ap);
  char name[8];
  put_line(LOG_FILE_WARNING, stamp, LOG_LevelName(LOG_FILE_WARNING, name), "", message,
           n < 0 ? 0 : std::strlen(message));
}

void report_open_failure(const char* stamp) {
  warn(stamp, "LOG_Print no se pudo abrir [%s], se escribe en la salida estandar", g_path);
}

// Asked for (SIGHUP) once the file was moved away: a file of the same name, appended.
void reopen(const char* stamp) {
  if (g_path[0] == '\0') return;
  close_file_stream();
  if (open_file() == Opened::Failed) report_open_failure(stamp);
}

bool move(const char* from, const char* to) {
  return std::rename(from, to) == 0 || errno == ENOENT;  // a gap in the series is no failure
}

// FILE.(keep-1) .. FILE.1 move one place up (FILE.keep goes), FILE becomes FILE.1,
// and FILE is opened anew. When a rename is refused the log goes on where it can
// (the file it has, else standard output) and counts from zero again: the next
// attempt comes after another g_maxBytes, not at every line.
void rotate(const char* stamp) {
  bool moved = true;
  if (g_stream != stdout) {  // else the last attempt could not open the file: only that
    std::snprintf(g_to, sizeof g_to, "%s.%d", g_path, g_keep);
    std::remove(g_to);  // std::rename does not replace a file on Windows
    for (int i = g_keep - 1; i >= 1 && moved; --i) {
      std::snprintf(g_from, sizeof g_from, "%s.%d", g_path, i);
      moved = move(g_from, g_to);
      if (moved) std::memcpy(g_to, g_from, sizeof g_to);
    }
    if (moved) {
      close_file_stream();  // Windows renames no open file
      g_stream = nullptr;
      moved = move(g_path, g_to);
      if (!moved) std::memcpy(g_from, g_path, sizeof g_path);
    }
  }
  if (g_stream == nullptr || g_stream == stdout) {
    if (open_file() == Opened::Failed) report_open_failure(stamp);
  }
  if (!moved) {
    g_size = 0;
    warn(stamp, "LOG_Print no se pudo renombrar [%s] como [%s], no se rota", g_from, g_to);
  }
}

}  // namespace

std::atomic<bool>* LOG_ReopenFlag() {
  return &g_reopen;
}

int LOG_Open(int min, int max, char* setting) {
  const char* badMax = nullptr;
  const char* badKeep = nullptr;
  Opened opened = Opened::Failed;
  if (setting != nullptr && setting[0] != '\0') {
    char* first = std::strchr(setting, ',');
    if (first != nullptr) {
      *first = '\0';
      char* second = std::strchr(first + 1, ',');
      if (second != nullptr) {
        *second = '\0';
        min = zel::to_int(first + 1);
        max = zel::to_int(second + 1);
      }
    }
    if (setting[0] != '\0') {
      close_file_stream();
      g_stream = nullptr;
      g_rotating = false;
      const char* maxText = std::getenv("ZELCLIENT_LOG_MAX_BYTES");
      const char* keepText = std::getenv("ZELCLIENT_LOG_KEEP");
      g_maxBytes = maxText != nullptr ? whole_number(maxText, std::uint64_t{1} << 62) : 0;
      if (maxText != nullptr && g_maxBytes == 0) badMax = maxText;
      g_keep = keepText != nullptr ? static_cast<int>(whole_number(keepText, kMaxKeep)) : 0;
      if (keepText != nullptr && g_keep == 0) badKeep = keepText;
      if (g_keep == 0) g_keep = kDefaultKeep;
      const std::size_t len = std::strlen(setting);
      g_path[0] = '\0';
      if (len < sizeof g_path) {
        std::memcpy(g_path, setting, len + 1);
        opened = open_file();
      }
    }
  }
  if (g_stream == nullptr) g_stream = stdout;
  g_lower = min;
  g_upper = max;
  g_open = true;
  if (badMax != nullptr) {
    LOG_Print(LOG_FILE_WARNING,
              "LOG_Open valor invalido ZELCLIENT_LOG_MAX_BYTES=[%s] ignorado, no se rota por "
              "tama\xF1o",
              badMax);
  }
  if (badKeep != nullptr) {
    LOG_Print(LOG_FILE_WARNING,
              "LOG_Open valor invalido ZELCLIENT_LOG_KEEP=[%s] ignorado, se usa %d", badKeep,
              kDefaultKeep);
  }
  if (opened == Opened::Special && g_maxBytes > 0) {
    LOG_Print(LOG_FILE_WARNING, "LOG_Open [%s] no es un archivo regular, no se rota por tama\xF1o",
              g_path);
  }
  return 0;
}

bool LOG_Enabled(int level) {
  return g_open && (level == 0 || (level >= g_lower && level <= g_upper));
}

int LOG_Print(int level, const char* format, ...) {
  if (format == nullptr || !LOG_Enabled(level)) return 0;

  std::tm local{};
  char stamp[20] = {};
  if (plat::local_time(std::time(nullptr), &local)) {
    std::strftime(stamp, sizeof stamp, "%Y/%m/%d %H:%M:%S", &local);
  }
  char name[8];
  LOG_LevelName(level, name);
  // Room for the longest message the service makes (a text of the largest
  // buffer, 4 KiB, with its words); a longer one would be cut here.
  char message[16384];
  std::size_t n = 0;
  if (format[0] != '\0') {
    va_list ap;
    va_start(ap, format);
    const int got = std::vsnprintf(message, sizeof message, format, ap);
    va_end(ap);
    if (got > 0) n = std::min(static_cast<std::size_t>(got), sizeof message - 1);
  }
  const std::lock_guard<std::mutex> lock(g_lineLock);
  if (g_reopen.exchange(false)) reopen(stamp);
  // A line is never split between two files: one that would not fit goes to the next.
  if (g_rotating && g_size > 0 &&
      g_size + line_bytes(stamp, name, t_tag, message, n) > g_maxBytes) {
    rotate(stamp);
  }
  put_line(level, stamp, name, t_tag, message, n);
  return std::fflush(g_stream);
}

void LOG_SetTag(const char* tag) {
  t_tag = tag != nullptr ? tag : "";
}

char* LOG_LevelName(int level, char* out) {
  out[0] = '\0';
  if (level == 0) {
    std::strcpy(out, "PANIC");
    return out;
  }
  if (level < 4 || level > 80) return out;
  static const int kOffsets[] = {0, 1, 6, 11, 13, 16};
  static const char* const kNames[] = {"ERROR", "WARNING", "INFO", "DEBUG"};
  for (int severity = 0; severity < 4; ++severity) {
    for (int offset : kOffsets) {
      if (level == 4 + 20 * severity + offset) {
        std::strcpy(out, kNames[severity]);
        return out;
      }
    }
  }
  return out;
}

void LOG_Close() {
  close_file_stream();
  g_stream = nullptr;
  g_open = false;
  g_path[0] = '\0';
  g_rotating = false;
  g_lower = 0;
  g_upper = 0;
}
