// The Windows text format, in one place for every platform: on disk each line
// feed is stored as carriage return + line feed; in memory it is a line feed.
// Files are opened in binary mode everywhere and translated here.
#pragma once

#include <cstddef>
#include <string_view>

#include "common/text.h"
#include "platform/platform.h"

namespace zel {

// Reading: turns each CR LF into LF, also when the pair is split between two
// chunks (a CR at the end of a chunk is held back until the next one is seen).
class CrLfReader {
 public:
  // Translates n raw bytes into out, which must hold n + 1 bytes. Returns the
  // number of bytes put into out.
  std::size_t translate(const char* in, std::size_t n, char* out);
  // End of input: gives back a held CR (0 or 1 byte into out).
  std::size_t finish(char* out);

 private:
  bool heldCr_ = false;
};

// Writing: turns each LF into CR LF. out must hold 2 * in.size() bytes.
// Returns the number of bytes put into out.
std::size_t crlf_encode(std::string_view in, char* out);

}  // namespace zel

// Small files in the Windows text format (the answer journal, the year and
// number files), through the file operations given.

// Reads the first line: at most line.capacity() characters, cut before its
// first line feed. The open's outcome: anything but Ok leaves line empty.
plat::Status FILE_ReadFirstLine(const plat::FileOps& fs, const char* path, zel::TextRef line);

// Reads up to cap raw bytes of the file into buf. Returns the count, or -1 when
// the file cannot be opened (in mode; the open's outcome into *opened when
// given); *whole tells whether that was the whole file.
long FILE_ReadRaw(const plat::FileOps& fs, const char* path, char* buf, std::size_t cap,
                  bool* whole, plat::OpenMode mode = plat::OpenMode::Read,
                  plat::Status* opened = nullptr);

// Appends text to the file, created when missing, and flushes it to the disk
// when durable. A text that could not be written whole (or flushed) is taken off
// again, so the file holds whole texts only.
plat::Status FILE_AppendText(const plat::FileOps& fs, const char* path, std::string_view text,
                             bool durable = false);

// Replaces the file's content with text (at most 1024 characters) in one step: a
// temporary file beside it, flushed to the disk, renamed over it. A reader sees
// the old or the new content, never an empty or partial file. Where that cannot
// be done (the directory takes no new entry, the disk is full), an existing file
// is rewritten in place, never emptied on the way. A file that may not be written
// is not replaced either.
plat::Status FILE_ReplaceText(const plat::FileOps& fs, const char* path, std::string_view text);

// The same with bytes written as they are.
plat::Status FILE_ReplaceRaw(const plat::FileOps& fs, const char* path, const char* data,
                             std::size_t n);

// Replaced by rename only, not flushed to the disk, and readable by every
// account: for files that only tell what the service is doing (its state, its
// metrics), written often, rebuilt by it. (The others are the service's alone.)
plat::Status FILE_ReplaceTextQuick(const plat::FileOps& fs, const char* path,
                                   std::string_view text);
plat::Status FILE_ReplaceRawQuick(const plat::FileOps& fs, const char* path, const char* data,
                                  std::size_t n);
