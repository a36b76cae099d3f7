// Terminal files: exclusive opens, the Windows text format on disk, and the
// request buffer as the working copy of both operations.
#include "client/files.h"

#include <cerrno>
#include <cstring>

#include "client/config.h"
#include "client/layout.h"
#include "fileutil/textfile.h"
#include "log/log.h"
#include "platform/platform.h"

namespace {

constexpr std::size_t kChunk = 511;

struct ErrnoText {
  int value;
  const char* text;
};

constexpr ErrnoText kOpenErrors[] = {
    {ENOENT, "File or path not found."},
    {EACCES,
     "Given path is a directory, or file is read-only, but an open-for-writing operation was "
     "attempted"},
    {EEXIST, "_O_CREAT and _O_EXCL flags were specified, but filename already exists."},
    {EINVAL, "Invalid oflag or shflag argument."},
    {EMFILE, "No more file handles available."},
};

constexpr ErrnoText kWriteErrors[] = {
    {EBADF, "The file handle is invalid or the file is not opened for writing"},
    {ENOSPC, "There is not enough space left on the device for the operation."},
};

template <std::size_t N>
void log_errno(const ErrnoText (&table)[N], int value) {
  for (const ErrnoText& row : table) {
    if (row.value == value) {
      LOG_Print(LOG_CLI_ERROR, "ZELClient_WriteFileOutput errno=[%d] error=[%s]", value, row.text);
      return;
    }
  }
}

// Reads the whole file, translated, into out. false when the text would not
// fit in out (out then holds a part of it). A failed read ends the text.
bool read_translated(int fd, zel::TextRef out) {
  zel::CrLfReader reader;
  char chunk[kChunk + 1];
  char text[kChunk + 2];
  for (;;) {
    const long n = plat::file_read(fd, chunk, kChunk);
    const std::size_t got =
        n > 0 ? reader.translate(chunk, static_cast<std::size_t>(n), text) : reader.finish(text);
    // The text ends at a zero byte, as a terminated text does.
    if (!out.append(std::string_view(text, strnlen(text, got)))) return false;
    if (n <= 0) return true;
  }
}

}  // namespace

int ZELClient_ReadFileInput(const char* path) {
  LOG_Print(LOG_CLI_DEBUG, "ZELClient_ReadFileInput Entry");
  int result = -1;
  int cause = 0;
  const int fd = plat::file_open_exclusive_read(path);
  if (fd < 0) cause = errno;
  if (fd >= 0) {
    // Read into a staging copy, so that a refused request leaves the buffer as it was.
    zel::Text<kRequestCapacity> staged;
    if (read_translated(fd, staged)) {
      g_request.clear();
      g_request.assign(staged.view());
      result = 0;
    } else {
      cause = EFBIG;
      LOG_Print(LOG_CLI_ERROR,
                "ZELClient_ReadFileInput archivo [%s] mayor a %zu caracteres, no se lee", path,
                kRequestCapacity);
    }
    plat::file_close(fd);
  }
  LOG_Print(LOG_CLI_DEBUG, "ZELClient_ReadFileInput Exit");
  if (result != 0) errno = cause;  // the cause, past the log line's own calls
  return result;
}

int ZELClient_WriteFileOutput(const char* path, const char* answer) {
  LOG_Print(LOG_CLI_DEBUG, "ZELClient_WriteFileOutput Entry");
  const int fd = plat::file_open_exclusive_write(path);
  if (fd < 0) {
    const int e = errno;
    LOG_Print(1, "ZELClient_WriteFileOutput abriendo archivo [%s] de output", path);
    log_errno(kOpenErrors, e);
    LOG_Print(LOG_CLI_DEBUG, "ZELClient_WriteFileOutput Exit");
    return -1;
  }

  // The file is already emptied; an answer that does not fit is not written at
  // all rather than cut, so the terminal never finds a partial answer.
  bool fits = std::strlen(answer) <= kRequestCapacity;
  if (fits) {
    g_request.assign(answer);  // may overlap the request buffer: assign moves safely
    std::memset(g_request.data() + g_request.size(), 0, kRequestCapacity + 1 - g_request.size());
    fits = g_config.fixedLayout == 0 || ZELClient_FixedLayout(g_request);
  }
  if (!fits) {
    LOG_Print(LOG_CLI_ERROR,
              "ZELClient_WriteFileOutput respuesta mayor a %zu caracteres, no se escribe en [%s]",
              kRequestCapacity, path);
    plat::file_close(fd);
    LOG_Print(LOG_CLI_DEBUG, "ZELClient_WriteFileOutput Exit");
    return -1;
  }

  char disk[2 * kRequestCapacity];
  const std::size_t n = zel::crlf_encode(g_request.view(), disk);
  if (plat::file_write(fd, disk, n) < 0) {
    const int e = errno;
    LOG_Print(1, "ZELClient_WriteFileOutput _write");
    log_errno(kWriteErrors, e);
    plat::file_close(fd);
    LOG_Print(LOG_CLI_DEBUG, "ZELClient_WriteFileOutput Exit");
    return -1;
  }
  plat::file_close(fd);
  LOG_Print(LOG_CLI_DEBUG, "ZELClient_WriteFileOutput Exit");
  return 0;
}
