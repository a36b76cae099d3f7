// The yearly authorisation sequence: the year file "anio.txt" and the number file
// "nroaut.txt" in the working directory, both replaced in one step so a reader
// only ever sees a whole old or a whole new content. A number is never issued
// twice: a new number is stored before the answer that carries it is written
// (and put back if that write fails), the number file is deleted at a change of
// year only once the new year is stored, and the last number issued in this run
// in each year is a floor for that year (also should the clock go back).
#pragma once

#include <cstdint>
#include <ctime>

#include "client/context.h"

// A number taken from the sequence, with what is needed to give it back.
struct SequenceNumber {
  int year = 0;
  std::int64_t number = 0;
  bool stored = false;  // the number file holds it
  // The number file as it was before, to put back if the answer is not written.
  char before[64] = {};
  long beforeSize = -1;  // -1: there was no number file
  bool beforeWhole = false;
  std::int64_t last = 0;
};

// Takes the next number of the year of now (local time) and stores it.
SequenceNumber ZELClient_TakeNumber(ZELClient& client, std::time_t now);
// The answer carrying the number was written: it is the year's floor from now on.
void ZELClient_KeepNumber(ZELClient& client, const SequenceNumber& taken);
// It was not: the number file gets its earlier content back, so that no terminal
// misses a number and no number is lost.
void ZELClient_ReturnNumber(ZELClient& client, const SequenceNumber& taken);
