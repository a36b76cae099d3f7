// The log lines that name the outcome of a file operation, in one table for
// every platform: the same outcome logs the same line on Linux and Windows.
#pragma once

#include "platform/platform.h"

namespace zc {

// After a failed open of an answer file: "<fn> errno=[n] error=[text]" for the
// outcomes that have a row, nothing for the others.
void log_open_failure(const char* fn, plat::Status s);
// The same after a failed write.
void log_write_failure(const char* fn, plat::Status s);
// After a failed delete: "<fn> borrando archivo <name>, ubicacion erronea" for a
// file that is not there, "..., no pudo accederlo" for one that may not be
// removed, nothing for other outcomes. name is shown as given.
void log_delete_failure(const char* fn, const char* name, plat::Status s);

// A short text of the outcome for the service's own lines ("disco lleno", ...).
const char* status_text(plat::Status s);

}  // namespace zc
