#include "client/sequence.h"

#include <cinttypes>

#include "client/issued.h"
#include "client/journal.h"
#include "client/outcomes.h"
#include "common/number.h"
#include "fileutil/textfile.h"
#include "log/log.h"

namespace {

constexpr const char* kYearFile = "anio.txt";
constexpr const char* kNumberFile = "nroaut.txt";
constexpr const char* kJournalFile = "zelautoresp.txt";
constexpr const char* kIssuedFile = "zelnumeros.txt";

// A record that is there and cannot be read: named once per number refused.
const char* unreadable(const char* file, plat::Status s) {
  LOG_Print(LOG_CLI_ERROR,
            "ZELClient_GenAutoResponse no se puede leer %s: %s; no se dan pre-autorizaciones "
            "locales",
            file, zc::status_text(s));
  return file;
}

// The year's floor: the highest number the journal, the record of numbers issued
// and this run hold for it. A year not known yet is read in the place of the
// oldest year known; nullptr (with the file named) when a record cannot be read,
// and nothing is kept then, so that it is read again next time.
IssuedNumber* floor_of(ZELClient& client, int year, const char** refused) {
  IssuedNumber* slot = &client.issued[0];
  for (IssuedNumber& i : client.issued) {
    if (i.year == year) return &i;
    if (i.year < slot->year) slot = &i;
  }
  const zc::JournalYear journal = zc::journal_year(client, year);
  if (journal.read != plat::Status::Ok) {
    *refused = unreadable(kJournalFile, journal.read);
    return nullptr;
  }
  std::int64_t issued = 0;
  const plat::Status s = zc::issued_highest(*client.files, year, &issued);
  if (s != plat::Status::Ok) {
    *refused = unreadable(kIssuedFile, s);
    return nullptr;
  }
  slot->year = year;
  slot->number = journal.highest > issued ? journal.highest : issued;
  // The journal's lines of the year, told to the operator, are counted on the way.
  if (year > client.observed.journalYear) {
    client.observed.journalYear = year;
    client.observed.journalLines = journal.lines;
  }
  return slot;
}

// The year of now in local time, as a number and in four digits ("%Y").
int local_year(std::time_t now, char (&text)[16]) {
  std::tm local{};
  plat::local_time(now, &local);
  std::strftime(text, sizeof text, "%Y", &local);
  return local.tm_year + 1900;
}

// The C library's atoi rules (leading blanks, optional sign, digits), without its
// overflow: the value stops growing at a bound far beyond any real sequence.
std::int64_t atoi_rules(const char* s) {
  while (*s == ' ' || (*s >= '\t' && *s <= '\r')) ++s;
  const bool negative = *s == '-';
  if (*s == '-' || *s == '+') ++s;
  std::int64_t v = 0;
  for (; *s >= '0' && *s <= '9'; ++s) {
    if (v < INT64_C(100000000000000000)) v = v * 10 + (*s - '0');
  }
  return negative ? -v : v;
}

// The year of the sequence: stored in the year file, renewed at a change of
// year, when the number file is deleted too. The numbers of the year go on above
// the highest issued in it whatever the year file said.
void renew_year(const plat::FileOps& fs, const char* currentYear, zel::Text<14>& storedYear) {
  if (storedYear.view() == currentYear) return;
  zel::Text<16> line;
  line.format("%s\n", currentYear);
  const plat::Status stored = FILE_ReplaceText(fs, kYearFile, line.view());
  LOG_Print(LOG_CLI_WARNING,
            "ZELClient_GenAutoResponse anio.txt dice [%s], el anio es %s: nroaut.txt empieza de "
            "nuevo, por encima del mayor numero emitido en %s",
            storedYear.c_str(), currentYear, currentYear);
  storedYear.assign(currentYear);
  if (stored != plat::Status::Ok) {
    // The old year stays in the file: the number file must stay too, or the
    // next answer would restart at 1 and repeat numbers.
    LOG_Print(LOG_CLI_ERROR,
              "ZELClient_GenAutoResponse no pudo guardar el anio en anio.txt, no se borra "
              "nroaut.txt");
    return;
  }
  zc::log_delete_failure("ZELClient_GenAutoResponse", kNumberFile, fs.remove(kNumberFile));
}

// A file of the sequence that is missing reads as empty; one that is there and
// cannot be read refuses the number.
bool read_line(const plat::FileOps& fs, const char* file, zel::TextRef line, const char** refused) {
  const plat::Status s = FILE_ReadFirstLine(fs, file, line);
  if (s == plat::Status::Ok || s == plat::Status::NotFound) return true;
  *refused = unreadable(file, s);
  return false;
}

}  // namespace

