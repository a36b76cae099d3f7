#include "client/journal.h"

#include <cstring>

#include "fileutil/textfile.h"
#include "log/log.h"
#include "tran/fields.h"

namespace {
constexpr const char* kJournal = "zelautoresp.txt";
}  // namespace

bool ZELClient_JournalExists(const ZELClient& client) {
  return client.files->exists(kJournal) == plat::Status::Ok;
}

bool ZELClient_JournalHas(const ZELClient& client, const char* authorisation) {
  zel::Text<64> key;
  if (!key.format("G52=%s|", authorisation)) return false;
  const plat::FileOps& fs = *client.files;
  plat::FileHandle f = plat::kNoFile;
  if (fs.open(kJournal, plat::OpenMode::Read, &f) != plat::Status::Ok) return false;
  // Read in pieces, each searched together with the end of the one before, so a
  // key cut between two pieces is found too. Numbers never repeat within a year,
  // and the key holds the year.
  char buf[4096];
  std::size_t kept = 0;
  std::size_t n = 0;
  bool found = false;
  while (!found && fs.read(f, buf + kept, sizeof buf - kept, &n) == plat::Status::Ok && n > 0) {
    const std::string_view text(buf, kept + n);
    found = text.find(key.view()) != std::string_view::npos;
    kept = text.size() < key.size() ? text.size() : key.size();
    std::memmove(buf, buf + text.size() - kept, kept);
  }
  fs.close(f);
  return found;
}

void ZELClient_JournalAppend(ZELClient& client, std::string_view request,
                             const char* authorisation) {
  zel::Text<kRequestCapacity + 64> line(request.substr(0, request.find('\n')));
  ZEL_TranPutfield(line, "G52", authorisation);
  ZEL_TranEnd(line);
  line.append('\n');
  if (FILE_AppendText(*client.files, kJournal, line.view()) != plat::Status::Ok) {
    LOG_Print(LOG_CLI_ERROR, "ZELClient_GenAutoResponse no pudo escribir en zelautoresp.txt");
  }
}
