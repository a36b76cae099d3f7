#include "platform/optionfile.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace plat {
namespace {

// Blanks cut at both ends, and the CR of a CR LF line end.
char* trim(char* s) {
  while (*s == ' ' || *s == '\t') ++s;
  char* end = s + std::strlen(s);
  while (end > s && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r')) --end;
  *end = '\0';
  return s;
}

// ZELCLIENT_NAME=VALUE: capitals, digits and underscores before the sign.
bool is_setting(const char* line) {
  static const char kPrefix[] = "ZELCLIENT_";
  if (std::strncmp(line, kPrefix, sizeof kPrefix - 1) != 0) return false;
  const char* p = line + sizeof kPrefix - 1;
  while ((*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9') || *p == '_') ++p;
  return *p == '=' && p > line + sizeof kPrefix - 1;
}

}  // namespace

bool OptionArgs::add(char* arg) {
  if (count >= kOptionArgsMax) return false;
  items[count++] = arg;
  return true;
}

bool parse_option_file(char* text, std::size_t size, OptionArgs& args, char* err, std::size_t cap) {
  if (size > kOptionFileMax) {
    std::snprintf(err, cap, "%s is longer than %u bytes", kOptionFileName,
                  static_cast<unsigned>(kOptionFileMax));
    return false;
  }
  text[size] = '\0';

  char* p = text;
  char* const end = text + size;
  if (size >= 3 && std::memcmp(p, "\xEF\xBB\xBF", 3) == 0) p += 3;  // a byte-order mark
  for (int line = 1; p < end; ++line) {
    char* eol = static_cast<char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    char* const next = eol != nullptr ? eol + 1 : end;
    if (eol != nullptr) *eol = '\0';
    char* option = trim(p);
    p = next;
    if (*option == '\0' || *option == '#') continue;
    if (is_setting(option)) {
      if (args.settingCount >= kOptionSettingsMax) {
        std::snprintf(err, cap, "%s holds more than %d settings", kOptionFileName,
                      kOptionSettingsMax);
        return false;
      }
      args.settings[args.settingCount++] = option;
      continue;
    }
    if (option[0] != '-' || std::isalnum(static_cast<unsigned char>(option[1])) == 0) {
      std::snprintf(err, cap,
                    "%s, line %d: an option such as -n NAME, or a setting such as "
                    "ZELCLIENT_CONCURRENCY=10, is expected",
                    kOptionFileName, line);
      return false;
    }
    char* value = option + std::strcspn(option, " \t");
    if (*value != '\0') *value++ = '\0';
    value = trim(value);
    const std::size_t len = std::strlen(value);
    if (len >= 2 && value[0] == '"' && value[len - 1] == '"') {
      value[len - 1] = '\0';
      ++value;
    }
    // "-nFARM" carries its value; "-n" alone has none.
    const bool attached = option[2] != '\0';
    if (*value == '\0' && !attached) {
      std::snprintf(err, cap, "%s, line %d: the option %s has no value", kOptionFileName, line,
                    option);
      return false;
    }
    if (!args.add(option) || (*value != '\0' && !args.add(value))) {
      std::snprintf(err, cap, "%s holds more than %d options", kOptionFileName, kOptionArgsMax);
      return false;
    }
  }
  return true;
}

}  // namespace plat
