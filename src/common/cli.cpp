#include "common/cli.h"

#include <cstring>

int zel::help_or_version(int argc, char** argv, const char* program, void (*usage)(std::FILE*)) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      usage(stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("%s %s\n", program, ZEL_VERSION);
      return 0;
    }
  }
  return -1;
}
