// Local answers. The authorisation sequence lives in two files of the current
// directory, the year file and the number file, both replaced atomically so a
// reader only ever sees a whole old or a whole new content. A number is never
// issued twice: the new number is stored before the answer is written (and put
// back if that write fails), the number file is deleted at a change of year
// only once the new year is stored, and the last number issued in this run in
// each year is kept as a floor for that year (also should the clock go back).
#include "client/answers.h"

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "client/config.h"
#include "client/files.h"
#include "common/number.h"
#include "fileutil/path.h"
#include "fileutil/textfile.h"
#include "log/log.h"
#include "platform/platform.h"
#include "tran/fields.h"

namespace {

constexpr const char* kYearFile = "anio.txt";
constexpr const char* kNumberFile = "nroaut.txt";
constexpr const char* kJournal = "zelautoresp.txt";

std::time_t system_clock() {
  return std::time(nullptr);
}
ZELClockFn g_clock = system_clock;

// The last number issued in this run for each of the last few years it answered
// in. Kept per year because a clock put back across New Year makes the old year
// current again after its number file was deleted.
struct Issued {
  int year = -1;
  std::int64_t number = 0;
};
constexpr int kIssuedYears = 4;
Issued g_issued[kIssuedYears];

std::int64_t issued_floor(int year) {
  for (const Issued& i : g_issued) {
    if (i.year == year) return i.number;
  }
  return 0;
}

void remember_issued(int year, std::int64_t number) {
  Issued* slot = &g_issued[0];
  for (Issued& i : g_issued) {
    if (i.year == year) {
      slot = &i;
      break;
    }
    if (i.year < slot->year) slot = &i;  // else the oldest year gives way
  }
  slot->year = year;
  slot->number = number;
}

// Values copied from the request. They are read whole (the request buffer is
// their only limit), so the answer carries exactly what the terminal sent.
using Value = zel::Text<kRequestCapacity>;

// Room for any answer built from a request: four values of at most the request's
// length (they may overlap inside it) and the fixed fields. An answer too long
// for the answer file thus reaches ZELClient_WriteFileOutput, which refuses it
// and empties the file, so the terminal never finds an earlier answer there.
using Answer = zel::Text<4 * kRequestCapacity + 256>;

struct RequestFields {
  Value codeFarm;   // G01
  Value nroReceta;  // G04
  Value nroBenp;    // G08
  Value tipoTran;   // G99
};

void read_field(const char* function, const char* name, const char* label, Value& value) {
  value.clear();
  zel::TextRef ref = value.ref();
  ZEL_TranGetField(g_request.c_str(), name, &ref);
  LOG_Print(LOG_CLI_DEBUG, "%s %s=[%s]", function, label, value.c_str());
}

void read_fields(const char* function, RequestFields& f) {
  read_field(function, "G01", "CodeFarm", f.codeFarm);
  read_field(function, "G04", "NroReceta", f.nroReceta);
  read_field(function, "G08", "NroBenp", f.nroBenp);
  read_field(function, "G99", "TipoTran", f.tipoTran);
}

// Builds the answer; false when it does not fit in the answer buffer.
bool build_answer(zel::TextRef answer, const RequestFields& f, const char* terminal,
                  const char* code, const char* reason, const char* number) {
  const char* f99 = std::strcmp(f.tipoTran.c_str(), "000020") == 0 ? "000021" : "000031";
  answer.clear();
  bool ok = ZEL_TranPutfield(answer, "F01", f.codeFarm.c_str()) == 0 &&
            ZEL_TranPutfield(answer, "F04", f.nroReceta.c_str()) == 0 &&
            ZEL_TranPutfield(answer, "F08", f.nroBenp.c_str()) == 0 &&
            ZEL_TranPutfield(answer, "F41", terminal) == 0 &&
            ZEL_TranPutfield(answer, "F50", code) == 0 &&
            ZEL_TranPutfield(answer, "F51", reason) == 0;
  if (ok && number != nullptr) ok = ZEL_TranPutfield(answer, "F52", number) == 0;
  return ok && ZEL_TranPutfield(answer, "F99", f99) == 0 && ZEL_TranEnd(answer) == 0;
}

// The terminal's answer file: the root path joined with "<terminal>out.txt".
bool answer_path(const char* terminal, zel::Text<256>& path) {
  zel::Text<63> name;
  path.clear();
  return name.format("%sout.txt", terminal) &&
         FILE_MakePath(path, {g_config.rootPath.c_str(), name.c_str()});
}

const char* terminal_name(int index) {
  return index >= 0 && index < kMaxTerminals ? g_config.terminals[index].c_str() : nullptr;
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
// year, when the number file is deleted too.
void renew_year(const char* currentYear, zel::Text<14>& storedYear) {
  if (storedYear.view() == currentYear) return;
  zel::Text<16> line;
  line.format("%s\n", currentYear);
  const int stored = FILE_ReplaceText(kYearFile, line.view());
  const int storeErrno = errno;
  storedYear.assign(currentYear);
  if (stored != 0) {
    // The old year stays in the file: the number file must stay too, or the
    // next answer would restart at 1 and repeat numbers.
    LOG_Print(LOG_CLI_ERROR,
              "ZELClient_GenAutoResponse no pudo guardar el anio en anio.txt (errno=%d), no se "
              "borra nroaut.txt",
              storeErrno);
    return;
  }
  if (plat::file_unlink(kNumberFile) != 0) {
    if (errno == ENOENT) {
      LOG_Print(LOG_CLI_ERROR,
                "ZELClient_GenAutoResponse borrando archivo nroaut.txt, ubicacion erronea");
    } else if (errno == EACCES) {
      LOG_Print(LOG_CLI_ERROR,
                "ZELClient_GenAutoResponse borrando archivo nroaut.txt, no pudo accederlo");
    }
  }
}

// The number file as it was before this answer, to put back if the answer
// cannot be written.
struct NumberFileBefore {
  char raw[64];
  long size = -1;  // -1: there was no file
  bool whole = false;
  std::int64_t last = 0;
};

void restore_number_file(const NumberFileBefore& before) {
  int r = 0;
  if (before.size < 0) {
    r = plat::file_unlink(kNumberFile) == 0 || errno == ENOENT ? 0 : -1;
  } else if (before.whole) {
    r = plat::file_replace_atomic(kNumberFile, before.raw, static_cast<std::size_t>(before.size));
  } else {
    // Longer than anything the service writes: put its number back.
    zel::Text<32> line;
    line.format("%" PRId64 "\n", before.last);
    r = FILE_ReplaceText(kNumberFile, line.view());
  }
  if (r != 0) {
    LOG_Print(LOG_CLI_ERROR, "ZELClient_GenAutoResponse no pudo restaurar nroaut.txt (errno=%d)",
              errno);
  }
}

}  // namespace

void ZELClient_SetClock(ZELClockFn clock) {
  g_clock = clock != nullptr ? clock : system_clock;
}

std::time_t ZELClient_Now() {
  return g_clock();
}

void ZELClient_ResetIssuedNumbers() {
  for (Issued& i : g_issued) i = Issued{};
}

void ZELClient_GenAutoResponse(int index, std::int16_t flag) {
  const std::time_t now = ZELClient_Now();
  LOG_Print(LOG_CLI_DEBUG, "ZELClient_GenAutoResponse Entry");
  const char* terminal = terminal_name(index);
  if (terminal == nullptr) {
    LOG_Print(LOG_CLI_ERROR, "ZELClient_GenAutoResponse terminal [%d] fuera de la tabla", index);
    LOG_Print(LOG_CLI_DEBUG, "ZELClient_GenAutoResponse Exit");
    return;
  }
  // Writing the answer replaces the request buffer; the journal needs the request.
  const zel::Text<kRequestCapacity> request = g_request;
  RequestFields fields;
  read_fields("ZELClient_GenAutoResponse", fields);

  zel::Text<14> storedYear;
  FILE_ReadFirstLine(kYearFile, storedYear);
  std::tm local{};
  plat::local_time(now, &local);
  char currentYear[16] = {};
  std::strftime(currentYear, sizeof currentYear, "%Y", &local);
  renew_year(currentYear, storedYear);
  const int year = zel::to_int(storedYear.c_str());

  NumberFileBefore before;
  before.size = FILE_ReadRaw(kNumberFile, before.raw, sizeof before.raw, &before.whole);
  zel::Text<14> numberLine;
  FILE_ReadFirstLine(kNumberFile, numberLine);
  // A negative count is no sequence: it would give a signed, malformed number.
  before.last = atoi_rules(numberLine.c_str());
  if (before.last < 0) before.last = 0;
  std::int64_t number = before.last + 1;
  const std::int64_t floorNumber = issued_floor(year);
  if (number <= floorNumber) number = floorNumber + 1;

  zel::Text<40> authorisation;
  authorisation.format("%c%4d%07" PRId64, flag != 0 ? 'G' : 'I', year, number);

  // The number is stored before the answer leaves, so that a crash in between
  // leaves a gap in the sequence, never a repeat.
  zel::Text<32> numberText;
  numberText.format("%" PRId64 "\n", number);
  const bool numberStored = FILE_ReplaceText(kNumberFile, numberText.view()) == 0;
  if (!numberStored) {
    LOG_Print(LOG_CLI_ERROR,
              "ZELClient_GenAutoResponse no pudo guardar el numero %" PRId64
              " en nroaut.txt (errno=%d)",
              number, errno);
  }

  Answer answer;
  zel::Text<256> path;
  int written = -1;
  if (!build_answer(answer, fields, terminal, "ND", "RECETA PRE-AUTORIZADA",
                    authorisation.c_str()) ||
      !answer_path(terminal, path)) {
    LOG_Print(LOG_CLI_ERROR, "ZELClient_GenAutoResponse respuesta mayor a %zu caracteres",
              kRequestCapacity);
  } else {
    written = ZELClient_WriteFileOutput(path.c_str(), answer.c_str());
  }
  if (written != 0) {
    LOG_Print(LOG_CLI_ERROR, "ZELClient_GenAutoResponse WriteFileOutput");
    // No terminal holds this number: the next answer gets it again.
    if (numberStored) restore_number_file(before);
  } else {
    remember_issued(year, number);
  }

  zel::Text<kRequestCapacity + 64> journal(request.view().substr(0, request.view().find('\n')));
  ZEL_TranPutfield(journal, "G52", authorisation.c_str());
  ZEL_TranEnd(journal);
  journal.append('\n');
  if (FILE_AppendText(kJournal, journal.view()) != 0) {
    LOG_Print(LOG_CLI_ERROR, "ZELClient_GenAutoResponse no pudo escribir en zelautoresp.txt");
  }
  LOG_Print(LOG_CLI_DEBUG, "ZELClient_GenAutoResponse Exit");
}

void ZELClient_GenErrorResponse(int index, const char* code, const char* reason) {
  LOG_Print(LOG_CLI_DEBUG, "ZELClient_GenErrorResponse Entry");
  const char* terminal = terminal_name(index);
  RequestFields fields;
  read_fields("ZELClient_GenErrorResponse", fields);
  Answer answer;
  zel::Text<256> path;
  if (terminal == nullptr || code == nullptr || reason == nullptr ||
      !build_answer(answer, fields, terminal, code, reason, nullptr) ||
      !answer_path(terminal, path) ||
      ZELClient_WriteFileOutput(path.c_str(), answer.c_str()) != 0) {
    LOG_Print(LOG_CLI_ERROR, "ZELClient_GenErrorResponse WriteFileOutput");
  }
  LOG_Print(LOG_CLI_DEBUG, "ZELClient_GenErrorResponse Exit");
}
