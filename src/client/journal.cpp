#include "client/journal.h"

#include "fileutil/textfile.h"
#include "log/log.h"
#include "tran/fields.h"

namespace {
constexpr const char* kJournal = "zelautoresp.txt";
}  // namespace

bool ZELClient_JournalExists(const ZELClient& client) {
  return client.files->exists(kJournal) == plat::Status::Ok;
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
