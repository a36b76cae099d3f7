// Terminal files: a request file into the request buffer, an answer text into an
// answer file; both opened exclusively, both in the Windows text format on disk.
#pragma once

// Reads path into the request buffer. 0 when the file was read; -1 when it was
// not (the buffer is then left as it was), with errno telling why: the open's
// errno (EACCES while another process holds the file), or EFBIG for a file over
// the buffer's capacity.
int ZELClient_ReadFileInput(const char* path);

// Writes answer (laid out when the fixed-layout flag is set) to path. The request
// buffer holds the written text afterwards. 0, or -1.
int ZELClient_WriteFileOutput(const char* path, const char* answer);
