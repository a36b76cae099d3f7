#include "fileutil/textfile.h"

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

plat::Status FILE_ReadFirstLine(const plat::FileOps& fs, const char* path, zel::TextRef line) {
  line.clear();
  plat::FileHandle f = plat::kNoFile;
  const plat::Status opened = fs.open(path, plat::OpenMode::Read, &f);
  if (opened != plat::Status::Ok) return opened;
  zel::CrLfReader reader;
  char raw[64];
  char text[sizeof raw + 1];
  bool done = false;
  while (!done) {
    std::size_t n = 0;
    if (fs.read(f, raw, sizeof raw, &n) != plat::Status::Ok) n = 0;
    const std::size_t got = n > 0 ? reader.translate(raw, n, text) : reader.finish(text);
    if (n == 0) done = true;
    for (std::size_t k = 0; k < got; ++k) {
      if (text[k] == '\n' || text[k] == '\0' || !line.append(text[k])) {
        done = true;
        break;
      }
    }
  }
  fs.close(f);
  return plat::Status::Ok;
}

long FILE_ReadRaw(const plat::FileOps& fs, const char* path, char* buf, std::size_t cap,
                  bool* whole, plat::OpenMode mode, plat::Status* opened) {
  plat::FileHandle f = plat::kNoFile;
  const plat::Status s = fs.open(path, mode, &f);
  if (opened != nullptr) *opened = s;
  if (s != plat::Status::Ok) return -1;
  std::size_t total = 0;
  std::size_t n = 1;
  while (total < cap && n > 0) {
    if (fs.read(f, buf + total, cap - total, &n) != plat::Status::Ok) n = 0;
    total += n;
  }
  char more = 0;
  *whole = fs.read(f, &more, 1, &n) != plat::Status::Ok || n == 0;
  fs.close(f);
  return static_cast<long>(total);
}

plat::Status FILE_AppendText(const plat::FileOps& fs, const char* path, std::string_view text,
                             bool durable) {
  plat::FileHandle f = plat::kNoFile;
  plat::Status s = fs.open(path, plat::OpenMode::Append, &f);
  if (s != plat::Status::Ok) return s;
  // The size before, to take a partly written text off again: on a full disk a
  // write can stop in the middle, and the next append would continue that line.
  std::uint64_t before = 0;
  const bool sized = fs.size(f, &before) == plat::Status::Ok;
  char out[512];
  while (s == plat::Status::Ok && !text.empty()) {
    const std::string_view piece = text.substr(0, sizeof out / 2);
    s = fs.write(f, out, zel::crlf_encode(piece, out));
    text.remove_prefix(piece.size());
  }
  if (s == plat::Status::Ok && durable) s = fs.sync(f);
  if (s != plat::Status::Ok && sized) fs.truncate(f, before);  // best effort
  const plat::Status closed = fs.close(f);
  return s != plat::Status::Ok ? s : closed;
}

namespace {

// A temporary file beside path, flushed to the disk (when durable), renamed over it.
plat::Status replace_by_rename(const plat::FileOps& fs, const char* path, const char* data,
                               std::size_t n, bool durable = true) {
  zel::Text<1023> temp;
  if (!temp.format("%s.tmp", path)) return plat::Status::Invalid;
  plat::FileHandle f = plat::kNoFile;
  // What only tells what the service does (its state, its metrics) may be read by
  // anyone; everything else the service keeps is its own.
  plat::Status s =
      fs.open(temp.c_str(), durable ? plat::OpenMode::Create : plat::OpenMode::CreatePublic, &f);
  if (s != plat::Status::Ok) return s;
  s = fs.write(f, data, n);
  if (s == plat::Status::Ok && durable) s = fs.sync(f);
  const plat::Status closed = fs.close(f);
  if (s == plat::Status::Ok) s = closed;
  if (s == plat::Status::Ok) s = fs.rename(temp.c_str(), path);
  if (s != plat::Status::Ok) {
    fs.remove(temp.c_str());
    return s;
  }
  if (durable) fs.sync_dir(path);  // the rename is made; its durability is best effort
  return plat::Status::Ok;
}

// The existing file rewritten where it stands: the new bytes over the old, the
// file cut to their length, then flushed. It is never emptied on the way, so a
// crash leaves the old content or the new one at its start; and it needs neither
// a new entry in the directory nor a new block on the disk when the new content
// is no longer than the old.
plat::Status rewrite_in_place(const plat::FileOps& fs, const char* path, const char* data,
                              std::size_t n) {
  plat::FileHandle f = plat::kNoFile;
  plat::Status s = fs.open(path, plat::OpenMode::Rewrite, &f);
  if (s != plat::Status::Ok) return s;
  s = fs.write(f, data, n);
  if (s == plat::Status::Ok) s = fs.truncate(f, n);
  if (s == plat::Status::Ok) s = fs.sync(f);
  const plat::Status closed = fs.close(f);
  return s != plat::Status::Ok ? s : closed;
}

}  // namespace

plat::Status FILE_ReplaceRaw(const plat::FileOps& fs, const char* path, const char* data,
                             std::size_t n) {
  plat::Status s = fs.writable(path);
  if (s != plat::Status::Ok) return s;
  s = replace_by_rename(fs, path, data, n);
  // A directory that takes no new entry (its owner's, immutable) or a full disk:
  // the file that is there is written instead.
  if (s != plat::Status::Ok && fs.exists(path) == plat::Status::Ok) {
    s = rewrite_in_place(fs, path, data, n);
  }
  return s;
}

plat::Status FILE_ReplaceRawQuick(const plat::FileOps& fs, const char* path, const char* data,
                                  std::size_t n) {
  return replace_by_rename(fs, path, data, n, false);
}

plat::Status FILE_ReplaceTextQuick(const plat::FileOps& fs, const char* path,
                                   std::string_view text) {
  char out[2 * 1024];
  if (text.size() > sizeof out / 2) return plat::Status::Invalid;
  return replace_by_rename(fs, path, out, zel::crlf_encode(text, out), false);
}

plat::Status FILE_ReplaceText(const plat::FileOps& fs, const char* path, std::string_view text) {
  char out[2 * 1024];
  if (text.size() > sizeof out / 2) return plat::Status::Invalid;
  return FILE_ReplaceRaw(fs, path, out, zel::crlf_encode(text, out));
}
