#include "client/termfiles.h"

#include <cstring>

#include "client/layout.h"
#include "client/outcomes.h"
#include "fileutil/path.h"
#include "fileutil/textfile.h"
#include "log/log.h"

namespace {

// A byte that no request holds: a control character other than the line ends
// and the tab.
constexpr char kCtrlZ = 0x1A;

bool foreign(unsigned char c) {
  return (c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F;
}

RequestRead read_result(plat::Status s) {
  switch (s) {
    case plat::Status::Ok:
      return RequestRead::Ok;
    case plat::Status::Busy:
      return RequestRead::Busy;
    case plat::Status::Denied:
      return RequestRead::Denied;
    case plat::Status::NotFound:
      return RequestRead::Missing;
    default:
      return RequestRead::Failed;
  }
}

}  // namespace

bool zc::own_change(const char* name, plat::ChangeKind kind) {
  const std::string_view n(name);
  const auto ends = [&](std::string_view suffix) {
    return n.size() >= suffix.size() && n.substr(n.size() - suffix.size()) == suffix;
  };
  if (n == "ZELCLIENT.lck" || ends(kTakenFile) || ends(kDecidedFile) || ends(kDecidedLocal) ||
      ends(".ajeno")) {
    return true;
  }
  return (kind == plat::ChangeKind::MovedFrom && ends(kRequestFile)) ||
         (kind == plat::ChangeKind::MovedTo && ends(kAnswerFile));
}

bool zc::terminal_path(const ZELClient& client, const char* terminal, const char* suffix,
                       Path& path) {
  zel::Text<63> name;
  path.clear();
  return name.format("%s%s", terminal, suffix) &&
         FILE_MakePath(path, {client.config.rootPath.c_str(), name.c_str()});
}

RequestRead zc::read_text(const ZELClient& client, const char* path, plat::OpenMode mode,
                          zel::TextRef out) {
  plat::FileHandle f = plat::kNoFile;
  const RequestRead opened = open_text(client, path, mode, &f);
  return opened == RequestRead::Ok ? read_open(client, f, out) : opened;
}

RequestRead zc::open_text(const ZELClient& client, const char* path, plat::OpenMode mode,
                          plat::FileHandle* f) {
  return read_result(client.files->open(path, mode, f));
}

RequestRead zc::read_open(const ZELClient& client, plat::FileHandle f, zel::TextRef out) {
  const plat::FileOps& fs = *client.files;
  // One byte more than a request may hold is read, and no more: a file however
  // large, sparse or growing costs no more than that. A read that gives less than
  // it was asked for has met the end (a regular file's read is short only there).
  char raw[kRequestCapacity + 1];
  std::size_t got = 0;
  for (;;) {
    const std::size_t asked = sizeof raw - got;
    std::size_t n = 0;
    if (asked == 0 || fs.read(f, raw + got, asked, &n) != plat::Status::Ok || n == 0) break;
    got += n;
    if (n < asked) break;
  }
  fs.close(f);
  // A Ctrl-Z ends a text file, as the Windows C runtime reads one (terminals of the DOS
  // age end their files so): what follows it is not read.
  const void* eof = std::memchr(raw, kCtrlZ, got);
  if (eof != nullptr) got = static_cast<std::size_t>(static_cast<const char*>(eof) - raw);
  const bool whole = got <= kRequestCapacity;
  if (!whole) got = kRequestCapacity;
  zel::CrLfReader reader;
  char text[kRequestCapacity + 2];
  std::size_t length = reader.translate(raw, got, text);
  length += reader.finish(text + length);
  out.clear();
  out.assign(std::string_view(text, strnlen(text, length)));  // a text ends at a zero byte
  if (!whole) return RequestRead::TooLong;
  for (std::size_t i = 0; i < got; ++i) {
    if (foreign(static_cast<unsigned char>(raw[i]))) return RequestRead::Foreign;
  }
  return RequestRead::Ok;
}

RequestRead ZELClient_ReadFileInput(ZELClient& client, const char* path, plat::FileHandle f,
                                    RequestRead opened) {
  LOG_Print(LOG_CLI_DEBUG, "ZELClient_ReadFileInput Entry");
  const RequestRead result =
      opened != RequestRead::Ok ? opened : zc::read_open(client, f, client.request);
  if (result == RequestRead::TooLong) {
    LOG_Print(LOG_CLI_ERROR,
              "ZELClient_ReadFileInput archivo [%s] mayor a %zu caracteres, no se lee entero", path,
              kRequestCapacity);
  }
  if (result == RequestRead::Foreign) {
    LOG_Print(LOG_CLI_ERROR,
              "ZELClient_ReadFileInput archivo [%s] con caracteres que una receta no lleva", path);
  }
  LOG_Print(LOG_CLI_DEBUG, "ZELClient_ReadFileInput Exit");
  return result;
}

bool zc::laid_out(const ZELClient& client, const char* answer, zel::Text<kRequestCapacity>& laid) {
  laid.clear();
  return laid.assign(answer) && (client.config.fixedLayout == 0 || ZELClient_FixedLayout(laid));
}

bool zc::answer_fits(ZELClient& client, const char* answer) {
  zel::Text<kRequestCapacity> laid;
  return zc::laid_out(client, answer, laid);
}

AnswerWrite zc::write_answer_file(ZELClient& client, const char* path, const char* answer) {
  const plat::FileOps& fs = *client.files;
  plat::FileHandle f = plat::kNoFile;
  // The file is the service's own and made anew: whatever stands by its name (an
  // earlier attempt, a link someone placed there) is removed, never written through.
  plat::Status opened = fs.open(path, plat::OpenMode::CreateNew, &f);
  if (opened == plat::Status::Exists &&
      (fs.remove(path) == plat::Status::Ok || zc::move_aside(client, path))) {
    opened = fs.open(path, plat::OpenMode::CreateNew, &f);
  }
  if (opened != plat::Status::Ok) return {AnswerWrite::Stage::Open, opened};

  // An answer that does not fit is not written at all rather than cut.
  zel::Text<kRequestCapacity>& text = client.answer;
  bool fits = std::strlen(answer) <= kRequestCapacity;
  if (fits) {
    text.assign(answer);  // may be the answer buffer itself: assign moves safely
    std::memset(text.data() + text.size(), 0, kRequestCapacity + 1 - text.size());
    fits = client.config.fixedLayout == 0 || ZELClient_FixedLayout(text);
  }
  plat::Status written = plat::Status::Invalid;
  if (fits) {
    char disk[2 * kRequestCapacity];
    written = fs.write(f, disk, zel::crlf_encode(text.view(), disk));
  }
  fs.close(f);
  if (written == plat::Status::Ok) return {AnswerWrite::Stage::Done, written};
  // Nothing of a failed answer stays: an empty or partial file decides nothing.
  fs.remove(path);
  return {fits ? AnswerWrite::Stage::Write : AnswerWrite::Stage::TooLong, written};
}

bool zc::move_aside(const ZELClient& client, const char* path) {
  zel::Text<sizeof(Path) + 32> aside;
  aside.format("%s.%lld.ajeno", path, static_cast<long long>(client.clock()));
  const plat::Status s = client.files->rename(path, aside.c_str());
  LOG_Print(LOG_CLI_ERROR, "ZELClient_Process [%s] no es del servicio: %s [%s]", path,
            s == plat::Status::Ok ? "se aparta como" : "no se pudo apartar a", aside.c_str());
  return s == plat::Status::Ok;
}

int ZELClient_WriteFileOutput(ZELClient& client, const char* path, const char* answer) {
  LOG_Print(LOG_CLI_DEBUG, "ZELClient_WriteFileOutput Entry");
  const AnswerWrite w = zc::write_answer_file(client, path, answer);
  switch (w.stage) {
    case AnswerWrite::Stage::Open:
      LOG_Print(1, "ZELClient_WriteFileOutput abriendo archivo [%s] de output", path);
      zc::log_open_failure("ZELClient_WriteFileOutput", w.status);
      break;
    case AnswerWrite::Stage::TooLong:
      LOG_Print(LOG_CLI_ERROR,
                "ZELClient_WriteFileOutput respuesta mayor a %zu caracteres, no se escribe en [%s]",
                kRequestCapacity, path);
      break;
    case AnswerWrite::Stage::Write:
      LOG_Print(1, "ZELClient_WriteFileOutput _write");
      zc::log_write_failure("ZELClient_WriteFileOutput", w.status);
      break;
    case AnswerWrite::Stage::Done:
      break;
  }
  LOG_Print(LOG_CLI_DEBUG, "ZELClient_WriteFileOutput Exit");
  return w.stage == AnswerWrite::Stage::Done ? 0 : -1;
}
