#include "client/issued.h"

#include <cinttypes>
#include <cstdlib>

#include "common/text.h"
#include "fileutil/textfile.h"

namespace {

constexpr const char* kIssuedFile = "zelnumeros.txt";
// Years kept: the most recent ones. A clock set back further than this is a
// change that the journal and the number file still bound.
constexpr int kYearsKept = 16;

struct Year {
  int year = 0;
  std::int64_t highest = 0;
};

struct Record {
  Year years[kYearsKept];
  int count = 0;

  // The year's entry, made in place of the oldest when the record is full.
  Year& of(int year) {
    Year* oldest = &years[0];
    for (int i = 0; i < count; ++i) {
      if (years[i].year == year) return years[i];
      if (years[i].year < oldest->year) oldest = &years[i];
    }
    Year& y = count < kYearsKept ? years[count++] : *oldest;
    y = Year{year, 0};
    return y;
  }
};

// Reads the record's lines; a line that is no "year=number" is skipped.
plat::Status load(const plat::FileOps& fs, Record& r) {
  char raw[kYearsKept * 40];
  bool whole = false;
  plat::Status opened = plat::Status::Ok;
  const long n =
      FILE_ReadRaw(fs, kIssuedFile, raw, sizeof raw - 1, &whole, plat::OpenMode::Read, &opened);
  if (n < 0) return opened == plat::Status::NotFound ? plat::Status::Ok : opened;
  raw[n] = '\0';
  for (char* line = raw; *line != '\0';) {
    char* end = nullptr;
    const long year = std::strtol(line, &end, 10);
    if (end != line && *end == '=' && year > 0 && year < 100000) {
      const std::int64_t number = std::strtoll(end + 1, nullptr, 10);  // 0 without digits
      if (number > 0) {
        Year& y = r.of(static_cast<int>(year));
        if (number > y.highest) y.highest = number;
      }
    }
    while (*line != '\0' && *line != '\n') ++line;
    if (*line == '\n') ++line;
  }
  return plat::Status::Ok;
}

}  // namespace

plat::Status zc::issued_highest(const plat::FileOps& fs, int year, std::int64_t* highest) {
  Record r;
  const plat::Status s = load(fs, r);
  *highest = 0;
  for (int i = 0; i < r.count; ++i) {
    if (r.years[i].year == year) *highest = r.years[i].highest;
  }
  return s;
}

plat::Status zc::issued_raise(const plat::FileOps& fs, int year, std::int64_t number) {
  Record r;
  const plat::Status s = load(fs, r);
  if (s != plat::Status::Ok) return s;
  Year& y = r.of(year);
  if (number <= y.highest) return plat::Status::Ok;
  y.highest = number;
  zel::Text<kYearsKept * 40> text;
  for (int i = 0; i < r.count; ++i) {
    text.appendf("%d=%" PRId64 "\n", r.years[i].year, r.years[i].highest);
  }
  return FILE_ReplaceText(fs, kIssuedFile, text.view());
}
