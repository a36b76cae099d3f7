// --help and --version, said alike by every program of the project.
#pragma once

#include <cstdio>

namespace zel {

// When the command line asks for --help or --version: prints the usage (usage
// writes it to the stream it is given) or "program VERSION" on standard output
// and returns 0, the exit status; otherwise -1.
int help_or_version(int argc, char** argv, const char* program, void (*usage)(std::FILE*));

}  // namespace zel
