// The system's text for a Windows error code (GetLastError, Windows Sockets),
// shared by the Windows layer's files.
#pragma once

#include <cstddef>

namespace plat {

void describe_error(unsigned long code, char* out, std::size_t cap);

}  // namespace plat
