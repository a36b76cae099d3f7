// The metrics file (ZELCLIENT_METRICS_FILE), in the text format of a metrics
// collector's text-file directory: every series labelled with the instance
// (instance_name, from ZELCLIENT_INSTANCE or the -n name), so that several
// services' files sit in one directory; LF line ends, no timestamps, one unit per
// family, every label value there from the start.
#pragma once

#include <cstdint>

#include "client/context.h"

namespace zc {

// Writes the metrics file; true when there is none to write. waiting: answers
// waiting to be published; inFlight: exchanges on workers.
bool write_metrics(ZELClient& client, int waiting, int inFlight);

}  // namespace zc
