// Terminal files: the paths of a terminal's files in the root directory, a
// request file into the request buffer, an answer text into an answer file; both
// opened exclusively, both in the Windows text format on disk.
#pragma once

#include "client/context.h"

// "<root>/<terminal><suffix>" into path; false (path empty) when it does not fit.
bool ZELClient_TerminalPath(const ZELClient& client, const char* terminal, const char* suffix,
                            Path& path);

enum class RequestRead {
  Ok,       // read into the request buffer
  Busy,     // another process holds the file right now
  Denied,   // the name is no readable regular file (a link, a directory...)
  Missing,  // there is no such file
  TooLong,  // longer than the request buffer: not read
  Failed,   // any other failure
};

// Reads path into the request buffer; any other outcome than Ok leaves the buffer
// as it was.
RequestRead ZELClient_ReadFileInput(ZELClient& client, const char* path);

// Writes answer (laid out when the fixed-layout flag is set) to path, through
// the answer buffer, which holds the written text afterwards. 0, or -1.
int ZELClient_WriteFileOutput(ZELClient& client, const char* path, const char* answer);