void zc::sequence_start(ZELClient& client, std::time_t now) {
  char year[16] = {};
  const char* refused = nullptr;
  floor_of(client, local_year(now, year), &refused);
  // A working folder that takes no new file (its owner's, immutable) is worked
  // with, but an operator should know: a missing number file cannot be made there.
  constexpr const char* kProbe = "zelclient.tmp";
  plat::FileHandle f = plat::kNoFile;
  if (client.files->open(kProbe, plat::OpenMode::Create, &f) == plat::Status::Ok) {
    client.files->close(f);
    client.files->remove(kProbe);
  } else {
    LOG_Print(LOG_CLI_WARNING,
              "ZELClient_Init la carpeta de trabajo no admite archivos nuevos: anio.txt y "
              "nroaut.txt se reescriben en su lugar");
  }
}

SequenceNumber zc::next_number(ZELClient& client, std::time_t now) {
  const plat::FileOps& fs = *client.files;
  SequenceNumber taken;
  zel::Text<14> storedYear;
  if (!read_line(fs, kYearFile, storedYear, &taken.unreadable)) return taken;
  char currentYear[16] = {};
  local_year(now, currentYear);
  renew_year(fs, currentYear, storedYear);
  taken.year = zel::to_int(storedYear.c_str());

  zel::Text<14> numberLine;
  if (!read_line(fs, kNumberFile, numberLine, &taken.unreadable)) return taken;
  taken.beforeSize =
      FILE_ReadRaw(fs, kNumberFile, taken.before, sizeof taken.before, &taken.beforeWhole);
  // A negative count is no sequence: it would give a signed, malformed number.
  taken.last = atoi_rules(numberLine.c_str());
  if (taken.last < 0) taken.last = 0;
  taken.number = taken.last + 1;
  const IssuedNumber* floor = floor_of(client, taken.year, &taken.unreadable);
  if (floor != nullptr && taken.number <= floor->number) taken.number = floor->number + 1;
  return taken;
}

bool zc::store_number(ZELClient& client, SequenceNumber& taken) {
  // The number is stored before the answer leaves, so that a crash in between
  // leaves a gap in the sequence, never a repeat.
  zel::Text<32> numberText;
  numberText.format("%" PRId64 "\n", taken.number);
  const plat::Status s = FILE_ReplaceText(*client.files, kNumberFile, numberText.view());
  taken.stored = s == plat::Status::Ok;
  if (!taken.stored) {
    LOG_Print(LOG_CLI_ERROR,
              "ZELClient_GenAutoResponse no pudo guardar el numero %" PRId64 " en nroaut.txt: %s",
              taken.number, zc::status_text(s));
    return false;
  }
  // The year's highest, apart from the number file: where it cannot be kept (a
  // folder that takes no new file) the number file and the journal still bound
  // the sequence.
  const plat::Status raised = zc::issued_raise(*client.files, taken.year, taken.number);
  if (raised != plat::Status::Ok) {
    LOG_Print(LOG_CLI_WARNING, "ZELClient_GenAutoResponse no pudo guardar el numero en %s: %s",
              kIssuedFile, zc::status_text(raised));
  }
  return true;
}

void zc::keep_number(ZELClient& client, const SequenceNumber& taken) {
  const char* refused = nullptr;
  IssuedNumber* floor = floor_of(client, taken.year, &refused);
  if (floor != nullptr && taken.number > floor->number) floor->number = taken.number;
}

void zc::return_number(ZELClient& client, const SequenceNumber& taken) {
  if (!taken.stored) return;
  const plat::FileOps& fs = *client.files;
  zel::Text<14> numberLine;
  FILE_ReadFirstLine(fs, kNumberFile, numberLine);
  if (atoi_rules(numberLine.c_str()) != taken.number) return;  // a later number is stored
  plat::Status s = plat::Status::Ok;
  if (taken.beforeSize < 0) {
    s = fs.remove(kNumberFile);
    if (s == plat::Status::NotFound) s = plat::Status::Ok;
    // A directory that lets no entry go: the file stays, holding its last number.
    if (s != plat::Status::Ok) {
      zel::Text<32> line;
      line.format("%" PRId64 "\n", taken.last);
      s = FILE_ReplaceText(fs, kNumberFile, line.view());
    }
  } else if (taken.beforeWhole) {
    s = FILE_ReplaceRaw(fs, kNumberFile, taken.before, static_cast<std::size_t>(taken.beforeSize));
  } else {
    // Longer than anything the service writes: put its number back.
    zel::Text<32> line;
    line.format("%" PRId64 "\n", taken.last);
    s = FILE_ReplaceText(fs, kNumberFile, line.view());
  }
  if (s != plat::Status::Ok) {
    LOG_Print(LOG_CLI_ERROR, "ZELClient_GenAutoResponse no pudo restaurar nroaut.txt");
  }
}
