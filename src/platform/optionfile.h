// The service's option file (zelclient.conf) split into arguments, as a command line
// gives them. It belongs to the Windows service's start-up, so it sits in platform/
// beside service.h; it is plain text work with no system call, so it is portable and
// compiled into both builds, where it is tested natively. win32/service.cpp reads the
// file and hands its text over.
#pragma once

#include <cstddef>

namespace plat {

inline constexpr char kOptionFileName[] = "zelclient.conf";
inline constexpr std::size_t kOptionFileMax = 8192;  // bytes; a longer file is refused
inline constexpr int kOptionArgsMax = 96;            // arguments of a whole service start
inline constexpr int kOptionSettingsMax = 24;        // ZELCLIENT_ settings of the file

// Arguments in order, as argv holds them, with room for argv's closing null pointer;
// and the settings (NAME=VALUE) the service's environment takes.
struct OptionArgs {
  char* items[kOptionArgsMax + 1] = {};
  int count = 0;
  char* settings[kOptionSettingsMax] = {};
  int settingCount = 0;
  bool add(char* arg);  // false when full
};

// Appends the options of the file's text (size bytes; text has room for one more, a
// terminator) to args. Each line that is not empty or a comment (#) is an option and its
// value: the rest of the line, trimmed, without its quotes; or a setting of the service's
// environment, ZELCLIENT_NAME=VALUE, trimmed. A UTF-8 byte-order mark is skipped. The text
// is changed in place and args point into it. Returns false with the reason in err (naming
// the file, and the line where there is one) for a file over kOptionFileMax bytes, a line
// that is neither, an option without a value, or args full.
bool parse_option_file(char* text, std::size_t size, OptionArgs& args, char* err, std::size_t cap);

}  // namespace plat
