// The answer journal "zelautoresp.txt" in the working directory: one line per
// local pre-authorisation. Its existence switches the life signal on.
#pragma once

#include <cstdint>
#include <string_view>

#include "client/context.h"

namespace zc {

bool journal_exists(const ZELClient& client);

// True when one of the journal's last lines holds the authorisation number (a
// line appended before a crash, looked for at the restart that follows).
bool journal_has(const ZELClient& client, const char* authorisation);

// The highest number the journal holds for year (the last G52 of each line), or
// 0: a floor for the sequence that no restored or deleted number file lowers;
// and how many of its lines are of that year.
struct JournalYear {
  std::int64_t highest = 0;
  std::uint64_t lines = 0;
};
JournalYear journal_year(const ZELClient& client, int year);

// Appends the request's first line with G52 set to the authorisation number;
// a line that cannot be written whole is logged and leaves nothing behind.
// Records why the local answer with the number was given, in "zelcausas.txt"
// beside the journal (number|cause|time): the journal's own format stays.
void journal_cause(ZELClient& client, const char* authorisation, Cause cause);

plat::Status journal_append(ZELClient& client, std::string_view request, const char* authorisation);

}  // namespace zc
