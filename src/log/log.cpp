#include "log/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "common/number.h"
#include "platform/platform.h"

namespace {

FILE* g_stream = nullptr;
int g_lower = 1;
int g_upper = 300;
// The service has one thread; tools on the socket layer have several, whose
// lines must not interleave.
std::mutex g_lineLock;
// The tag of the calling thread's lines ("" none), e.g. the terminal whose
// exchange it runs, so lines of exchanges in flight together can be told apart.
thread_local const char* t_tag = "";

void close_file_stream() {
  if (g_stream != nullptr && g_stream != stdout) std::fclose(g_stream);
}

// Messages carry bytes from requests and replies. A control byte among them (a
// line feed, a carriage return, an escape sequence) is written as \xNN, so that
// one call always makes one line and nothing acts on a terminal showing the log.
void write_message(const char* message, std::size_t n) {
  char out[512];
  std::size_t o = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(message[i]);
    if (c < 0x20 || c == 0x7f) {
      static const char kHex[] = "0123456789ABCDEF";
      out[o++] = '\\';
      out[o++] = 'x';
      out[o++] = kHex[c >> 4];
      out[o++] = kHex[c & 0x0f];
    } else {
      out[o++] = static_cast<char>(c);
    }
    if (o > sizeof out - 4) {
      std::fwrite(out, 1, o, g_stream);
      o = 0;
    }
  }
  std::fwrite(out, 1, o, g_stream);
}

}  // namespace

int LOG_Open(int min, int max, char* setting) {
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
      g_stream = std::fopen(setting, "a");
    }
  }
  if (g_stream == nullptr) g_stream = stdout;
  g_lower = min;
  g_upper = max;
  return 0;
}

bool LOG_Enabled(int level) {
  return g_stream != nullptr && (level == 0 || (level >= g_lower && level <= g_upper));
}

int LOG_Print(int level, const char* format, ...) {
  if (format == nullptr || !LOG_Enabled(level)) return 0;

  std::tm local{};
  char stamp[20] = {};
  if (plat::local_time(std::time(nullptr), &local)) {
    std::strftime(stamp, sizeof stamp, "%Y/%m/%d %H:%M:%S", &local);
  }
  char name[8];
  const std::lock_guard<std::mutex> lock(g_lineLock);
  std::fprintf(g_stream, "%s\t", stamp);
  std::fprintf(g_stream, "%s\t", LOG_LevelName(level, name));
  if (t_tag[0] != '\0') std::fprintf(g_stream, "[%s] ", t_tag);
  if (format[0] != '\0') {
    // Room for the longest message the service makes (a text of the largest
    // buffer, 4 KiB, with its words); a longer one would be cut here.
    char message[16384];
    va_list ap;
    va_start(ap, format);
    const int n = std::vsnprintf(message, sizeof message, format, ap);
    va_end(ap);
    if (n > 0) {
      write_message(message, static_cast<std::size_t>(n) < sizeof message
                                 ? static_cast<std::size_t>(n)
                                 : sizeof message - 1);
    }
  }
  std::fputc('\n', g_stream);
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
  g_lower = 0;
  g_upper = 0;
}
