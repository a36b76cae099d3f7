#include "client/answers.h"

#include <cinttypes>
#include <cstring>

#include "client/journal.h"
#include "client/sequence.h"
#include "client/termfiles.h"
#include "log/log.h"
#include "tran/fields.h"

namespace {

// Values copied from the request. They are read whole (the request buffer is
// their only limit), so the answer carries exactly what the terminal sent.
using Value = zel::Text<kRequestCapacity>;

// Room for any answer built from a request: four values of at most the request's
// length and the fixed fields. An answer too long for the answer file thus reaches
// ZELClient_WriteFileOutput, which refuses it.
using Answer = zel::Text<4 * kRequestCapacity + 256>;

struct RequestFields {
  Value codeFarm;   // G01
  Value nroReceta;  // G04
  Value nroBenp;    // G08
  Value tipoTran;   // G99
};

void read_field(const ZELClient& client, const char* function, const char* name, const char* label,
                Value& value) {
  value.clear();
  zel::TextRef ref = value.ref();
  ZEL_TranGetField(client.request.c_str(), name, &ref);
  LOG_Print(LOG_CLI_DEBUG, "%s %s=[%s]", function, label, value.c_str());
}

void read_fields(const ZELClient& client, const char* function, RequestFields& f) {
  read_field(client, function, "G01", "CodeFarm", f.codeFarm);
  read_field(client, function, "G04", "NroReceta", f.nroReceta);
  read_field(client, function, "G08", "NroBenp", f.nroBenp);
  read_field(client, function, "G99", "TipoTran", f.tipoTran);
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

const char* terminal_name(const ZELClient& client, int index) {
  return index >= 0 && index < kMaxTerminals ? client.config.terminals[index].c_str() : nullptr;
}

// Builds and writes an answer for the terminal; false when it was not written.
bool write_answer(ZELClient& client, const char* function, const char* terminal,
                  const RequestFields& fields, const char* code, const char* reason,
                  const char* number) {
  Answer answer;
  Path path;
  if (!build_answer(answer, fields, terminal, code, reason, number)) {
    LOG_Print(LOG_CLI_ERROR, "%s respuesta mayor a %zu caracteres", function, kRequestCapacity);
    return false;
  }
  return ZELClient_TerminalPath(client, terminal, "out.txt", path) &&
         ZELClient_WriteFileOutput(client, path.c_str(), answer.c_str()) == 0;
}

}  // namespace

void ZELClient_GenAutoResponse(ZELClient& client, int index, std::int16_t flag) {
  const std::time_t now = client.clock();
  LOG_Print(LOG_CLI_DEBUG, "ZELClient_GenAutoResponse Entry");
  const char* terminal = terminal_name(client, index);
  if (terminal == nullptr) {
    LOG_Print(LOG_CLI_ERROR, "ZELClient_GenAutoResponse terminal [%d] fuera de la tabla", index);
    LOG_Print(LOG_CLI_DEBUG, "ZELClient_GenAutoResponse Exit");
    return;
  }
  RequestFields fields;
  read_fields(client, "ZELClient_GenAutoResponse", fields);

  const SequenceNumber taken = ZELClient_TakeNumber(client, now);
  zel::Text<40> authorisation;
  authorisation.format("%c%4d%07" PRId64, flag != 0 ? 'G' : 'I', taken.year, taken.number);

  if (write_answer(client, "ZELClient_GenAutoResponse", terminal, fields, "ND",
                   "RECETA PRE-AUTORIZADA", authorisation.c_str())) {
    ZELClient_KeepNumber(client, taken);
  } else {
    LOG_Print(LOG_CLI_ERROR, "ZELClient_GenAutoResponse WriteFileOutput");
    // No terminal holds this number: the next answer gets it again.
    ZELClient_ReturnNumber(client, taken);
  }
  ZELClient_JournalAppend(client, client.request.view(), authorisation.c_str());
  LOG_Print(LOG_CLI_DEBUG, "ZELClient_GenAutoResponse Exit");
}

void ZELClient_GenErrorResponse(ZELClient& client, int index, const char* code,
                                const char* reason) {
  LOG_Print(LOG_CLI_DEBUG, "ZELClient_GenErrorResponse Entry");
  const char* terminal = terminal_name(client, index);
  RequestFields fields;
  read_fields(client, "ZELClient_GenErrorResponse", fields);
  if (terminal == nullptr || code == nullptr || reason == nullptr ||
      !write_answer(client, "ZELClient_GenErrorResponse", terminal, fields, code, reason,
                    nullptr)) {
    LOG_Print(LOG_CLI_ERROR, "ZELClient_GenErrorResponse WriteFileOutput");
  }
  LOG_Print(LOG_CLI_DEBUG, "ZELClient_GenErrorResponse Exit");
}
