// "zelnumeros.txt" in the working folder: the highest authorisation number
// issued in each year, one "year=number" line a year, a record that only grows.
// It is kept apart from the journal (which operators archive and restore) and
// from the number file (renewed at every change of year), and the next number is
// always above all three: a restored journal, a deleted number file or a clock a
// year off never makes a number come again.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace zc {

// The highest number of year that the record holds, 0 when none (no record: Ok).
// Anything but Ok: the record is there and cannot be read.
plat::Status issued_highest(const plat::FileOps& fs, int year, std::int64_t* highest);

// Raises year's highest to number (never lowers it), flushed to the disk.
plat::Status issued_raise(const plat::FileOps& fs, int year, std::int64_t number);

}  // namespace zc
