// The yearly authorisation sequence: the year file "anio.txt" and the number file
// "nroaut.txt" in the working directory, both replaced in one step so a reader
// only ever sees a whole old or a whole new content. A number is never issued
// twice: it is stored before the answer that carries it goes out (and given back
// if that answer is not given), the number file is deleted at a change of year
// only once the new year is stored, and the highest number of a year that the
// journal holds or this run issued is a floor for that year (a restored or
// deleted number file, a clock set back and forward again).
#pragma once

#include <ctime>

#include "client/context.h"

namespace zc {

// At start: the floor of the year of now, read from the journal so that the first
// answer does not pay for it, and a WARNING when the working folder takes no new file.
void sequence_start(ZELClient& client, std::time_t now);
// The next number of the year of now (local time), nothing stored yet: the year
// file renewed at a change of year, the number above the number file's and the
// year's floor.
SequenceNumber next_number(ZELClient& client, std::time_t now);
// Stores it in the number file; false, logged with its reason, when that cannot
// be done in any way: no answer may then carry it.
bool store_number(ZELClient& client, SequenceNumber& taken);
// The answer carrying the number was given and journalled: the year's floor.
void keep_number(ZELClient& client, const SequenceNumber& taken);
// It was not: the number file gets its earlier content back, unless a later
// number has been stored since (this one is then a gap, never a repeat).
void return_number(ZELClient& client, const SequenceNumber& taken);

}  // namespace zc
