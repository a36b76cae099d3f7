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
// and how many of its lines are of that year. read: anything but Ok is a journal
// that is there and cannot be read, which bounds nothing.
struct JournalYear {
  std::int64_t highest = 0;
  std::uint64_t lines = 0;
  plat::Status read = plat::Status::Ok;
};
JournalYear journal_year(const ZELClient& client, int year);

// Records why the local answer with the number was given, in "zelcausas.txt"
// beside the journal (number|cause|time): the journal's own format stays.
void journal_cause(ZELClient& client, const char* authorisation, Cause cause);

// Appends the request as one line, with G41 set to the terminal's name and G52 to
// the authorisation number (any G41 or G52 the request brought is taken out: the
// line's are the service's own) and each control byte shown as \xNN (a request
// with line ends in it is still one record), flushed to the disk before the
// answer that carries the number goes out; a line that cannot be written whole
// is logged and leaves nothing behind.
plat::Status journal_append(ZELClient& client, std::string_view request, const char* terminal,
                            const char* authorisation);

}  // namespace zc
