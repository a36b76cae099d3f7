// The log lines that name the outcome of a file operation, in one table for
// every platform: the same outcome logs the same line on Linux and Windows.
#pragma once

#include "platform/platform.h"

// After a failed open of an answer file: "<fn> errno=[n] error=[text]" for the
// outcomes that have a row, nothing for the others.
void ZELClient_LogOpenFailure(const char* fn, plat::Status s);
// The same after a failed write.
void ZELClient_LogWriteFailure(const char* fn, plat::Status s);
// After a failed delete: "<fn> borrando archivo <name>, ubicacion erronea" for a
// file that is not there, "..., no pudo accederlo" for one that may not be
// removed, nothing for other outcomes. name is shown as given.
void ZELClient_LogDeleteFailure(const char* fn, const char* name, plat::Status s);

// A short text of the outcome for the service's own lines ("disco lleno", ...).
const char* ZELClient_StatusText(plat::Status s);
