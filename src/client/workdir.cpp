#include "client/workdir.h"

#include <cstdio>

#include "common/number.h"
#include "fileutil/textfile.h"
#include "log/log.h"
#include "platform/service.h"

namespace {

constexpr const char* kLockFile = "zelclient.pid";

// The process that holds the lock, as it wrote itself there; 0 when unknown.
long holder(const ZELClient& client) {
  zel::Text<24> line;
  FILE_ReadFirstLine(*client.files, kLockFile, line);
  return zel::to_int(line.c_str());
}

}  // namespace

bool zc::lock_workdir(ZELClient& client) {
  if (client.workLock != plat::kNoFile) return true;
  const plat::FileOps& fs = *client.files;
  const plat::Status s = fs.open(kLockFile, plat::OpenMode::Lock, &client.workLock);
  if (s == plat::Status::Ok) {
    zel::Text<24> pid;
    pid.format("%ld\n", plat::process_id());
    // Who holds it, for a second service to name; the hold itself is the lock's.
    fs.truncate(client.workLock, 0);
    fs.write(client.workLock, pid.c_str(), pid.size());
    return true;
  }
  client.workLock = plat::kNoFile;
  char folder[512] = ".";
  plat::current_dir(folder, sizeof folder);
  if (s != plat::Status::Busy) {
    LOG_Print(LOG_CLI_WARNING, "ZELClient_Init sin bloqueo de la carpeta de trabajo [%s]", folder);
    return true;
  }
  zel::Text<700> text;
  text.format("zelclient: otro zelclient (proceso %ld) ya trabaja en la carpeta %s", holder(client),
              folder);
  plat::start_refused(text.c_str());
  LOG_Print(0, "ZELClient_Init otro zelclient (proceso %ld) ya trabaja en la carpeta [%s]",
            holder(client), folder);
  return false;
}

void zc::close_workdir(ZELClient& client) {
  for (plat::FileHandle* f : {&client.inflight, &client.workLock, &client.rootLock}) {
    if (*f != plat::kNoFile) client.files->close(*f);
    *f = plat::kNoFile;
  }
}
