#include "fileutil/textfile.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "platform/platform.h"

namespace zel {

std::size_t CrLfReader::translate(const char* in, std::size_t n, char* out) {
  std::size_t o = 0;
  std::size_t i = 0;
  if (heldCr_ && n > 0) {
    heldCr_ = false;
    if (in[0] == '\n') {
      out[o++] = '\n';
      i = 1;
    } else {
      out[o++] = '\r';
    }
  }
  for (; i < n; ++i) {
    if (in[i] != '\r') {
      out[o++] = in[i];
    } else if (i + 1 == n) {
      heldCr_ = true;
    } else if (in[i + 1] == '\n') {
      out[o++] = '\n';
      ++i;
    } else {
      out[o++] = '\r';
    }
  }
  return o;
}

std::size_t CrLfReader::finish(char* out) {
  if (!heldCr_) return 0;
  heldCr_ = false;
  out[0] = '\r';
  return 1;
}

std::size_t crlf_encode(std::string_view in, char* out) {
  std::size_t o = 0;
  for (const char c : in) {
    if (c == '\n') out[o++] = '\r';
    out[o++] = c;
  }
  return o;
}

}  // namespace zel

bool FILE_ReadFirstLine(const char* path, zel::TextRef line) {
  line.clear();
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return false;
  zel::CrLfReader reader;
  char raw[64];
  char text[sizeof raw + 1];
  bool done = false;
  while (!done) {
    const std::size_t n = std::fread(raw, 1, sizeof raw, f);
    std::size_t got = n > 0 ? reader.translate(raw, n, text) : reader.finish(text);
    if (n == 0) done = true;
    for (std::size_t k = 0; k < got; ++k) {
      if (text[k] == '\n' || text[k] == '\0' || !line.append(text[k])) {
        done = true;
        break;
      }
    }
  }
  std::fclose(f);
  return true;
}

long FILE_ReadRaw(const char* path, char* buf, std::size_t cap, bool* whole) {
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return -1;
  const std::size_t n = std::fread(buf, 1, cap, f);
  *whole = std::fgetc(f) == EOF;
  std::fclose(f);
  return static_cast<long>(n);
}

int FILE_AppendText(const char* path, std::string_view text) {
  std::FILE* f = std::fopen(path, "ab");
  if (f == nullptr) return -1;
  // The size before, to take a partly written text off again: on a full disk a
  // write can stop in the middle, and the next append would continue that line.
  const long before = std::fseek(f, 0, SEEK_END) == 0 ? std::ftell(f) : -1;
  char out[512];
  bool ok = true;
  while (ok && !text.empty()) {
    const std::string_view piece = text.substr(0, sizeof out / 2);
    const std::size_t n = zel::crlf_encode(piece, out);
    ok = std::fwrite(out, 1, n, f) == n;
    text.remove_prefix(piece.size());
  }
  ok = std::fflush(f) == 0 && ok;
  int e = errno;
  if (std::fclose(f) != 0 && ok) {
    ok = false;
    e = errno;
  }
  if (!ok && before >= 0) {
    std::error_code ec;  // best effort: the failure is reported either way
    std::filesystem::resize_file(path, static_cast<std::uintmax_t>(before), ec);
  }
  errno = e;
  return ok ? 0 : -1;
}

int FILE_ReplaceText(const char* path, std::string_view text) {
  char out[2 * 1024];
  if (text.size() > sizeof out / 2) {
    errno = EINVAL;
    return -1;
  }
  const std::size_t n = zel::crlf_encode(text, out);
  return plat::file_replace_atomic(path, out, n);
}
